// Verdicts of directive checking. The exact diagnostics of each rule are
// pinned by the end-to-end cases under tests/e2e/cases/check/.
#include "engine/check_verifier.h"

#include "engine/check_engine.h"
#include "engine/pattern_match.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

struct BreakCase {
  std::string_view text;
  size_t count;
  size_t afterFirst;
};

const BreakCase breakCases[] = {
    {"", 0, 0},     {"abc", 0, 0},     {"\n", 1, 1},       {"a\n\n", 2, 2},
    {"\n\r", 1, 2}, {"\r\n", 1, 2},    {"\r", 1, 1},       {"\n\r\n", 2, 2},
    {"\r\r", 2, 1}, {"a\nb\nc", 2, 2}, {"ab\r\n\n", 2, 4},
};

TEST(CheckVerifier, CountLineBreaks) {
  for (const BreakCase &c : breakCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    LineBreaks breaks = countLineBreaks(c.text);
    EXPECT_EQ(breaks.count, c.count);
    if (c.count > 0) {
      EXPECT_EQ(breaks.afterFirst, c.afterFirst);
    }
  }
}

struct Options {
  bool enableVarScope = false;
  bool allowDagOverlap = false;
  std::vector<std::string_view> defines;
};

struct VerdictCase {
  const char *name;
  std::string_view check;
  std::string_view input;
  bool passes;
  Options options = {};
};

bool verify(const VerdictCase &c) {
  CheckRequest request;
  request.enableVarScope = c.options.enableVarScope;
  request.allowDeprecatedDagOverlap = c.options.allowDagOverlap;
  request.globalDefines = c.options.defines;
  SourceManager sourceManager;
  CheckEngine engine(request);
  Regex prefixes = engine.buildPrefixRegex();
  unsigned check = sourceManager.addBuffer(makeTextBufferCopy(c.check, "check.txt"));
  EXPECT_FALSE(
      engine.loadDirectives(sourceManager, sourceManager.buffer(check).text(), prefixes, nullptr));
  unsigned input = sourceManager.addBuffer(makeTextBufferCopy(c.input, "input.txt"));
  // The diagnostics are pinned elsewhere; keep them out of the test log.
  testing::internal::CaptureStderr();
  bool passed = engine.verifyInput(sourceManager, sourceManager.buffer(input).text(), nullptr);
  testing::internal::GetCapturedStderr();
  return passed;
}

