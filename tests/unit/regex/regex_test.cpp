#include "support/regex/regex.h"

#include "support/regex/regex_engine.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>

namespace vetline {
namespace {

// Offsets of every sub-match view relative to `text`: "(1,3)(-1,-1)", or
// "nomatch" / the error text.
std::string matched(const Regex &regex, std::string_view text) {
  std::vector<std::string_view> views;
  std::string error;
  if (!regex.match(text, &views, &error))
    return error.empty() ? "nomatch" : error;
  std::string out;
  for (std::string_view view : views) {
    if (view.data() == nullptr) {
      out += "(-1,-1)";
      continue;
    }
    EXPECT_GE(view.data(), text.data());
    EXPECT_LE(view.data() + view.size(), text.data() + text.size());
    size_t start = static_cast<size_t>(view.data() - text.data());
    out += "(" + std::to_string(start) + "," + std::to_string(start + view.size()) + ")";
  }
  return out;
}

// `levels` groups, one inside the other, around one letter.
std::string nested(unsigned levels) {
  return std::string(levels, '(') + "a" + std::string(levels, ')');
}

TEST(Regex, CompileErrorTexts) {
  struct ErrorCase {
    const char *pattern;
    const char *message;
  };
  const std::string tooDeep = nested(regex::MaxNesting + 1);
  const ErrorCase cases[] = {
      {"[[.foo.]]", "invalid collating element"},
      {"[[:foo:]]", "invalid character class"},
      {"a\\", "trailing backslash (\\)"},
      {"\\1", "invalid backreference number"},
      {"[a", "brackets ([ ]) not balanced"},
      {"(a", "parentheses not balanced"},
      {"a{1", "braces not balanced"},
      {"a{2,1}", "invalid repetition count(s)"},
      {"[b-a]", "invalid character range"},
      {"((a{255}){255}){255}", "out of memory"},
      // The nesting limit is named, not taken for a lack of memory.
      {tooDeep.c_str(), "groups nested too deeply (more than 1000 levels)"},
      {"a**", "repetition-operator operand invalid"},
      {"", "empty (sub)expression"},
  };
  for (const ErrorCase &c : cases) {
    SCOPED_TRACE(c.pattern);
    Regex regex(c.pattern);
    std::string error = "stale";
    EXPECT_FALSE(regex.isValid(error));
    EXPECT_FALSE(regex.isValid());
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(regex.subexpressionCount(), 0u);
    // match reports the same text and finds nothing.
    std::string matchError;
    std::vector<std::string_view> views{"untouched"};
    EXPECT_FALSE(regex.match("abc", &views, &matchError));
    EXPECT_EQ(matchError, c.message);
    EXPECT_EQ(views.size(), 1u);
  }
}

TEST(Regex, EngineErrorTextTable) {
  struct TextCase {
    int code;
    const char *message;
  };
  const TextCase cases[] = {
      {1, "orvane_regexec() failed to match"},
      {2, "invalid regular expression"},
      {15, "\"can't happen\" -- you found a bug"},
      {16, "invalid argument to regex routine"},
      {0, "*** unknown regexp error code ***"},
      {17, "*** unknown regexp error code ***"},
      {-1, "*** unknown regexp error code ***"},
      {64, "groups nested too deeply (more than 1000 levels)"},
  };
  for (const TextCase &c : cases) {
    SCOPED_TRACE(c.code);
    char buffer[64];
    size_t length = regex::errorText(c.code, nullptr, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), c.message);
    EXPECT_EQ(length, std::string(c.message).size() + 1);
  }
}

TEST(Regex, EngineErrorTextTruncates) {
  char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(regex::errorText(12, nullptr, buffer, 5), 14u);
  EXPECT_EQ(std::string(buffer), "out ");
  buffer[0] = 'x';
  EXPECT_EQ(regex::errorText(12, nullptr, buffer, 0), 14u);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(regex::errorText(12, nullptr, buffer, 1), 14u);
  EXPECT_EQ(buffer[0], '\0');
}

TEST(Regex, MatchViewsPointIntoTheText) {
  Regex regex("(a|ab)(c|bcd)(x)?");
  ASSERT_TRUE(regex.isValid());
  EXPECT_EQ(regex.subexpressionCount(), 3u);
  std::string text = "zabcd";
  EXPECT_EQ(matched(regex, text), "(1,5)(1,2)(2,5)(-1,-1)");
  // Without a list only the verdict is computed.
  EXPECT_TRUE(regex.match(text));
  EXPECT_FALSE(regex.match("zzz"));
}

TEST(Regex, NoMatchLeavesErrorEmptyAndListUntouched) {
  Regex regex("b+");
  std::string error = "stale";
  std::vector<std::string_view> views{"untouched"};
  EXPECT_FALSE(regex.match("aaa", &views, &error));
  EXPECT_EQ(error, "");
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0], "untouched");
}

