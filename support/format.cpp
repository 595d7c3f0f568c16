#include "support/format.h"

#include <limits>

namespace vetline {

namespace {

constexpr std::string_view whitespace = " \t\n\v\f\r";

std::string_view strip(std::string_view text) {
  size_t first = text.find_first_not_of(whitespace);
  if (first == std::string_view::npos)
    return {};
  size_t last = text.find_last_not_of(whitespace);
  return text.substr(first, last - first + 1);
}

// An unsigned number with its radix prefix from the front of `text`, in
// the range of `unsigned`; on failure `text` is left as it was.
bool consumeUnsigned(std::string_view &text, unsigned &value) {
  std::string_view rest = text;
  uint64_t result = 0;
  if (!consumeRadixNumber(rest, result) || result > std::numeric_limits<unsigned>::max())
    return false;
  text = rest;
  value = static_cast<unsigned>(result);
  return true;
}

// The whole of `text` as a decimal number.
bool parseDecimal(std::string_view text, size_t &value) {
  uint64_t result = 0;
  if (!consumeDigits(text, 10, result) || !text.empty())
    return false;
  value = static_cast<size_t>(result);
  return true;
}

FormatField literalField(std::string_view text) {
  FormatField field;
  field.kind = FieldKind::Literal;
  field.text = text;
  return field;
}

FormatField emptyField(std::string_view replacement) {
  FormatField field;
  field.text = replacement;
  return field;
}

bool isAlignMarker(char c) { return c == '-' || c == '=' || c == '+'; }

FieldAlign alignFor(char c) {
  return c == '-' ? FieldAlign::Left : c == '=' ? FieldAlign::Center : FieldAlign::Right;
}

// Reads fill, alignment and width from the front of `layout`.
void consumeLayout(std::string_view &layout, FormatField &field) {
  if (layout.size() >= 2 && isAlignMarker(layout[1])) {
    field.fill = layout[0];
    field.align = alignFor(layout[1]);
    layout.remove_prefix(2);
  } else if (layout.size() >= 2 && isAlignMarker(layout[0])) {
    field.align = alignFor(layout[0]);
    layout.remove_prefix(1);
  }
  if (!consumeUnsigned(layout, field.width))
    field.width = 0;
}

FormatField parseReplacement(std::string_view replacement) {
  FormatField field;
  field.text = replacement;
  std::string_view rest = strip(replacement);
  if (!consumeUnsigned(rest, field.index))
    return emptyField(replacement);
  field.kind = FieldKind::Replacement;
  rest = strip(rest);
  if (!rest.empty() && rest.front() == ',') {
    rest.remove_prefix(1);
    consumeLayout(rest, field);
  }
  rest = strip(rest);
  if (!rest.empty() && rest.front() == ':')
    field.options = strip(rest.substr(1));
  return field;
}

void formatInteger(OutputStream &os, bool negative, uint64_t magnitude, std::string_view options) {
  if (!options.empty() && (options[0] == 'x' || options[0] == 'X')) {
    bool upper = options[0] == 'X';
    options.remove_prefix(1);
    bool prefix = true;
    if (!options.empty() && (options[0] == '-' || options[0] == '+')) {
      prefix = options[0] == '+';
      options.remove_prefix(1);
    }
    size_t digits = 0;
    if (!parseDecimal(options, digits))
      digits = 0;
    if (prefix)
      digits += 2;
    HexStyle style = upper ? (prefix ? HexStyle::UpperWithPrefix : HexStyle::UpperDigits)
                           : (prefix ? HexStyle::LowerWithPrefix : HexStyle::LowerDigits);
    uint64_t bits = negative ? 0 - magnitude : magnitude;
    writeHexNumber(os, bits, style, digits);
    return;
  }
  DecimalStyle style = DecimalStyle::Plain;
  if (!options.empty() && (options[0] == 'N' || options[0] == 'n')) {
    style = DecimalStyle::Grouped;
    options.remove_prefix(1);
  } else if (!options.empty() && (options[0] == 'D' || options[0] == 'd')) {
    options.remove_prefix(1);
  }
  size_t minDigits = 0;
  if (!parseDecimal(options, minDigits))
    minDigits = 0;
  if (negative)
    writeDecimal(os, static_cast<int64_t>(0 - magnitude), minDigits, style);
  else
    writeDecimal(os, magnitude, minDigits, style);
}

void writeAligned(OutputStream &os, const FormatField &field, const FormatArgument &argument) {
  if (field.width == 0) {
    argument.format(os, field.options);
    return;
  }
  SmallVector<char, 64> scratch;
  VectorOutputStream scratchStream(scratch);
  argument.format(scratchStream, field.options);
  if (scratch.size() >= field.width) {
    os << scratch;
    return;
  }
  size_t padding = field.width - scratch.size();
  size_t before = field.align == FieldAlign::Left     ? 0
                  : field.align == FieldAlign::Center ? padding / 2
                                                      : padding;
  for (size_t i = 0; i < before; ++i)
    os << field.fill;
  os << scratch;
  for (size_t i = before; i < padding; ++i)
    os << field.fill;
}

} // namespace

int digitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z')
    return c - 'A' + 10;
  return 99;
}

