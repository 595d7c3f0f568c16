#include "tool/input_dump.h"

#include "support/output_stream.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"
#include "tests/unit/support/terminal_string_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vetline {
namespace {

constexpr uint32_t ToEnd = std::numeric_limits<uint32_t>::max();

// A check text of twelve lines in buffer 1 and two implicit-check-not
// patterns in buffers 2 and 3, as the driver sets them up.
class AnnotationFixture {
public:
  AnnotationFixture() {
    for (int i = 1; i <= 12; ++i)
      checkText += "CHECK: line " + std::to_string(i) + "\n";
    checkBuffer = sources.addBuffer(makeTextBufferView(checkText, "check.txt"));
    implicit.first = sources.addBuffer(makeTextBufferCopy("error", "command line"));
    sources.addBuffer(makeTextBufferCopy("warning", "command line"));
    implicit.end = implicit.first + 2;
  }

  // The first byte of a pattern on check line `line`.
  SourceLocation checkLine(unsigned line) const {
    size_t offset = 0;
    for (unsigned i = 1; i < line; ++i)
      offset = checkText.find('\n', offset) + 1;
    return SourceLocation::fromPointer(checkText.data() + offset + 7);
  }

  // The first byte of the `index`-th implicit pattern, from 1.
  SourceLocation implicitPattern(unsigned index) const {
    return SourceLocation::fromPointer(sources.buffer(implicit.first + index - 1).text().data());
  }

