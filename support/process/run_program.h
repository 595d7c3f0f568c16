// Running a helper program as a child process and waiting for it. The only
// user is the crash reporting, which runs the external symbolizer this way:
// the child inherits the environment, there is no time limit, and nothing
// is printed about failures, which show only in the result.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace vetline {

// The result of runAndWait when the program could not be started or did not
// run (including the exit statuses 126 and 127, by which a shell or the
// spawn machinery says so).
constexpr int ProgramDidNotRun = -1;
// The result when the child was ended by a signal.
constexpr int ProgramKilled = -2;

// Runs `program` with `arguments` (the first is the name the child sees as
// its own) and returns its exit status, ProgramDidNotRun or ProgramKilled.
// `redirections` is empty (nothing redirected) or holds exactly three
// entries, for standard input, output and error: no value inherits the
// descriptor, an empty path means "/dev/null". Output files are created when
// missing and written from the start without being truncated; the same path
// for output and error makes error a duplicate of output.
int runAndWait(std::string_view program, std::span<const std::string_view> arguments,
               std::span<const std::optional<std::string_view>> redirections = {});

} // namespace vetline
