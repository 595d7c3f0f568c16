// Compares whole-match spans with the C library's own regcomp/regexec
// (REG_EXTENDED) on generated patterns and texts, and checks the start
// summary (Regex::start) against the matches found. The grammar keeps to what
// both engines must treat alike: ASCII, no back-references, no word
// boundaries, no empty groups, and never a repetition directly on an anchor
// (an error here, accepted there).
#include "support/regex/regex.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>

namespace vetline {
namespace {

class PatternGenerator {
public:
  explicit PatternGenerator(uint32_t seed) : rng(seed) {}

  // Anchors only open or close the whole pattern: inside repeated groups the
  // C library accepts impossible matches (it matched all of "ca" with
  // `[ab]?(((^[ab]*)+|c[^a]*){2,}|[^a]+)(c*|x)`, where '^' cannot hold
  // before the 'a').
  std::string pattern() {
    std::string out = alternation(3);
    if (pick(6) == 0)
      out = "^(" + out + ")";
    if (pick(6) == 0)
      out = "(" + out + ")$";
    return out;
  }

  std::string text() {
    static const char alphabet[] = "abcab\nx";
    std::string out;
    size_t length = pick(12);
    for (size_t i = 0; i < length; ++i)
      out += alphabet[pick(sizeof(alphabet) - 1)];
    return out;
  }

private:
  std::mt19937 rng;

  size_t pick(size_t n) { return rng() % n; }

  std::string alternation(int depth) {
    std::string out = branch(depth);
    while (pick(4) == 0)
      out += "|" + branch(depth);
    return out;
  }

  std::string branch(int depth) {
    std::string out;
    size_t pieces = 1 + pick(3);
    for (size_t i = 0; i < pieces; ++i)
      out += piece(depth);
    return out;
  }

  std::string piece(int depth) {
    std::string atom = this->atom(depth);
    switch (pick(9)) {
    case 0:
      return atom + "*";
    case 1:
      return atom + "+";
    case 2:
      return atom + "?";
    case 3: {
      size_t low = pick(3);
      size_t high = low + pick(3);
      if (pick(3) == 0)
        return atom + "{" + std::to_string(low) + ",}";
      return atom + "{" + std::to_string(low) + "," + std::to_string(high) + "}";
    }
    default:
      return atom;
    }
  }

  std::string atom(int depth) {
    static const char *const simple[] = {"a",    "b",     "c",           ".",   "[ab]",
                                         "[^a]", "[a-c]", "[[:alpha:]]", "\\.", "x"};
    if (depth > 0 && pick(4) == 0)
      return "(" + alternation(depth - 1) + ")";
    return simple[pick(sizeof(simple) / sizeof(simple[0]))];
  }
};

// "no match", or the span of group 0 as "start,end".
std::string libcSearch(const std::string &pattern, const std::string &text, bool &valid) {
  regex_t compiled;
  valid = regcomp(&compiled, pattern.c_str(), REG_EXTENDED) == 0;
  if (!valid)
    return "";
  regmatch_t match[1];
  std::string result = "no match";
  if (regexec(&compiled, text.c_str(), 1, match, 0) == 0)
    result = std::to_string(match[0].rm_so) + "," + std::to_string(match[0].rm_eo);
  regfree(&compiled);
  return result;
}

std::string ownSearch(const std::string &pattern, const std::string &text, bool &valid) {
  Regex regex(pattern);
  valid = regex.isValid();
  if (!valid)
    return "";
  std::vector<std::string_view> matches;
  std::string error;
  if (!regex.match(text, &matches, &error))
    return error.empty() ? "no match" : error;
  size_t start = static_cast<size_t>(matches[0].data() - text.data());
  return std::to_string(start) + "," + std::to_string(start + matches[0].size());
}

TEST(RegexDifferential, WholeMatchAgreesWithCLibrary) {
  PatternGenerator generator(20261210);
  int disagreements = 0;
  for (int i = 0; i < 3000 && disagreements < 10; ++i) {
    std::string pattern = generator.pattern();
    for (int j = 0; j < 3; ++j) {
      std::string text = generator.text();
      bool libcValid = false, ownValid = false;
      std::string expected = libcSearch(pattern, text, libcValid);
      std::string actual = ownSearch(pattern, text, ownValid);
      SCOPED_TRACE("pattern '" + pattern + "' text '" + text + "'");
      EXPECT_EQ(ownValid, libcValid);
      EXPECT_EQ(actual, expected);
      if (ownValid != libcValid || actual != expected)
        ++disagreements;
    }
  }
}

// Regex::start against the matches themselves: a match begins with one of
// its first bytes (or is empty, when it says so), and without looksBehind a
// search begun anywhere up to a match's start finds that same match.
TEST(RegexDifferential, StartSummaryHoldsForEveryMatch) {
  PatternGenerator generator(20261211);
  int failures = 0;
  for (int i = 0; i < 3000 && failures < 10; ++i) {
    std::string pattern = generator.pattern();
    Regex regex(pattern, RegexOptions::Newline);
    std::optional<RegexStart> start = regex.start();
    if (!regex.isValid())
      continue;
    ASSERT_TRUE(start) << pattern;
    for (int j = 0; j < 3; ++j) {
      std::string text = generator.text();
      SCOPED_TRACE("pattern '" + pattern + "' text '" + text + "'");
      std::vector<std::string_view> found;
      if (!regex.match(text, &found))
        continue;
      size_t at = static_cast<size_t>(found[0].data() - text.data());
      bool sound = found[0].empty() ? start->canBeEmpty
                                    : start->firstBytes[static_cast<unsigned char>(text[at])];
      EXPECT_TRUE(sound);
      for (size_t from = 1; from <= at && !start->looksBehind; ++from) {
        std::vector<std::string_view> later;
        bool same = regex.match(std::string_view(text).substr(from), &later) &&
                    later[0].data() == found[0].data() && later[0].size() == found[0].size();
        EXPECT_TRUE(same) << "searched from " << from;
        sound = sound && same;
      }
      if (!sound)
        ++failures;
    }
  }
}

} // namespace
} // namespace vetline
