#include "support/system_calls.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vetline {

namespace {

// open(2) takes a variable argument list, which a table entry cannot point to.
int openFile(const char *path, int flags) { return ::open(path, flags); }

SystemCalls currentCalls = {openFile, ::read, ::pread, ::write, ::poll};

// Some systems refuse reads larger than the largest signed size; one
// gigabyte at a time is plenty.
constexpr size_t largestRead = size_t{1} << 30;

} // namespace

SystemCalls &systemCalls() { return currentCalls; }

int openReadOnly(const std::string &path) {
  int fd;
  do
    fd = currentCalls.open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t readRetrying(int fd, char *into, size_t count) {
  count = count < largestRead ? count : largestRead;
  ssize_t got;
  do
    got = currentCalls.read(fd, into, count);
  while (got < 0 && errno == EINTR);
  return got;
}

ssize_t preadRetrying(int fd, char *into, size_t count, off_t offset) {
  count = count < largestRead ? count : largestRead;
  ssize_t got;
  do
    got = currentCalls.pread(fd, into, count, offset);
  while (got < 0 && errno == EINTR);
  return got;
}

void waitUntilWritable(int fd) {
  struct pollfd entry = {fd, POLLOUT, 0};
  currentCalls.poll(&entry, 1, -1);
}

} // namespace vetline
