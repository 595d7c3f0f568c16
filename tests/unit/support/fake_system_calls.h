// Scripted failures for the system-call table (support/system_calls.h):
// each call of one kind first takes the next step of that kind's script;
// once the script is used up, the system's own call runs. Puts the table
// back when it goes out of scope.
#pragma once

#include "support/system_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>

namespace vetline::testing {

struct FakeStep {
  // Not 0: the call fails with this error number and nothing happens.
  int error = 0;
  // Otherwise the system's call runs with its count cut to this: a short
  // read or write.
  size_t limit = SIZE_MAX;
};

class FakeSystemCalls {
public:
  FakeSystemCalls() : saved(systemCalls()) {
    active = this;
    SystemCalls &calls = systemCalls();
    calls.open = fakeOpen;
    calls.read = fakeRead;
    calls.pread = fakePread;
    calls.write = fakeWrite;
    calls.poll = fakePoll;
  }
  ~FakeSystemCalls() {
    systemCalls() = saved;
    active = nullptr;
  }
  FakeSystemCalls(const FakeSystemCalls &) = delete;
  FakeSystemCalls &operator=(const FakeSystemCalls &) = delete;

  std::deque<FakeStep> opens, reads, preads, writes, polls;
  unsigned writeCalls = 0;
  // Writes that the system itself refused with EAGAIN.
  unsigned writesRefused = 0;
  unsigned pollCalls = 0;

private:
  // False when the step fails the call (errno set); otherwise `count` is cut.
  static bool takeStep(std::deque<FakeStep> &script, size_t &count) {
    if (script.empty())
      return true;
    FakeStep step = script.front();
    script.pop_front();
    if (step.error != 0) {
      errno = step.error;
      return false;
    }
    count = std::min(count, step.limit);
    return true;
  }
  static int fakeOpen(const char *path, int flags, mode_t mode) {
    size_t unused = 0;
    return takeStep(active->opens, unused) ? active->saved.open(path, flags, mode) : -1;
  }
  static ssize_t fakeRead(int fd, void *into, size_t count) {
    return takeStep(active->reads, count) ? active->saved.read(fd, into, count) : -1;
  }
  static ssize_t fakePread(int fd, void *into, size_t count, off_t offset) {
    return takeStep(active->preads, count) ? active->saved.pread(fd, into, count, offset) : -1;
  }
  static ssize_t fakeWrite(int fd, const void *bytes, size_t count) {
    ++active->writeCalls;
    if (!takeStep(active->writes, count))
      return -1;
    ssize_t written = active->saved.write(fd, bytes, count);
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      ++active->writesRefused;
    return written;
  }
  static int fakePoll(struct pollfd *descriptors, nfds_t count, int timeout) {
    ++active->pollCalls;
    size_t unused = 0;
    return takeStep(active->polls, unused) ? active->saved.poll(descriptors, count, timeout) : -1;
  }

  static inline FakeSystemCalls *active = nullptr;
  SystemCalls saved;
};

} // namespace vetline::testing