TEST(Regex, OptionsReachTheEngine) {
  struct OptionCase {
    const char *pattern;
    RegexOptions options;
    const char *text;
    const char *expected;
  };
  const OptionCase cases[] = {
      {"^b$", RegexOptions::Newline, "a\nb\nc", "(2,3)"},
      {"^b$", RegexOptions::None, "a\nb\nc", "nomatch"},
      {"a.c", RegexOptions::Newline, "a\nc", "nomatch"},
      {"ABC", RegexOptions::IgnoreCase, "xabc", "(1,4)"},
      {"[[:upper:]]+", RegexOptions::IgnoreCase | RegexOptions::Newline, "ab\ncd", "(0,2)"},
      {"a|b", RegexOptions::BasicSyntax, "xa|b", "(1,4)"},
      {"\\(a\\)\\1", RegexOptions::BasicSyntax, "aa", "(0,2)(0,1)"},
      {"(a)\\1", RegexOptions::None, "xaa", "(1,3)(1,2)"},
  };
  for (const OptionCase &c : cases) {
    SCOPED_TRACE(c.pattern);
    Regex regex(c.pattern, c.options);
    EXPECT_EQ(matched(regex, c.text), c.expected);
  }
}

TEST(Regex, TextsAndPatternsMayHoldNulBytes) {
  std::string text("ab\0cd\0ef", 8);
  Regex regex(std::string_view("d\0e", 3));
  ASSERT_TRUE(regex.isValid());
  EXPECT_EQ(matched(regex, text), "(4,7)");
  Regex tail("f$");
  EXPECT_EQ(matched(tail, text), "(7,8)");
  Regex escaped(Regex::escape(std::string_view("\0c", 2)));
  EXPECT_EQ(matched(escaped, text), "(2,4)");
}

TEST(Regex, EmptyTexts) {
  Regex regex("x*");
  EXPECT_EQ(matched(regex, ""), "(0,0)");
  std::vector<std::string_view> views;
  // A view without data is an empty text too.
  ASSERT_TRUE(regex.match(std::string_view(), &views));
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].size(), 0u);
  EXPECT_FALSE(Regex("x").match(std::string_view()));
}

TEST(Regex, ManyGroupsUseHeapStorage) {
  Regex regex("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)");
  ASSERT_EQ(regex.subexpressionCount(), 11u);
  EXPECT_EQ(matched(regex, "xabcdefghijk"),
            "(1,12)(1,2)(2,3)(3,4)(4,5)(5,6)(6,7)(7,8)(8,9)(9,10)(10,11)(11,12)");
}

TEST(Regex, SearchErrorsReachTheCaller) {
  std::string text(40, 'a');
  text += "xby";
  Regex regex("(.+)+x\\1y");
  ASSERT_TRUE(regex.isValid());
  std::string error;
  EXPECT_FALSE(regex.match(text, nullptr, &error));
  EXPECT_EQ(error, "out of memory");
}

// "[bytes] flags" for Regex::start: the bytes as runs ("a-c", "\\x0a"),
// then "empty" and "behind" when set; "none" when nothing is known.
std::string startOf(const Regex &regex) {
  std::optional<RegexStart> start = regex.start();
  if (!start)
    return "none";
  auto byteText = [](size_t byte) {
    if (byte > 32 && byte < 127)
      return std::string(1, static_cast<char>(byte));
    const char *hex = "0123456789abcdef";
    return std::string("\\x") + hex[byte >> 4] + hex[byte & 15];
  };
  std::string out = "[";
  for (size_t byte = 0; byte < 256;) {
    if (!start->firstBytes[byte]) {
      ++byte;
      continue;
    }
    size_t last = byte;
    while (last + 1 < 256 && start->firstBytes[last + 1])
      ++last;
    out += byteText(byte);
    if (last > byte)
      out += "-" + byteText(last);
    byte = last + 1;
  }
  out += "]";
  if (start->canBeEmpty)
    out += " empty";
  if (start->looksBehind)
    out += " behind";
  return out;
}

