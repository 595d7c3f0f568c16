// Reading options: the declarations of the options that say how a check
// file is read (its prefixes, blanks, implicit NOT patterns, variables),
// which the tool and the linter both take with the same names and help
// texts, so that a test suite can hand both programs the same arguments,
// and the one place that turns their values into a check request's settings.
// Each function makes one option in place (the option registers itself
// where it is constructed): a program declares its global
//   cl::ListOption<std::string> checkPrefixes = options::checkPrefixOption();
// at the point of its own declaration order, which decides the positional
// order and which name a misspelt option is offered.
#pragma once

#include "engine/check_request.h"
#include "support/cmdline/option.h"

#include <string>
#include <string_view>
#include <vector>

namespace vetline::options {

inline cl::ListOption<std::string> checkPrefixOption() {
  return cl::ListOption<std::string>(
      "check-prefix", cl::help("Prefix to use from check file (defaults to 'CHECK')"));
}

inline cl::alias checkPrefixesAliasOption(cl::ListOption<std::string> &checkPrefixes) {
  return cl::alias("check-prefixes", cl::aliasopt(checkPrefixes), cl::CommaSeparated, cl::Listed,
                   cl::help("Alias for -check-prefix permitting multiple comma separated values"));
}

inline cl::ListOption<std::string> commentPrefixesOption() {
  return cl::ListOption<std::string>(
      "comment-prefixes", cl::CommaSeparated, cl::Hidden,
      cl::help("Comma-separated list of comment prefixes to use from check file\n"
               "(defaults to 'COM,RUN'). Please avoid using this feature in\n"
               "Orvane's RUNLET-based test suites, which should be easier to\n"
               "maintain if they all follow a consistent comment style. This\n"
               "feature is meant for non-RUNLET test suites using Vetline."));
}

inline cl::SingleOption<bool> strictWhitespaceOption() {
  return cl::SingleOption<bool>("strict-whitespace",
                                cl::help("Do not treat all horizontal whitespace as equivalent"));
}

inline cl::ListOption<std::string> implicitCheckNotOption() {
  return cl::ListOption<std::string>(
      "implicit-check-not",
      cl::help("Add an implicit negative check with this pattern to every\n"
               "positive check. This can be used to ensure that no instances of\n"
               "this pattern occur which are not matched by a positive pattern"),
      cl::valueName("pattern"));
}

inline cl::ListOption<std::string> globalDefinesOption() {
  return cl::ListOption<std::string>("D", cl::GluedValueOnly,
                                     cl::help("Define a variable to be used in capture patterns."),
                                     cl::valueName("VAR=VALUE"));
}

inline cl::SingleOption<bool> allowUnusedPrefixesOption() {
  return cl::SingleOption<bool>(
      "allow-unused-prefixes", cl::init(false), cl::ZeroOrMore,
      cl::help("Allow prefixes to be specified but not appear in the test."));
}

inline cl::SingleOption<bool> matchFullLinesOption() {
  return cl::SingleOption<bool>(
      "match-full-lines", cl::init(false),
      cl::help("Require all positive matches to cover an entire input line.\n"
               "Allows leading and trailing whitespace if --strict-whitespace\n"
               "is not also passed."));
}

// One program's reading options, as it declared them.
struct ReadingOptions {
  const cl::ListOption<std::string> &checkPrefixes;
  const cl::ListOption<std::string> &commentPrefixes;
  const cl::SingleOption<bool> &strictWhitespace;
  const cl::ListOption<std::string> &implicitCheckNot;
  const cl::ListOption<std::string> &globalDefines;
  const cl::SingleOption<bool> &allowUnusedPrefixes;
  const cl::SingleOption<bool> &matchFullLines;
};

// Sets the reading settings of `request` from the options' parsed values;
// the other settings are left alone. The views point into the options'
// values, which live as long as the program and stay until the next parse.
inline void fillReadingSettings(CheckRequest &request, const ReadingOptions &options) {
  auto views = [](const cl::ListOption<std::string> &list) {
    return std::vector<std::string_view>(list.begin(), list.end());
  };
  request.checkPrefixes = views(options.checkPrefixes);
  request.commentPrefixes = views(options.commentPrefixes);
  request.strictWhitespace = options.strictWhitespace;
  request.implicitCheckNot = views(options.implicitCheckNot);
  request.globalDefines = views(options.globalDefines);
  request.allowUnusedPrefixes = options.allowUnusedPrefixes;
  request.matchFullLines = options.matchFullLines;
}

} // namespace vetline::options
