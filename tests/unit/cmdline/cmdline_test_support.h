// Runs a parse in-process with every message and every help text captured,
// so tests compare them byte for byte.
#pragma once

#include "support/cmdline/option.h"
#include "support/cmdline/parser.h"
#include "support/output_stream.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace vetline::cl::testing {

struct ParseRun {
  bool ok = false;
  int exitCode = -1;
  std::string output;
  std::string errors;
};

inline ParseRun runParse(std::vector<std::string> args, const char *environment = nullptr) {
  ParseRun run;
  StringOutputStream errors(run.errors);
  StringOutputStream output(run.output);
  OptionRegistry &r = registry();
  OutputStream *saved = r.errorStream;
  r.errorStream = &errors;
  ParseSettings settings;
  settings.errors = &errors;
  settings.output = &output;
  settings.environmentValue = environment;
  settings.mayExit = false;
  ParseResult result = parseArguments(args, settings);
  r.errorStream = saved;
  run.ok = result.ok;
  run.exitCode = result.exitCode;
  return run;
}

} // namespace vetline::cl::testing
