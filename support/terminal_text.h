// Terminal text: how bytes of the input and the check file are shown when
// the stream being written is a terminal. A byte that would drive the
// terminal instead of being shown (a C0 control other than tab and line
// feed, or DEL) is written in caret notation: '^' and the byte with bit 0x40
// flipped ("^[" for ESC, "^@" for NUL, "^M" for CR, "^?" for DEL), two
// columns wide. Files and pipes get the bytes as they are; the callers ask
// their stream which applies.
//
// The source lines and caret lines of diagnostics and the input and marker
// lines of the dump all measure with displayWidth, so marks stay under the
// characters they mark. Only quoted text goes through here: messages, and
// the colour sequences the tool writes itself, are never escaped.
// Tested by terminal_text_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vetline {

class OutputStream;

constexpr unsigned tabStop = 8;

// Whether a terminal is shown the byte in caret notation.
constexpr bool isShownEscaped(char byte) {
  auto value = static_cast<unsigned char>(byte);
  return (value < 0x20 && byte != '\t' && byte != '\n') || value == 0x7F;
}

// The character after '^' for a byte isShownEscaped accepts.
constexpr char caretNotationOf(char byte) { return static_cast<char>(byte ^ 0x40); }

// The columns a byte takes when it starts at 0-based `column`: a tab reaches
// the next tab stop, a byte isShownEscaped accepts takes two when
// `escapeControls` is set, any other byte one (bytes of 0x80 and above
// included: a caller that cannot place them does not draw marks).
constexpr unsigned displayWidth(char byte, uint64_t column, bool escapeControls) {
  if (byte == '\t')
    return tabStop - static_cast<unsigned>(column % tabStop);
  return escapeControls && isShownEscaped(byte) ? 2 : 1;
}

// The offset of the first byte that does not take exactly one column as it
// stands: a tab, or with `escapeControls` a byte isShownEscaped accepts;
// npos when there is none, the common case a caller writes straight through.
size_t findWideByte(std::string_view text, bool escapeControls);

// Writes `text` with the bytes isShownEscaped accepts in caret notation; the
// runs between them, tabs included, are written as they stand, so a huge
// line is never copied.
void writeEscaped(OutputStream &os, std::string_view text);

} // namespace vetline