  SourceManager sources;
  std::string checkText;
  unsigned checkBuffer = 0;
  ImplicitBufferRange implicit;
};

MatchDiag record(DirectiveKind kind, SourceLocation where, MatchKind match, uint32_t startLine,
                 uint32_t startColumn, uint32_t endLine, uint32_t endColumn, std::string note = "",
                 int32_t count = 1) {
  MatchDiag diag;
  diag.directiveType.kind = kind;
  diag.directiveType.count = count;
  diag.checkLocation = where;
  diag.matchKind = match;
  diag.startLine = startLine;
  diag.startColumn = startColumn;
  diag.endLine = endLine;
  diag.endColumn = endColumn;
  diag.note = std::move(note);
  return diag;
}

const char *colorName(TerminalColor color) {
  switch (color) {
  case TerminalColor::Red:
    return "red";
  case TerminalColor::Green:
    return "green";
  case TerminalColor::Magenta:
    return "magenta";
  case TerminalColor::Cyan:
    return "cyan";
  default:
    return "other";
  }
}

// "line start-end label 'mark' colour [note] flags", with '$' for an end
// at the line's end and flags f (first line), e (counts as error) and
// g (good match).
std::string describe(const DumpAnnotation &a) {
  std::string text = std::to_string(a.line) + " " + std::to_string(a.startColumn) + "-" +
                     (a.endColumn == ToEnd ? std::string("$") : std::to_string(a.endColumn)) + " " +
                     a.label + " '" + a.marker.markChar + "' " + colorName(a.marker.color) + " [" +
                     a.marker.note + "] ";
  text += a.firstLine ? "f" : "";
  text += a.marker.countsAsError ? "e" : "";
  text += a.goodMatch ? "g" : "";
  return text;
}

struct BuildCase {
  const char *name;
  std::vector<MatchDiag> diags;
  std::vector<std::string> annotations;
  uint32_t labelWidth;
};

std::vector<BuildCase> buildCases(const AnnotationFixture &f) {
  using K = DirectiveKind;
  using M = MatchKind;
  return {
      {"one record per location gets no suffix",
       {record(K::Plain, f.checkLine(7), M::ExpectedFound, 2, 3, 2, 6)},
       {"2 3-6 check:7 '^' green [] fg"},
       7},
      {"records of one location are numbered in list order, others stay plain",
       {record(K::Plain, f.checkLine(7), M::ExpectedMissing, 1, 4, 1, 9),
        record(K::Next, f.checkLine(8), M::WrongLine, 2, 1, 2, 3),
        record(K::Plain, f.checkLine(7), M::ExpectedMissing, 1, 4, 1, 4,
               "with \"X\" equal to \"1\""),
        record(K::Plain, f.checkLine(7), M::FuzzyCandidate, 2, 2, 2, 2)},
       {"1 4-9 check:7'0 'X' red [error: no match found] fe",
        "2 1-3 next:8 '!' red [error: match on wrong line] fe",
        // An empty range with a note draws a blank mark but still one column.
        "1 4-5 check:7'1 ' ' red [with \"X\" equal to \"1\"] fe",
        // Without a note the hint keeps its mark.
        "2 2-3 check:7'2 '?' magenta [possible intended match] fe"},
       9},
      {"every match kind",
       {record(K::Plain, f.checkLine(1), M::ExpectedFound, 1, 1, 1, 2),
        record(K::Not, f.checkLine(2), M::ExcludedFound, 1, 1, 1, 2),
        record(K::Same, f.checkLine(3), M::WrongLine, 1, 1, 1, 2),
        record(K::Dag, f.checkLine(4), M::Discarded, 1, 1, 1, 2),
        record(K::Plain, f.checkLine(5), M::ErrorAfterMatch, 1, 1, 1, 2,
               "unable to represent numeric value"),
        record(K::Not, f.checkLine(6), M::ExcludedAbsent, 1, 1, 1, 2),
        record(K::Empty, f.checkLine(7), M::ExpectedMissing, 1, 1, 1, 2),
        record(K::Label, f.checkLine(8), M::InvalidPattern, 1, 1, 1, 2),
        record(K::Plain, f.checkLine(9), M::FuzzyCandidate, 1, 1, 1, 2)},
       {"1 1-2 check:1 '^' green [] fg", "1 1-2 not:2 '!' red [error: no match expected] fe",
        "1 1-2 same:3 '!' red [error: match on wrong line] fe",
        "1 1-2 dag:4 '!' cyan [discard: overlaps earlier match] f",
        "1 1-2 check:5 '!' red [error: unable to represent numeric value] fe",
        "1 1-2 not:6 'X' green [] f", "1 1-2 empty:7 'X' red [error: no match found] fe",
        "1 1-2 label:8 'X' red [error: match failed for invalid pattern] fe",
        "1 1-2 check:9 '?' magenta [possible intended match] fe"},
       7},
      {"directive kind words",
       {record(K::Plain, f.checkLine(1), M::ExpectedFound, 1, 1, 1, 2, "", 3),
        record(K::Comment, f.checkLine(2), M::ExpectedFound, 1, 1, 1, 2),
        record(K::EndOfFile, f.checkLine(3), M::ExpectedFound, 1, 1, 1, 2),
        record(K::BadNot, f.checkLine(4), M::ExpectedFound, 1, 1, 1, 2),
        record(K::BadCount, f.checkLine(10), M::ExpectedFound, 1, 1, 1, 2)},
       {"1 1-2 count:1 '^' green [] fg", "1 1-2 com:2 '^' green [] fg",
        "1 1-2 eof:3 '^' green [] fg", "1 1-2 bad-not:4 '^' green [] fg",
        "1 1-2 bad-count:10 '^' green [] fg"},
       12},
      {"implicit patterns are numbered from the first implicit buffer",
       {record(K::Not, f.implicitPattern(2), M::ExcludedFound, 4, 1, 4, 6),
        record(K::Not, f.implicitPattern(1), M::ExcludedAbsent, 1, 1, 5, 1),
        record(K::Not, f.implicitPattern(2), M::ExcludedAbsent, 5, 1, 5, 1)},
       {"4 1-6 not:imp2'0 '!' red [error: no match expected] fe", "1 1-$ not:imp1 'X' green [] f",
        "2 1-$ not:imp1 '~' green [] ", "3 1-$ not:imp1 '~' green [] ",
        "4 1-$ not:imp1 '~' green [] ", "5 1-2 not:imp2'1 'X' green [] f"},
       10},
      {"a range over several lines: nothing on a last line it does not reach",
       {record(K::Plain, f.checkLine(1), M::ExpectedMissing, 3, 5, 9, 1),
        record(K::Plain, f.checkLine(2), M::ExpectedFound, 2, 4, 4, 3)},
       {"3 5-$ check:1 'X' red [error: no match found] fe", "4 1-$ check:1 '~' red [] e",
        "5 1-$ check:1 '~' red [] e", "6 1-$ check:1 '~' red [] e", "7 1-$ check:1 '~' red [] e",
        "8 1-$ check:1 '~' red [] e", "2 4-$ check:2 '^' green [] fg",
        "3 1-$ check:2 '~' green [] g", "4 1-3 check:2 '~' green [] g"},
       7},
      {"an error after a match without its message keeps the fallback note once",
       {record(K::Plain, f.checkLine(1), M::ErrorAfterMatch, 1, 2, 1, 4)},
       {"1 2-4 check:1 '!' red [error: unknown error after match] fe"},
       7},
      {"no records", {}, {}, 0},
  };
}

TEST(InputDump, BuildAnnotations) {
  AnnotationFixture f;
  for (const BuildCase &c : buildCases(f)) {
    SCOPED_TRACE(c.name);
    DumpAnnotationList annotations;
    uint32_t labelWidth = 99;
    buildAnnotations(f.sources, f.checkBuffer, f.implicit, c.diags, annotations, labelWidth);
    std::vector<std::string> described;
    for (const DumpAnnotation &a : annotations)
      described.push_back(describe(a));
    EXPECT_EQ(described, c.annotations);
    EXPECT_EQ(labelWidth, c.labelWidth);
  }
}

TEST(InputDump, RecordIndexFollowsListOrder) {
  AnnotationFixture f;
  MatchDiagList diags = {
      record(DirectiveKind::Plain, f.checkLine(1), MatchKind::ExpectedFound, 1, 1, 3, 2),
      record(DirectiveKind::Plain, f.checkLine(2), MatchKind::ExpectedFound, 2, 1, 2, 2)};
  DumpAnnotationList annotations;
  uint32_t labelWidth = 0;
  buildAnnotations(f.sources, f.checkBuffer, f.implicit, diags, annotations, labelWidth);
  std::vector<uint32_t> indices;
  for (const DumpAnnotation &a : annotations)
    indices.push_back(a.recordIndex);
  EXPECT_EQ(indices, (std::vector<uint32_t>{0, 0, 0, 1}));
}

DumpAnnotation annotation(uint32_t index, const char *label, uint32_t line, uint32_t start,
                          uint32_t end, char mark = '^', const char *note = "",
                          bool firstLine = true, bool error = false) {
  DumpAnnotation a;
  a.recordIndex = index;
  a.label = label;
  a.firstLine = firstLine;
  a.line = line;
  a.startColumn = start;
  a.endColumn = end;
  a.marker = {mark, TerminalColor::Green, note, error};
  a.goodMatch = mark == '^';
  return a;
}

std::string dump(std::string_view input, DumpAnnotationList annotations, uint32_t labelWidth,
                 DumpFilter filter = DumpFilter::All, uint32_t context = 5) {
  std::string out;
  StringOutputStream stream(out);
  CheckRequest request;
  printAnnotatedInput(stream, request, filter, context, input, annotations, labelWidth);
  return out;
}

std::string lines(const char *prefix, int count) {
  std::string text;
  for (int i = 1; i <= count; ++i)
    text += prefix + std::to_string(i) + "\n";
  return text;
}

struct PrintCase {
  const char *name;
  std::string input;
  DumpAnnotationList annotations;
  uint32_t labelWidth;
  DumpFilter filter;
  uint32_t context;
  std::string expected;
};

const PrintCase printCases[] = {
    {"numbers take the digits of the line count plus 3; the last line may lack its line feed",
     "a\nb",
     {},
     0,
     DumpFilter::All,
     5,
     "Input was:\n<<<<<<\n   1: a \n   2: b\n>>>>>>\n"},
    {"an empty text has no lines", "", {}, 0, DumpFilter::All, 5, "Input was:\n<<<<<<\n>>>>>>\n"},
    {"notes start one space past the line feed's column; marks stop at the line's end",
     "abc\nde\n",
     {annotation(0, "check:1", 1, 1, ToEnd), annotation(1, "next:2", 2, 3, 4, '!', "error: x"),
      annotation(2, "not:3", 2, 1, 2, 'X')},
     7,
     DumpFilter::All,
     5,
     "Input was:\n<<<<<<\n"
     "         1: abc \n"
     "check:1     ^~~~\n"
     "         2: de \n"
     "next:2        ! error: x\n"
     "not:3       X\n"
     ">>>>>>\n"},
    {"one line sorted by record, not by column; an annotation past the text adds a line",
     "ab\n",
     {annotation(3, "c:9", 2, 1, 2, 'X', "error: end"), annotation(2, "c:2", 1, 2, 3),
      annotation(1, "c:1", 1, 1, 2, '!', "late")},
     3,
     DumpFilter::All,
     5,
     "Input was:\n<<<<<<\n"
     "     1: ab \n"
     "c:1     !   late\n"
     "c:2      ^\n"
     "     2: \n"
     "c:9     X error: end\n"
     ">>>>>>\n"},
    {"a long label widens the number column",
     lines("x", 120),
     {annotation(0, "check:12", 1, 1, 3, 'X', "", true, true)},
     8,
     DumpFilter::Error,
     0,
     "Input was:\n<<<<<<\n"
     "          1: x1 \n"
     "check:12     X~\n"
     "          .\n          .\n          .\n"
     ">>>>>>\n"},
    {"120 lines take 6 columns with short labels",
     lines("x", 120),
     {annotation(0, "c:1", 120, 1, 2, 'X', "", true, true)},
     3,
     DumpFilter::Error,
     0,
     "Input was:\n<<<<<<\n"
     "     .\n     .\n     .\n"
     "   120: x120 \n"
     "c:1     X\n"
     ">>>>>>\n"},
    {"error filter: the context around an error line, dots for longer runs",
     lines("l", 100),
     {annotation(0, "c:1", 50, 1, 2, 'X', "", true, true), annotation(1, "c:2", 20, 1, 2, '^')},
     3,
     DumpFilter::Error,
     5,
     "Input was:\n<<<<<<\n"
     "     .\n     .\n     .\n"
     "    45: l45 \n    46: l46 \n    47: l47 \n    48: l48 \n    49: l49 \n"
     "    50: l50 \n"
     "c:1     X\n"
     "    51: l51 \n    52: l52 \n    53: l53 \n    54: l54 \n    55: l55 \n"
     "     .\n     .\n     .\n"
     ">>>>>>\n"},
    {"annotation filter takes first lines only; annotation-full continuation lines too",
     lines("l", 9),
     {annotation(0, "c:1", 2, 2, ToEnd, 'X', "", true, false),
      annotation(0, "c:1", 3, 1, ToEnd, '~', "", false, false),
      annotation(0, "c:1", 4, 1, ToEnd, '~', "", false, false),
      annotation(0, "c:1", 5, 1, ToEnd, '~', "", false, false),
      annotation(0, "c:1", 6, 1, ToEnd, '~', "", false, false),
      annotation(0, "c:1", 7, 1, 2, '~', "", false, false)},
     3,
     DumpFilter::Annotation,
     0,
     "Input was:\n<<<<<<\n"
     "     1: l1 \n"
     "     2: l2 \n"
     "c:1      X~\n"
     "     .\n     .\n     .\n"
     ">>>>>>\n"},
    {"annotation-full shows every line a range covers",
     lines("l", 9),
     {annotation(0, "c:1", 7, 1, ToEnd, '~', "", false, false)},
     3,
     DumpFilter::AnnotationFull,
     0,
     "Input was:\n<<<<<<\n"
     "     .\n     .\n     .\n"
     "     7: l7 \n"
     "c:1     ~~~\n"
     "     8: l8 \n     9: l9 \n"
     ">>>>>>\n"},
    {"the largest context does not wrap around",
     lines("l", 6),
     {annotation(0, "c:1", 3, 1, 2, 'X', "", true, true)},
     3,
     DumpFilter::Error,
     4294967295u,
     "Input was:\n<<<<<<\n"
     "     1: l1 \n     2: l2 \n     3: l3 \n"
     "c:1     X\n"
     "     4: l4 \n     5: l5 \n     6: l6 \n"
     ">>>>>>\n"},
    {"nothing selected: the whole input shrinks to dots",
     lines("l", 4),
     {},
     0,
     DumpFilter::Error,
     5,
     "Input was:\n<<<<<<\n   .\n   .\n   .\n>>>>>>\n"},
    {"an annotation on line 0 is drawn under line 1 instead of stalling",
     "a\n",
     {annotation(0, "c:1", 0, 1, 2, 'X')},
     3,
     DumpFilter::All,
     5,
     "Input was:\n<<<<<<\n     1: a \nc:1     X\n>>>>>>\n"},
};

TEST(InputDump, PrintAnnotatedInput) {
  for (const PrintCase &c : printCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dump(c.input, c.annotations, c.labelWidth, c.filter, c.context), c.expected);
  }
}

