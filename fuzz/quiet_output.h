// Sends standard output and error to /dev/null for the lifetime of one fuzz
// run, so the fuzzer's log stays readable, while sanitizer reports keep
// going to the original standard error. VETLINE_FUZZ_VERBOSE=1 keeps
// everything visible, for reproducing a finding.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((weak)) void __sanitizer_set_report_fd(void *fd);

class QuietOutput {
public:
  QuietOutput() {
    if (std::getenv("VETLINE_FUZZ_VERBOSE"))
      return;
    static int reportFd = -1;
    if (reportFd < 0) {
      reportFd = fcntl(2, F_DUPFD_CLOEXEC, 3);
      if (__sanitizer_set_report_fd && reportFd >= 0)
        __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(reportFd)));
    }
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    savedOut = dup(1);
    savedErr = dup(2);
    if (null < 0 || savedOut < 0 || savedErr < 0) {
      std::perror("fuzz: redirecting output");
      std::abort();
    }
    dup2(null, 1);
    dup2(null, 2);
    close(null);
  }
  ~QuietOutput() {
    if (savedOut < 0)
      return;
    // Whatever the run left in C stdio buffers belongs to /dev/null too.
    std::fflush(nullptr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
  }
  QuietOutput(const QuietOutput &) = delete;
  QuietOutput &operator=(const QuietOutput &) = delete;

private:
  int savedOut = -1;
  int savedErr = -1;
};