const VerdictCase verdictCases[] = {
    // Blocks end at the match of each label.
    {"before the label", "CHECK: b\nCHECK-LABEL: L\n", "b L\n", true},
    {"only after the label", "CHECK: b\nCHECK-LABEL: L\n", "L b\n", false},
    {"failed block, good later block", "CHECK-LABEL: L1\nCHECK: x\nCHECK-LABEL: L2\nCHECK: y\n",
     "L1\nL2\ny\n", false},
    {"each block searches its own text", "CHECK-LABEL: L1\nCHECK: x\nCHECK-LABEL: L2\nCHECK: x\n",
     "L1\nL2\nx\n", false},
    {"label found after the previous label", "CHECK-LABEL: L\nCHECK-LABEL: L\n", "L\n", false},
    {"two labels", "CHECK-LABEL: L\nCHECK-LABEL: L\n", "L L\n", true},
    // Line rules.
    {"next on the next line", "CHECK: a\nCHECK-NEXT: b\n", "a\nb\n", true},
    {"next on the same line", "CHECK: a\nCHECK-NEXT: b\n", "a b\n", false},
    {"next two lines later", "CHECK: a\nCHECK-NEXT: b\n", "a\n\nb\n", false},
    {"LF CR is one break", "CHECK: a\nCHECK-NEXT: b\n", "a\n\rb\n", true},
    {"a lone CR is one break", "CHECK: a\nCHECK-NEXT: b\n", "a\rb", true},
    {"same after next", "CHECK: a\nCHECK-NEXT: b\nCHECK-SAME: c\n", "a\nb c\n", true},
    {"same on a later line", "CHECK: a\nCHECK-SAME: c\n", "a\nc\n", false},
    {"empty line right after", "CHECK: a\nCHECK-EMPTY:\nCHECK-NEXT: b\n", "a\n\nb\n", true},
    {"empty line too late", "CHECK: a\nCHECK-EMPTY:\n", "a\nx\n\nb\n", false},
    // NOT ranges.
    {"not between matches", "CHECK: a\nCHECK-NOT: x\nCHECK: b\n", "a x b\n", false},
    {"not outside its range", "CHECK: a\nCHECK-NOT: x\nCHECK: b\n", "x a b x\n", true},
    {"not up to the end", "CHECK: a\nCHECK-NOT: x\n", "a b x\n", false},
    {"not after the last match is fine", "CHECK: a\nCHECK-NOT: x\n", "x a b\n", true},
    {"not alone", "CHECK-NOT: x\n", "abc\n", true},
    {"not alone, found", "CHECK-NOT: x\n", "axc\n", false},
    {"not before a group stops at its leftmost match",
     "CHECK: s\nCHECK-NOT: x\nCHECK-DAG: b\nCHECK-DAG: a\nCHECK: e\n", "s a b x e\n", true},
    {"not before a group", "CHECK: s\nCHECK-NOT: x\nCHECK-DAG: b\nCHECK-DAG: a\nCHECK: e\n",
     "s x a b e\n", false},
    {"not between groups, outside", "CHECK-DAG: a\nCHECK-NOT: x\nCHECK-DAG: b\nCHECK: e\n",
     "a b x e\n", true},
    {"not between groups, inside", "CHECK-DAG: a\nCHECK-NOT: x\nCHECK-DAG: b\nCHECK: e\n",
     "a x b e\n", false},
    {"not after a group", "CHECK-DAG: a\nCHECK-NOT: x\nCHECK: e\n", "a x e\n", false},
    {"not after a group, before it", "CHECK-DAG: a\nCHECK-NOT: x\nCHECK: e\n", "x a e\n", true},
    // DAG groups.
    {"adjacent dag matches do not overlap", "CHECK-DAG: b\nCHECK-DAG: a\n", "ab\n", true},
    {"dag in any order", "CHECK-DAG: a\nCHECK-DAG: b\nCHECK: c\n", "b a c\n", true},
    {"plain after the rightmost dag", "CHECK-DAG: a\nCHECK-DAG: b\nCHECK: a\n", "b a\n", false},
    {"plain after the rightmost dag, found", "CHECK-DAG: a\nCHECK-DAG: b\nCHECK: a\n", "b a a\n",
     true},
    {"second group after the first", "CHECK-DAG: a\nCHECK-NOT: z\nCHECK-DAG: b\n", "b a\n", false},
    {"equal dags need two matches", "CHECK-DAG: a\nCHECK-DAG: a\n", "a\n", false},
    {"equal dags, two matches", "CHECK-DAG: a\nCHECK-DAG: a\n", "a a\n", true},
    {"three overlapping", "CHECK-DAG: abc\nCHECK-DAG: a\nCHECK-DAG: c\n", "abc a c\n", true},
    {"overlap behind the second range", "CHECK-DAG: b\nCHECK-DAG: d\nCHECK-DAG: {{b|d}}\n",
     "b d d b\n", true},
    {"overlap allowed",
     "CHECK-DAG: a\nCHECK-DAG: a\n",
     "a\n",
     true,
     {.allowDagOverlap = true, .defines = {}}},
    // Repetitions.
    {"count met", "CHECK-COUNT-3: a\n", "a a a\n", true},
    {"count short", "CHECK-COUNT-3: a\n", "a a\n", false},
    {"next after the last repetition", "CHECK-COUNT-2: a\nCHECK-NEXT: b\n", "a\na\nb\n", true},
    {"next after the last repetition, too far", "CHECK-COUNT-2: a\nCHECK-NEXT: b\n", "a a\n\nb\n",
     false},
    // Variables.
    {"variable used later", "CHECK: [[X:[a-z]+]]=\nCHECK: use [[X]]\n", "foo=\nuse foo\n", true},
    {"variable with another value", "CHECK: [[X:[a-z]+]]=\nCHECK: use [[X]]\n", "foo=\nuse bar\n",
     false},
    {"local variable kept without scoping",
     "CHECK-LABEL: one\nCHECK: [[X:[a-z]+]]\nCHECK-LABEL: two\nCHECK: [[X]]\n",
     "one\nfoo\ntwo\nfoo\n", true},
    {"local variable cleared by scoping",
     "CHECK-LABEL: one\nCHECK: [[X:[a-z]+]]\nCHECK-LABEL: two\nCHECK: [[X]]\n",
     "one\nfoo\ntwo\nfoo\n",
     false,
     {.enableVarScope = true, .defines = {}}},
    {"global variable survives scoping",
     "CHECK-LABEL: one\nCHECK: [[$X:[a-z]+]]\nCHECK-LABEL: two\nCHECK: [[$X]]\n",
     "one\nfoo\ntwo\nfoo\n",
     true,
     {.enableVarScope = true, .defines = {}}},
    {"command-line variable before the first label",
     "CHECK: [[V]]\nCHECK-LABEL: L\n",
     "val L\n",
     true,
     {.enableVarScope = true, .defines = {"V=val"}}},
    {"command-line variable cleared after the first label",
     "CHECK-LABEL: L\nCHECK: [[V]]\n",
     "L val\n",
     false,
     {.enableVarScope = true, .defines = {"V=val"}}},
    // Numeric variables.
    {"hex address arithmetic", "CHECK: [[#%x,A:]]:\nCHECK-NEXT: [[#A+8]]:\n", "ff0:\nff8:\n", true},
    {"hex address arithmetic, wrong value", "CHECK: [[#%x,A:]]:\nCHECK-NEXT: [[#A+8]]:\n",
     "ff0:\nff9:\n", false},
    {"line numbers", "CHECK: a\nCHECK: [[#@LINE]] [[#@LINE-1]] [[@LINE+1]]\n", "a\n2 1 3\n", true},
    {"captured number too large", "CHECK: [[#N:]]\n", "18446744073709551616\n", false},
    {"numeric local kept without scoping",
     "CHECK-LABEL: one\nCHECK: l=[[#L:]]\nCHECK-LABEL: two\nCHECK: l=[[#L]]\n",
     "one\nl=2\ntwo\nl=2\n", true},
    // A variable captured after the first boundary must be cleared at the
    // next one as well.
    {"numeric local cleared at every boundary",
     "CHECK-LABEL: one\nCHECK: l=[[#L:]]\nCHECK-LABEL: two\nCHECK: l=[[#L]]\n",
     "one\nl=2\ntwo\nl=2\n",
     false,
     {.enableVarScope = true, .defines = {}}},
    {"numeric local cleared at the third boundary",
     "CHECK-LABEL: one\nCHECK-LABEL: two\nCHECK: l=[[#L:]]\nCHECK-LABEL: three\n"
     "CHECK: l=[[#L]]\n",
     "one\ntwo\nl=2\nthree\nl=2\n",
     false,
     {.enableVarScope = true, .defines = {}}},
    {"numeric global survives every boundary",
     "CHECK-LABEL: one\nCHECK: l=[[#$L:]]\nCHECK-LABEL: two\nCHECK: l=[[#$L]]\n"
     "CHECK-LABEL: three\nCHECK: l=[[#$L+1]]\n",
     "one\nl=2\ntwo\nl=2\nthree\nl=3\n",
     true,
     {.enableVarScope = true, .defines = {}}},
    {"line variable set again after scoping",
     "CHECK-LABEL: one\nCHECK-LABEL: two\nCHECK: [[#@LINE]]\n",
     "one\ntwo\n3\n",
     true,
     {.enableVarScope = true, .defines = {}}},
    {"numeric command-line variable before the first label",
     "CHECK: [[#N+1]]\nCHECK-LABEL: L\n",
     "6 L\n",
     true,
     {.enableVarScope = true, .defines = {"#N=5"}}},
    {"numeric command-line variable cleared after the first label",
     "CHECK-LABEL: L\nCHECK: [[#N]]\n",
     "L 5\n",
     false,
     {.enableVarScope = true, .defines = {"#N=5"}}},
    {"numeric command-line size",
     "CHECK: size [[#%d,SIZE*2]]\n",
     "size 16\n",
     true,
     {.enableVarScope = false, .defines = {"#SIZE=8"}}},
    // Odd bytes.
    {"NUL bytes", "CHECK: a\nCHECK-SAME: b\n", std::string_view("x\0a\0b", 5), true},
    {"bytes above 0x7F", "CHECK: \xc3\xa9t\xc3\xa9\nCHECK-NEXT: \xff\n", "\xc3\xa9t\xc3\xa9\n\xff",
     true},
    {"no final line feed", "CHECK: a\nCHECK-NEXT: b\nCHECK-NOT: c\n", "a\nb", true},
};

