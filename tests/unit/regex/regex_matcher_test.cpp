#include "support/regex/regex_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vetline::regex {
namespace {

// Runs the engine directly (compile flags, execution flags) and renders the
// result: "nomatch", an error such as "error 12", or every group as
// "(start,end)".
std::string search(const std::string &pattern, int cflags, const std::string &text, int eflags = 0,
                   size_t wanted = 0) {
  Handle handle;
  handle.patternEnd = pattern.data() + pattern.size();
  int code = compile(handle, pattern.data(), cflags | PatternEnd);
  if (code != Success)
    return "compile error " + std::to_string(code);
  if (wanted == 0)
    wanted = handle.groupCount + 1;
  std::vector<SubMatch> matches(wanted, SubMatch{0, 0});
  matches[0] = {0, static_cast<int64_t>(text.size())};
  code = execute(handle, text.data(), wanted, matches.data(), eflags | StartEnd);
  free(handle);
  if (code == NoMatch)
    return "nomatch";
  if (code != Success)
    return "error " + std::to_string(code);
  std::string out;
  for (const SubMatch &m : matches)
    out += "(" + std::to_string(m.start) + "," + std::to_string(m.end) + ")";
  return out;
}

struct MatchCase {
  const char *pattern;
  int cflags;
  std::string text;
  int eflags;
  const char *expected;
};

const int E = Extended;

const MatchCase leftmostLongestCases[] = {
    {"a|ab", E, "xab", 0, "(1,3)"},
    {"(a|ab)(c|bcd)", E, "abcd", 0, "(0,4)(0,1)(1,4)"},
    {"(a*)(b|abc)", E, "abc", 0, "(0,3)(0,0)(0,3)"},
    {"x*", E, "axx", 0, "(0,0)"},
    {"a+", E, "baaab", 0, "(1,4)"},
    {"a{2,3}", E, "aaaa", 0, "(0,3)"},
    {"a{2}", E, "abaab", 0, "(2,4)"},
    {"(ab|a)(bc|c)?", E, "abc", 0, "(0,3)(0,2)(2,3)"},
    {"[[:digit:]]+", E, "ab123c45", 0, "(2,5)"},
    {"a{0}b", E, "ab", 0, "(1,2)"},
    {"()b", E, "ab", 0, "(1,2)(1,1)"},
    {"b", E, "aaa", 0, "nomatch"},
    // A thread that finished an alternative able to match nothing sits in
    // the fresh start states; the match must still start at 0, not at 1.
    {"(x*|.)+[a-c]", E, "\nab", 0, "(0,3)(1,2)"},
    {"((c*)|[^a])$", E, "acaac", 0, "(4,5)(4,5)(4,5)"},
    // The search skips ahead to the literal "cde", but no further back than
    // the two bytes that may precede it in a match.
    {"[ab]?.cde", E, "zzzzzzbacde", 0, "(6,11)"},
    {"[ab]?.cde$", E, "zzzzzzbacde", 0, "(6,11)"},
    {"[ab]?.cde", E, "bacdzzzzzzacde", 0, "(10,14)"},
};

const MatchCase groupCases[] = {
    {"(a)*", E, "aa", 0, "(0,2)(1,2)"},
    {"(a)|b", E, "b", 0, "(0,1)(-1,-1)"},
    {"(a|b)*c", E, "abac", 0, "(0,4)(2,3)"},
    {"((a)|(b))+", E, "ab", 0, "(0,2)(1,2)(-1,-1)(1,2)"},
    {"(a*)*", E, "b", 0, "(0,0)(-1,-1)"},
    {"(a*)+", E, "b", 0, "(0,0)(0,0)"},
    {"(a*)+", E, "aa", 0, "(0,2)(0,2)"},
    // Greedy iterations would strand the 'c'; the last iteration is "bc".
    {"(ab|a|bc)+", E, "abc", 0, "(0,3)(1,3)"},
    {"(a){2}(b)", E, "aab", 0, "(0,3)(1,2)(2,3)"},
    {"(a)?b", E, "b", 0, "(0,1)(-1,-1)"},
    {"(a)?b", E, "ab", 0, "(0,2)(0,1)"},
};

const MatchCase contextCases[] = {
    {"^b", E | Newline, "a\nb", 0, "(2,3)"},
    {"^b", E, "a\nb", 0, "nomatch"},
    {"a$", E | Newline, "a\nb", 0, "(0,1)"},
    {"a$", E, "a\nb", 0, "nomatch"},
    {"^a", E, "ab", NotBol, "nomatch"},
    {"^a", E | Newline, "b\na", NotBol, "(2,3)"},
    {"b$", E, "ab", NotEol, "nomatch"},
    {"^$", E | Newline, "a\n\nb", 0, "(2,2)"},
    {"^$", E, "", 0, "(0,0)"},
    {"^$", E, "", NotBol, "nomatch"},
    {"x^", E, "x", 0, "nomatch"},
    {".", E | Newline, "\n", 0, "nomatch"},
    {"[^a]", E | Newline, "\nb", 0, "(1,2)"},
    {".", E, "\n", 0, "(0,1)"},
    {"[[:<:]]ab", E, "x ab", 0, "(2,4)"},
    {"[[:<:]]ab", E, "xab", 0, "nomatch"},
    {"ab[[:>:]]", E, "ab c", 0, "(0,2)"},
    {"ab[[:>:]]", E, "ab", 0, "(0,2)"},
    {"ab[[:>:]]", E, "ab", NotEol, "nomatch"},
    {"[[:<:]]ab", E, "ab", NotBol, "nomatch"},
    {"[[:<:]]b", E | Newline, "a\nb", 0, "(2,3)"},
    {"[[:>:]]", E, "ab_c d", 0, "(4,4)"},
    {"a[[:>:]]", E, "a_", 0, "nomatch"},
    // A word boundary before an anchor at the same position: the anchor
    // steps must run again after the word step.
    {"[[:<:]]^", E, "A", 0, "(0,0)"},
    {"a[[:>:]]$", E | Newline, "ba a\nb", 0, "(3,4)"},
};

const MatchCase foldingCases[] = {
    {"a", E | IgnoreCase, "xA", 0, "(1,2)"},
    {"[a-c]+", E | IgnoreCase, "xBcA", 0, "(1,4)"},
    {"[^a]", E | IgnoreCase, "Ab", 0, "(1,2)"},
    {"A[[:lower:]]", E | IgnoreCase, "aB", 0, "(0,2)"},
    {"(a)\\1", E | IgnoreCase, "aA", 0, "nomatch"},
    {"(a)\\1", E | IgnoreCase, "Aa aa", 0, "(3,5)(3,4)"},
};

const MatchCase backReferenceCases[] = {
    {"(a*)\\1b", E, "aab", 0, "(0,3)(0,1)"},
    {"(.)\\1", E, "abcc", 0, "(2,4)(2,3)"},
    {"(abc)\\1", E, "abcabd abcabc", 0, "(7,13)(7,10)"},
    {"(a|b)*\\1", E, "abb", 0, "(0,3)(1,2)"},
    {"(a)(b)?\\2", E, "a", 0, "nomatch"},
    {"(a*)\\1*c", E, "c", 0, "(0,1)(0,0)"},
    {"([a-c]*)x\\1", E, "abxab", 0, "(0,5)(0,2)"},
    {"(a+)(b+)\\2\\1", E, "xaabbbbaa", 0, "(1,9)(1,3)(3,5)"},
    {"(.)(.)\\2\\1", E, "abcddcx", 0, "(2,6)(2,3)(3,4)"},
    {"\\(a\\)\\1", 0, "xaa", 0, "(1,3)(1,2)"},
    // Groups of paths tried and abandoned for a longer end leave nothing
    // behind: group 3 takes no part in the match.
    {"(a*)b*|(.){0,3}(\\1)+", E, "\n a", 0, "(0,0)(0,0)(-1,-1)(-1,-1)"},
    // The referenced text matches anywhere, even where the group's own
    // anchors or word boundaries would not hold.
    {"([[:<:]].)\\1", E, "aa", 0, "(0,2)(0,1)"},
    {"([[:<:]])a\\1", E, "a", 0, "(0,1)(0,0)"},
    {"(^a)\\1", E, "aa", 0, "(0,2)(0,1)"},
};

const MatchCase basicSyntaxCases[] = {
    {"a|b", 0, "a|b", 0, "(0,3)"},      {"a+?", 0, "a+?", 0, "(0,3)"},
    {"*a", 0, "x*a", 0, "(1,3)"},       {"\\(*a\\)", 0, "*a", 0, "(0,2)(0,2)"},
    {"a\\{2\\}", 0, "aaa", 0, "(0,2)"}, {"a^b$c", 0, "a^b$c", 0, "(0,5)"},
    {"^ab$", 0, "ab", 0, "(0,2)"},      {"a*", 0, "aab", 0, "(0,2)"},
};

const MatchCase literalCases[] = {
    {"a.b*", NoSpecial, "xa.b*", 0, "(1,5)"},
    {"a.b*", NoSpecial, "axbb", 0, "nomatch"},
};

void runCases(const MatchCase *begin, const MatchCase *end) {
  for (const MatchCase *c = begin; c != end; ++c) {
    SCOPED_TRACE(std::string(c->pattern) + " on '" + c->text + "'");
    EXPECT_EQ(search(c->pattern, c->cflags, c->text, c->eflags), c->expected);
  }
}

#define RUN_CASES(table) runCases(std::begin(table), std::end(table))

TEST(RegexMatcher, LeftmostLongest) { RUN_CASES(leftmostLongestCases); }
TEST(RegexMatcher, GroupsReportLastIterationOrNothing) { RUN_CASES(groupCases); }
TEST(RegexMatcher, LineAndWordContext) { RUN_CASES(contextCases); }
TEST(RegexMatcher, CaseFolding) { RUN_CASES(foldingCases); }
TEST(RegexMatcher, BackReferences) { RUN_CASES(backReferenceCases); }
TEST(RegexMatcher, BasicSyntax) { RUN_CASES(basicSyntaxCases); }
TEST(RegexMatcher, LiteralPatterns) { RUN_CASES(literalCases); }

TEST(RegexMatcher, NulBytesAreOrdinaryText) {
  std::string text("x\0ab\0a", 6);
  EXPECT_EQ(search("a\\b", E, text), "(2,4)");
  EXPECT_EQ(search(std::string("b\0a", 3), E, text), "(3,6)");
  EXPECT_EQ(search("a$", E, text), "(5,6)");
  EXPECT_EQ(search("[^x]+", E, text), "(1,6)");
}

TEST(RegexMatcher, SearchRangeIsHonoured) {
  Handle handle;
  std::string pattern = "^b+";
  handle.patternEnd = pattern.data() + pattern.size();
  ASSERT_EQ(compile(handle, pattern.data(), E | PatternEnd), Success);
  const char *text = "abbbc";
  SubMatch range[1] = {{1, 3}};
  EXPECT_EQ(execute(handle, text, 1, range, StartEnd), Success);
  EXPECT_EQ(range[0].start, 1);
  EXPECT_EQ(range[0].end, 3);
  SubMatch reversed[1] = {{3, 1}};
  EXPECT_EQ(execute(handle, text, 1, reversed, StartEnd), InvalidArgument);
  // Without StartEnd the text ends at its first NUL.
  SubMatch whole[1] = {{0, 0}};
  EXPECT_EQ(execute(handle, "bb\0b", 1, whole, 0), Success);
  EXPECT_EQ(whole[0].end, 2);
  free(handle);
  SubMatch any[1] = {{0, 1}};
  EXPECT_EQ(execute(handle, text, 1, any, StartEnd), BadPattern);
}

TEST(RegexMatcher, StateCacheOverflowKeepsResults) {
  // Remembering the last twelve bytes needs up to 4096 cached states, more
  // than the cache holds, so it is flushed and rebuilt during the search.
  std::mt19937 rng(99);
  std::string text;
  for (int i = 0; i < 8000; ++i)
    text += "ab"[rng() % 2];
  text += "aabbabaababbx";
  EXPECT_EQ(search("a[ab]{11}x", E, text), "(8000,8013)");
  EXPECT_EQ(search("b[ab]{11}x", E, text), "nomatch");
}

TEST(RegexMatcher, MoreSlotsThanGroupsAreUnset) {
  EXPECT_EQ(search("(a)", E, "a", 0, 4), "(0,1)(0,1)(-1,-1)(-1,-1)");
}

TEST(RegexMatcher, BacktrackingBudgetEndsAsOutOfMemory) {
  // The state simulation accepts the whole text, but the group can never
  // hold the 'b': exponentially many ways to split the a's into iterations
  // fail one by one, from every start. The budget must end this.
  std::string text(40, 'a');
  text += "xby";
  EXPECT_EQ(search("(.+)+x\\1y", E, text), "error 12");
}

TEST(RegexMatcher, BacktrackingBudgetIsSpentOnlyOnExponentialWork) {
  // Every start in the first line is a candidate that fails after work
  // linear in its span: quadratic in all, but never exponential, so the
  // search goes on to the match on the second line.
  std::string text = std::string(1000, 'a') + "b" + std::string(2000, 'a') + "c\nabac";
  EXPECT_EQ(search("(a+)b\\1c", E, text), "(3003,3007)(3003,3004)");
}

// Searches that once rescanned the text from every start or for every
// shorter span give the same results in one pass each.
const MatchCase singlePassCases[] = {
    // The cold position is no start: threads from every 'a' live on.
    {"a[^Y]*Y|Z", E, "aaaZbbb", 0, "(3,4)"},
    {"(a[^Y]*Y|Z)", E, "aaaZbbbYa", 0, "(0,8)(0,8)"},
    {"x*(ab|b)c|(b)", E, "aabcab", 0, "(1,4)(1,3)(-1,-1)"},
    // Each piece takes the longest span that lets the rest match.
    {"(.*): error: (.*)", E, "file.c: error: x: error: y", 0, "(0,26)(0,16)(25,26)"},
    {"(.*),(.*),(.*)", E, "a,b,c,d", 0, "(0,7)(0,3)(4,5)(6,7)"},
    {"(a*)(a|ab)(b*)c", E, "aabbc", 0, "(0,5)(0,1)(1,3)(3,4)"},
    // A loop that starts right after the piece: its own jump back does not
    // leave the piece again.
    {"(x*)([a-z]+)", E, "aac", 0, "(0,3)(0,0)(0,3)"},
};

TEST(RegexMatcher, SinglePassStartsAndSpans) { RUN_CASES(singlePassCases); }

// Dissection finds spans with a backward scan of the rest of the pattern
// and splits loops in one pass that runs all their iterations at once; both
// must honour anchors and word boundaries, and a loop whose longest
// iterations strand a tail still reports the iteration the loop can end
// with.
const MatchCase dissectionCases[] = {
    // The rest after a piece takes a fixed number of bytes, or varies.
    {"([a-c]+)([a-c]+)(c|x)", E, "abcabcx", 0, "(0,7)(0,5)(5,6)(6,7)"},
    {"(x*)(a|ab)(b*)", E, "xxabb", 0, "(0,5)(0,2)(2,4)(4,5)"},
    // Anchors and word boundaries in the rest, scanned backward.
    {"(.*)(^b.*|$)", E | Newline, "ab\nbc\nd", 0, "(0,2)(0,2)(2,2)"},
    {"(.*)$(.*)", E | Newline, "ab\nbc", 0, "(0,2)(0,2)(2,2)"},
    {"(a*)[[:>:]](.*)x", E, "aaa bx", 0, "(0,6)(0,3)(3,5)"},
    {"([a-z]*)[[:<:]](a.*)", E, "xxa aab", 0, "(4,7)(4,4)(4,7)"},
    // Loops: iterations of one length, of varying length, with word
    // boundaries inside, and ones whose longest iterations strand a tail.
    {"(ab)*(ab|a)", E, "abababa", 0, "(0,7)(4,6)(6,7)"},
    {"(a|ab)*c", E, "aababc", 0, "(0,6)(3,5)"},
    {"((a|ab)(c|bcd))*d", E, "abcdabcd", 0, "(0,8)(4,7)(4,6)(6,7)"},
    {"([[:<:]]a+ ?)*x", E, "aa a aaax", 0, "(0,9)(5,8)"},
    {"(a|b|ab)+(b?)", E, "abab", 0, "(0,4)(2,4)(4,4)"},
    {"(ab|a|bc)+(c?)", E, "abcabc", 0, "(0,6)(4,6)(6,6)"},
    {"(.*,|y)*x", E, "yy,yy,yyx", 0, "(0,9)(7,8)"},
    {"((.*),)*", E, "a,b,c", 0, "(0,4)(0,4)(0,3)"},
    {"(y|y*,)*", E, "yyy,yy,yyy", 0, "(0,10)(9,10)"},
    {"((a)|(b)|(ab))+c", E, "ababc", 0, "(0,5)(2,4)(-1,-1)(-1,-1)(2,4)"},
    // A loop over one byte operation followed by a byte it does not take
    // ends where its run does, across groups and boundaries; a run may be
    // empty, and a byte the loop also takes needs the scan of the rest.
    {"(a[0-9]*)(b)", E, "xa12b", 0, "(1,5)(1,4)(4,5)"},
    {"a([0-9]*)b([0-9]+)", E, "ab12", 0, "(0,4)(1,1)(2,4)"},
    {"([a-z]+)[[:>:]],([a-z]*)", E, "ab,cd", 0, "(0,5)(0,2)(3,5)"},
    {"([a-z]+)$", E | Newline, "ab\ncd", 0, "(0,2)(0,2)"},
    {"([0-9a]+)a", E, "12a3a", 0, "(0,5)(0,4)"},
};

TEST(RegexMatcher, DissectionHonoursContextAndLoopTails) { RUN_CASES(dissectionCases); }

// A pattern that cannot match a line feed is searched line by line, only
// in lines that hold its literal part; anchors and word boundaries still
// see the bytes around each line and the ends of the searched range.
const MatchCase lineCandidateCases[] = {
    // Lines with the literal but no match come first; the match starts
    // before the literal.
    {"x[0-9]+ = add", E | Newline, "x = add\nyx = add\n x12 = add", 0, "(18,27)"},
    {"%(v[0-9]+) = add i32 %a, [0-9]+", E | Newline,
     "%v1 = add i32 %b, 1\n  %v22 = add i32 %a, 345\n", 0, "(22,44)(23,26)"},
    {"(a|b)+cd", E, "zz\nabcd", 0, "(3,7)(4,5)"},
    {"a+bc", E, "bc abc aabc", 0, "(3,6)"},
    {"b[0-9]c", E | Newline, "b1\nc b2c", 0, "(5,8)"},
    // A line start is a line boundary only with Newline, and the range
    // ends only without NotBol and NotEol.
    {"^ab[0-9]", E | Newline, "xab1\nab2", 0, "(5,8)"},
    {"^ab[0-9]", E, "xab1\nab2", 0, "nomatch"},
    {"ab[0-9]$", E, "ab1\nab2", 0, "(4,7)"},
    {"^ab[0-9]", E | Newline, "ab1\nab2", NotBol, "(4,7)"},
    {"ab[0-9]$", E | Newline, "ab1\nab2", NotEol, "(0,3)"},
    {"[[:<:]]ab[0-9]", E, "xab1\nab2", 0, "(5,8)"},
    {"ab[0-9][[:>:]]", E, "ab1x\nab2", 0, "(5,8)"},
};

TEST(RegexMatcher, LineCandidates) { RUN_CASES(lineCandidateCases); }

// A sequence of bytes, sets, groups and loops over one byte operation, each
// loop followed by bytes it does not take, is matched by one walk per start
// that records the groups on its way; an anchor or word boundary right after
// a loop, or a loop followed by a byte it takes, is not such a sequence.
const MatchCase chainCases[] = {
    {"%(v[0-9]+) = add i32 %a, ([0-9]+)", E | Newline,
     "%v1 = add i32 %b, 1\n  %v22 = add i32 %a, 345\n", 0, "(22,44)(23,26)(41,44)"},
    {"([a-z]*)x([0-9]+)", E, "ab1 abx12", 0, "(4,9)(4,6)(7,9)"},
    {"a([0-9]*)(b)", E, "xab", 0, "(1,3)(2,2)(2,3)"},
    {"^([0-9]+) ", E | Newline, "x1 \n12 3", 0, "(4,7)(4,6)"},
    {"a[0-9]+b$", E | Newline, "a1b2\na1b", 0, "(5,8)"},
    {"[[:<:]]([a-z]+)=", E, "1xa= b=", 0, "(5,7)(5,6)"},
    {"x[a-z ]+[[:>:]]", E, "xab c1", 0, "(0,3)"},
    {"([0-9]+)$", E | Newline, "12 34\n56", 0, "(3,5)(3,5)"},
    {"([a-z]+)a", E, "bcaa", 0, "(0,4)(0,3)"},
    {"([a-z]+)[0-9]*a", E, "bc1a", 0, "(0,4)(0,2)"},
};

TEST(RegexMatcher, ChainsWalkEachStart) {
  RUN_CASES(chainCases);
  // Walks from every start of a long run that fail only at its end: the
  // tagged pass takes over before they cost more than a few passes over
  // the line.
  std::string text = std::string(5000, 'a') + " x1";
  EXPECT_EQ(search("([a-z]*)x([0-9])", E, text), "(5001,5003)(5001,5001)(5002,5003)");
}

TEST(RegexMatcher, LineCandidatesBeyondTheLineBudget) {
  // Lines holding the literal without a match, then a line too long for
  // the line search: the rest of the text is scanned from there.
  std::string lines;
  for (int i = 0; i < 1000; ++i)
    lines += "x = add\n";
  EXPECT_EQ(search("x[0-9]+ = add", E | Newline, lines + "x1 = add"), "(8000,8008)");
  EXPECT_EQ(search("x[0-9]+ = add", E | Newline, lines + "x = add"), "nomatch");
  std::string longLine = std::string(5000, 'y') + " = add x2 = add\n";
  EXPECT_EQ(search("(x[0-9]+) = add", E | Newline, "x = add\n" + longLine),
            "(5015,5023)(5015,5017)");
}

// Patterns of literal bytes, sets and loops, searched as they are (line by
// line, walking them where they form a chain) and as the first alternative
// of `(P)|a^b`, whose second alternative never matches but which is searched
// over the whole text and dissected: both must report the same match and
// groups.
TEST(RegexMatcher, LineSearchAgreesWithWholeTextSearch) {
  static const char *const atoms[] = {"a", "b", "x", "1", " ", "[ab]", "[0-9]", "[a-z]", "[^a]"};
  static const char *const repeats[] = {"", "", "+", "*"};
  static const char *const contexts[] = {"^", "$", "[[:<:]]", "[[:>:]]"};
  static const char alphabet[] = "ab1x \n";
  std::mt19937 rng(1312);
  int failures = 0;
  for (int i = 0; i < 3000 && failures < 10; ++i) {
    std::string pattern;
    size_t pieces = 1 + rng() % 5;
    for (size_t k = 0; k < pieces; ++k) {
      if (rng() % 4 == 0)
        pattern += contexts[rng() % 4];
      std::string piece = std::string(atoms[rng() % 9]) + repeats[rng() % 4];
      pattern += rng() % 3 == 0 ? "(" + piece + ")" : piece;
    }
    int cflags = E | (rng() % 2 ? Newline : 0);
    std::string text;
    for (size_t length = rng() % 16; text.size() < length;)
      text += alphabet[rng() % 6];
    std::string expected = search("(" + pattern + ")|a^b", cflags, text);
    // Drop the group that wraps the whole pattern.
    size_t second = expected.find('(', 1);
    if (second != std::string::npos)
      expected.erase(second, expected.find(')', second) - second + 1);
    SCOPED_TRACE("pattern '" + pattern + "' text '" + text + "' cflags " + std::to_string(cflags));
    std::string actual = search(pattern, cflags, text);
    EXPECT_EQ(actual, expected);
    failures += actual != expected;
  }
}

TEST(RegexMatcher, LongLiteralRunsCompileAndMatch) {
  // A long literal costs nothing against the operation limit, with or
  // without other operations around it.
  std::mt19937 rng(3);
  std::string value;
  for (int i = 0; i < 200000; ++i)
    value += static_cast<char>('a' + rng() % 8);
  std::string text = "x\n" + value + "\n";
  EXPECT_EQ(search(value, E, text), "(2,200002)");
  EXPECT_EQ(search("^" + value + "y", E | Newline, text), "nomatch");
  std::string part = value.substr(0, 20000);
  EXPECT_EQ(search("(" + part + ")[a-z]*$", E | Newline, text), "(2,200002)(2,20002)");
}

TEST(RegexMatcher, DeepLoopsAndLongTextsDoNotRecurse) {
  // One choice per iteration on the back-tracking stack, none on the
  // machine stack.
  std::string text(200000, 'a');
  EXPECT_EQ(search("(a)\\1*", E, text), "(0,200000)(0,1)");
}

// A deliberately slow reference: the pattern as a tree, matched by
// enumerating every path with its captures. Group 0's leftmost-longest span
// is the smallest start with any end and its largest end.
struct Node {
  enum Kind {
    Char,
    Any,
    Set,
    Bol,
    Eol,
    WordStart,
    WordEnd,
    Concat,
    Alt,
    Group,
    Star,
    Plus,
    Quest,
    Repeat,
    BackRef
  };
  Kind kind;
  char c = 0;
  std::string members;
  int group = 0;
  int low = 0, high = 0; // high < 0: unbounded
  std::vector<std::shared_ptr<Node>> children;
};
using NodePtr = std::shared_ptr<Node>;
using Captures = std::array<std::pair<int, int>, 32>;
using Continuation = std::function<void(int, const Captures &)>;

struct Reference {
  std::string text;
  bool newline, ignoreCase, notBol, notEol;

