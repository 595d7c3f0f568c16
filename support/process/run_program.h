// Running a helper program as a child process and waiting for it: with
// redirections to files and no limit (runAndWait), or as a filter through
// pipes under a time limit and an output cap (runFilter), which is how the
// crash reporting runs the external symbolizer. The child inherits the
// environment, and nothing is printed about failures, which show only in
// the result.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vetline {

// The result of runAndWait when the program could not be started or did not
// run (including the exit statuses 126 and 127, by which a shell or the
// spawn machinery says so).
constexpr int ProgramDidNotRun = -1;
// The result when the child was ended by a signal.
constexpr int ProgramKilled = -2;
// The results of runFilter when the child's process group was killed
// because the time limit ran out, or because the output went past the cap.
constexpr int ProgramTimedOut = -3;
constexpr int ProgramOutputTooLarge = -4;

// Runs `program` with `arguments` (the first is the name the child sees as
// its own) and returns its exit status, ProgramDidNotRun or ProgramKilled.
// `redirections` is empty (nothing redirected) or holds exactly three
// entries, for standard input, output and error: no value inherits the
// descriptor, an empty path means "/dev/null". Output files are created when
// missing and written from the start without being truncated; the same path
// for output and error makes error a duplicate of output.
int runAndWait(std::string_view program, std::span<const std::string_view> arguments,
               std::span<const std::optional<std::string_view>> redirections = {});

struct FilterLimits {
  // From the start of the child to its end, output read and exit included.
  int timeLimitMilliseconds;
  // The most bytes of output that are read; one more is too many.
  size_t outputCap;
};

// Runs `program` with `arguments` as a filter: `input` is written to its
// standard input through a pipe (closed once all is written, so that the
// child sees its end), its standard output is read from another pipe into
// `output`, and its standard error goes to /dev/null. Nothing touches the
// disk. Returns the exit status, ProgramDidNotRun, ProgramKilled,
// ProgramTimedOut or ProgramOutputTooLarge; `output` holds what was read
// whatever the result.
//
// Surprising:
// - The child leads a process group of its own, and that whole group is
//   killed with SIGKILL when the time limit runs out or the output passes
//   the cap, and also once the child has ended, so that nothing it forked
//   outlives the call. A terminal's interrupt therefore does not reach the
//   child by itself: while the child runs, SIGHUP, SIGINT, SIGQUIT, SIGTERM
//   and SIGUSR2 (unless ignored) first kill the group, then get their
//   previous action and are raised again. That handler only calls kill,
//   sigaction and raise, so a run may happen inside a signal handler.
// - A child that stops reading its input early is no error here: the
//   SIGPIPE of the write is kept from the calling thread, and the rest of
//   the input is dropped.
// - One run at a time per process forwards the interrupts; a run that
//   overlaps another (from another thread) only has the time limit.
int runFilter(std::string_view program, std::span<const std::string_view> arguments,
              std::string_view input, std::string &output, const FilterLimits &limits);

} // namespace vetline