struct TerminalCase {
  const char *name;
  std::string input;
  DumpAnnotationList annotations;
  uint32_t labelWidth;
  // The dump's lines between the frame lines, on a terminal and on any
  // other stream.
  std::string onTerminal;
  std::string elsewhere;
};

// With labels three wide the numbers take six columns and the text starts at
// column 8 of the screen, a tab stop; with seven, at column 12.
const TerminalCase terminalCases[] = {
    {"lines without control bytes or annotations stay as they are",
     "plain\n\a\n",
     {},
     3,
     "     1: plain \n     2: ^G \n",
     "     1: plain \n     2: \a \n"},
    {"a mark under an escaped byte covers both columns; the note follows the shown line",
     "a\x1b[1mb\x7f\n",
     {annotation(0, "c:1", 1, 2, 7, '!', "error: x")},
     3,
     "     1: a^[[1mb^? \n"
     "c:1      !!~~~~    error: x\n",
     "     1: a\x1b[1mb\x7f \n"
     "c:1      !~~~~   error: x\n"},
    {"a lone CR is shown, and marks after it move with it",
     "ab\rcd\n",
     {annotation(0, "c:1", 1, 4, 5)},
     3,
     "     1: ab^Mcd \n"
     "c:1         ^\n",
     "     1: ab\rcd \n"
     "c:1        ^\n"},
    // The terminal expands the tab itself, from the screen column it stands
    // at, so the marks count tab stops from the screen's edge.
    {"tab stops counted after escaping, from the screen's edge",
     "\x1b\tx\n",
     {annotation(0, "c:1", 1, 3, 4), annotation(1, "c:2", 1, 2, 3, 'X')},
     3,
     "     1: ^[\tx \n"
     "c:1             ^\n"
     "c:2       XXXXXX\n",
     "     1: \x1b\tx \n"
     "c:1       ^\n"
     "c:2      X\n"},
    {"a tab alone is measured too",
     "\tx y\n",
     {annotation(0, "c:1", 1, 2, ToEnd)},
     3,
     "     1: \tx y \n"
     "c:1             ^~~~\n",
     "     1: \tx y \n"
     "c:1      ^~~~\n"},
    {"a tab stop counts from the screen's edge, not from the line's start",
     "ab\tx\n",
     {annotation(0, "check:1", 1, 4, 5)},
     7,
     "         1: ab\tx \n"
     "check:1         ^\n",
     "         1: ab\tx \n"
     "check:1        ^\n"},
};

