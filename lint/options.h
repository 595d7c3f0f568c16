// The linter's options, declared as global objects of the option library
// and registered before the entry point runs. The prefix and reading
// options are made like the tool's, from one set of declarations
// (engine/reading_options.h), so that a test suite can hand both programs
// the same arguments.
#pragma once

#include "lint/warning.h"
#include "support/cmdline/option.h"

#include <string>

namespace vetline::lint::options {

extern cl::ListOption<std::string> checkFiles;
extern cl::ListOption<std::string> checkPrefixes;
extern cl::ListOption<std::string> commentPrefixes;
extern cl::SingleOption<bool> strictWhitespace;
extern cl::ListOption<std::string> implicitCheckNot;
extern cl::ListOption<std::string> globalDefines;
extern cl::SingleOption<bool> allowUnusedPrefixes;
extern cl::SingleOption<bool> matchFullLines;
extern cl::ListOption<WarningKind> disabledWarnings;

} // namespace vetline::lint::options