// Reads the longest run of digits of `radix` from the front of `text` into
// `value`; false when there are none or the value overflows 64 bits.
bool consumeDigits(std::string_view &text, unsigned radix, uint64_t &value) {
  size_t i = 0;
  uint64_t result = 0;
  while (i < text.size() && digitValue(text[i]) < static_cast<int>(radix)) {
    uint64_t digit = digitValue(text[i]);
    if (result > (std::numeric_limits<uint64_t>::max() - digit) / radix)
      return false;
    result = result * radix + digit;
    ++i;
  }
  if (i == 0)
    return false;
  text.remove_prefix(i);
  value = result;
  return true;
}

unsigned consumeRadixPrefix(std::string_view &text) {
  if (text.size() < 2 || text[0] != '0')
    return 10;
  char marker = text[1];
  unsigned radix = 10;
  size_t prefixLength = 2;
  if (marker == 'x' || marker == 'X') {
    radix = 16;
  } else if (marker == 'b' || marker == 'B') {
    radix = 2;
  } else if (marker == 'o') {
    radix = 8;
  } else if (marker >= '0' && marker <= '9') {
    radix = 8;
    prefixLength = 1;
  } else {
    return 10;
  }
  text.remove_prefix(prefixLength);
  return radix;
}

bool consumeRadixNumber(std::string_view &text, uint64_t &value) {
  std::string_view rest = text;
  unsigned radix = consumeRadixPrefix(rest);
  if (!consumeDigits(rest, radix, value))
    return false;
  text = rest;
  return true;
}

bool parseRadixNumber(std::string_view text, uint64_t &value) {
  uint64_t result = 0;
  if (!consumeRadixNumber(text, result) || !text.empty())
    return false;
  value = result;
  return true;
}

SmallVector<FormatField, 2> parseFormatFields(std::string_view format) {
  SmallVector<FormatField, 2> fields;
  while (!format.empty()) {
    if (format[0] != '{') {
      size_t brace = format.find('{');
      fields.push_back(literalField(format.substr(0, brace)));
      format = brace == std::string_view::npos ? std::string_view() : format.substr(brace);
      continue;
    }
    size_t run = format.find_first_not_of('{');
    if (run == std::string_view::npos)
      run = format.size();
    if (run >= 2) {
      size_t half = run / 2;
      fields.push_back(literalField(format.substr(0, half)));
      format.remove_prefix(2 * half);
      continue;
    }
    size_t close = format.find('}');
    if (close == std::string_view::npos) {
      fields.push_back(literalField(format));
      break;
    }
    size_t nextOpen = format.find('{', 1);
    if (nextOpen < close) {
      fields.push_back(literalField(format.substr(0, nextOpen)));
      format.remove_prefix(nextOpen);
      continue;
    }
    fields.push_back(parseReplacement(format.substr(1, close - 1)));
    format.remove_prefix(close + 1);
  }
  return fields;
}

void FormatArgument::format(OutputStream &os, std::string_view options) const {
  switch (argKind) {
  case Kind::Text: {
    size_t limit = 0;
    if (!options.empty() && parseDecimal(options, limit))
      os << text.substr(0, limit);
    else
      os << text;
    return;
  }
  case Kind::Char:
    os << character;
    return;
  case Kind::Signed: {
    bool negative = signedValue < 0;
    uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(signedValue) : static_cast<uint64_t>(signedValue);
    formatInteger(os, negative, magnitude, options);
    return;
  }
  case Kind::Unsigned:
    formatInteger(os, false, unsignedValue, options);
    return;
  }
}

void formatPositionalArgs(OutputStream &os, std::string_view format,
                          std::span<const FormatArgument> arguments) {
  for (const FormatField &field : parseFormatFields(format)) {
    switch (field.kind) {
    case FieldKind::Empty:
      break;
    case FieldKind::Literal:
      os << field.text;
      break;
    case FieldKind::Replacement:
      if (field.index >= arguments.size())
        os << field.text;
      else
        writeAligned(os, field, arguments[field.index]);
      break;
    }
  }
}

} // namespace vetline
