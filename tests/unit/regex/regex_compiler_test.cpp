#include "support/regex/regex_engine.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace vetline::regex {
namespace {

const int E = Extended;

// Compiles `pattern` (its whole length) and returns the operation dump, or
// "error N".
std::string compiled(const std::string &pattern, int flags = E) {
  Handle handle;
  handle.patternEnd = pattern.data() + pattern.size();
  int code = compile(handle, pattern.data(), flags | PatternEnd);
  if (code != Success)
    return "error " + std::to_string(code);
  std::string dump = dumpProgram(*handle.program);
  free(handle);
  return dump;
}

struct DumpCase {
  const char *pattern;
  int flags;
  const char *dump;
};

const DumpCase dumpCases[] = {
    {"ab", E, "end\nchar a\nchar b\nend\n"},
    {"a*", E, "end\nquestStart 4\nplusStart 2\nchar a\nplusEnd 2\nquestEnd 4\nend\n"},
    {"a+", E, "end\nplusStart 2\nchar a\nplusEnd 2\nend\n"},
    {"a?", E, "end\naltStart 3\nchar a\naltFirst 2\naltNext 1\naltEnd 4\nend\n"},
    {"a|b|c", E,
     "end\naltStart 3\nchar a\naltFirst 6\naltNext 3\nchar b\naltFirst 3\naltNext 2\n"
     "char c\naltEnd 8\nend\n"},
    {"(a)\\1", E,
     "end\ngroupOpen 1\nchar a\ngroupClose 1\nbackRefStart 1\nchar a\nbackRefEnd 1\nend\n"},
    // Anchors and word boundaries become empty moves in the copy.
    {"(^[[:<:]]a$)\\1", E,
     "end\ngroupOpen 1\nbol\nwordStart\nchar a\neol\ngroupClose 1\nbackRefStart 1\n"
     "groupOpen 0\ngroupOpen 0\nchar a\ngroupOpen 0\nbackRefEnd 1\nend\n"},
    {"a{2,3}", E,
     "end\nchar a\nchar a\naltStart 3\nchar a\naltFirst 2\naltNext 1\naltEnd 4\nend\n"},
    {"a{2,}", E, "end\nchar a\nplusStart 2\nchar a\nplusEnd 2\nend\n"},
    {"a{0,1}", E, "end\naltStart 3\nchar a\naltFirst 2\naltNext 1\naltEnd 4\nend\n"},
    {"a{1}", E, "end\nchar a\nend\n"},
    {"a{0}b", E, "end\nchar b\nend\n"},
    {"(a){0}\\1", E, "end\nbackRefStart 1\nbackRefEnd 1\nend\n"},
    {"()", E, "end\ngroupOpen 1\ngroupClose 1\nend\n"},
    {"^a$", E, "end\nbol\nchar a\neol\nend\n"},
    {".", E, "end\nany\nend\n"},
    {".", E | Newline, "end\nanyOf 0\nend\n"},
    {"[a]", E, "end\nchar a\nend\n"},
    {"[ab][ba][bc]", E, "end\nanyOf 0\nanyOf 0\nanyOf 1\nend\n"},
    {"a1", E | IgnoreCase, "end\nanyOf 0\nchar 1\nend\n"},
    {"[[:<:]]x[[:>:]]", E, "end\nwordStart\nchar x\nwordEnd\nend\n"},
    {"\\n\\.", E, "end\nchar n\nchar .\nend\n"},
    {"a{", E, "end\nchar a\nchar {\nend\n"},
    {"a{x", E, "end\nchar a\nchar {\nchar x\nend\n"},
    {"\n", E, "end\nchar \\x0a\nend\n"},
    {"\\(a\\)*$", 0,
     "end\nquestStart 6\nplusStart 4\ngroupOpen 1\nchar a\ngroupClose 1\nplusEnd 4\n"
     "questEnd 6\neol\nend\n"},
    {"*a$b", 0, "end\nchar *\nchar a\nchar $\nchar b\nend\n"},
    {"a|b", NoSpecial, "end\nchar a\nchar |\nchar b\nend\n"},
};

TEST(RegexCompiler, OperationLists) {
  for (const DumpCase &c : dumpCases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(compiled(c.pattern, c.flags), c.dump);
  }
}

struct ErrorCase {
  std::string pattern;
  int flags;
  int code;
};

const ErrorCase errorCases[] = {
    {"[[.Period.]]", E, BadCollatingElement},
    {"[[.ab.]]", E, BadCollatingElement},
    {"[[=]=]]", E, BadCollatingElement},
    {"[[=a]", E, UnbalancedBrackets},
    {"[[:foo:]]", E, BadClass},
    {"[[:alpha]]", E, BadClass},
    {"[[:-:]]", E, BadClass},
    {"a\\", E, TrailingBackslash},
    {"\\1(a)", E, BadBackReference},
    {"(a\\1)", E, BadBackReference},
    {"(a)\\2", E, BadBackReference},
    {"[abc", E, UnbalancedBrackets},
    {"[[:alpha", E, UnbalancedBrackets},
    {"[[:alpha:", E, BadClass},
    {"[[.a", E, UnbalancedBrackets},
    {"(", E, UnbalancedParentheses},
    {")", E, UnbalancedParentheses},
    {"(a", E, UnbalancedParentheses},
    {"a)", E, UnbalancedParentheses},
    {"a{1", E, UnbalancedBraces},
    {"a{1,2", E, UnbalancedBraces},
    {"a{1x}", E, BadRepetitionCount},
    {"a{2,1}", E, BadRepetitionCount},
    {"a{256}", E, BadRepetitionCount},
    {"a{1,99999999999999999999}", E, BadRepetitionCount},
    {"[z-a]", E, BadRange},
    {"[a-c-e]", E, BadRange},
    {"[--/]", E, BadRange},
    {"*a", E, BadRepetitionOperand},
    {"a**", E, BadRepetitionOperand},
    {"a*{2}", E, BadRepetitionOperand},
    {"^*", E, BadRepetitionOperand},
    {"{1}", E, BadRepetitionOperand},
    {"(+a)", E, BadRepetitionOperand},
    {"", E, EmptyExpression},
    {"a|", E, EmptyExpression},
    {"|a", E, EmptyExpression},
    {"a||b", E, EmptyExpression},
    {"(|a)", E, EmptyExpression},
    {"(a|)", E, EmptyExpression},
    {"", NoSpecial, EmptyExpression},
    {"a", E | NoSpecial, InvalidArgument},
    {"\\(a", 0, UnbalancedParentheses},
    {"a\\{1", 0, UnbalancedBraces},
    {"\\{1\\}", 0, BadRepetitionOperand},
    {"a**", 0, BadRepetitionOperand},
    {"", 0, EmptyExpression},
    // Only the first error counts.
    {"(a{2,1}", E, BadRepetitionCount},
    {"[z-a](", E, BadRange},
};

TEST(RegexCompiler, ErrorCodes) {
  for (const ErrorCase &c : errorCases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(compiled(c.pattern, c.flags), "error " + std::to_string(c.code));
  }
}

TEST(RegexCompiler, AcceptedEdgeCases) {
  for (const char *pattern : {"()", "a{255}", "a{0,255}", "(a)\\1", "[]a]", "[ab-]", "[^]a]",
                              "[a-]b-]", "$*", "a{,}", "[[.-.]-/]", "[[=a=]b]", "\\d"}) {
    SCOPED_TRACE(pattern);
    EXPECT_EQ(compiled(pattern).rfind("error", 0), std::string::npos);
  }
}

TEST(RegexCompiler, PatternEndBeforeStartIsInvalid) {
  const char *pattern = "abc";
  Handle handle;
  handle.patternEnd = pattern;
  EXPECT_EQ(compile(handle, pattern + 1, E | PatternEnd), InvalidArgument);
  EXPECT_EQ(handle.magic, 0u);
}

TEST(RegexCompiler, WithoutPatternEndStopsAtNul) {
  std::string pattern("ab\0c", 4);
  Handle handle;
  ASSERT_EQ(compile(handle, pattern.data(), E), Success);
  EXPECT_EQ(dumpProgram(*handle.program), "end\nchar a\nchar b\nend\n");
  free(handle);
  EXPECT_EQ(handle.magic, 0u);
  free(handle); // a second free is harmless
}

// Membership of every byte in a compiled one-set program.
std::string members(const std::string &pattern, int flags = E) {
  Handle handle;
  handle.patternEnd = pattern.data() + pattern.size();
  if (compile(handle, pattern.data(), flags | PatternEnd) != Success)
    return "error";
  std::string out;
  for (int c = 0; c < 256; ++c) {
    char byte = static_cast<char>(c);
    SubMatch range[1] = {{0, 1}};
    if (execute(handle, &byte, 1, range, StartEnd) == Success)
      out += byte;
  }
  free(handle);
  return out;
}

// The bytes for which `predicate` holds in the C locale.
std::string bytesWhere(int (*predicate)(int)) {
  std::string out;
  for (int c = 0; c < 256; ++c)
    if (c < 128 && predicate(c))
      out += static_cast<char>(c);
  return out;
}

TEST(RegexCompiler, CharacterClassesAreFixedAsciiSets) {
  struct ClassCase {
    const char *name;
    int (*predicate)(int);
  };
  const ClassCase classes[] = {
      {"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank},   {"digit", isdigit},
      {"graph", isgraph}, {"lower", islower}, {"print", isprint},   {"punct", ispunct},
      {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit},
  };
  for (const ClassCase &c : classes) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(members(std::string("[[:") + c.name + ":]]"), bytesWhere(c.predicate));
  }
  // Unlike the C library's class, cntrl leaves out NUL.
  EXPECT_EQ(members("[[:cntrl:]]"), bytesWhere(iscntrl).substr(1));
  EXPECT_EQ(members("[[:upper:]]", E | IgnoreCase), bytesWhere(isalpha));
}

TEST(RegexCompiler, BracketExpressions) {
  struct SetCase {
    std::string pattern;
    int flags;
    std::string members;
  };
  std::string allButNewline;
  std::string allButA;
  for (int c = 0; c < 256; ++c) {
    if (c != '\n')
      allButNewline += static_cast<char>(c);
    if (c != 'a' && c != 'A')
      allButA += static_cast<char>(c);
  }
  const SetCase cases[] = {
      {"[ab-]", E, "-ab"},
      {"[]a]", E, "]a"},
      {"[a-c]", E | IgnoreCase, "ABCabc"},
      {"[^aA]", E, allButA},
      {"[^a]", E | IgnoreCase, allButA},
      {"[!--]", E, "!\"#$%&'()*+,-"},
      {"[[.period.]]", E, "."},
      {"[[.a.]]", E, "a"},
      {"[[.NUL.][.tab.]]", E, std::string("\0\t", 2)},
      {"[[=x=]y]", E, "xy"},
      {".", E | Newline, allButNewline},
      {"[^\n]", E, allButNewline},
  };
  for (const SetCase &c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(members(c.pattern, c.flags), c.members);
  }
  std::string notBracketOrA;
  for (int c = 0; c < 256; ++c)
    if (c != ']' && c != 'a' && c != '\n')
      notBracketOrA += static_cast<char>(c);
  EXPECT_EQ(members("[^]a]", E | Newline), notBracketOrA);
}

TEST(RegexCompiler, CollatingElementNames) {
  const std::pair<const char *, int> names[] = {
      {"NUL", 0},
      {"alert", 7},
      {"BEL", 7},
      {"tab", 9},
      {"newline", 10},
      {"carriage-return", 13},
      {"ESC", 27},
      {"IS4", 28},
      {"FS", 28},
      {"IS1", 31},
      {"US", 31},
      {"space", 32},
      {"quotation-mark", 34},
      {"hyphen-minus", 45},
      {"full-stop", 46},
      {"solidus", 47},
      {"zero", 48},
      {"nine", 57},
      {"commercial-at", 64},
      {"left-square-bracket", 91},
      {"reverse-solidus", 92},
      {"right-square-bracket", 93},
      {"circumflex-accent", 94},
      {"low-line", 95},
      {"grave-accent", 96},
      {"left-curly-bracket", 123},
      {"vertical-line", 124},
      {"right-brace", 125},
      {"tilde", 126},
      {"DEL", 127},
  };
  for (const auto &[name, code] : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(members(std::string("[[.") + name + ".]]"), std::string(1, char(code)));
  }
  // Letters have no names but stand for themselves; lookup is exact.
  EXPECT_EQ(members("[[.A.]x]"), "Ax");
  for (const char *unknown : {"[[.Tab.]]", "[[.nul.]]", "[[.spac.]]", "[[.tab .]]"})
    EXPECT_EQ(members(unknown), "error") << unknown;
}

TEST(RegexCompiler, MustTextAndLoopNesting) {
  struct FactCase {
    const char *pattern;
    int flags;
    const char *mustText;
    unsigned plusNesting;
  };
  const FactCase cases[] = {
      {"abc", E, "abc", 0},
      {"ab+c", E, "ab", 1},
      {"a(bc)d", E, "abcd", 0},
      {"x?abc", E, "abc", 0},
      {"ab|cd", E, "", 0},
      {"(ab|cd)xy", E, "xy", 0},
      {"a*bcd", E, "bcd", 1},
      {"ab.cd", E, "ab", 0},
      {"abc", E | IgnoreCase, "", 0},
      {"1.23", E | IgnoreCase, "23", 0},
      {"((a+)+b)+", E, "a", 3},
      {"a+b+", E, "a", 1},
  };
  for (const FactCase &c : cases) {
    SCOPED_TRACE(c.pattern);
    std::string pattern = c.pattern;
    Handle handle;
    handle.patternEnd = pattern.data() + pattern.size();
    ASSERT_EQ(compile(handle, pattern.data(), c.flags | PatternEnd), Success);
    const Program &program = *handle.program;
    EXPECT_EQ(std::string(program.mustText ? program.mustText : ""), c.mustText);
    EXPECT_EQ(program.mustLength, std::string(c.mustText).size());
    EXPECT_EQ(program.plusNesting, c.plusNesting);
    free(handle);
  }
}

TEST(RegexCompiler, ProgramFacts) {
  std::string pattern = "^(a)(b(c))\\2$|^x";
  Handle handle;
  handle.patternEnd = pattern.data() + pattern.size();
  ASSERT_EQ(compile(handle, pattern.data(), E | PatternEnd), Success);
  const Program &program = *handle.program;
  EXPECT_EQ(handle.groupCount, 3u);
  EXPECT_EQ(program.groupCount, 3u);
  EXPECT_TRUE(program.hasBackRefs);
  EXPECT_EQ(program.bolCount, 2u);
  EXPECT_EQ(program.eolCount, 1u);
  EXPECT_EQ(program.firstState, 1u);
  EXPECT_EQ(program.lastState, program.opCount - 1);
  EXPECT_EQ(opOf(program.ops[program.lastState]), Op::End);
  EXPECT_EQ(handle.magic, HandleMagic);
  EXPECT_EQ(program.magic, ProgramMagic);
  free(handle);
}

TEST(RegexCompiler, SizeLimits) {
  // Two levels of large bounded repetition fit; a third would need millions
  // of operations and fails cleanly.
  Handle handle;
  std::string twoLevels = "(a{255}){255}";
  handle.patternEnd = twoLevels.data() + twoLevels.size();
  ASSERT_EQ(compile(handle, twoLevels.data(), E | PatternEnd), Success);
  EXPECT_LE(handle.program->opCount, MaxOperations);
  free(handle);
  EXPECT_EQ(compiled("((a{255}){255}){255}"), "error 12");
  EXPECT_EQ(compiled("(a{255}){255}(a{255}){255}(a{255}){255}"), "error 12");
  // Parentheses nest at most MaxNesting deep, so parsing cannot exhaust the
  // stack.
  std::string deep = std::string(MaxNesting, '(') + "a" + std::string(MaxNesting, ')');
  EXPECT_EQ(compiled(deep).rfind("error", 0), std::string::npos);
  std::string tooDeep = "(" + deep + ")";
  EXPECT_EQ(compiled(tooDeep), "error 64");
  std::string unclosed(200000, '(');
  EXPECT_EQ(compiled(unclosed), "error 64");
}

} // namespace
} // namespace vetline::regex