TEST(InputDump, ControlBytesAreEscapedOnlyOnATerminal) {
  const std::string frameStart = "Input was:\n<<<<<<\n";
  const std::string frameEnd = ">>>>>>\n";
  for (const TerminalCase &c : terminalCases) {
    SCOPED_TRACE(c.name);
    std::string out;
    testing::TerminalStringStream terminal(out);
    CheckRequest request;
    DumpAnnotationList annotations = c.annotations;
    printAnnotatedInput(terminal, request, DumpFilter::All, 5, c.input, annotations, c.labelWidth);
    EXPECT_EQ(out, frameStart + c.onTerminal + frameEnd);
    EXPECT_EQ(dump(c.input, c.annotations, c.labelWidth), frameStart + c.elsewhere + frameEnd);
  }
}

// `diags` with each repeated block written out as its copies.
MatchDiagList writtenOut(const MatchDiagList &diags) {
  MatchDiagList out;
  for (size_t first = 0; first < diags.size();) {
    size_t end = std::min<size_t>(first + diags[first].repeatedRecords, diags.size());
    for (uint32_t copy = 0; copy < diags[first].repeats; ++copy) {
      for (size_t index = first; index < end; ++index) {
        out.push_back(diags[index]);
        out.back().repeats = 1;
        out.back().repeatedRecords = 1;
      }
    }
    first = end;
  }
  return out;
}

