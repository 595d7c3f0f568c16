// Numeric values and formats: the 64-bit value that numeric expressions
// compute with (it may be negative: the range is -2^63 to 2^64 - 1), its six
// checked operations, and the format that turns a value into the text a
// pattern matches and matched text back into a value.
//
// Surprising parts:
// - Arithmetic never wraps: a result outside the range, and a division by
//   zero, is a ValueOverflowError.
// - A FormatUnset format equals nothing, not even itself, so "same format"
//   tests fail while a format is still undecided.
// - The wildcard of a format with a precision holds one capture group;
//   whoever builds a regex from it counts that group.
#pragma once

#include "support/error.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vetline {

class SourceManager;

// A negative value holds its two's-complement bit pattern; a non-negative
// one its unsigned magnitude. Zero is never negative.
struct ExprValue {
  uint64_t value = 0;
  bool negative = false;

  static ExprValue fromUnsigned(uint64_t value) { return {value, false}; }
  static ExprValue fromSigned(int64_t value) { return {static_cast<uint64_t>(value), value < 0}; }
  // The absolute value as unsigned; -2^63 gives 2^63.
  uint64_t magnitude() const { return negative ? 0 - value : value; }

  friend bool operator==(const ExprValue &, const ExprValue &) = default;
};

// The exact result, or a ValueOverflowError when it leaves the range.
Fallible<ExprValue> add(ExprValue left, ExprValue right);
Fallible<ExprValue> sub(ExprValue left, ExprValue right);
Fallible<ExprValue> mul(ExprValue left, ExprValue right);
// Truncates toward zero; a zero divisor is the overflow error.
Fallible<ExprValue> div(ExprValue left, ExprValue right);
Fallible<ExprValue> max(ExprValue left, ExprValue right);
Fallible<ExprValue> min(ExprValue left, ExprValue right);

// The numbers are part of the format record's identity; keep them.
enum class FormatKind : uint32_t {
  FormatUnset = 0,
  UnsignedDecimal = 1,
  SignedDecimal = 2,
  HexUpperCase = 3,
  HexLowerCase = 4,
};

// "%u", "%d", "%X" or "%x"; "" for FormatUnset.
std::string_view formatKindName(FormatKind kind);

struct ValueFormat {
  FormatKind kind = FormatKind::FormatUnset;
  // Minimum number of digits; 0 for none.
  uint32_t precision = 0;
  // A "0x" prefix; only ever set for the hex kinds.
  bool alternateForm = false;

  // The regular expression matching any value of this format; an
  // invalid-argument error "trying to match value with invalid format" for
  // FormatUnset.
  Fallible<std::string> wildcardRegex() const;
  // The text of `value` in this format; the overflow error when the format
  // cannot show it (a negative value in an unsigned kind, a value above
  // 2^63 - 1 in the signed kind, or a precision above maxRenderedPrecision),
  // the invalid-format error for FormatUnset.
  Fallible<std::string> matchingText(ExprValue value) const;
  // Reads matched `text` (a view into a buffer of `sourceManager`) back
  // into a value. Errors are LocatedErrors on `text`: "unable to represent
  // numeric value" and "missing alternate form prefix".
  Fallible<ExprValue> valueFromText(std::string_view text,
                                    const SourceManager &sourceManager) const;

  friend bool operator==(const ValueFormat &a, const ValueFormat &b) {
    return a.kind != FormatKind::FormatUnset && a.kind == b.kind && a.precision == b.precision &&
           a.alternateForm == b.alternateForm;
  }
};

// The largest precision a value is rendered with. A precision is a count of
// padding zeros written into a regex and searched for in the input; one of
// a billion would cost gigabytes of memory to render and could never be
// found, so beyond this rendering fails as an overflow.
inline constexpr uint32_t maxRenderedPrecision = 1u << 20;

} // namespace vetline
