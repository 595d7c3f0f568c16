#include "engine/pattern_match.h"

#include "engine/check_engine.h"
#include "engine/engine_errors.h"
#include "engine/pattern.h"
#include "engine/pattern_context.h"
#include "support/edit_distance.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

// The fuzzy search written the slow, obvious way: every offset gets its full
// distance. The real one caps distances that cannot win.
std::optional<size_t> referenceCandidate(std::string_view text, std::string_view example) {
  size_t offsets = std::min<size_t>(4096, text.size());
  std::optional<size_t> best;
  double bestQuality = 0.0;
  unsigned lines = 0;
  for (size_t i = 0; i < offsets; ++i) {
    if (text[i] == '\n')
      ++lines;
    if (text[i] == ' ' || text[i] == '\t')
      continue;
    std::string_view candidate = text.substr(i, example.size());
    candidate = candidate.substr(0, candidate.find('\n'));
    double quality = editDistance(candidate, example) + lines / 100.0;
    if (!best || quality < bestQuality) {
      best = i;
      bestQuality = quality;
    }
  }
  if (!best || *best == 0 || !(bestQuality < 50.0))
    return std::nullopt;
  return best;
}

struct CandidateCase {
  const char *name;
  std::string text;
  std::string example;
  std::optional<size_t> offset;
};

TEST(PatternMatch, ClosestCandidate) {
  const CandidateCase cases[] = {
      {"exact match on the second line", "xx\nfoo", "foo", 3},
      {"best at the very start is never proposed", "foo\nxyz", "foo", std::nullopt},
      {"empty text", "", "foo", std::nullopt},
      {"a later line costs a hundredth per line", "fox\n\nfoo", "foo", 5},
      {"ties keep the earlier offset", "zz fob fob", "foo", 3},
      {"blanks are not start offsets", "x  \tfoo", "foo", 4},
      {"fifty edits are too many", "x" + std::string(60, 'a'), std::string(50, 'b'), std::nullopt},
      {"fifty edits everywhere", "z" + std::string(50, 'b'), std::string(50, 'a'), std::nullopt},
      {"forty-eight edits are accepted", "zq" + std::string(48, 'b'), "q" + std::string(48, 'a'),
       1},
      {"only the first 4096 offsets are tried", std::string(4100, 'z') + "foo", "foo",
       std::nullopt},
      {"a candidate may run past offset 4096", std::string(4095, '.') + "foo", "foo", 4095},
  };
  for (const CandidateCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(closestCandidateIn(c.text, c.example), c.offset);
    EXPECT_EQ(referenceCandidate(c.text, c.example), c.offset);
  }
}

// The capped distances must never change the answer: compare with the
// reference on random texts over a small alphabet (so near matches are
// common), with examples both shorter and longer than the cap.
TEST(PatternMatch, ClosestCandidateAgreesWithReference) {
  std::mt19937 random(12345);
  const char alphabet[] = "ab \n";
  auto randomText = [&](size_t length, size_t letters) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
      text += alphabet[random() % letters];
    return text;
  };
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    std::string text = randomText(random() % 300, round % 2 ? 4 : 3);
    std::string example = randomText(1 + random() % (round % 5 == 0 ? 120 : 12), 2);
    EXPECT_EQ(closestCandidateIn(text, example), referenceCandidate(text, example));
  }
}

// Periodic text makes every offset a near miss, so the distances along
// shared diagonals are reused across offsets; lines longer than the example
// and edits spread over it keep the cap from cutting the work short.
TEST(PatternMatch, ClosestCandidateInPeriodicTextAgreesWithReference) {
  std::mt19937 random(2026);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    std::string unit = round % 3 ? "i32 0, " : "ab";
    size_t exampleLength = 20 + random() % 180;
    std::string line;
    while (line.size() < exampleLength + 300)
      line += unit;
    std::string example = line.substr(random() % unit.size(), exampleLength);
    for (size_t edits = random() % 60; edits > 0; --edits)
      example[random() % example.size()] = "xa0 "[random() % 4];
    std::string text = (round % 4 ? "" : "start\n") + line;
    if (round % 5 == 0)
      text += "\n" + example.substr(0, example.size() / 2) + "\n" + line;
    EXPECT_EQ(closestCandidateIn(text, example), referenceCandidate(text, example));
  }
}

struct FixedCase {
  std::string haystack;
  std::string needle;
  bool ignoreCase;
  size_t position;
};

