#include "support/cmdline/help.h"

#include "support/cmdline/option.h"
#include "tests/unit/cmdline/cmdline_test_support.h"

#include <gtest/gtest.h>

namespace vetline::cl {
namespace {

using testing::runParse;

enum class Level { None = 0, Low = 1, High = 2 };

// One option of each layout, in a subcommand of its own so that the
// listing holds only them and the built-in options of every subcommand.
struct Demo {
  SubCommand demo{"demo", "A demonstration."};
  OptionCategory extra{"Extra", "Options in a category of their own."};
  SingleOption<std::string> in{help("<in>"), Positional, sub(demo)};
  SingleOption<bool> flag{"flag", help("A flag"), sub(demo)};
  alias shortFlag{"f", help("Alias for --flag"), aliasopt(flag), Listed};
  SingleOption<std::string> text{"text", help("First line\nsecond line\n"), sub(demo)};
  SingleOption<uint32_t> count{"n", help("How many"), valueName("N"), ValueOptional, sub(demo)};
  ListOption<std::string> eat{"eat", Positional, ConsumesPositionals, help("Eats"), sub(demo)};
  SingleOption<Level> level{
      "level", help("Level"), cat(extra), sub(demo),
      values({enumValue(Level::High, "high", "Much\nmore"), enumValue(Level::Low, "low", ""),
              enumValue(Level::None, "", "Nothing")})};
  SingleOption<Level> maybe{
      "maybe",
      help("Maybe a level"),
      ValueOptional,
      cat(extra),
      sub(demo),
      values({enumValue(Level::None, "", ""), enumValue(Level::Low, "some", "Some")})};
  SingleOption<Level> pick{help("Pick one:"), cat(extra), sub(demo),
                           values({enumValue(Level::High, "pick-high", "High"),
                                   enumValue(Level::Low, "pick-low", "Low")})};
  SingleOption<uint64_t> secret{"secret", help("Hidden"), Hidden, sub(demo)};
  SingleOption<bool> invisible{"invisible", help("Never listed"), Unlisted, sub(demo)};
};

const char demoHelp[] =
    "SUBCOMMAND 'demo': A demonstration.\n"
    "\n"
    "USAGE: vetline demo [options] <in> --eat Eats\n"
    "\n"
    "OPTIONS:\n"
    "\n"
    "Extra:\n"
    "Options in a category of their own.\n"
    "\n"
    "  --level=<value>   - Level\n"
    "    =high           -   Much\n"
    "                        more\n"
    "    =low\n"
    "    =<empty>        -   Nothing\n"
    "  --maybe           - Maybe a level\n"
    "    =some           -   Some\n"
    "  Pick one:\n"
    "      --pick-high      - High\n"
    "      --pick-low       - Low\n"
    "\n"
    "General options:\n"
    "\n"
    "  --eat <string>... - Eats\n"
    "  -f                - Alias for --flag\n"
    "  --flag            - A flag\n"
    "  -n[=<N>]            - How many\n"
    "  --text=<string>   - First line\n"
    "                      second line\n"
    "\n"
    "Generic Options:\n"
    "\n"
    "  --help            - Display available options (--help-hidden for more)\n"
    "  --help-list       - Display list of available options (--help-list-hidden for more)\n"
    "  --version         - Display the version of this program\n"
    "\n"
    "The end.\n";

TEST(Help, CategorizedLayout) {
  Demo options;
  HelpParagraph paragraph("\nThe end.\n");
  testing::ParseRun run = runParse({"vetline", "demo", "-help", "-flag"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.output, demoHelp);
  EXPECT_FALSE(options.flag.getValue());
  // Printing emptied the extra paragraphs.
  EXPECT_EQ(registry().extraHelpTexts.size(), 0u);
}

// Runs after CategorizedLayout, whose categorized help made help-list listed.
TEST(Help, PlainListing) {
  Demo options;
  // Categorized help lists "help-list" for the rest of the process; print it
  // first so this test sees the same state alone as after the others.
  ASSERT_EQ(runParse({"vetline", "demo", "--help"}).exitCode, 0);
  testing::ParseRun run = runParse({"vetline", "demo", "--help-list"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output,
            "SUBCOMMAND 'demo': A demonstration.\n"
            "\n"
            "USAGE: vetline demo [options] <in> --eat Eats\n"
            "\n"
            "OPTIONS:\n"
            "  --eat <string>... - Eats\n"
            "  -f                - Alias for --flag\n"
            "  --flag            - A flag\n"
            "  --help            - Display available options (--help-hidden for more)\n"
            "  --help-list       - Display list of available options (--help-list-hidden for "
            "more)\n"
            "  --level=<value>   - Level\n"
            "    =high           -   Much\n"
            "                        more\n"
            "    =low\n"
            "    =<empty>        -   Nothing\n"
            "  --maybe           - Maybe a level\n"
            "    =some           -   Some\n"
            "  -n[=<N>]            - How many\n"
            "  Pick one:\n"
            "      --pick-high      - High\n"
            "      --pick-low       - Low\n"
            "  --text=<string>   - First line\n"
            "                      second line\n"
            "  --version         - Display the version of this program\n");
}

TEST(Help, HiddenListingShowsHiddenOptionsAndEmptyCategories) {
  Demo options;
  testing::ParseRun run = runParse({"vetline", "demo", "-help-hidden"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output,
            "SUBCOMMAND 'demo': A demonstration.\n"
            "\n"
            "USAGE: vetline demo [options] <in> --eat Eats\n"
            "\n"
            "OPTIONS:\n"
            "\n"
            "Color Options:\n"
            "\n"
            "  This option category has no options.\n"
            "\n"
            "Extra:\n"
            "Options in a category of their own.\n"
            "\n"
            "  --level=<value>     - Level\n"
            "    =high             -   Much\n"
            "                          more\n"
            "    =low\n"
            "    =<empty>          -   Nothing\n"
            "  --maybe             - Maybe a level\n"
            "    =some             -   Some\n"
            "  Pick one:\n"
            "      --pick-high        - High\n"
            "      --pick-low         - Low\n"
            "\n"
            "General options:\n"
            "\n"
            "  --eat <string>...   - Eats\n"
            "  -f                  - Alias for --flag\n"
            "  --flag              - A flag\n"
            "  -n[=<N>]              - How many\n"
            "  --secret=<ulong>    - Hidden\n"
            "  --text=<string>     - First line\n"
            "                        second line\n"
            "\n"
            "Generic Options:\n"
            "\n"
            "  -h                  - Alias for --help\n"
            "  --help              - Display available options (--help-hidden for more)\n"
            "  --help-hidden       - Display all available options\n"
            "  --help-list         - Display list of available options (--help-list-hidden for "
            "more)\n"
            "  --help-list-hidden  - Display list of all available options\n"
            "  --print-all-options - Print all option values after command line parsing\n"
            "  --print-options     - Print non-default options after command line parsing\n"
            "  --version           - Display the version of this program\n");
}

TEST(Help, SubcommandListInMainUsage) {
  SubCommand one("one", "The first");
  SubCommand two("two-long");
  SubCommand three("three", "The third");
  std::string help;
  {
    testing::ParseRun run = runParse({"vetline", "--help-list"});
    help = run.output;
  }
  std::string expectedStart = "USAGE: vetline [subcommand] [options]\n"
                              "\n"
                              "SUBCOMMANDS:\n"
                              "\n"
                              "  one      - The first\n"
                              "  three    - The third\n"
                              "  two-long\n"
                              "\n"
                              "  Type \"vetline <subcommand> --help\" to get more help on a "
                              "specific subcommand\n"
                              "\n"
                              "OPTIONS:\n";
  EXPECT_EQ(help.substr(0, expectedStart.size()), expectedStart);
}

TEST(Help, Version) {
  EXPECT_EQ(formatVersion(), "Orvane (https://vetline.dev/):\n"
                             "  Orvane version 14.0.0git\n"
                             "  Optimized build.\n"
                             "  Default target: x86_64-unknown-linux-gnu\n"
                             "  Host CPU: (unknown)\n");
}

} // namespace
} // namespace vetline::cl