TEST(CheckVerifier, Verdicts) {
  for (const VerdictCase &c : verdictCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(verify(c), c.passes);
  }
}

// "line:column" of `offset` in `text`, as the match records count.
std::string lineColumn(std::string_view text, size_t offset) {
  size_t lineStart = text.substr(0, offset).rfind('\n');
  lineStart = lineStart == std::string_view::npos ? 0 : lineStart + 1;
  size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
  return std::to_string(line) + ":" + std::to_string(offset - lineStart + 1);
}

// What checking DAG groups gives: the accepted match of each DAG pattern in
// file order, "from-to" as line:column, then "missing from L:C" for the
// pattern that was not found.
using Placements = std::vector<std::string>;

// The placement rule of DAG groups, deliberately slow: every pattern
// searches from its group's start and, whenever its match overlaps one the
// group accepted, again from the end of that match; a group starts where
// the previous one's last match ends. `patterns` holds the groups' DAG
// patterns, with null between groups.
Placements placeBySearching(const std::vector<const CheckPattern *> &patterns,
                            std::string_view input, const SourceManager &sourceManager) {
  struct Span {
    size_t from;
    size_t to;
  };
  Placements placed;
  std::vector<Span> accepted;
  size_t start = 0;
  for (const CheckPattern *pattern : patterns) {
    if (!pattern) {
      for (const Span &span : accepted)
        start = std::max(start, span.to);
      accepted.clear();
      continue;
    }
    size_t pos = start;
    for (;;) {
      MatchOutcome outcome = pattern->findMatch(input.substr(pos), sourceManager);
      if (!outcome.hasMatch) {
        discardError(std::move(outcome.error));
        placed.push_back("missing from " + lineColumn(input, pos));
        return placed;
      }
      Span match{pos + outcome.position, pos + outcome.position + outcome.length};
      std::sort(accepted.begin(), accepted.end(), [](const Span &a, const Span &b) {
        return a.from != b.from ? a.from < b.from : a.to < b.to;
      });
      auto next = std::find_if(accepted.begin(), accepted.end(),
                               [&](const Span &span) { return span.to > match.from; });
      if (next == accepted.end() || next->from >= match.to) {
        accepted.push_back(match);
        placed.push_back(lineColumn(input, match.from) + "-" + lineColumn(input, match.to));
        break;
      }
      pos = next->to;
    }
  }
  return placed;
}