// The whole dump of `diags` over `input`, with the label width it took.
std::string dumpRecords(const AnnotationFixture &f, const MatchDiagList &diags,
                        std::string_view input, DumpFilter filter, uint32_t context) {
  DumpAnnotationList annotations;
  uint32_t labelWidth = 0;
  buildAnnotations(f.sources, f.checkBuffer, f.implicit, diags, annotations, labelWidth);
  return std::to_string(labelWidth) + "\n" +
         dump(input, std::move(annotations), labelWidth, filter, context);
}

MatchDiag repeated(MatchDiag diag, uint32_t repeats, uint32_t records) {
  diag.repeats = repeats;
  diag.repeatedRecords = records;
  return diag;
}

struct RepeatCase {
  const char *name;
  MatchDiagList diags;
  std::string input;
  DumpFilter filter;
  uint32_t context;
};

std::vector<RepeatCase> repeatCases(const AnnotationFixture &f) {
  using K = DirectiveKind;
  using M = MatchKind;
  MatchDiag found = record(K::Plain, f.checkLine(3), M::ExpectedFound, 2, 3, 2, 3, "", 5);
  MatchDiag capture =
      record(K::Plain, f.checkLine(3), M::ExpectedFound, 2, 3, 2, 3, "captured var \"X\"", 5);
  MatchDiag other = record(K::Plain, f.checkLine(4), M::ExpectedFound, 2, 1, 2, 2);
  MatchDiag missing = record(K::Next, f.checkLine(6), M::ExpectedMissing, 3, 1, 3, 3);
  return {
      {"one record, three copies", {repeated(found, 3, 1)}, "a\nbc\n", DumpFilter::All, 5},
      {"two records a copy, amid records of the same pattern and others",
       {record(K::Plain, f.checkLine(3), M::ExpectedFound, 1, 1, 2, 3, "", 5), other,
        repeated(found, 4, 2), capture, other, found, missing},
       "a\nbc\nd\n",
       DumpFilter::All,
       5},
      {"labels past ten copies widen the column",
       {repeated(found, 12, 2), capture},
       "a\nbc\n",
       DumpFilter::All,
       5},
      // Three copies make four line feeds with the line's own: dots.
      {"a hidden line counts every copy",
       {repeated(found, 3, 1), missing},
       "a\nbc\nd\n",
       DumpFilter::Error,
       0},
      {"a hidden line of fewer copies is shown as it is",
       {repeated(found, 2, 1), missing},
       "a\nbc\nd\n",
       DumpFilter::Error,
       0},
  };
}