TEST(PatternMatch, FindFixedText) {
  const size_t none = std::string_view::npos;
  const FixedCase cases[] = {
      {"xfoox", "foo", false, 1},
      {"xFOOx", "foo", false, none},
      {"xFOOx", "Foo", true, 1},
      {"aAaAab", "AB", true, 4},
      {"[foo] a", "[FOO]", true, 0},
      {"x\xc3\xa9x", "\xc3\x89", true, none}, // only ASCII letters fold
      {"x\xc3\xa9x", "\xc3\xa9", true, 1},
      {std::string("a\0b\0c", 5), std::string("\0c", 2), false, 3},
      {std::string("a\0b\0C", 5), std::string("\0c", 2), true, 3},
      {"ab", "abc", true, none},
      {"abc", "bc", true, 1},
      {"", "a", false, none},
  };
  for (const FixedCase &c : cases) {
    SCOPED_TRACE(c.haystack + " / " + c.needle);
    EXPECT_EQ(findFixedText(c.haystack, c.needle, c.ignoreCase), c.position);
  }
}

class FindMatch : public ::testing::Test {
protected:
  FindMatch() { context.makeLineVariable(); }

  std::string_view addBuffer(std::string_view text, std::string_view name) {
    unsigned number = sourceManager.addBuffer(makeTextBufferCopy(text, name));
    return sourceManager.buffer(number).text();
  }

  CheckPattern parse(std::string_view text, DirectiveKind kind = DirectiveKind::Plain) {
    CheckPattern pattern({kind, 1, 0}, 1, &context);
    EXPECT_FALSE(
        pattern.compilePattern(addBuffer(text, "check.txt"), "CHECK", sourceManager, request));
    return pattern;
  }

  // "position+length", or the messages of the errors.
  std::string describe(MatchOutcome outcome) {
    std::string result;
    if (outcome.hasMatch)
      result = std::to_string(outcome.position) + "+" + std::to_string(outcome.length);
    handleEveryError(std::move(outcome.error), [&](const ErrorPayload &payload) {
      result += (result.empty() ? "" : "; ") + payload.message();
    });
    return result;
  }

  std::string find(const CheckPattern &pattern, std::string_view input) {
    return describe(pattern.findMatch(addBuffer(input, "input"), sourceManager));
  }

  // What `pattern` finds in `input`, and what `regex` finds there, alike
  // described.
  std::pair<std::string, std::string> findBoth(const CheckPattern &pattern, const Regex &regex,
                                               std::string_view input) {
    input = addBuffer(input, "input");
    std::vector<std::string_view> groups;
    std::string expected = "String not found in input";
    if (regex.match(input, &groups))
      expected =
          std::to_string(groups[0].data() - input.data()) + "+" + std::to_string(groups[0].size());
    return {describe(pattern.findMatch(input, sourceManager)), expected};
  }

  SourceManager sourceManager;
  PatternContext context;
  CheckRequest request;
};

TEST_F(FindMatch, FixedAndRegexPatterns) {
  struct Case {
    const char *pattern;
    const char *input;
    const char *result;
  };
  const Case cases[] = {
      {"foo", "a foo foo", "2+3"},
      {"foo", "a fo", "String not found in input"},
      {"a{{[0-9]+}}b", "xa12ba1b", "1+4"},
      {"a{{[0-9]+}}b", "ab", "String not found in input"},
      // '.' and '$' stop at line feeds.
      {"a{{.*}}", "xab\nc", "1+2"},
      {"b{{$}}", "b x\nab\n", "5+1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(find(parse(c.pattern), c.input), c.result);
  }
}

TEST_F(FindMatch, IgnoreCaseAppliesToFixedTextAndRegexes) {
  request.ignoreCase = true;
  EXPECT_EQ(find(parse("Foo"), "xFOOx"), "1+3");
  EXPECT_EQ(find(parse("F{{o+}}"), "xFOOx"), "1+3");
}

TEST_F(FindMatch, EndOfFileMatchesAtTheEnd) {
  CheckPattern endOfFile({DirectiveKind::EndOfFile, 1, 0}, 3, &context);
  EXPECT_EQ(find(endOfFile, ""), "0+0");
  EXPECT_EQ(find(endOfFile, "abc\n"), "4+0");
}

TEST_F(FindMatch, EmptyLineMatchStartsAfterTheLineFeed) {
  CheckPattern empty = parse("", DirectiveKind::Empty);
  EXPECT_EQ(find(empty, "\n\nb"), "1+0");
  EXPECT_EQ(find(empty, "\nb"), "String not found in input");
}

TEST_F(FindMatch, CapturesAreViewsIntoTheInput) {
  CheckPattern pattern = parse("[[B:[a-z]+]]=[[A:[0-9]+]]");
  std::string_view input = addBuffer("x abc=42 y", "input");
  EXPECT_EQ(describe(pattern.findMatch(input, sourceManager)), "2+6");
  std::optional<std::string_view> a = context.stringValue("A");
  std::optional<std::string_view> b = context.stringValue("B");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->data(), input.data() + 6);
  EXPECT_EQ(*a, "42");
  EXPECT_EQ(b->data(), input.data() + 2);
  EXPECT_EQ(*b, "abc");
}