// The engine's placements, from its records under -v or -vv, beside the
// slow rule's over the same patterns.
struct DagPlacements {
  Placements engine;
  Placements reference;
};

DagPlacements placeDags(std::string_view check, std::string_view input, bool veryVerbose) {
  CheckRequest request;
  request.verbose = true;
  request.veryVerbose = veryVerbose;
  SourceManager sourceManager;
  CheckEngine engine(request);
  Regex prefixes = engine.buildPrefixRegex();
  unsigned checkBuffer = sourceManager.addBuffer(makeTextBufferCopy(check, "check.txt"));
  EXPECT_FALSE(engine.loadDirectives(sourceManager, sourceManager.buffer(checkBuffer).text(),
                                     prefixes, nullptr));
  unsigned inputBuffer = sourceManager.addBuffer(makeTextBufferCopy(input, "input.txt"));
  std::string_view text = sourceManager.buffer(inputBuffer).text();
  MatchDiagList diags;
  testing::internal::CaptureStderr();
  engine.verifyInput(sourceManager, text, &diags);
  testing::internal::GetCapturedStderr();

  DagPlacements placements;
  for (const MatchDiag &diag : diags) {
    std::string from = std::to_string(diag.startLine) + ":" + std::to_string(diag.startColumn);
    std::string to = std::to_string(diag.endLine) + ":" + std::to_string(diag.endColumn);
    if (diag.directiveType.kind != DirectiveKind::Dag)
      continue;
    if (diag.matchKind == MatchKind::ExpectedFound)
      placements.engine.push_back(from + "-" + to);
    else if (diag.matchKind == MatchKind::ExpectedMissing)
      placements.engine.push_back("missing from " + from);
  }
  std::vector<const CheckPattern *> patterns;
  for (const CheckDirective &directive : engine.directives())
    for (const CheckPattern &pattern : directive.notDagPatterns)
      patterns.push_back(pattern.type.kind == DirectiveKind::Dag ? &pattern : nullptr);
  placements.reference = placeBySearching(patterns, text, sourceManager);
  return placements;
}