TEST(InputDump, RepeatedRecordsDumpAsWrittenOut) {
  AnnotationFixture f;
  for (const RepeatCase &c : repeatCases(f)) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dumpRecords(f, c.diags, c.input, c.filter, c.context),
              dumpRecords(f, writtenOut(c.diags), c.input, c.filter, c.context));
  }
}

// Restores the process-wide colour option when a test changes it.
class ColorOptionGuard {
public:
  explicit ColorOptionGuard(ColorPolicy policy) : saved(colorOptionPolicy()) {
    setColorOptionPolicy(policy);
  }
  ~ColorOptionGuard() { setColorOptionPolicy(saved); }

private:
  ColorPolicy saved;
};

struct ColorCase {
  const char *name;
  ColorPolicy policy;
  bool verbose;
  DumpFilter filter;
  uint32_t context;
  std::string input;
  DumpAnnotationList annotations;
  std::string expected;
};

const ColorCase colorCases[] = {
    {"verbose colours highlight the unmatched text",
     ColorPolicy::Force,
     true,
     DumpFilter::All,
     5,
     "abcdef\n",
     {annotation(0, "c:1", 1, 3, 5)},
     "Input was:\n<<<<<<\n"
     "\x1b[1m\x1b[0m"
     "\x1b[0;1;30m     1: \x1b[0m"
     "\x1b[1m\x1b[0;1;46mab\x1b[0mcd\x1b[0;1;46mef \x1b[0m\n"
     "\x1b[0;1;32mc:1       ^~\n\x1b[0m"
     ">>>>>>\n"},
    // A short hidden run is printed as it was set aside, escapes included.
    {"hidden lines keep their colours",
     ColorPolicy::Force,
     false,
     DumpFilter::Error,
     0,
     "a\nb\n",
     {annotation(0, "c:1", 2, 1, 2, 'X', "", true, true)},
     "Input was:\n<<<<<<\n"
     "\x1b[1m\x1b[0m"
     "\x1b[0;1;30m     1: \x1b[0m\x1b[1ma \x1b[0m\n"
     "\x1b[0;1;30m     2: \x1b[0m\x1b[1mb \x1b[0m\n"
     "\x1b[0;1;32mc:1     X\n\x1b[0m"
     ">>>>>>\n"},
    {"no escapes when colours are suppressed",
     ColorPolicy::Suppress,
     true,
     DumpFilter::All,
     5,
     "abcdef\n",
     {annotation(0, "c:1", 1, 3, 5)},
     "Input was:\n<<<<<<\n     1: abcdef \nc:1       ^~\n>>>>>>\n"},
};

