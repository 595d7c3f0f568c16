#include "support/cmdline/response_file.h"

#include "tests/unit/cmdline/response_file_fixture.h"
#include "tests/unit/support/fake_system_calls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace vetline::cl {
namespace {

TEST_F(ResponseFiles, ExpandInPlaceAndRecursively) {
  std::string inner = write("inner", "-c 'd e'\n");
  std::string outer = write("outer", "-a @" + inner + " -b\n");
  EXPECT_EQ(expand({"prog", "x", "@" + outer, "y"}),
            (std::vector<std::string>{"prog", "x", "-a", "-c", "d e", "-b", "y"}));
}

TEST_F(ResponseFiles, SelfReferenceIsExpandedOnce) {
  std::string self = (dir / "self").string();
  write("self", "-v @" + self);
  EXPECT_EQ(expand({"prog", "@" + self}), (std::vector<std::string>{"prog", "-v", "@" + self}));

  std::string a = (dir / "a").string(), b = (dir / "b").string();
  write("a", "A @" + b);
  write("b", "B @" + a);
  EXPECT_EQ(expand({"prog", "@" + a}), (std::vector<std::string>{"prog", "A", "B", "@" + a}));
}

TEST_F(ResponseFiles, FinishedFileMayBeUsedAgain) {
  std::string leaf = write("leaf", "L");
  std::string both = write("both", "@" + leaf + " @" + leaf);
  std::string empty = write("empty", " \n");
  EXPECT_EQ(expand({"prog", "@" + both, "@" + empty, "@" + leaf}),
            (std::vector<std::string>{"prog", "L", "L", "L"}));
}

TEST_F(ResponseFiles, UnreadableFilesStay) {
  std::string missing = (dir / "missing").string();
  std::string badUtf16 = write("bad16", std::string("\xFF\xFE\x00\xD8", 4));
  EXPECT_EQ(expand({"prog", "@" + missing, "@" + dir.string(), "@", "@/dev/zero", "@" + badUtf16}),
            (std::vector<std::string>{"prog", "@" + missing, "@" + dir.string(), "@", "@/dev/zero",
                                      "@" + badUtf16}));
}

TEST_F(ResponseFiles, ByteOrderMarks) {
  std::string utf8 = write("utf8", "\xEF\xBB\xBF-a b");
  std::string utf16le = write("utf16le", std::string("\xFF\xFE-\0x\0 \0\xE9\0", 10));
  std::string utf16be = write("utf16be", std::string("\xFE\xFF\0y\xD8\x3D\xDE\x00", 8));
  EXPECT_EQ(expand({"prog", "@" + utf8, "@" + utf16le, "@" + utf16be}),
            (std::vector<std::string>{"prog", "-a", "b", "-x", "\xC3\xA9", "y\xF0\x9F\x98\x80"}));
}

TEST_F(ResponseFiles, LargeFileOfTokens) {
  std::string text;
  for (int i = 0; i < 400000; ++i)
    text += "-prefix=p" + std::to_string(i % 10) + " \"quoted value\"\n";
  ASSERT_GT(text.size(), 10000000u);
  std::string file = write("large", text);
  std::vector<std::string> args = expand({"prog", "@" + file});
  ASSERT_EQ(args.size(), 800001u);
  EXPECT_EQ(args[1], "-prefix=p0");
  EXPECT_EQ(args[800000], "quoted value");
}

TEST_F(ResponseFiles, ManySmallFilesStayLinear) {
  std::string leaf = write("leaf", "x");
  std::string references;
  for (int i = 0; i < 50000; ++i)
    references += "@" + leaf + "\n";
  std::string many = write("many", references);
  std::vector<std::string> args = expand({"prog", "@" + many, "end"});
  ASSERT_EQ(args.size(), 50002u);
  EXPECT_EQ(args[1], "x");
  EXPECT_EQ(args[50000], "x");
  EXPECT_EQ(args[50001], "end");
}

struct LimitCase {
  const char *name;
  // Response files: name and text; "@" + name refers to one.
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> args;
  // Empty when the expansion stays within 10 arguments and 100 bytes.
  std::string overLimit;
};

// One case a line or two, whatever the column limit says.
// clang-format off
const LimitCase limitCases[] = {
    {"exactly at both limits", {{"a", "1 2 3 4 5 6 7 8 9 " + std::string(81, 'x')}}, {"@a"}, ""},
    {"one argument too many", {{"a", "1 2 3 4 5 6 7 8 9 10 11"}}, {"@a"},
     "Response file 'a' expands the command line past 10 arguments"},
    {"one byte too many", {{"a", std::string(101, 'x')}}, {"@a"},
     "Response file 'a' expands the command line past 100 bytes"},
    {"a file named again counts again", {{"a", "1 2 3 4"}}, {"@a", "@a", "@a"},
     "Response file 'a' expands the command line past 10 arguments"},
    {"files inside files count", {{"a", "@b @b"}, {"b", "1 2 3 4 5"}}, {"@a"},
     "Response file 'b' expands the command line past 10 arguments"},
    {"arguments of the command line itself are free", {{"a", "1 2 3 4 5 6 7 8 9 10"}},
     {"@a", "x", "y", "z"}, ""},
    {"a file being expanded stays and costs nothing", {{"a", "1 2 3 4 5 6 7 8 @a"}}, {"@a"},
     ""},
};
// clang-format on

TEST_F(ResponseFiles, TotalIsBounded) {
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  for (const LimitCase &c : limitCases) {
    SCOPED_TRACE(c.name);
    for (const auto &[name, text] : c.files)
      write(name, text);
    std::vector<std::string> args = {"prog"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string overLimit;
    bool expanded = expandResponseFiles(args, &overLimit, ResponseFileLimits{10, 100});
    EXPECT_EQ(expanded, c.overLimit.empty());
    EXPECT_EQ(overLimit, c.overLimit);
  }
  std::filesystem::current_path(previous);
}

TEST(Utf16, Conversion) {
  struct Case {
    std::string bytes;
    bool ok;
    std::string text;
  };
  // A literal split after a hex escape stays on its line.
  // clang-format off
  const Case cases[] = {
      {std::string("\xFF\xFE", 2), true, ""},
      {std::string("\xFF\xFE" "a\0", 4), true, "a"},
      {std::string("\xFE\xFF\0a\x20\xAC", 6), true, "a\xE2\x82\xAC"},
      {std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), true, "\xF0\x9F\x98\x80"},
      {std::string("\xFF\xFE\x3D\xD8", 4), false, ""},
      {std::string("\xFF\xFE\x00\xDE", 4), false, ""},
      {std::string("\xFF\xFE" "a", 3), false, ""},
      {std::string("ab", 2), false, ""},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    std::string out;
    EXPECT_EQ(convertUtf16ToUtf8(c.bytes, out), c.ok);
    if (c.ok) {
      EXPECT_EQ(out, c.text);
    }
  }
}

// Reading the file through each failure the system may report: interrupted
// calls are retried, short reads joined, and a file that cannot be read
// stays as the argument it was.
TEST_F(ResponseFiles, SystemCallFailures) {
  struct Case {
    const char *name;
    std::vector<testing::FakeStep> opens;
    std::vector<testing::FakeStep> reads;
    std::vector<std::string> expanded;
  };
  std::string file = write("args", "-a 'b c'\n");
  const Case cases[] = {
      {"open interrupted", {{EINTR}}, {}, {"prog", "-a", "b c"}},
      {"read interrupted", {}, {{EINTR}, {EINTR}}, {"prog", "-a", "b c"}},
      {"short reads", {}, {{0, 3}, {0, 1}}, {"prog", "-a", "b c"}},
      {"open fails", {{EACCES}}, {}, {"prog", "@" + file}},
      {"read fails", {}, {{0, 3}, {EIO}}, {"prog", "@" + file}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeSystemCalls fake;
    fake.opens.assign(c.opens.begin(), c.opens.end());
    fake.reads.assign(c.reads.begin(), c.reads.end());
    EXPECT_EQ(expand({"prog", "@" + file}), c.expanded);
  }
}

} // namespace
} // namespace vetline::cl
