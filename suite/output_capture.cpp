#include "suite/output_capture.h"

#include "support/format.h"
#include "support/system_calls.h"

#include <fcntl.h>
#include <unistd.h>

namespace vetline::suite {
namespace {

// Every text this component shows. They are interface: never reword them.
namespace text {
// {0} the bytes left out, {1} where the whole output is.
constexpr std::string_view cutMarker =
    "\n[... {0} bytes left out; the whole output is in {1} ...]\n";
constexpr std::string_view cutMarkerNoFile =
    "\n[... {0} bytes left out; the whole output could not be written to {1} ...]\n";
} // namespace text

int createSpillFile(const std::string &path) {
  int fd;
  do
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

} // namespace

OutputCapture::OutputCapture(size_t limit, std::string spillPath)
    : limit(limit), spillPath(std::move(spillPath)) {}

OutputCapture::~OutputCapture() { finish(); }

void OutputCapture::append(std::string_view bytes) {
  if (bytes.empty())
    return;
  // Up to the limit memory holds every byte, so the file can still be
  // started with all of them.
  if (!spilled && !spillFailed && total + bytes.size() > limit)
    startSpill();
  total += bytes.size();
  if (spilled && !writeAll(spillFd, bytes.data(), bytes.size()))
    spillFailed = true;
  size_t headLimit = limit - limit / 2;
  if (head.size() < headLimit) {
    size_t taken = std::min(bytes.size(), headLimit - head.size());
    head.append(bytes.substr(0, taken));
    bytes.remove_prefix(taken);
  }
  size_t tailLimit = limit / 2;
  if (tailLimit == 0 || bytes.empty())
    return;
  if (bytes.size() >= tailLimit) {
    tail.assign(bytes.substr(bytes.size() - tailLimit));
    tailStart = 0;
    return;
  }
  for (char c : bytes) {
    if (tail.size() < tailLimit) {
      tail += c;
    } else {
      tail[tailStart] = c;
      tailStart = (tailStart + 1) % tailLimit;
    }
  }
}

void OutputCapture::startSpill() {
  spillFd = createSpillFile(spillPath);
  if (spillFd < 0) {
    spillFailed = true;
    return;
  }
  spilled = true;
  std::string held = head + orderedTail();
  if (!writeAll(spillFd, held.data(), held.size()))
    spillFailed = true;
}

std::string OutputCapture::orderedTail() const {
  return tail.substr(tailStart) + tail.substr(0, tailStart);
}

void OutputCapture::finish() {
  if (spillFd >= 0) {
    ::close(spillFd);
    spillFd = -1;
  }
}

std::string OutputCapture::shown() const {
  if (!isCut())
    return head + orderedTail();
  uint64_t leftOut = total - head.size() - tail.size();
  std::string_view marker = spilled && !spillFailed ? text::cutMarker : text::cutMarkerNoFile;
  return head + formatPositionalString(marker, leftOut, spillPath) + orderedTail();
}

} // namespace vetline::suite