TEST(Regex, StartOfAMatch) {
  struct StartCase {
    const char *pattern;
    RegexOptions options;
    const char *expected;
  };
  const StartCase cases[] = {
      {"abc", RegexOptions::Newline, "[a]"},
      {"x|y1", RegexOptions::Newline, "[x-y]"},
      {"(a|b)?c", RegexOptions::Newline, "[a-c]"},
      {"a{0,2}b", RegexOptions::Newline, "[a-b]"},
      {"(x*)+y", RegexOptions::Newline, "[x-y]"},
      {"x*", RegexOptions::Newline, "[x] empty"},
      {"$", RegexOptions::Newline, "[] empty"},
      {"x$", RegexOptions::Newline, "[x]"},
      // Only a test at the first byte reads the byte before the match.
      {"^x", RegexOptions::Newline, "[x] behind"},
      {"a^b", RegexOptions::Newline, "[a]"},
      {"[[:<:]]x", RegexOptions::Newline, "[x] behind"},
      {"x[[:>:]]", RegexOptions::Newline, "[x]"},
      {"(y?[[:>:]])x", RegexOptions::Newline, "[x-y] behind"},
      {".", RegexOptions::Newline, "[\\x00-\\x09\\x0b-\\xff]"},
      {".", RegexOptions::None, "[\\x00-\\xff]"},
      {"[[:space:]]x", RegexOptions::Newline, "[\\x09-\\x0d\\x20]"},
      {"k", RegexOptions::IgnoreCase, "[Kk]"},
      {"(a)\\1", RegexOptions::Newline, "none"},
      {"(", RegexOptions::Newline, "none"},
  };
  for (const StartCase &c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(startOf(Regex(c.pattern, c.options)), c.expected);
  }
}

TEST(Regex, MovesTransferTheProgram) {
  Regex original("a(b)");
  Regex moved(std::move(original));
  EXPECT_EQ(matched(moved, "ab"), "(0,2)(1,2)");
  std::string error;
  EXPECT_FALSE(original.isValid(error));
  EXPECT_EQ(error, "invalid argument to regex routine");
  EXPECT_FALSE(original.match("ab"));
  Regex assigned("x");
  assigned = std::move(moved);
  EXPECT_EQ(matched(assigned, "ab"), "(0,2)(1,2)");
}

TEST(Regex, Escape) {
  struct EscapeCase {
    std::string text;
    std::string escaped;
  };
  const EscapeCase cases[] = {
      {"a.b", "a\\.b"},
      {"()^$|*+?.[]\\{}", "\\(\\)\\^\\$\\|\\*\\+\\?\\.\\[\\]\\\\\\{\\}"},
      {std::string("a\0b", 3), std::string("a\\\0b", 4)},
      {"line\nnext-/<>'\"", "line\nnext-/<>'\""},
      {"", ""},
  };
  for (const EscapeCase &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Regex::escape(c.text), c.escaped);
  }
}

TEST(Regex, EscapedTextMatchesItselfOnly) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 500; ++i) {
    std::string text;
    size_t length = 1 + rng() % 12;
    for (size_t j = 0; j < length; ++j)
      text += static_cast<char>(rng() % 256);
    SCOPED_TRACE(i);
    Regex regex(Regex::escape(text));
    ASSERT_TRUE(regex.isValid());
    std::string haystack = "\n" + text + "\n";
    EXPECT_EQ(matched(regex, haystack), "(1," + std::to_string(1 + length) + ")");
    // Changing any byte of the text breaks the match.
    std::string changed = text;
    changed[rng() % length] ^= 1;
    EXPECT_EQ(matched(regex, changed), "nomatch");
  }
}

// escape and unescape share one metacharacter set: what one writes the
// other reads back, and unescape refuses whatever escape cannot have
// written (an operator, another escape, a lone backslash at the end).
TEST(Regex, UnescapeInvertsEscape) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"abc", "abc"},
      {"a\\.b\\*", "a.b*"},
      {std::string("\\\0", 2), std::string("\0", 1)},
      {"", ""},
      {"a.b", std::nullopt},
      {"a*", std::nullopt},
      {"[ab]", std::nullopt},
      {"\\d", std::nullopt},
      {"\\n", std::nullopt},
      {"\\1", std::nullopt},
      {"ab\\", std::nullopt},
      {std::string("a\0", 2), std::nullopt},
  };
  for (const auto &[pattern, literal] : cases) {
    SCOPED_TRACE(pattern);
    EXPECT_EQ(Regex::unescape(pattern), literal);
    if (literal) {
      EXPECT_EQ(Regex::escape(*literal), pattern);
    }
  }
  // Patterns over every metacharacter, a backslash and two plain bytes.
  const char letters[] = "()^$|*+?.[]\\{}ab\0";
  const std::string alphabet(letters, sizeof letters - 1);
  std::mt19937 rng(99);
  for (int i = 0; i < 2000; ++i) {
    std::string text;
    for (size_t length = rng() % 8; length > 0; --length)
      text += alphabet[rng() % alphabet.size()];
    SCOPED_TRACE(::testing::PrintToString(text));
    EXPECT_EQ(Regex::unescape(Regex::escape(text)), text);
    std::optional<std::string> literal = Regex::unescape(text);
    if (literal) {
      EXPECT_EQ(Regex::escape(*literal), text);
    }
  }
}

} // namespace
} // namespace vetline