  static bool isWord(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
  bool fold(char a, char b) const {
    return a == b || (ignoreCase && std::tolower(static_cast<unsigned char>(a)) ==
                                        std::tolower(static_cast<unsigned char>(b)));
  }
  bool bol(int p) const { return p == 0 ? !notBol : newline && text[p - 1] == '\n'; }
  bool eol(int p) const {
    return p == static_cast<int>(text.size()) ? !notEol : newline && text[p] == '\n';
  }
  bool charAt(int p, char &c) const {
    if (p >= static_cast<int>(text.size()))
      return false;
    c = text[p];
    return true;
  }

  void run(const Node &n, int p, const Captures &caps, const Continuation &k) const {
    char c;
    switch (n.kind) {
    case Node::Char:
      if (charAt(p, c) && fold(c, n.c))
        k(p + 1, caps);
      return;
    case Node::Any:
      if (charAt(p, c) && !(newline && c == '\n'))
        k(p + 1, caps);
      return;
    case Node::Set:
      if (charAt(p, c))
        for (char m : n.members)
          if (fold(c, m)) {
            k(p + 1, caps);
            return;
          }
      return;
    case Node::Bol:
      if (bol(p))
        k(p, caps);
      return;
    case Node::Eol:
      if (eol(p))
        k(p, caps);
      return;
    case Node::WordStart: {
      bool cur = charAt(p, c) && isWord(c);
      if (cur && (bol(p) || (p > 0 && !isWord(text[p - 1]))))
        k(p, caps);
      return;
    }
    case Node::WordEnd: {
      bool prev = p > 0 && isWord(text[p - 1]);
      if (prev && (eol(p) || (charAt(p, c) && !isWord(c))))
        k(p, caps);
      return;
    }
    case Node::Concat:
      sequence(n, 0, p, caps, k);
      return;
    case Node::Alt:
      for (const NodePtr &child : n.children)
        run(*child, p, caps, k);
      return;
    case Node::Group:
      run(*n.children[0], p, caps, [&](int e, const Captures &inner) {
        Captures out = inner;
        out[n.group] = {p, e};
        k(e, out);
      });
      return;
    case Node::Star:
      k(p, caps);
      [[fallthrough]];
    case Node::Plus:
      loop(*n.children[0], p, caps, k);
      return;
    case Node::Quest:
      run(*n.children[0], p, caps, k);
      k(p, caps);
      return;
    case Node::Repeat:
      repeat(n, 0, p, caps, k);
      return;
    case Node::BackRef: {
      auto [start, end] = caps[n.group];
      if (start < 0)
        return;
      int length = end - start;
      if (p + length > static_cast<int>(text.size()) ||
          text.compare(p, length, text, start, length) != 0)
        return;
      k(p + length, caps);
      return;
    }
    }
  }

  void sequence(const Node &n, size_t i, int p, const Captures &caps, const Continuation &k) const {
    if (i == n.children.size()) {
      k(p, caps);
      return;
    }
    run(*n.children[i], p, caps,
        [&](int e, const Captures &inner) { sequence(n, i + 1, e, inner, k); });
  }

  // One or more iterations; an iteration that took nothing is the last.
  void loop(const Node &body, int p, const Captures &caps, const Continuation &k) const {
    run(body, p, caps, [&](int e, const Captures &inner) {
      k(e, inner);
      if (e != p)
        loop(body, e, inner, k);
    });
  }

  void repeat(const Node &n, int done, int p, const Captures &caps, const Continuation &k) const {
    const Node &body = *n.children[0];
    if (done < n.low) {
      run(body, p, caps, [&](int e, const Captures &inner) { repeat(n, done + 1, e, inner, k); });
      return;
    }
    if (n.high < 0) {
      k(p, caps);
      loop(body, p, caps, k);
      return;
    }
    if (done < n.high)
      run(body, p, caps, [&](int e, const Captures &inner) { repeat(n, done + 1, e, inner, k); });
    k(p, caps);
  }

  std::string search(const Node &root) const {
    for (int s = 0; s <= static_cast<int>(text.size()); ++s) {
      int best = -1;
      Captures none;
      none.fill({-1, -1});
      run(root, s, none, [&](int e, const Captures &) { best = std::max(best, e); });
      if (best >= 0)
        return "(" + std::to_string(s) + "," + std::to_string(best) + ")";
    }
    return "nomatch";
  }
};

class TreeGenerator {
public:
  explicit TreeGenerator(uint32_t seed) : rng(seed) {}