TEST_F(FindMatch, SubstitutedValuesAreEscaped) {
  CheckPattern define = parse("[[X:a.b]]");
  CheckPattern use = parse("<[[X]]>");
  EXPECT_EQ(find(define, "a.b"), "0+3");
  EXPECT_EQ(find(use, "<axb> <a.b>"), "6+5");
  EXPECT_EQ(find(use, "<axb>"), "String not found in input");
}

TEST_F(FindMatch, SecondSubstitutionIsShiftedByTheFirst) {
  context.setStringValue("X", "12");
  context.setStringValue("Y", "345");
  CheckPattern pattern = parse("a[[X]]b[[Y]]c{{$}}");
  EXPECT_EQ(find(pattern, "a12b345c a12b34c\n"), "String not found in input");
  EXPECT_EQ(find(pattern, "a12b34c\na12b345c\n"), "8+8");
}

// Substituted patterns that come out as plain text skip the regex engine;
// they must find exactly what the compiled regex finds.
TEST_F(FindMatch, SubstitutedTextFoundLikeTheRegexWould) {
  struct Case {
    const char *pattern;
    const char *value;
    const char *input;
    bool ignoreCase;
  };
  const Case cases[] = {
      {"call [[X]]()", "f.g", "call fxg() call f.g()", false},
      {"[[X]]", "a+b", "aab a+b", false},
      {"<[[X]]>", "", "<x> <>", false},
      {"[[X]]$", "a\\b", "a\\b$", false},
      {"Call [[X]]", "AbC", "CALL abc", true},
      {"Call [[X]]", "AbC", "CALL abd", true},
      {"[[X]]x", "\xc9", "\xe9x \xc9X", true},
      {"[[X]] {{x}}", "1", "1 y 1 x", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern);
    request.ignoreCase = c.ignoreCase;
    context.setStringValue("X", c.value);
    CheckPattern pattern = parse(c.pattern);
    std::string regexText(pattern.regexText());
    regexText.insert(pattern.substitutions()[0]->insertIndex, Regex::escape(c.value));
    Regex regex(regexText, c.ignoreCase ? RegexOptions::Newline | RegexOptions::IgnoreCase
                                        : RegexOptions::Newline);
    auto [found, expected] = findBoth(pattern, regex, c.input);
    EXPECT_EQ(found, expected);
  }
}

// The same with several values, numeric ones among them, and patterns
// where only part of the text is literal: the regex is the stored one with
// every value inserted as it would be for the regex engine.
TEST_F(FindMatch, SeveralSubstitutionsFoundLikeTheRegexWould) {
  struct Case {
    const char *pattern;
    const char *input;
    bool fullLines;
  };
  const Case cases[] = {
      {"[[X]]-[[#@LINE+1]]-[[X]]", "a.b-1-a.b a.b-2-a.b", false},
      {"[[#@LINE]]:[[#@LINE+9]]", "1:1 1:10", false},
      {"a[[[X]] b", "a[a.b] b a[a.b b", false},
      {"[[X]]{{.}}", "axb a.bx", false},
      {"[[X]][[#N:]]", "a.b a.b7", false},
      {"[[X]] b", "xa.b b\na.b b\n", true},
  };
  context.setStringValue("X", "a.b");
  // The directives' line, which the search sets too.
  context.setNumericValue(context.lineVariable(), ExprValue::fromUnsigned(1), std::nullopt);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern);
    request.matchFullLines = c.fullLines;
    CheckPattern pattern = parse(c.pattern);
    std::string regexText(pattern.regexText());
    size_t shift = 0;
    for (const Substitution *substitution : pattern.substitutions()) {
      Fallible<std::string> value = substitution->valueText();
      ASSERT_TRUE(value);
      regexText.insert(substitution->insertIndex + shift, *value);
      shift += value->size();
    }
    auto [found, expected] = findBoth(pattern, Regex(regexText, regexOptionsOf(pattern)), c.input);
    EXPECT_EQ(found, expected);
    EXPECT_NE(found, "String not found in input");
  }
}

