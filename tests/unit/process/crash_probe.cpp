// A program that installs the crash reporting the way the tool's entry
// point does and then fails in the way its first argument names, so that
// crash_report_test can look at the report and at how the process ended.
// Every further argument is only there to appear in "Program arguments: ".
//
//   abort, fatal, unreachable, assert, assert-without-function, out-of-memory
//   segv, fpe, ill, bus             a real fault
//   raise SIGNAL                    raise a signal (by number), then exit 0
//   wait                            print "ready", wait up to 5 s, exit 0
//   pipe                            write to a pipe without a reader
//   callbacks                       two extra crash callbacks, then abort
//   fault-in-report, hang-in-report a context entry that faults or hangs
#undef NDEBUG
#include "support/error.h"
#include "support/process/crash_report.h"

#include <cassert>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using namespace vetline;

void exitOnBrokenPipe() { _exit(74); }

class FaultingEntry final : public CrashContextEntry {
public:
  void print(OutputStream &) const override {
    volatile int *nowhere = nullptr;
    *nowhere = 1;
  }
};

class HangingEntry final : public CrashContextEntry {
public:
  void print(OutputStream &) const override {
    while (true)
      pause();
  }
};

void printCallbackName(void *name) { standardError() << static_cast<const char *>(name) << '\n'; }

[[noreturn]] void fault(std::string_view kind) {
  if (kind == "segv") {
    volatile int *nowhere = nullptr;
    *nowhere = 1;
  } else if (kind == "fpe") {
    // Both operands unknown, or the compiler turns the division into a
    // comparison.
    volatile int dividend = 7;
    volatile int zero = 0;
    volatile int quotient = dividend / zero;
    (void)quotient;
  } else if (kind == "ill") {
    __builtin_trap();
  } else if (kind == "bus") {
    // A page mapped over an empty file: reading it is a bus error.
    char name[] = "/tmp/crash-probe-XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    volatile char *page = static_cast<char *>(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0));
    if (page != MAP_FAILED)
      (void)page[0];
  }
  std::fprintf(stderr, "crash_probe: no fault happened\n");
  _exit(3);
}

int runMode(int argc, char **argv) {
  std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "abort")
    std::abort();
  if (mode == "fatal")
    fatalError("probe fatal error");
  if (mode == "unreachable")
    reportUnreachable("probe unreachable");
  if (mode == "assert")
    assert(argc < 0 && "probe assertion");
  if (mode == "assert-without-function")
    __assert_fail("probe assertion", "probe.cpp", 7, nullptr);
  if (mode == "out-of-memory") {
    volatile size_t huge = size_t(1) << 62;
    char *block = new char[huge];
    block[0] = 1;
    std::printf("%p\n", static_cast<void *>(block));
    return 3;
  }
  if (mode == "segv" || mode == "fpe" || mode == "ill" || mode == "bus")
    fault(mode);
  if (mode == "raise" && argc > 2) {
    raise(std::atoi(argv[2]));
    std::printf("survived\n");
    return 0;
  }
  if (mode == "wait") {
    std::printf("ready\n");
    std::fflush(stdout);
    // A signal may come before the wait starts, so the wait is bounded.
    sleep(5);
    std::printf("carried on\n");
    return 0;
  }
  if (mode == "pipe") {
    int ends[2];
    if (pipe(ends) != 0)
      return 3;
    close(ends[0]);
    (void)!write(ends[1], "x", 1);
    return 0;
  }
  if (mode == "callbacks") {
    static char first[] = "first extra callback";
    static char second[] = "second extra callback";
    addCrashCallback(printCallbackName, first);
    addCrashCallback(printCallbackName, second);
    std::abort();
  }
  if (mode == "fault-in-report") {
    FaultingEntry entry;
    std::abort();
  }
  if (mode == "hang-in-report") {
    HangingEntry entry;
    std::abort();
  }
  std::fprintf(stderr, "crash_probe: unknown mode\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  ProcessSupport processSupport(argc, argv, exitOnBrokenPipe);
  return runMode(argc, argv);
}
