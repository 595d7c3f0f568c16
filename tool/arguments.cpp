// Reads the run's values from the tool's options after the one parse of
// the command line, the variable VETLINE_OPTS and any response files.
#include "tool/arguments.h"

#include "support/cmdline/library_options.h"
#include "support/cmdline/parser.h"
#include "tool/options.h"

namespace vetline {

namespace {

std::vector<std::string_view> views(const cl::ListOption<std::string> &list) {
  return std::vector<std::string_view>(list.begin(), list.end());
}

} // namespace

bool parseArguments(int argc, char **argv, DriverArguments &out) {
  out = DriverArguments();
  // A process parses once; an in-process caller (the whole-tool fuzz
  // target) starts each run from the declared defaults.
  cl::resetAllOptions();
  // Ends the process on a bad argument (status 1) and after help or
  // version (status 0).
  cl::parseCommandLine(argc, argv, "", nullptr, "VETLINE_OPTS", false);

  out.checkFile = options::checkFileName.getValue();
  out.inputFile = options::inputFileName.getValue();
  out.checkPrefixes = views(options::checkPrefixes);
  out.commentPrefixes = views(options::commentPrefixes);
  out.implicitCheckNot = views(options::implicitCheckNot);
  out.defines = views(options::globalDefines);
  out.dumpModes = options::dumpInput.getValues();
  out.dumpFilters = options::dumpInputFilter.getValues();
  out.dumpContexts = options::dumpInputContext.getValues();
  out.strictWhitespace = options::strictWhitespace;
  out.ignoreCase = options::ignoreCase;
  out.allowEmpty = options::allowEmpty;
  out.allowUnusedPrefixes = options::allowUnusedPrefixes;
  out.matchFullLines = options::matchFullLines;
  out.enableVarScope = options::enableVarScope;
  out.allowDeprecatedDagOverlap = options::allowDeprecatedDagOverlap;
  out.verbose = options::verbose;
  out.veryVerbose = options::veryVerbose;
  return true;
}

} // namespace vetline
