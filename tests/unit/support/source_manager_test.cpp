#include "support/source_manager.h"

#include "support/output_stream.h"
#include "tests/unit/support/terminal_string_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vetline {
namespace {

using testing::TerminalStringStream;

SourceLocation at(const TextBuffer &buffer, size_t offset) {
  return SourceLocation::fromPointer(buffer.bufferStart() + offset);
}

// Renders without colours, whatever the terminal.
std::string render(const SourceDiagnostic &diagnostic) {
  std::string out;
  StringOutputStream stream(out);
  diagnostic.print(stream);
  return out;
}

struct PositionCase {
  size_t offset;
  unsigned line;
  unsigned column;
};

TEST(SourceManager, LineAndColumn) {
  SourceManager manager;
  // Offsets:             0 1 2  3 4 5  6  7 8 9  10 11 12 13
  manager.addBuffer(makeTextBufferCopy("ab\ncd\r\nef\rg\xC3\xA9h\n", "in"));
  const TextBuffer &buffer = manager.buffer(1);
  const PositionCase cases[] = {
      {0, 1, 1},             // first byte
      {2, 1, 3},             // on the newline: one past the line's last character
      {3, 2, 1},  {5, 2, 3}, // on the carriage return of CR LF
      {6, 2, 1},             // on the LF of CR LF: the CR restarted the column
      {7, 3, 1},             // after CR LF
      {9, 3, 3},             // on a lone CR
      {10, 3, 1},            // after a lone CR: same line, new column count
      {13, 3, 4},            // after a two-byte character: columns count bytes
      {15, 4, 1},            // end of buffer after the final newline
  };
  for (const PositionCase &c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(manager.lineOf(at(buffer, c.offset)), c.line);
    EXPECT_EQ(manager.lineAndColumnOf(at(buffer, c.offset)), std::make_pair(c.line, c.column));
    EXPECT_EQ(manager.lineAndColumnOf(at(buffer, c.offset), 1), std::make_pair(c.line, c.column));
  }
}

// Across the sizes where the cached offsets change width, every location
// gets the line a plain count of newlines gives.
TEST(SourceManager, LineNumbersAgreeAcrossCacheWidths) {
  for (size_t size :
       {size_t{1}, size_t{255}, size_t{256}, size_t{65535}, size_t{65536}, size_t{70001}}) {
    SCOPED_TRACE(size);
    std::string text(size, 'x');
    // Irregular line lengths, a newline as the very last byte of some sizes.
    for (size_t i = 6; i < size; i += 1 + i % 13)
      text[i] = '\n';
    text.back() = size % 2 ? 'x' : '\n';
    SourceManager manager;
    manager.addBuffer(makeTextBufferCopy(text, "in"));
    const TextBuffer &buffer = manager.buffer(1);
    unsigned expected = 1;
    for (size_t offset = 0; offset <= size; ++offset) {
      if (manager.lineOf(at(buffer, offset)) != expected) {
        ADD_FAILURE() << "offset " << offset << ": line " << manager.lineOf(at(buffer, offset))
                      << ", expected " << expected;
        break;
      }
      if (offset < size && text[offset] == '\n')
        ++expected;
    }
  }
}

TEST(SourceManager, BuffersAreNumberedFromOneAndFoundInOrderOfAddition) {
  // Two views sharing a boundary: the address between them is the end of
  // the first and the start of the second.
  std::string text = "abcdef";
  std::string other = "xyz";
  SourceManager manager;
  EXPECT_EQ(manager.addBuffer(makeTextBufferView(std::string_view(text).substr(0, 3), "a")), 1u);
  EXPECT_EQ(manager.addBuffer(makeTextBufferView(std::string_view(text).substr(3), "b")), 2u);
  EXPECT_EQ(manager.addBuffer(makeTextBufferView(other, "c")), 3u);
  EXPECT_EQ(manager.bufferCount(), 3u);
  EXPECT_EQ(manager.buffer(2).identifier(), "b");

  struct HoldingCase {
    const char *name;
    const char *pointer;
    unsigned buffer;
  };
  const HoldingCase cases[] = {
      {"first byte", text.data(), 1},        {"shared boundary", text.data() + 3, 1},
      {"inside second", text.data() + 4, 2}, {"end of second", text.data() + 6, 2},
      {"third", other.data() + 1, 3},        {"null", nullptr, 0},
  };
  for (const HoldingCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(manager.bufferHolding(SourceLocation::fromPointer(c.pointer)), c.buffer);
  }
  // An explicit buffer number overrides the search.
  EXPECT_EQ(manager.lineAndColumnOf(SourceLocation::fromPointer(text.data() + 3), 2),
            std::make_pair(1u, 1u));
}

// Locations outside the buffers are a caller's mistake; they must still
// not read memory the buffers do not own.
TEST(SourceManager, LocationsOutsideTheBuffers) {
  std::string text = "abc\ndef";
  SourceManager manager;
  manager.addBuffer(makeTextBufferView(std::string_view(text).substr(4), "second line"));
  SourceLocation before = SourceLocation::fromPointer(text.data() + 1);
  SourceLocation inside = SourceLocation::fromPointer(text.data() + 5);
  EXPECT_EQ(manager.bufferHolding(before), 0u);
  EXPECT_EQ(manager.lineOf(before), 0u);
  EXPECT_EQ(manager.lineOf(before, 1), 0u);
  EXPECT_EQ(manager.lineAndColumnOf(before, 1), std::make_pair(0u, 0u));
  EXPECT_EQ(manager.lineAndColumnOf(SourceLocation()), std::make_pair(0u, 0u));
  EXPECT_EQ(manager.lineAndColumnOf(inside, 1), std::make_pair(1u, 2u));
  EXPECT_EQ(render(manager.makeDiagnostic(before, DiagKind::Error, "lost")),
            "<unknown>:0: error: lost\n");
}

struct RenderCase {
  const char *name;
  const char *bufferName;
  std::string text;
  size_t offset;
  DiagKind kind;
  // Ranges as offsets into the text; a negative start means a null start.
  std::vector<std::pair<long, long>> ranges;
  std::string expected;
};

const RenderCase renderCases[] = {
    {"first byte",
     "check.txt",
     "abc\n",
     0,
     DiagKind::Error,
     {},
     "check.txt:1:1: error: message\nabc\n^\n"},
    {"on the newline", "f", "abc\ndef", 3, DiagKind::Note, {}, "f:1:4: note: message\nabc\n   ^\n"},
    {"end after final newline",
     "f",
     "abc\n",
     4,
     DiagKind::Remark,
     {},
     "f:2:1: remark: message\n\n^\n"},
    {"empty buffer", "f", "", 0, DiagKind::Warning, {}, "f:1:1: warning: message\n\n^\n"},
    {"second line",
     "f",
     "abc\n  def",
     6,
     DiagKind::Error,
     {},
     "f:2:3: error: message\n  def\n  ^\n"},
    {"after CR LF", "f", "ab\r\ncd", 4, DiagKind::Error, {}, "f:2:1: error: message\ncd\n^\n"},
    {"on the CR of CR LF",
     "f",
     "ab\r\ncd",
     2,
     DiagKind::Error,
     {},
     "f:1:3: error: message\nab\n  ^\n"},
    {"after a lone CR", "f", "ab\rcd", 4, DiagKind::Error, {}, "f:1:2: error: message\ncd\n ^\n"},
    {"stdin dash", "-", "x", 0, DiagKind::Error, {}, "<stdin>:1:1: error: message\nx\n^\n"},
    {"stdin literal",
     "<stdin>",
     "x",
     0,
     DiagKind::Error,
     {},
     "<stdin>:1:1: error: message\nx\n^\n"},
    {"no name, no prefix", "", "x", 0, DiagKind::Error, {}, "error: message\nx\n^\n"},
    {"tab before",
     "f",
     "\tx",
     1,
     DiagKind::Error,
     {},
     "f:1:2: error: message\n        x\n        ^\n"},
    {"caret on a tab",
     "f",
     "a\tb",
     1,
     DiagKind::Error,
     {},
     "f:1:2: error: message\na       b\n ^^^^^^^\n"},
    {"range across a tab",
     "f",
     "ab\tcd\te",
     0,
     DiagKind::Error,
     {{1, 4}},
     "f:1:1: error: message\nab      cd      e\n^~~~~~~~~\n"},
    {"range on the line",
     "f",
     "say hello there",
     4,
     DiagKind::Error,
     {{4, 9}},
     "f:1:5: error: message\nsay hello there\n    ^~~~~\n"},
    {"range from an earlier line",
     "f",
     "one\ntwo three\nfour",
     8,
     DiagKind::Error,
     {{1, 7}},
     "f:2:5: error: message\ntwo three\n~~~ ^\n"},
    {"range past the line end",
     "f",
     "one\ntwo three\nfour",
     4,
     DiagKind::Error,
     {{9, 16}},
     "f:2:1: error: message\ntwo three\n^    ~~~~\n"},
    {"range on another line",
     "f",
     "one\ntwo three\nfour",
     4,
     DiagKind::Error,
     {{0, 3}, {14, 18}},
     "f:2:1: error: message\ntwo three\n^\n"},
    {"range with null start",
     "f",
     "abc",
     1,
     DiagKind::Error,
     {{-1, 3}},
     "f:1:2: error: message\nabc\n ^\n"},
    {"empty range",
     "f",
     "abcdef",
     0,
     DiagKind::Error,
     {{3, 3}},
     "f:1:1: error: message\nabcdef\n^\n"},
    {"caret overwrites a range",
     "f",
     "abcdef",
     2,
     DiagKind::Error,
     {{0, 6}},
     "f:1:3: error: message\nabcdef\n~~^~~~\n"},
    {"non-ASCII line: no caret line",
     "f",
     "caf\xC3\xA9\tx",
     6,
     DiagKind::Error,
     {{0, 3}},
     "f:1:7: error: message\ncaf\xC3\xA9   x\n"},
    {"control bytes copied",
     "f",
     std::string("a\0\x1b"
                 "b",
                 4),
     3,
     DiagKind::Error,
     {},
     std::string("f:1:4: error: message\na\0\x1b"
                 "b\n   ^\n",
                 32)},
};

TEST(SourceManager, RendersDiagnostics) {
  for (const RenderCase &c : renderCases) {
    SCOPED_TRACE(c.name);
    SourceManager manager;
    manager.addBuffer(makeTextBufferCopy(c.text, c.bufferName));
    const TextBuffer &buffer = manager.buffer(1);
    std::vector<SourceRange> ranges;
    for (auto [first, second] : c.ranges)
      ranges.push_back({first < 0 ? SourceLocation() : at(buffer, static_cast<size_t>(first)),
                        at(buffer, static_cast<size_t>(second))});
    EXPECT_EQ(render(manager.makeDiagnostic(at(buffer, c.offset), c.kind, "message", ranges)),
              c.expected);
  }
}

TEST(SourceManager, DiagnosticFields) {
  SourceManager manager;
  manager.addBuffer(makeTextBufferCopy("one\ntwo three\nfour", "f"));
  const TextBuffer &buffer = manager.buffer(1);
  SourceRange spanning{at(buffer, 1), at(buffer, 16)};
  SourceDiagnostic diagnostic =
      manager.makeDiagnostic(at(buffer, 8), DiagKind::Note, std::string("a ") + "b", spanning);
  EXPECT_EQ(diagnostic.sourceManager(), &manager);
  EXPECT_EQ(diagnostic.location(), at(buffer, 8));
  EXPECT_EQ(diagnostic.bufferName(), "f");
  EXPECT_EQ(diagnostic.lineNumber(), 2);
  EXPECT_EQ(diagnostic.column(), 4);
  EXPECT_EQ(diagnostic.kind(), DiagKind::Note);
  EXPECT_EQ(diagnostic.message(), "a b");
  EXPECT_EQ(diagnostic.lineText(), "two three");
  EXPECT_EQ(diagnostic.columnRanges(), (std::vector<SourceDiagnostic::ColumnRange>{{0, 9}}));

  // A copy prints the same after the manager is gone.
  std::string expected = render(diagnostic);
  SourceDiagnostic copy = diagnostic;
  EXPECT_EQ(render(copy), expected);
}

TEST(SourceManager, NullLocation) {
  SourceManager manager;
  SourceRange ignored = SourceRange::of("abc");
  SourceDiagnostic diagnostic =
      manager.makeDiagnostic(SourceLocation(), DiagKind::Error, "no place", ignored);
  EXPECT_EQ(diagnostic.bufferName(), "<unknown>");
  EXPECT_EQ(diagnostic.lineNumber(), 0);
  EXPECT_EQ(diagnostic.column(), -1);
  EXPECT_EQ(diagnostic.lineText(), "");
  EXPECT_TRUE(diagnostic.columnRanges().empty());
  EXPECT_EQ(render(diagnostic), "<unknown>:0: error: no place\n");
}

struct TerminalCase {
  const char *name;
  std::string text;
  size_t offset;
  std::vector<std::pair<size_t, size_t>> ranges;
  // The source line and the caret line on a terminal, and on any other
  // stream; both after the "f:L:C: error: message" line.
  std::string onTerminal;
  std::string elsewhere;
};

const TerminalCase terminalCases[] = {
    {"plain line", "abc", 1, {}, "abc\n ^\n", "abc\n ^\n"},
    {"caret after an escape sequence",
     "\x1b[31mred",
     5,
     {},
     "^[[31mred\n      ^\n",
     "\x1b[31mred\n     ^\n"},
    {"caret on an escaped byte covers both its columns",
     "a\ab",
     1,
     {},
     "a^Gb\n ^^\n",
     "a\ab\n ^\n"},
    {"range over NUL and DEL",
     std::string("x\0\x7fy!", 5),
     0,
     {{0, 4}},
     "x^@^?y!\n^~~~~~\n",
     std::string("x\0\x7fy!\n^~~~\n", 11)},
    {"tab stops counted after escaping",
     "\x1b\tx",
     2,
     {},
     "^[      x\n        ^\n",
     "\x1b       x\n        ^\n"},
    {"caret on a tab after an escaped byte",
     "\x01\tx",
     1,
     {},
     "^A      x\n  ^^^^^^\n",
     "\x01       x\n ^^^^^^^\n"},
    {"caret past the line's end", "ab\x7f", 3, {}, "ab^?\n    ^\n", "ab\x7f\n   ^\n"},
    {"a lone CR ends the source line",
     "ab\r\x1b[Acd",
     6,
     {},
     "^[[Acd\n    ^\n",
     "\x1b[Acd\n   ^\n"},
    {"non-ASCII line: escaped all the same, still no caret line",
     "caf\xc3\xa9\x1b]52;c;eA==\a",
     5,
     {{0, 3}},
     "caf\xc3\xa9^[]52;c;eA==^G\n",
     "caf\xc3\xa9\x1b]52;c;eA==\a\n"},
};

TEST(SourceManager, ControlBytesAreEscapedOnlyOnATerminal) {
  for (const TerminalCase &c : terminalCases) {
    SCOPED_TRACE(c.name);
    SourceManager manager;
    manager.addBuffer(makeTextBufferCopy(c.text, "f"));
    const TextBuffer &buffer = manager.buffer(1);
    std::vector<SourceRange> ranges;
    for (auto [first, second] : c.ranges)
      ranges.push_back({at(buffer, first), at(buffer, second)});
    SourceDiagnostic diagnostic =
        manager.makeDiagnostic(at(buffer, c.offset), DiagKind::Error, "message", ranges);
    std::string headline = "f:1:" + std::to_string(diagnostic.column() + 1) + ": error: message\n";
    std::string shown;
    TerminalStringStream terminal(shown);
    diagnostic.print(terminal);
    EXPECT_EQ(shown, headline + c.onTerminal);
    EXPECT_EQ(render(diagnostic), headline + c.elsewhere);
  }
}

// Puts the "color" option's state back after a test changes it.
class ColorPolicyGuard {
public:
  explicit ColorPolicyGuard(ColorPolicy policy) : saved(colorOptionPolicy()) {
    setColorOptionPolicy(policy);
  }
  ~ColorPolicyGuard() { setColorOptionPolicy(saved); }

private:
  ColorPolicy saved;
};

std::string renderWith(ColorPolicy policy, bool streamAllowsColors, DiagKind kind) {
  ColorPolicyGuard guard(policy);
  SourceManager manager;
  manager.addBuffer(makeTextBufferCopy("x = 1\n", "f"));
  std::string out;
  StringOutputStream stream(out);
  stream.allowColors(streamAllowsColors);
  manager.emitDiagnostic(stream, manager.makeDiagnostic(at(manager.buffer(1), 4), kind, "bad",
                                                        SourceRange{at(manager.buffer(1), 0),
                                                                    at(manager.buffer(1), 1)}));
  return out;
}

TEST(SourceManager, ColouredRendering) {
  EXPECT_EQ(renderWith(ColorPolicy::Force, true, DiagKind::Error),
            "\x1b[1mf:1:5: \x1b[0m\x1b[0;1;31merror: \x1b[0m\x1b[1mbad\n\x1b[0m"
            "x = 1\n\x1b[0;1;32m~   ^\n\x1b[0m");
  EXPECT_EQ(renderWith(ColorPolicy::Force, true, DiagKind::Note),
            "\x1b[1mf:1:5: \x1b[0m\x1b[0;1;30mnote: \x1b[0m\x1b[1mbad\n\x1b[0m"
            "x = 1\n\x1b[0;1;32m~   ^\n\x1b[0m");

  const std::string plain = "f:1:5: error: bad\nx = 1\n~   ^\n";
  struct PlainCase {
    const char *name;
    ColorPolicy policy;
    bool streamAllowsColors;
  };
  const PlainCase plainCases[] = {
      {"option false", ColorPolicy::Suppress, true},
      {"option unset, not a terminal", ColorPolicy::Detect, true},
      {"stream without colours", ColorPolicy::Force, false},
  };
  for (const PlainCase &c : plainCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(renderWith(c.policy, c.streamAllowsColors, DiagKind::Error), plain);
  }
}

// The tool's own colour sequences reach the terminal; the quoted ones are
// shown.
TEST(SourceManager, ColouredRenderingOnATerminal) {
  ColorPolicyGuard guard(ColorPolicy::Force);
  SourceManager manager;
  manager.addBuffer(makeTextBufferCopy("\x1b[8mx = 1\n", "f"));
  const TextBuffer &buffer = manager.buffer(1);
  std::string out;
  TerminalStringStream stream(out);
  stream.allowColors(true);
  manager
      .makeDiagnostic(at(buffer, 8), DiagKind::Error, "bad",
                      SourceRange{at(buffer, 0), at(buffer, 5)})
      .print(stream);
  EXPECT_EQ(out, "\x1b[1mf:1:9: \x1b[0m\x1b[0;1;31merror: \x1b[0m\x1b[1mbad\n\x1b[0m"
                 "^[[8mx = 1\n\x1b[0;1;32m~~~~~~   ^\n\x1b[0m");
}

} // namespace
} // namespace vetline
