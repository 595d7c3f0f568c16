#include "tool/options.h"

#include "engine/reading_options.h"

namespace vetline::options {

// Declaration order is registration order, which decides the positional
// order and, through the name map, which name a misspelt option is offered.

cl::SingleOption<std::string> checkFileName(cl::help("<check-file>"), cl::Positional);

cl::SingleOption<std::string> inputFileName("input-file",
                                            cl::help("File to check (defaults to stdin)"),
                                            cl::init("-"), cl::valueName("filename"));

cl::ListOption<std::string> checkPrefixes = checkPrefixOption();

static cl::alias checkPrefixesAlias = checkPrefixesAliasOption(checkPrefixes);

cl::ListOption<std::string> commentPrefixes = commentPrefixesOption();

cl::SingleOption<bool> strictWhitespace = strictWhitespaceOption();

cl::SingleOption<bool> ignoreCase("ignore-case", cl::help("Use case-insensitive matching"));

cl::ListOption<std::string> implicitCheckNot = implicitCheckNotOption();

cl::ListOption<std::string> globalDefines = globalDefinesOption();

cl::SingleOption<bool>
    allowEmpty("allow-empty", cl::init(false),
               cl::help("Allow the input file to be empty. This is useful when making\n"
                        "checks that some error message does not occur, for example."));

cl::SingleOption<bool> allowUnusedPrefixes = allowUnusedPrefixesOption();

cl::SingleOption<bool> matchFullLines = matchFullLinesOption();

cl::SingleOption<bool>
    enableVarScope("enable-var-scope", cl::init(false),
                   cl::help("Enables scope for regex variables. Variables with names that\n"
                            "do not start with '$' will be reset at the beginning of\n"
                            "each CHECK-LABEL block."));

cl::SingleOption<bool> allowDeprecatedDagOverlap(
    "allow-deprecated-dag-overlap", cl::init(false),
    cl::help("Enable overlapping among matches in a group of consecutive\n"
             "CHECK-DAG directives.  This option is deprecated and is only\n"
             "provided for convenience as old tests are migrated to the new\n"
             "non-overlapping CHECK-DAG implementation.\n"));

cl::SingleOption<bool>
    verbose("v", cl::init(false), cl::ZeroOrMore,
            cl::help("Print directive pattern matches, or add them to the input dump\n"
                     "if enabled.\n"));

cl::SingleOption<bool>
    veryVerbose("vv", cl::init(false), cl::ZeroOrMore,
                cl::help("Print information helpful in diagnosing internal Vetline\n"
                         "issues, or add it to the input dump if enabled.  Implies\n"
                         "-v.\n"));

cl::ListOption<DumpMode>
    dumpInput("dump-input",
              cl::help("Dump input to stderr, adding annotations representing\n"
                       "currently enabled diagnostics.  When there are multiple\n"
                       "occurrences of this option, the <value> that appears earliest\n"
                       "in the list below has precedence.  The default is 'fail'.\n"),
              cl::valueName("mode"),
              cl::values({cl::enumValue(DumpMode::Help, "help", "Explain input dump and quit"),
                          cl::enumValue(DumpMode::Always, "always", "Always dump input"),
                          cl::enumValue(DumpMode::Fail, "fail", "Dump input on failure"),
                          cl::enumValue(DumpMode::Never, "never", "Never dump input")}));

cl::ListOption<DumpFilter> dumpInputFilter(
    "dump-input-filter",
    cl::help("In the dump requested by -dump-input, print only input lines of\n"
             "kind <value> plus any context specified by -dump-input-context.\n"
             "When there are multiple occurrences of this option, the <value>\n"
             "that appears earliest in the list below has precedence.  The\n"
             "default is 'error' when -dump-input=fail, and it's 'all' when\n"
             "-dump-input=always.\n"),
    cl::values({cl::enumValue(DumpFilter::All, "all", "All input lines"),
                cl::enumValue(DumpFilter::AnnotationFull, "annotation-full",
                              "Input lines with annotations"),
                cl::enumValue(DumpFilter::Annotation, "annotation",
                              "Input lines with starting points of annotations"),
                cl::enumValue(DumpFilter::Error, "error",
                              "Input lines with starting points of error annotations")}));

cl::ListOption<uint32_t>
    dumpInputContext("dump-input-context",
                     cl::help("In the dump requested by -dump-input, print <N> input lines\n"
                              "before and <N> input lines after any lines specified by\n"
                              "-dump-input-filter.  When there are multiple occurrences of\n"
                              "this option, the largest specified <N> has precedence.  The\n"
                              "default is 5.\n"),
                     cl::valueName("N"));

static cl::HelpParagraph
    environmentParagraph("\nOptions are parsed from the environment variable VETLINE_OPTS and\n"
                         "from the command line.\n");

} // namespace vetline::options
