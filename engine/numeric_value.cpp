// Checked arithmetic on sign-and-bits values, and the format conversions.
// Every operation is reduced to unsigned arithmetic on magnitudes or to the
// compiler's overflow-checked builtins, so no step can hit signed overflow.
// Tested by numeric_value_test.cpp.
#include "engine/numeric_value.h"

#include "engine/engine_errors.h"
#include "support/format.h"

#include <cstdint>
#include <limits>
#include <system_error>

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them.
namespace text {
constexpr std::string_view invalidFormat = "trying to match value with invalid format";
constexpr std::string_view unrepresentable = "unable to represent numeric value";
constexpr std::string_view missingPrefix = "missing alternate form prefix";
} // namespace text

constexpr uint64_t signedMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
// The magnitude of the most negative value, -2^63.
constexpr uint64_t negativeLimit = signedMax + 1;

Error overflow() { return newError<ValueOverflowError>(); }

int64_t asSigned(uint64_t bits) { return static_cast<int64_t>(bits); }

// left - right for two non-negative operands.
Fallible<ExprValue> subMagnitudes(uint64_t left, uint64_t right) {
  if (left >= right)
    return ExprValue::fromUnsigned(left - right);
  uint64_t difference = right - left;
  if (difference > negativeLimit)
    return overflow();
  return ExprValue{0 - difference, true};
}

Fallible<uint64_t> mulMagnitudes(uint64_t left, uint64_t right) {
  uint64_t product;
  if (__builtin_mul_overflow(left, right, &product))
    return overflow();
  return product;
}

// 0 - magnitude, for the results of mixed-sign products and quotients.
Fallible<ExprValue> negated(Fallible<uint64_t> magnitude) {
  if (!magnitude)
    return magnitude.extractError();
  return subMagnitudes(0, *magnitude);
}

// A whole text of digits in `radix`, fitting 64 bits.
bool readWholeUnsigned(std::string_view text, unsigned radix, uint64_t &result) {
  return consumeDigits(text, radix, result) && text.empty();
}

Error invalidFormat() {
  return makeMessageError(std::make_error_code(std::errc::invalid_argument), text::invalidFormat);
}

std::string digitsOf(uint64_t magnitude, unsigned radix, bool upperCase) {
  const char *symbols = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  char buffer[64];
  size_t length = 0;
  do {
    buffer[length++] = symbols[magnitude % radix];
    magnitude /= radix;
  } while (magnitude != 0);
  return std::string(std::make_reverse_iterator(buffer + length),
                     std::make_reverse_iterator(buffer));
}

} // namespace

Fallible<ExprValue> add(ExprValue left, ExprValue right) {
  if (!left.negative && !right.negative) {
    uint64_t sum;
    if (__builtin_add_overflow(left.value, right.value, &sum))
      return overflow();
    return ExprValue::fromUnsigned(sum);
  }
  if (left.negative && right.negative) {
    int64_t sum;
    if (__builtin_add_overflow(asSigned(left.value), asSigned(right.value), &sum))
      return overflow();
    return ExprValue::fromSigned(sum);
  }
  if (left.negative)
    return subMagnitudes(right.value, left.magnitude());
  return subMagnitudes(left.value, right.magnitude());
}

Fallible<ExprValue> sub(ExprValue left, ExprValue right) {
  if (!left.negative && !right.negative)
    return subMagnitudes(left.value, right.value);
  if (!left.negative)
    return add(left, ExprValue::fromUnsigned(right.magnitude()));
  if (right.negative)
    return subMagnitudes(right.magnitude(), left.magnitude());
  if (right.value > signedMax)
    return overflow();
  int64_t difference;
  if (__builtin_sub_overflow(asSigned(left.value), asSigned(right.value), &difference))
    return overflow();
  return ExprValue::fromSigned(difference);
}

Fallible<ExprValue> mul(ExprValue left, ExprValue right) {
  Fallible<uint64_t> product = mulMagnitudes(left.magnitude(), right.magnitude());
  if (left.negative != right.negative)
    return negated(std::move(product));
  if (!product)
    return product.extractError();
  return ExprValue::fromUnsigned(*product);
}

Fallible<ExprValue> div(ExprValue left, ExprValue right) {
  if (right.value == 0)
    return overflow();
  uint64_t quotient = left.magnitude() / right.magnitude();
  if (left.negative != right.negative)
    return negated(quotient);
  return ExprValue::fromUnsigned(quotient);
}

Fallible<ExprValue> max(ExprValue left, ExprValue right) {
  if (left.negative != right.negative)
    return left.negative ? right : left;
  if (left.negative)
    return asSigned(left.value) >= asSigned(right.value) ? left : right;
  return left.value >= right.value ? left : right;
}