// Under -v the highlighted runs are cut at byte columns; an escaped byte
// inside one is shown whole, and the tool's own sequences stay raw.
TEST(InputDump, ColorsOnATerminal) {
  ColorOptionGuard guard(ColorPolicy::Force);
  std::string out;
  testing::TerminalStringStream stream(out);
  stream.allowColors(true);
  CheckRequest request;
  request.verbose = true;
  DumpAnnotationList annotations = {annotation(0, "c:1", 1, 3, 5)};
  printAnnotatedInput(stream, request, DumpFilter::All, 5,
                      "ab\x1b"
                      "def\n",
                      annotations, 3);
  EXPECT_EQ(out, "Input was:\n<<<<<<\n"
                 "\x1b[1m\x1b[0m"
                 "\x1b[0;1;30m     1: \x1b[0m"
                 "\x1b[1m\x1b[0;1;46mab\x1b[0m^[d\x1b[0;1;46mef \x1b[0m\n"
                 "\x1b[0;1;32mc:1       ^^~\n\x1b[0m"
                 ">>>>>>\n");
}

TEST(InputDump, Colors) {
  for (const ColorCase &c : colorCases) {
    SCOPED_TRACE(c.name);
    ColorOptionGuard guard(c.policy);
    std::string out;
    StringOutputStream stream(out);
    stream.allowColors(true);
    CheckRequest request;
    request.verbose = c.verbose;
    // The printer orders the list it is given.
    DumpAnnotationList annotations = c.annotations;
    printAnnotatedInput(stream, request, c.filter, c.context, c.input, annotations, 3);
    EXPECT_EQ(out, c.expected);
  }
}

} // namespace
} // namespace vetline
