#include "lint/options.h"

namespace vetline::lint::options {

// Declaration order is registration order, which decides the positional
// order and which name a misspelt option is offered.

cl::ListOption<std::string> checkFiles(cl::help("<check-file>..."), cl::Positional, cl::OneOrMore);

cl::ListOption<std::string>
    checkPrefixes("check-prefix", cl::help("Prefix to use from check file (defaults to 'CHECK')"));

static cl::alias
    checkPrefixesAlias("check-prefixes", cl::aliasopt(checkPrefixes), cl::CommaSeparated,
                       cl::Listed,
                       cl::help("Alias for -check-prefix permitting multiple comma separated "
                                "values"));

cl::ListOption<std::string> commentPrefixes(
    "comment-prefixes", cl::CommaSeparated, cl::Hidden,
    cl::help("Comma-separated list of comment prefixes to use from check file\n"
             "(defaults to 'COM,RUN'). Please avoid using this feature in\n"
             "Orvane's RUNLET-based test suites, which should be easier to\n"
             "maintain if they all follow a consistent comment style. This\n"
             "feature is meant for non-RUNLET test suites using Vetline."));

cl::SingleOption<bool>
    strictWhitespace("strict-whitespace",
                     cl::help("Do not treat all horizontal whitespace as equivalent"));

cl::ListOption<std::string> implicitCheckNot(
    "implicit-check-not",
    cl::help("Add an implicit negative check with this pattern to every\n"
             "positive check. This can be used to ensure that no instances of\n"
             "this pattern occur which are not matched by a positive pattern"),
    cl::valueName("pattern"));

cl::ListOption<std::string>
    globalDefines("D", cl::GluedValueOnly,
                  cl::help("Define a variable to be used in capture patterns."),
                  cl::valueName("VAR=VALUE"));

cl::SingleOption<bool>
    allowUnusedPrefixes("allow-unused-prefixes", cl::init(false), cl::ZeroOrMore,
                        cl::help("Allow prefixes to be specified but not appear in the test."));

cl::SingleOption<bool> matchFullLines(
    "match-full-lines", cl::init(false),
    cl::help("Require all positive matches to cover an entire input line.\n"
             "Allows leading and trailing whitespace if --strict-whitespace\n"
             "is not also passed."));

cl::ListOption<WarningKind> disabledWarnings(
    "disable", cl::CommaSeparated, cl::valueName("warning"),
    cl::help("Do not report this kind of warning (a comma-separated list\n"
             "may be given)"),
    cl::values({
        cl::enumValue(WarningKind::DirectiveTypo, warningName(WarningKind::DirectiveTypo),
                      "A word that looks like a directive but is not one"),
        cl::enumValue(WarningKind::NonPosixEscape, warningName(WarningKind::NonPosixEscape),
                      "An escape such as \\d that POSIX regexes take as a plain letter"),
        cl::enumValue(WarningKind::UndefinedVariable,
                      warningName(WarningKind::UndefinedVariable),
                      "A variable used before any directive defines it"),
        cl::enumValue(WarningKind::UnusedVariable, warningName(WarningKind::UnusedVariable),
                      "A variable defined but never used"),
        cl::enumValue(WarningKind::BlankRun, warningName(WarningKind::BlankRun),
                      "A pattern or -D value with blanks the input never holds"),
        cl::enumValue(WarningKind::DagImplicitGap, warningName(WarningKind::DagImplicitGap),
                      "A CHECK-DAG group after which implicit-check-not patterns\n"
                      "are not searched"),
    }));

} // namespace vetline::lint::options
