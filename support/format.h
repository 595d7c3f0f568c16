// Positional format strings: "{0}: {1} string not found in input". Fields
// name their arguments by position and may ask for a width with alignment
// and fill ("{0,-5}", "{0,*=6}") and for options after a ':' ("{0:x}",
// "{0:N}", "{0:3}"). The format string is parsed on every write.
//
// Surprising: malformed format strings never fail. An unparsable field
// writes nothing, an unterminated '{' writes the rest literally, and a field
// whose index has no argument writes its own text (the part between the
// braces). Only '{' is special: "{{" writes one '{', and '}' outside a field
// is ordinary text. Indexes read radix prefixes: "{010}" is argument 8.
#pragma once

#include "support/output_stream.h"
#include "support/small_vector.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace vetline {

// The value of a digit in radixes up to 36 (either letter case); 99 for a
// byte that is no digit.
int digitValue(char c);

// Reads the longest run of digits of `radix` (2 to 16) from the front of
// `text` into `value`. True when at least one digit was read and the number
// fits 64 bits; `text` is then advanced past the digits, otherwise left
// alone. The one overflow-checked digit reader: positional indexes, option
// values and numeric expressions all use it.
bool consumeDigits(std::string_view &text, unsigned radix, uint64_t &value);

// The radix that a prefix at the front of `text` names, with the prefix
// removed: "0x" or "0X" 16, "0b" or "0B" 2, "0o" 8, a '0' before another
// decimal digit 8 (only the '0' goes). Otherwise 10, and `text` stays.
unsigned consumeRadixPrefix(std::string_view &text);

// An unsigned number with its radix prefix, as consumeDigits reads digits:
// true when it was read and fits 64 bits, `text` then advanced past it,
// otherwise left alone. No sign, no blanks: "0x" alone and "08" fail.
bool consumeRadixNumber(std::string_view &text, uint64_t &value);

// The same for the whole of `text`: false when anything follows the number.
bool parseRadixNumber(std::string_view text, uint64_t &value);

enum class FieldKind { Empty = 0, Replacement = 1, Literal = 2 };

enum class FieldAlign { Left = 0, Center = 1, Right = 2 };

// One parsed piece of a format string; views into the format string.
struct FormatField {
  FieldKind kind = FieldKind::Empty;
  // A literal's text, or the specification between the braces.
  std::string_view text;
  unsigned index = 0;
  // 0 means no alignment.
  unsigned width = 0;
  FieldAlign align = FieldAlign::Right;
  char fill = ' ';
  std::string_view options;
};

// Splits a format string into its fields.
SmallVector<FormatField, 2> parseFormatFields(std::string_view format);

// One argument with its formatting rule, chosen by its type: texts (a null
// C string is empty) and integers. A text argument views the caller's text,
// which must outlive the call.
class FormatArgument {
public:
  FormatArgument(std::string_view text) : argKind(Kind::Text), text(text) {}
  FormatArgument(const std::string &text) : argKind(Kind::Text), text(text) {}
  FormatArgument(const char *text) : argKind(Kind::Text), text(text ? text : "") {}

  // A character is written as itself, not as its code.
  FormatArgument(char c) : argKind(Kind::Char), character(c) {}

  template <typename T,
            typename = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                        !std::is_same_v<T, char>>>
  FormatArgument(T value) {
    if constexpr (std::is_signed_v<T>) {
      argKind = Kind::Signed;
      signedValue = value;
    } else {
      argKind = Kind::Unsigned;
      unsignedValue = value;
    }
  }

  // Writes the argument formatted with a field's options text.
  void format(OutputStream &os, std::string_view options) const;

private:
  enum class Kind { Text, Char, Signed, Unsigned };
  Kind argKind;
  std::string_view text;
  int64_t signedValue = 0;
  uint64_t unsignedValue = 0;
  char character = 0;
};

// Writes `format` with its fields replaced by `arguments`.
void formatPositionalArgs(OutputStream &os, std::string_view format,
                          std::span<const FormatArgument> arguments);

template <typename... Args>
void formatPositional(OutputStream &os, std::string_view format, const Args &...arguments) {
  if constexpr (sizeof...(Args) == 0) {
    formatPositionalArgs(os, format, {});
  } else {
    const FormatArgument list[] = {FormatArgument(arguments)...};
    formatPositionalArgs(os, format, list);
  }
}

// The result as a string.
template <typename... Args>
std::string formatPositionalString(std::string_view format, const Args &...arguments) {
  std::string result;
  StringOutputStream os(result);
  formatPositional(os, format, arguments...);
  return result;
}

} // namespace vetline
