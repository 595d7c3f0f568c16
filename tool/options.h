// The tool's own options, declared as global objects of the option library
// and registered before the entry point runs. The entry point reads their
// values after the one parse of the command line; repeated dump options are
// kept as lists in command-line order and resolved by the driver.
#pragma once

#include "support/cmdline/option.h"
#include "tool/dump_settings.h"

#include <cstdint>
#include <string>

namespace vetline::options {

extern cl::SingleOption<std::string> checkFileName;
extern cl::SingleOption<std::string> inputFileName;
extern cl::ListOption<std::string> checkPrefixes;
extern cl::ListOption<std::string> commentPrefixes;
extern cl::SingleOption<bool> strictWhitespace;
extern cl::SingleOption<bool> ignoreCase;
extern cl::ListOption<std::string> implicitCheckNot;
extern cl::ListOption<std::string> globalDefines;
extern cl::SingleOption<bool> allowEmpty;
extern cl::SingleOption<bool> allowUnusedPrefixes;
extern cl::SingleOption<bool> matchFullLines;
extern cl::SingleOption<bool> enableVarScope;
extern cl::SingleOption<bool> allowDeprecatedDagOverlap;
extern cl::SingleOption<bool> verbose;
extern cl::SingleOption<bool> veryVerbose;
extern cl::ListOption<DumpMode> dumpInput;
extern cl::ListOption<DumpFilter> dumpInputFilter;
extern cl::ListOption<uint32_t> dumpInputContext;

} // namespace vetline::options
