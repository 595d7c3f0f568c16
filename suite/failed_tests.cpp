#include "suite/failed_tests.h"

#include "support/format.h"
#include "support/system_calls.h"
#include "support/text_buffer.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace vetline::suite {
namespace {

namespace text {
constexpr std::string_view cannotWrite = "cannot write the list of failed tests '{0}': {1}";
} // namespace text

Error writeError(const std::string &path, int number) {
  return makeMessageError(
      inconvertibleErrorCode(),
      formatPositionalString(text::cannotWrite, path, std::generic_category().message(number)));
}

} // namespace

std::set<std::string> readFailedTests(const std::string &path) {
  std::set<std::string> paths;
  BufferOrError file = readWritableFileOrStdin(path);
  if (!file)
    return paths;
  std::string_view rest = file->text();
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty())
      paths.emplace(line);
    if (end == std::string_view::npos)
      break;
    rest.remove_prefix(end + 1);
  }
  return paths;
}

Error writeFailedTests(const std::string &path, const std::set<std::string> &paths) {
  std::string contents;
  for (const std::string &entry : paths)
    contents += entry + "\n";
  std::string temporary = path + ".new";
  int fd;
  do
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return writeError(path, errno);
  bool isWritten = writeAll(fd, contents.data(), contents.size());
  int number = errno;
  isWritten = ::close(fd) == 0 && isWritten;
  if (!isWritten || std::rename(temporary.c_str(), path.c_str()) != 0) {
    number = isWritten ? errno : number;
    ::unlink(temporary.c_str());
    return writeError(path, number);
  }
  return success();
}

} // namespace vetline::suite