// Groups of DAG patterns that mostly match the same lines, over lines
// mostly alike. Among the patterns are those that cannot begin a match on
// a blank or a line break (fixed text, plain regexes), whose walks pass runs
// of accepted matches at once, and those that can, or that match empty
// text, or test '^' or a word boundary where they begin, which walk
// match by match.
class DagCaseGenerator {
public:
  explicit DagCaseGenerator(uint32_t seed) : rng(seed) {}

  std::string check() {
    static const char *const patterns[] = {"x",
                                           "x x",
                                           "xy",
                                           "{{x|y}}",
                                           "{{x+}}",
                                           "{{[xy]}}",
                                           "{{x y|y}}",
                                           "{{y}}x",
                                           "{{x[[:>:]]}}",
                                           "{{^x}}",
                                           "{{x*}}",
                                           "{{ ?x}}",
                                           "{{[[:<:]]x}}",
                                           "{{$}}",
                                           "{{[[:space:]]*x}}",
                                           "{{x|y}}{{ }}",
                                           "{{ |y}}",
                                           "{{[[:space:]]}}"};
    std::string out;
    size_t groups = 1 + pick(3);
    for (size_t g = 0; g < groups; ++g) {
      if (g > 0)
        out += "CHECK-NOT: q\n";
      size_t count = 1 + pick(7);
      for (size_t i = 0; i < count; ++i)
        out += std::string("CHECK-DAG: ") + patterns[pick(std::size(patterns))] + "\n";
    }
    return out;
  }

  std::string input() {
    static const char *const lines[] = {"x", "x x", "xy", "y", "", " x", "x y x", "yx", "xx"};
    std::string out;
    size_t count = 1 + pick(9);
    for (size_t i = 0; i < count; ++i)
      out += std::string(lines[pick(std::size(lines))]) + "\n";
    return out;
  }

private:
  std::mt19937 rng;

  size_t pick(size_t n) { return rng() % n; }
};

TEST(CheckVerifier, DagPlacementMatchesTheSlowRule) {
  DagCaseGenerator generator(20261211);
  int failures = 0;
  for (int i = 0; i < 3000 && failures < 10; ++i) {
    std::string check = generator.check();
    std::string input = generator.input();
    for (bool veryVerbose : {false, true}) {
      SCOPED_TRACE("check:\n" + check + "input:\n" + input + (veryVerbose ? "-vv" : "-v"));
      DagPlacements placements = placeDags(check, input, veryVerbose);
      EXPECT_EQ(placements.engine, placements.reference);
      if (placements.engine != placements.reference)
        ++failures;
    }
  }
}

} // namespace
} // namespace vetline
