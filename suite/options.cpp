#include "suite/options.h"

namespace vetline::suite::options {

// Declaration order is registration order, which decides the positional
// order and which name a misspelt option is offered.

cl::ListOption<std::string> paths(cl::help("<path>..."), cl::Positional, cl::OneOrMore);

cl::SingleOption<uint32_t> jobs("j", cl::valueName("N"), cl::init(uint32_t(0)),
                                cl::help("Run N tests at once (default: the number of\n"
                                         "processors)"));

cl::SingleOption<uint32_t>
    timeout("timeout", cl::valueName("seconds"), cl::init(uint32_t(0)),
            cl::help("Stop a test that runs longer than this, and report a timeout\n"
                     "(0: no limit; default: the configuration's timeout)"));

cl::SingleOption<std::string> filter("filter", cl::valueName("regex"),
                                     cl::help("Run only the tests whose path matches the regex"));

cl::SingleOption<std::string>
    shard("shard", cl::valueName("K/N"),
          cl::help("Run only the K-th of N parts of the suite; the parts of\n"
                   "1/N ... N/N together run every test once"));

cl::SingleOption<bool> failedOnly("failed",
                                  cl::help("Run only the tests that failed in the previous run"));

cl::SingleOption<uint32_t> repeat("repeat", cl::valueName("N"), cl::init(uint32_t(1)),
                                  cl::help("Run each test N times (to find flaky tests)"));

cl::SingleOption<uint32_t> slowest("slowest", cl::valueName("N"), cl::init(uint32_t(0)),
                                   cl::help("List the N slowest tests in the summary"));

cl::SingleOption<std::string> junit("junit", cl::valueName("file"),
                                    cl::help("Write a JUnit XML report to the file"));

cl::SingleOption<std::string>
    json("json", cl::valueName("file"),
         cl::help("Write a JSON record per test to the file, one a line"));

cl::SingleOption<std::string>
    output("output", cl::valueName("dir"), cl::init(std::string("vetline-suite.out")),
           cl::help("Folder for the tests' {tmp} paths, whole outputs and the\n"
                    "list of failed tests (default: vetline-suite.out)"));

cl::SingleOption<uint32_t>
    outputLimit("output-limit", cl::valueName("bytes"), cl::init(uint32_t(32768)),
                cl::help("Show at most this much of a failing command's output and\n"
                         "of its error output; the rest is kept in the output folder"));

cl::SingleOption<std::string>
    vetline("vetline", cl::valueName("path"),
            cl::help("The tool {vetline} stands for (default: the vetline next to\n"
                     "this program)"));

cl::SingleOption<bool> quiet("quiet",
                             cl::help("Print no line for tests that passed, were skipped or\n"
                                      "failed as expected"));

cl::SingleOption<bool> list("list",
                            cl::help("Print the path of each test that would run, one a line,\n"
                                     "and run none"));

static cl::alias quietAlias("q", cl::aliasopt(quiet), cl::help("Alias for --quiet"));

} // namespace vetline::suite::options
