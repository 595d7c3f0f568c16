// Crash reporting: when the program dies of a fatal signal (a fault, or the
// abort every fatal routine ends with) it prints to standard error a request
// to report the problem, a "Stack dump:" with what the program was doing
// (the crash-context entries, oldest first) and a backtrace, symbolized by
// the external symbolizer when one can be found and raw otherwise.
//
// Surprising:
// - Handlers are installed only over a signal's default action (and always
//   for SIGPIPE, which the pipe handler owns). A signal that is ignored stays
//   ignored, and one that a sanitizer runtime or an embedding program already
//   handles stays with that handler, so its reports still come first.
// - Interrupt signals (SIGHUP, SIGINT, SIGTERM, SIGUSR2) end the process
//   without a report; SIGUSR1 is caught and ignored.
// - After the report the process always dies by the signal it received: a
//   fault returns and faults again with the default action, anything else
//   (abort, a signal sent by another process) is raised again.
// - The first thing the handler does is put the previous actions back, so a
//   second fault while reporting ends the process at once.
// Tested by crash_report_test.cpp, which runs crash_probe.
#pragma once

#include "support/output_stream.h"

#include <optional>

namespace vetline {

// "PLEASE submit a bug report to ... and include the crash backtrace.\n"
extern const char issueReportMessage[];

// One line of the "Stack dump:": an entry of this thread's context stack,
// pushed when made and popped when destroyed (entries end in reverse order).
class CrashContextEntry {
public:
  CrashContextEntry();
  virtual ~CrashContextEntry();
  CrashContextEntry(const CrashContextEntry &) = delete;
  CrashContextEntry &operator=(const CrashContextEntry &) = delete;

  // Runs inside the crash handler, under a five-second alarm.
  virtual void print(OutputStream &os) const = 0;

private:
  friend void printCrashContext(OutputStream &os);
  CrashContextEntry *older;
};

// "Program arguments: " and the arguments, each escaped and in double
// quotes when it holds a space. The vector must outlive the entry.
class ProgramArgumentsEntry final : public CrashContextEntry {
public:
  ProgramArgumentsEntry(int argc, const char *const *argv) : argc(argc), argv(argv) {}
  void print(OutputStream &os) const override;

private:
  int argc;
  const char *const *argv;
};

// A function the crash handler calls, once, on a fatal signal.
using CrashCallback = void (*)(void *argument);
constexpr unsigned maxCrashCallbacks = 8;

// Claims the first free of the eight callback slots (ending the process
// with "too many signal callbacks already registered" when none is left)
// and makes sure the signal handlers are installed.
void addCrashCallback(CrashCallback callback, void *argument);

// Installs the alternate signal stack, the crash handler and the
// information handler, once; again only after a crash handler has run.
void installSignalHandlers();

// The function SIGPIPE calls instead of a crash report; it must end the
// process. Set it before installSignalHandlers, which hooks SIGPIPE only
// when there is one.
void setPipeHandler(void (*handler)());

// The crash printer: issueReportMessage, then "Stack dump:" and the context
// entries of this thread when there are any.
void printCrashContext(OutputStream &os);

// Remembers the program name for symbolization and, once per process, makes
// writeBacktrace on standard error the next crash callback and the trace
// printer of reportUnreachable.
void armCrashBacktrace(const char *programName);
// The name armCrashBacktrace remembered; empty before.
std::string_view crashProgramName();

// Prints the current thread's backtrace: symbolized when that works, else
// the raw listing with module names, addresses and demangled symbols.
void writeBacktrace(OutputStream &os);

// Prints the frames through the external symbolizer; false, with nothing
// printed, when symbolization is disabled or fails in any way. The
// symbolizer talks through pipes, so no temporary file is made; it has five
// seconds and an answer of at most 1 MiB, past either of which its process
// group is killed and this fails (see runFilter).
bool symbolizeStackTrace(OutputStream &os, void *const *addresses, int depth);

// The start-up of the entry point, in its order: the pipe handler and the
// signal handlers, the arguments entry, the crash printer as the first
// callback, armCrashBacktrace, and the allocation-failure handler. What is
// process-wide happens once however often an entry point runs in one
// process; the arguments entry lives as long as this object.
class ProcessSupport {
public:
  ProcessSupport(int argc, char **argv, void (*onBrokenPipe)());
  ProcessSupport(const ProcessSupport &) = delete;
  ProcessSupport &operator=(const ProcessSupport &) = delete;

private:
  std::optional<ProgramArgumentsEntry> arguments;
};

} // namespace vetline