  // Returns the tree and its pattern text.
  NodePtr generate(std::string &pattern, bool withBackRefs) {
    groups = 0;
    closed.clear();
    backRefs = withBackRefs;
    return alternation(2, pattern);
  }

private:
  std::mt19937 rng;
  int groups = 0;
  std::vector<int> closed;
  bool backRefs = false;

  size_t pick(size_t n) { return rng() % n; }

  NodePtr make(Node::Kind kind) {
    auto n = std::make_shared<Node>();
    n->kind = kind;
    return n;
  }

  NodePtr alternation(int depth, std::string &out) {
    auto alt = make(Node::Alt);
    alt->children.push_back(branch(depth, out));
    while (pick(4) == 0) {
      out += '|';
      alt->children.push_back(branch(depth, out));
    }
    return alt;
  }

  NodePtr branch(int depth, std::string &out) {
    auto concat = make(Node::Concat);
    size_t pieces = 1 + pick(3);
    for (size_t i = 0; i < pieces; ++i)
      concat->children.push_back(piece(depth, out));
    return concat;
  }

  NodePtr piece(int depth, std::string &out) {
    switch (pick(14)) {
    case 0:
      out += '^';
      return make(Node::Bol);
    case 1:
      out += '$';
      return make(Node::Eol);
    case 2:
      out += "[[:<:]]";
      return make(Node::WordStart);
    case 3:
      out += "[[:>:]]";
      return make(Node::WordEnd);
    default:
      break;
    }
    NodePtr atom = this->atom(depth, out);
    NodePtr wrapped;
    switch (pick(8)) {
    case 0:
      out += '*';
      wrapped = make(Node::Star);
      break;
    case 1:
      out += '+';
      wrapped = make(Node::Plus);
      break;
    case 2:
      out += '?';
      wrapped = make(Node::Quest);
      break;
    case 3:
      wrapped = make(Node::Repeat);
      wrapped->low = static_cast<int>(pick(3));
      wrapped->high = pick(3) == 0 ? -1 : wrapped->low + static_cast<int>(pick(2));
      out += "{" + std::to_string(wrapped->low) + "," +
             (wrapped->high < 0 ? "" : std::to_string(wrapped->high)) + "}";
      break;
    default:
      return atom;
    }
    wrapped->children.push_back(atom);
    return wrapped;
  }