// A value that leaves nothing to search makes an empty regex, which is
// refused rather than matched everywhere or nowhere.
TEST_F(FindMatch, EmptySubstitutedRegexIsAnError) {
  context.setStringValue("X", "");
  EXPECT_EQ(find(parse("[[X]]"), "abc"), "invalid regex: empty (sub)expression");
}

TEST_F(FindMatch, UndefinedVariablesAreAllReportedAndNothingIsSearched) {
  CheckPattern pattern = parse("[[X:x]] [[P]] and [[Q]]");
  EXPECT_EQ(find(pattern, "x anything"), "undefined variable: P; undefined variable: Q");
  // The refused search captured nothing.
  EXPECT_FALSE(context.stringValue("X"));
}

TEST_F(FindMatch, SubstitutionErrorsPointAtTheNames) {
  CheckPattern pattern = parse("a [[UNSET]]");
  MatchOutcome outcome = pattern.findMatch(addBuffer("a b", "input"), sourceManager);
  ASSERT_FALSE(outcome.hasMatch);
  ASSERT_TRUE(outcome.error.isKindOf<LocatedError>());
  const auto &located = static_cast<const LocatedError &>(*outcome.error.payload());
  EXPECT_EQ(located.diagnostic().bufferName(), "check.txt");
  EXPECT_EQ(located.diagnostic().column(), 4);
  EXPECT_EQ(located.range().end.pointer() - located.range().start.pointer(), 5);
}

TEST_F(FindMatch, NumericCapturesAreConvertedInTheirFormats) {
  CheckPattern pattern = parse("[[#%x,A:]] [[#%d,B:]] [[#%.3,C:]]");
  std::string_view input = addBuffer("ff -3 007", "input");
  EXPECT_EQ(describe(pattern.findMatch(input, sourceManager)), "0+9");
  NumericVar *a = context.numericVar("A");
  NumericVar *b = context.numericVar("B");
  NumericVar *c = context.numericVar("C");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->value, ExprValue::fromUnsigned(255));
  EXPECT_EQ(a->stringValue->data(), input.data());
  EXPECT_EQ(b->value, ExprValue::fromSigned(-3));
  EXPECT_EQ(*b->stringValue, "-3");
  EXPECT_EQ(c->value, ExprValue::fromUnsigned(7));
}

TEST_F(FindMatch, ConversionFailureKeepsTheMatchAndTheOldValue) {
  CheckPattern pattern = parse("n=[[#N:]] [[S:[a-z]+]]");
  EXPECT_EQ(find(pattern, "n=12 x"), "0+6");
  NumericVar *n = context.numericVar("N");
  std::string_view input = addBuffer("n=18446744073709551616 y", "input");
  MatchOutcome outcome = pattern.findMatch(input, sourceManager);
  ASSERT_TRUE(outcome.hasMatch);
  EXPECT_EQ(outcome.length, 24u);
  ASSERT_TRUE(outcome.error.isKindOf<LocatedError>());
  const auto &located = static_cast<const LocatedError &>(*outcome.error.payload());
  EXPECT_EQ(located.message(), "unable to represent numeric value");
  EXPECT_EQ(located.range(), SourceRange::of(input.substr(2, 20)));
  EXPECT_EQ(n->value, ExprValue::fromUnsigned(12));
  EXPECT_EQ(*n->stringValue, "12");
  // String captures of the same match are already set.
  EXPECT_EQ(context.stringValue("S"), "y");
}

