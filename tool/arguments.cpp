// Reads the run's values from the tool's options after the one parse of
// the command line, the variable VETLINE_OPTS and any response files.
#include "tool/arguments.h"

#include "engine/reading_options.h"
#include "support/cmdline/library_options.h"
#include "support/cmdline/parser.h"
#include "tool/options.h"

#include <cstdlib>
#include <string>

namespace vetline {

bool parseArguments(int argc, char **argv, DriverArguments &out) {
  out = DriverArguments();
  // A process parses once; an in-process caller (the whole-tool fuzz
  // target) starts each run from the declared defaults.
  cl::resetAllOptions();
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i)
    words.emplace_back(argv[i] ? argv[i] : "");
  cl::ParseSettings settings;
  settings.environmentValue = std::getenv("VETLINE_OPTS");
  // The driver chooses the status of a run that help or version ended.
  settings.mayExit = false;
  cl::ParseResult parsed = cl::parseArguments(words, settings);
  out.namesCheckFile = parsed.namesPositional;
  if (parsed.exitCode >= 0) {
    out.helpOrVersionPrinted = true;
    out.helpOrVersionRequest = parsed.stoppedBy;
    return true;
  }
  if (!parsed.ok)
    return false;

  out.checkFile = options::checkFileName.getValue();
  out.inputFile = options::inputFileName.getValue();
  out.dumpModes = options::dumpInput.getValues();
  out.dumpFilters = options::dumpInputFilter.getValues();
  out.dumpContexts = options::dumpInputContext.getValues();
  CheckRequest &request = out.request;
  options::fillReadingSettings(request, {options::checkPrefixes, options::commentPrefixes,
                                         options::strictWhitespace, options::implicitCheckNot,
                                         options::globalDefines, options::allowUnusedPrefixes,
                                         options::matchFullLines});
  request.allowEmptyInput = options::allowEmpty;
  request.ignoreCase = options::ignoreCase;
  request.enableVarScope = options::enableVarScope;
  request.allowDeprecatedDagOverlap = options::allowDeprecatedDagOverlap;
  request.verbose = options::verbose || options::veryVerbose;
  request.veryVerbose = options::veryVerbose;
  return true;
}

} // namespace vetline
