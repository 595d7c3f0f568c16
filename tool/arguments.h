// The command-line values of one run, exactly as the options hold them:
// repeated options are not resolved here (the driver does that), lists keep
// command-line order. This is the only place the driver learns about its
// arguments, so the option parser can change behind one function.
#pragma once

#include "engine/check_request.h"
#include "tool/dump_settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

struct DriverArguments {
  // The positional check-file name; empty when none was given.
  std::string_view checkFile;
  // "input-file"; the driver replaces "-" with "<stdin>" once it is read.
  std::string_view inputFile = "-";
  // The engine's settings. "check-prefix" together with its comma-splitting
  // alias "check-prefixes" gives the check prefixes; the text after each
  // "-D" is copied unchecked into the global definitions; "vv" implies "v".
  CheckRequest request;
  std::vector<DumpMode> dumpModes;
  std::vector<DumpFilter> dumpFilters;
  std::vector<uint32_t> dumpContexts;
  // A help or version option printed its text and ended the parse; nothing
  // else is set then, apart from `namesCheckFile`.
  bool helpOrVersionPrinted = false;
  // The argument that asked for help or version, as written.
  std::string helpOrVersionRequest;
  // Whether the arguments name a check file that is not empty, those after
  // a help or version option included.
  bool namesCheckFile = false;
};

// Parses the process arguments. The views point into argv (or into storage
// that lives for the whole process), never into `out` itself. On a
// command-line error the messages have been printed to standard error and
// the result is false; the caller then ends the run with status 1. The
// process is never ended here.
bool parseArguments(int argc, char **argv, DriverArguments &out);

} // namespace vetline