  NodePtr atom(int depth, std::string &out) {
    size_t choice = pick(10);
    if (depth > 0 && choice < 3 && groups < 31) {
      auto group = make(Node::Group);
      group->group = ++groups;
      out += '(';
      group->children.push_back(alternation(depth - 1, out));
      out += ')';
      if (group->group <= 9)
        closed.push_back(group->group);
      return group;
    }
    if (backRefs && !closed.empty() && choice == 3) {
      auto ref = make(Node::BackRef);
      ref->group = closed[pick(closed.size())];
      out += "\\" + std::to_string(ref->group);
      return ref;
    }
    switch (choice % 4) {
    case 0: {
      out += '.';
      return make(Node::Any);
    }
    case 1: {
      auto set = make(Node::Set);
      set->members = "ab";
      out += "[ab]";
      return set;
    }
    default: {
      auto c = make(Node::Char);
      c->c = "ab"[pick(2)];
      out += c->c;
      return c;
    }
    }
  }
};

void crossCheck(bool withBackRefs, uint32_t seed) {
  TreeGenerator generator(seed);
  std::mt19937 rng(seed + 1);
  int failures = 0;
  int exhausted = 0;
  for (int i = 0; i < 1500 && failures < 10; ++i) {
    std::string pattern;
    NodePtr root = generator.generate(pattern, withBackRefs);
    Reference ref;
    ref.newline = rng() % 2;
    ref.ignoreCase = rng() % 4 == 0;
    ref.notBol = rng() % 5 == 0;
    ref.notEol = rng() % 5 == 0;
    static const char alphabet[] = "abAB \n";
    size_t length = rng() % 8;
    for (size_t j = 0; j < length; ++j)
      ref.text += alphabet[rng() % 6];
    int cflags = E | (ref.newline ? Newline : 0) | (ref.ignoreCase ? IgnoreCase : 0);
    int eflags = (ref.notBol ? NotBol : 0) | (ref.notEol ? NotEol : 0);
    std::string expected = ref.search(*root);
    std::string actual = search(pattern, cflags, ref.text, eflags, 1);
    SCOPED_TRACE("pattern '" + pattern + "' text '" + ref.text + "' cflags " +
                 std::to_string(cflags) + " eflags " + std::to_string(eflags));
    // Nested loops before a back-reference can exhaust the back-tracking
    // budget even on short texts; that is reported, never a wrong answer.
    if (withBackRefs && actual == "error 12") {
      ++exhausted;
      continue;
    }
    EXPECT_EQ(actual, expected);
    failures += actual != expected;
  }
  EXPECT_LE(exhausted, 5);
}

TEST(RegexMatcher, AgreesWithSlowReference) { crossCheck(false, 4242); }
TEST(RegexMatcher, AgreesWithSlowReferenceOnBackReferences) { crossCheck(true, 777); }

} // namespace
} // namespace vetline::regex
