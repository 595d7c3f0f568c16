#include "support/cmdline/library_options.h"

#include "support/output_stream.h"
#include "tests/unit/cmdline/cmdline_test_support.h"

#include <gtest/gtest.h>

namespace vetline::cl {
namespace {

using testing::runParse;

struct CounterCase {
  const char *argument;
  const char *messages;
};

const CounterCase counterCases[] = {
    {"-debug-counter=foo-skip=5", "DebugCounter Error: foo is not a registered counter\n"},
    {"-debug-counter=foo=5", "DebugCounter Error: foo does not end with -skip or -count\n"},
    {"-debug-counter=foo", "DebugCounter Error: foo does not have an = in it\n"},
    {"-debug-counter=foo=", "DebugCounter Error: foo= does not have an = in it\n"},
    {"-debug-counter=foo-count=x", "DebugCounter Error: x is not a number\n"},
    {"-debug-counter=bad=x", "DebugCounter Error: x is not a number\n"},
    {"-debug-counter=a=b=1", "DebugCounter Error: b=1 is not a number\n"},
    {"-debug-counter=-count=0x10", "DebugCounter Error:  is not a registered counter\n"},
    {"-debug-counter=count=1", "DebugCounter Error: count does not end with -skip or -count\n"},
    {"-debug-counter=x-count=-0b101", "DebugCounter Error: x is not a registered counter\n"},
    {"-debug-counter=x-count=9223372036854775808",
     "DebugCounter Error: 9223372036854775808 is not a number\n"},
    {"-debug-counter=a-skip=1,,b-count=2", "DebugCounter Error: a is not a registered counter\n"
                                           "DebugCounter Error: b is not a registered counter\n"},
    {"-debug-counter=", ""},
};

TEST(DebugCounter, EveryValueGetsItsMessage) {
  for (const CounterCase &c : counterCases) {
    SCOPED_TRACE(c.argument);
    testing::ParseRun run = runParse({"vetline", c.argument});
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.errors, c.messages);
  }
}

TEST(SignedAutoBase, Radixes) {
  struct Case {
    const char *text;
    bool ok;
    int64_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"-12", true, -12},
      {"0x1F", true, 31},
      {"0X1f", true, 31},
      {"0b101", true, 5},
      {"0o17", true, 15},
      {"017", true, 15},
      {"-0x10", true, -16},
      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"0x", false, 0},
      {"08", false, 0},
      {"+1", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"--1", false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    int64_t value = 0;
    EXPECT_EQ(parseSignedAutoBase(c.text, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(LibraryOptions, AcceptedAndValidated) {
  testing::ParseRun run =
      runParse({"vetline", "-stats", "-stats-json", "-sort-timers", "-track-memory",
                "-print-debug-counter", "-rng-seed=42", "-info-output-file", "f",
                "-crash-diagnostics-dir=d", "-disable-symbolication",
                "-treat-scalable-fixed-error-as-warning", "-print-options", "-print-all-options"});
  EXPECT_EQ(run.errors, "");
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.output, "");
  EXPECT_TRUE(symbolicationDisabled());
  EXPECT_EQ(crashDiagnosticsDirectory(), "d");

  run = runParse({"vetline", "-rng-seed=abc"});
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.errors, "vetline: for the --rng-seed option: 'abc' value invalid for ulong "
                        "argument!\n");
  resetAllOptions();
  EXPECT_FALSE(symbolicationDisabled());
  EXPECT_EQ(crashDiagnosticsDirectory(), "");
}

TEST(LibraryOptions, ColorSetsThePolicy) {
  const std::pair<const char *, ColorPolicy> cases[] = {
      {"-color", ColorPolicy::Force},
      {"-color=false", ColorPolicy::Suppress},
      {"--color=1", ColorPolicy::Force},
      {"-color=0", ColorPolicy::Suppress},
  };
  for (const auto &[argument, policy] : cases) {
    SCOPED_TRACE(argument);
    setColorOptionPolicy(ColorPolicy::Detect);
    testing::ParseRun run = runParse({"vetline", argument});
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(colorOptionPolicy(), policy);
  }
  testing::ParseRun run = runParse({"vetline", "-color=yes"});
  EXPECT_EQ(run.errors, "vetline: for the --color option: 'yes' is invalid value for boolean "
                        "argument! Try 0 or 1\n");
  resetAllOptions();
  EXPECT_EQ(colorOptionPolicy(), ColorPolicy::Detect);
}

} // namespace
} // namespace vetline::cl
