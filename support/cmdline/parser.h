// Command-line parsing: the argument vector, the tokens of one environment
// variable (tokenizer.h) and of response files ("@file", response_file.h)
// become occurrences of the registered options (option.h).
//
// Surprising: without an error stream, parseCommandLine ends the process
// (status 1) after reporting every bad argument, and a help or version
// option ends it (status 0) while it is parsed. Values are copied into the
// options; the token texts are kept until the next parse.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {
class OutputStream;
}

namespace vetline::cl {

// Parses the process arguments against the registry. `errors` null: every
// message goes to standard error and an error ends the process with status
// 1. Otherwise the parser's own messages go to `errors` and the function
// returns false on error. Returns true when no error was found.
bool parseCommandLine(int argc, const char *const *argv, std::string_view overview = {},
                      OutputStream *errors = nullptr, const char *environmentVariable = nullptr,
                      bool longOptionsUseDoubleDash = false);

// The same parse with every process-wide effect under the caller's control,
// for tests and fuzzing.
struct ParseSettings {
  std::string_view overview;
  OutputStream *errors = nullptr;
  // The variable's value itself (not its name); null when unset.
  const char *environmentValue = nullptr;
  bool longOptionsUseDoubleDash = false;
  // Help and version text goes here instead of standard output.
  OutputStream *output = nullptr;
  // When false, an error or a help request returns instead of exiting.
  bool mayExit = true;
};

struct ParseResult {
  bool ok = true;
  // The exit status a help or version option asked for; -1 when none did.
  int exitCode = -1;
  // Whether the arguments give a positional option a value that is not
  // empty. After a help or version request, the arguments it left unparsed
  // count as well, classified as the parse would have read them.
  bool namesPositional = false;
  // The argument, as written, whose help or version request stopped the
  // parse; empty when none did.
  std::string stoppedBy;
};

ParseResult parseArguments(const std::vector<std::string> &args, const ParseSettings &settings);

// Where help and version text go during the current parse.
OutputStream &programOutput();

// Ends the current parse with `code` (help and version): exits at once,
// unless the parse may not exit; then the parse stops after this argument.
void requestExit(int code);

} // namespace vetline::cl