TEST_F(FindMatch, NumericSubstitutions) {
  struct Case {
    const char *pattern;
    const char *input;
    const char *result;
  };
  const Case cases[] = {
      {"x[[#@LINE+1]]", "x1 x2", "3+2"},
      {"[[#%#.4x,255]]", "ff 0x00ff", "3+6"},
      {"v=[[#N2:3*4]];", "v=1; v=12;", "5+5"},
      {"[[#0xffffffffffffffff+1]]", "1",
       "unable to substitute variable or numeric expression: overflow error"},
      {"[[#A+B]] [[#A]]", "1",
       "undefined variable: A; undefined variable: B; undefined variable: A"},
      {"[[#%u,-1]]", "1", "unable to substitute variable or numeric expression: overflow error"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(find(parse(c.pattern), c.input), c.result);
  }
  EXPECT_EQ(context.numericVar("N2")->value, ExprValue::fromUnsigned(12));
}

TEST_F(FindMatch, LineVariableIsSetOnlyForPatternsWithSubstitutions) {
  NumericVar *line = context.lineVariable();
  find(parse("[[#N:]]"), "1");
  EXPECT_FALSE(line->value);
  find(parse("[[#5]]"), "1");
  EXPECT_EQ(line->value, ExprValue::fromUnsigned(1));
  EXPECT_FALSE(line->stringValue);
}

TEST_F(FindMatch, SubstitutionOverflowPointsAtTheBlock) {
  CheckPattern pattern = parse("a [[#%x,0-1]]");
  MatchOutcome outcome = pattern.findMatch(addBuffer("a b", "input"), sourceManager);
  ASSERT_TRUE(outcome.error.isKindOf<LocatedError>());
  const auto &located = static_cast<const LocatedError &>(*outcome.error.payload());
  // The whole block after its '#', specifier included (0-based column).
  EXPECT_EQ(located.diagnostic().column(), 5);
  EXPECT_EQ(located.range().end.pointer() - located.range().start.pointer(), 6);
}

// Also for substituted regexes, which the cache keeps by their text with
// the values in: a new value is a new regex.
TEST_F(FindMatch, CacheKeepsCaseSensitiveAndInsensitiveApart) {
  for (std::string_view text : {"a{{b}}", "[[X]]{{b}}"}) {
    SCOPED_TRACE(text);
    request.ignoreCase = false;
    CheckPattern exact = parse(text);
    request.ignoreCase = true;
    CheckPattern folded = parse(text);
    ASSERT_EQ(exact.regexText(), folded.regexText());
    context.setStringValue("X", "a");
    std::string_view input = addBuffer("AB ab cb", "input");
    RegexCache cache;
    EXPECT_EQ(describe(findPatternMatch(exact, input, sourceManager, &cache)), "3+2");
    EXPECT_EQ(describe(findPatternMatch(folded, input, sourceManager, &cache)), "0+2");
    EXPECT_EQ(describe(findPatternMatch(exact, input, sourceManager, &cache)), "3+2");
    if (!exact.substitutions().empty()) {
      context.setStringValue("X", "c");
      EXPECT_EQ(describe(findPatternMatch(exact, input, sourceManager, &cache)), "6+2");
    }
  }
}

// A regex that does not compile must never read as "not found": for a NOT
// pattern that would be a pass.
TEST_F(FindMatch, UncompilableRegexIsAnError) {
  CheckPattern pattern({DirectiveKind::Not, 1, 0}, 1, &context);
  std::string_view text = addBuffer("{{(a}}", "check.txt");
  pattern.location = SourceLocation::fromPointer(text.data());
  pattern.regexParts().text = "(a";
  std::string_view input = addBuffer("nothing here", "input");
  RegexCache cache;
  for (RegexCache *withCache : {static_cast<RegexCache *>(nullptr), &cache}) {
    MatchOutcome outcome = findPatternMatch(pattern, input, sourceManager, withCache);
    EXPECT_FALSE(outcome.hasMatch);
    EXPECT_EQ(describe(std::move(outcome)), "invalid regex: parentheses not balanced");
  }
}

TEST_F(FindMatch, CachedRegexGivesTheSameResults) {
  CheckPattern pattern = parse("[[V:[a-z]+]]{{[0-9]}}");
  std::string_view input = addBuffer("12 ab3 cd4", "input");
  RegexCache cache;
  for (size_t start : {0, 3, 4, 7, 10}) {
    SCOPED_TRACE(start);
    std::string_view text = input.substr(start);
    std::string uncached = describe(pattern.findMatch(text, sourceManager));
    std::optional<std::string_view> first = context.stringValue("V");
    EXPECT_EQ(describe(findPatternMatch(pattern, text, sourceManager, &cache)), uncached);
    EXPECT_EQ(context.stringValue("V"), first);
  }
}

} // namespace
} // namespace vetline