Fallible<ExprValue> min(ExprValue left, ExprValue right) {
  Fallible<ExprValue> larger = max(left, right);
  if (!larger)
    return larger.extractError();
  return *larger == left ? right : left;
}

std::string_view formatKindName(FormatKind kind) {
  switch (kind) {
  case FormatKind::UnsignedDecimal:
    return "%u";
  case FormatKind::SignedDecimal:
    return "%d";
  case FormatKind::HexUpperCase:
    return "%X";
  case FormatKind::HexLowerCase:
    return "%x";
  case FormatKind::FormatUnset:
    break;
  }
  return "";
}

namespace {

// Repetition counts stop at 255 and a group would shift the capture numbers
// that follow, so a longer run is written as a row of counted pieces. The
// regex compiler allows a fixed number of operations beyond two per pattern
// byte: past a number of counted pieces that stays well within it, digits
// are written one by one, each paying for itself, so every precision that
// values are rendered with compiles.
std::string repeatedDigits(const std::string &digit, uint32_t count) {
  constexpr uint32_t largestCount = 255;
  constexpr uint32_t countedPieces = 400;
  std::string out;
  uint32_t pieces = 0;
  while (count > largestCount && pieces < countedPieces) {
    out += digit + "{" + std::to_string(largestCount) + "}";
    count -= largestCount;
    ++pieces;
  }
  if (count <= largestCount)
    return out + digit + "{" + std::to_string(count) + "}";
  out.reserve(out.size() + size_t(count) * digit.size());
  for (; count > 0; --count)
    out += digit;
  return out;
}

} // namespace

Fallible<std::string> ValueFormat::wildcardRegex() const {
  if (kind == FormatKind::FormatUnset)
    return invalidFormat();
  bool isHex = kind == FormatKind::HexUpperCase || kind == FormatKind::HexLowerCase;
  bool isSigned = kind == FormatKind::SignedDecimal;
  // The letters of a hexadecimal digit, in the case the format prints.
  std::string letters = kind == FormatKind::HexUpperCase ? "A-F" : isHex ? "a-f" : "";
  std::string digit = "[0-9" + letters + "]";
  std::string leading = "[1-9" + letters + "]";
  std::string prefix = alternateForm ? "0x" : "";
  std::string sign = isSigned ? "-?" : "";
  if (precision == 0)
    return (isHex ? prefix : "") + sign + digit + "+";
  // Exactly `precision` digits, or more when the extra part does not start
  // with a zero: the text a value of this format renders as, and no other.
  return prefix + sign + "(" + leading + digit + "*)?" + repeatedDigits(digit, precision);
}

Fallible<std::string> ValueFormat::matchingText(ExprValue value) const {
  unsigned radix = 10;
  switch (kind) {
  case FormatKind::SignedDecimal:
    if (!value.negative && value.value > signedMax)
      return overflow();
    break;
  case FormatKind::UnsignedDecimal:
    if (value.negative)
      return overflow();
    break;
  case FormatKind::HexUpperCase:
  case FormatKind::HexLowerCase:
    if (value.negative)
      return overflow();
    radix = 16;
    break;
  case FormatKind::FormatUnset:
    return invalidFormat();
  }
  if (precision > maxRenderedPrecision)
    return overflow();
  std::string digits = digitsOf(value.magnitude(), radix, kind == FormatKind::HexUpperCase);
  std::string text = value.negative ? "-" : "";
  if (alternateForm)
    text += "0x";
  if (digits.size() < precision)
    text.append(precision - digits.size(), '0');
  text += digits;
  return text;
}

Fallible<ExprValue> ValueFormat::valueFromText(std::string_view text,
                                               const SourceManager &sourceManager) const {
  if (kind == FormatKind::SignedDecimal) {
    std::string_view digits = text;
    bool isNegative = digits.starts_with('-');
    if (isNegative)
      digits.remove_prefix(1);
    uint64_t magnitude;
    if (!readWholeUnsigned(digits, 10, magnitude) ||
        magnitude > (isNegative ? negativeLimit : signedMax))
      return makeLocatedError(sourceManager, text, text::unrepresentable);
    return isNegative ? negated(magnitude) : ExprValue::fromUnsigned(magnitude);
  }
  std::string_view digits = text;
  bool isPrefixMissing = false;
  if (alternateForm) {
    if (digits.starts_with("0x"))
      digits.remove_prefix(2);
    else
      isPrefixMissing = true;
  }
  bool isHex = kind == FormatKind::HexUpperCase || kind == FormatKind::HexLowerCase;
  uint64_t value;
  if (!readWholeUnsigned(digits, isHex ? 16 : 10, value))
    return makeLocatedError(sourceManager, text, text::unrepresentable);
  if (isPrefixMissing)
    return makeLocatedError(sourceManager, text, text::missingPrefix);
  return ExprValue::fromUnsigned(value);
}

} // namespace vetline
