#include "support/system_calls.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vetline {

namespace {

// open(2) takes a variable argument list, which a table entry cannot point to.
int openFile(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }

SystemCalls currentCalls = {openFile, ::read, ::pread, ::write, ::poll, ::fstat};

// Some systems refuse transfers larger than the largest signed size; one
// gigabyte at a time is plenty.
constexpr size_t largestTransfer = size_t{1} << 30;

size_t cappedCount(size_t count) { return count < largestTransfer ? count : largestTransfer; }

// Blocks until `fd` is ready for `events`. True when the call should be
// tried again: the wait ended or was interrupted. False when the wait
// failed; errno is then EAGAIN again, the call's own failure.
bool waitUntilReady(int fd, short events) {
  struct pollfd entry = {fd, events, 0};
  if (currentCalls.poll(&entry, 1, -1) >= 0 || errno == EINTR)
    return true;
  errno = EAGAIN;
  return false;
}

// Runs `call` (one transfer on `fd`) until it neither was interrupted nor
// found the descriptor unready; see readRetrying.
template <typename Call> ssize_t retrying(int fd, short events, Call call) {
  for (;;) {
    ssize_t result = call();
    if (result >= 0)
      return result;
    if (errno == EINTR)
      continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitUntilReady(fd, events))
      continue;
    return result;
  }
}

int openRetrying(const std::string &path, int flags, mode_t mode) {
  int fd;
  do
    fd = currentCalls.open(path.c_str(), flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

} // namespace

SystemCalls &systemCalls() { return currentCalls; }

int openReadOnly(const std::string &path) { return openRetrying(path, O_RDONLY | O_CLOEXEC, 0); }

int openNewFile(const std::string &path, mode_t mode) {
  return openRetrying(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
}

int openForAppend(const std::string &path, mode_t mode) {
  return openRetrying(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, mode);
}

ssize_t readRetrying(int fd, char *into, size_t count) {
  return retrying(fd, POLLIN, [&] { return currentCalls.read(fd, into, cappedCount(count)); });
}

ssize_t preadRetrying(int fd, char *into, size_t count, off_t offset) {
  return retrying(fd, POLLIN,
                  [&] { return currentCalls.pread(fd, into, cappedCount(count), offset); });
}

bool writeAll(int fd, const char *bytes, size_t count) {
  while (count != 0) {
    ssize_t written =
        retrying(fd, POLLOUT, [&] { return currentCalls.write(fd, bytes, cappedCount(count)); });
    if (written < 0)
      return false;
    // A write that takes nothing would be asked again forever.
    if (written == 0) {
      errno = EIO;
      return false;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

} // namespace vetline
