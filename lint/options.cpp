#include "lint/options.h"

#include "engine/reading_options.h"

namespace vetline::lint::options {

// Declaration order is registration order, which decides the positional
// order and which name a misspelt option is offered.

cl::ListOption<std::string> checkFiles(cl::help("<check-file>..."), cl::Positional, cl::OneOrMore);

cl::ListOption<std::string> checkPrefixes = vetline::options::checkPrefixOption();

static cl::alias checkPrefixesAlias = vetline::options::checkPrefixesAliasOption(checkPrefixes);

cl::ListOption<std::string> commentPrefixes = vetline::options::commentPrefixesOption();

cl::SingleOption<bool> strictWhitespace = vetline::options::strictWhitespaceOption();

cl::ListOption<std::string> implicitCheckNot = vetline::options::implicitCheckNotOption();

cl::ListOption<std::string> globalDefines = vetline::options::globalDefinesOption();

cl::SingleOption<bool> allowUnusedPrefixes = vetline::options::allowUnusedPrefixesOption();

cl::SingleOption<bool> matchFullLines = vetline::options::matchFullLinesOption();

cl::ListOption<WarningKind> disabledWarnings(
    "disable", cl::CommaSeparated, cl::valueName("warning"),
    cl::help("Do not report this kind of warning (a comma-separated list\n"
             "may be given)"),
    cl::values({
        cl::enumValue(WarningKind::DirectiveTypo, warningName(WarningKind::DirectiveTypo),
                      "A word that looks like a directive but is not one"),
        cl::enumValue(WarningKind::NonPosixEscape, warningName(WarningKind::NonPosixEscape),
                      "An escape such as \\d that POSIX regexes take as a plain letter"),
        cl::enumValue(WarningKind::UndefinedVariable, warningName(WarningKind::UndefinedVariable),
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
