// The C library's assertion-failure entry point, replaced so that a failed
// assertion prints the backtrace of the crash reporting before it aborts.
#include "support/process/crash_report.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>

// The C library's own declaration (from <cassert>) already says the routine
// does not return; clang refuses a [[noreturn]] added on this later one.
extern "C" void __assert_fail(const char *assertion, const char *file, unsigned int line,
                              const char *function) noexcept {
  if (function)
    std::fprintf(stderr, "Assertion failed: (%s), function %s, file %s, line %d.\n", assertion,
                 function, file, static_cast<int>(line));
  else
    std::fprintf(stderr, "Assertion failed: (%s), file %s, line %d.\n", assertion, file,
                 static_cast<int>(line));
  vetline::writeBacktrace(vetline::standardError());
  std::abort();
}
