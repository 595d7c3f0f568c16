#include "support/terminal_text.h"

#include "support/output_stream.h"

#include <gtest/gtest.h>

#include <string>

namespace vetline {
namespace {

struct ByteCase {
  const char *name;
  char byte;
  bool escaped;
  char notation; // after '^'; unused when not escaped
};

const ByteCase byteCases[] = {
    {"NUL", '\0', true, '@'},
    {"BEL", '\a', true, 'G'},
    {"backspace", '\b', true, 'H'},
    {"tab: expanded, not escaped", '\t', false, 0},
    {"line feed: ends the line", '\n', false, 0},
    {"vertical tab", '\v', true, 'K'},
    {"carriage return", '\r', true, 'M'},
    {"ESC", '\x1b', true, '['},
    {"last C0 control", '\x1f', true, '_'},
    {"space", ' ', false, 0},
    {"tilde", '~', false, 0},
    {"DEL", '\x7f', true, '?'},
    // C1 controls and UTF-8 bytes are left to the terminal's own decoding:
    // a lone 0x9B is no CSI in a UTF-8 locale.
    {"first byte with the high bit", '\x80', false, 0},
    {"C1 CSI", '\x9b', false, 0},
    {"UTF-8 lead byte", '\xc3', false, 0},
    {"0xFF", '\xff', false, 0},
};

TEST(TerminalText, WhichBytesAreEscaped) {
  for (const ByteCase &c : byteCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isShownEscaped(c.byte), c.escaped);
    if (c.escaped) {
      EXPECT_EQ(caretNotationOf(c.byte), c.notation);
    }
  }
}

struct WidthCase {
  const char *name;
  char byte;
  uint64_t column;
  bool escapeControls;
  unsigned width;
};

const WidthCase widthCases[] = {
    {"tab at a stop", '\t', 0, false, 8},
    {"tab before a stop", '\t', 7, false, 1},
    {"tab just past a stop", '\t', 9, true, 7},
    {"tab after an escaped byte and a letter", '\t', 3, true, 5},
    {"tab beyond 32 bits", '\t', (uint64_t{1} << 32) + 3, false, 5},
    {"ESC on a terminal", '\x1b', 5, true, 2},
    {"ESC elsewhere", '\x1b', 5, false, 1},
    {"DEL on a terminal", '\x7f', 0, true, 2},
    {"letter", 'a', 3, true, 1},
    {"line feed", '\n', 3, true, 1},
    {"UTF-8 byte", '\xc3', 3, true, 1},
};

TEST(TerminalText, DisplayWidth) {
  for (const WidthCase &c : widthCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(displayWidth(c.byte, c.column, c.escapeControls), c.width);
  }
}

struct FindCase {
  const char *name;
  std::string text;
  bool escapeControls;
  size_t offset;
};

const size_t none = std::string_view::npos;

const FindCase findCases[] = {
    {"empty", "", true, none},
    {"plain text", "abc ~", true, none},
    {"a tab anywhere", "ab\tc", false, 2},
    {"controls are plain off a terminal", "a\x1b\x7f\tb", false, 3},
    {"the first control on a terminal", "a\x1b\x7f\tb", true, 1},
    {"NUL is found", std::string("ab\0c", 4), true, 2},
    {"line feed and UTF-8 are not", "caf\xc3\xa9\n\x7f", true, 6},
};

TEST(TerminalText, FindWideByte) {
  for (const FindCase &c : findCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(findWideByte(c.text, c.escapeControls), c.offset);
  }
}

struct EscapeCase {
  const char *name;
  std::string text;
  std::string shown;
};

const EscapeCase escapeCases[] = {
    {"empty", "", ""},
    {"plain", "say hello", "say hello"},
    {"title sequence", "\x1b]0;pwned\a", "^[]0;pwned^G"},
    {"cursor and clear", "a\x1b[1A\x1b[2Kb", "a^[[1A^[[2Kb"},
    {"NUL and DEL side by side", std::string("\0\x7f", 2), "^@^?"},
    {"a lone CR; tab and line feed stay", "a\tb\rc\n", "a\tb^Mc\n"},
    {"control last", "ab\x01", "ab^A"},
    {"non-ASCII untouched", "caf\xc3\xa9 \x9b", "caf\xc3\xa9 \x9b"},
};

TEST(TerminalText, WriteEscaped) {
  for (const EscapeCase &c : escapeCases) {
    SCOPED_TRACE(c.name);
    std::string out;
    StringOutputStream stream(out);
    writeEscaped(stream, c.text);
    EXPECT_EQ(out, c.shown);
  }
}

} // namespace
} // namespace vetline
