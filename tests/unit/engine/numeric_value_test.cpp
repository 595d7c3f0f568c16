#include "engine/numeric_value.h"

#include "engine/engine_errors.h"
#include "support/format.h"
#include "support/output_stream.h"
#include "support/regex/regex.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vetline {
namespace {

constexpr uint64_t max64 = UINT64_MAX;
constexpr uint64_t twoTo63 = uint64_t(1) << 63;

ExprValue u(uint64_t value) { return ExprValue::fromUnsigned(value); }
ExprValue s(int64_t value) { return ExprValue::fromSigned(value); }
// -2^63, which no int64_t literal can spell.
const ExprValue minSigned{twoTo63, true};

// "value" in decimal with its sign, or the error's message.
template <typename T> std::string show(Fallible<T> result) {
  if (!result)
    return result.extractError().payload()->message();
  if constexpr (std::is_same_v<T, std::string>) {
    return *result;
  } else {
    ExprValue value = *result;
    if (value.negative)
      return "-" + std::to_string(value.magnitude());
    return std::to_string(value.value);
  }
}

using Operation = Fallible<ExprValue> (*)(ExprValue, ExprValue);

struct ArithmeticCase {
  const char *name;
  Operation operation;
  ExprValue left;
  ExprValue right;
  const char *expected;
};

const ArithmeticCase arithmeticCases[] = {
    {"add small", add, u(2), u(3), "5"},
    {"add carry out", add, u(max64), u(1), "overflow error"},
    {"add to the top", add, u(max64 - 1), u(1), "18446744073709551615"},
    {"add negatives", add, s(-2), s(-3), "-5"},
    {"add negatives to the bottom", add, s(INT64_MIN + 1), s(-1), "-9223372036854775808"},
    {"add negatives below the bottom", add, minSigned, s(-1), "overflow error"},
    {"add negative to the top", add, s(-1), u(max64), "18446744073709551614"},
    {"add top to a negative", add, u(max64), s(-1), "18446744073709551614"},
    {"add mixed to negative", add, u(1), s(-3), "-2"},
    {"add mixed to zero is not negative", add, s(-3), u(3), "0"},
    {"add mixed below the bottom", add, u(0), minSigned, "-9223372036854775808"},
    {"sub to zero", sub, u(7), u(7), "0"},
    {"sub to the bottom", sub, u(0), u(twoTo63), "-9223372036854775808"},
    {"sub below the bottom", sub, u(0), u(twoTo63 + 1), "overflow error"},
    {"sub large from small", sub, u(5), u(max64), "overflow error"},
    {"sub negative from positive", sub, u(5), s(-3), "8"},
    {"sub negative past the top", sub, u(max64), s(-1), "overflow error"},
    {"sub the bottom from zero", sub, u(0), minSigned, "9223372036854775808"},
    {"sub negatives", sub, s(-3), s(-5), "2"},
    {"sub negatives to a negative", sub, s(-5), s(-3), "-2"},
    {"sub positive from negative", sub, s(-3), u(5), "-8"},
    {"sub large positive from negative", sub, s(-1), u(twoTo63), "overflow error"},
    {"sub largest signed from -1", sub, s(-1), u(twoTo63 - 1), "-9223372036854775808"},
    {"sub largest signed from -2", sub, s(-2), u(twoTo63 - 1), "overflow error"},
    {"mul small", mul, u(6), u(7), "42"},
    {"mul to the top", mul, u(max64 / 5), u(5), "18446744073709551615"},
    {"mul past the top", mul, u(twoTo63), u(2), "overflow error"},
    {"mul negatives", mul, s(-4), s(-5), "20"},
    {"mul negatives past the top", mul, minSigned, minSigned, "overflow error"},
    {"mul the bottom by -1", mul, minSigned, s(-1), "9223372036854775808"},
    {"mul -1 by 2^63", mul, s(-1), u(twoTo63), "-9223372036854775808"},
    {"mul -2 by 2^63", mul, s(-2), u(twoTo63), "overflow error"},
    {"mul by zero is not negative", mul, s(-5), u(0), "0"},
    {"div truncates", div, u(7), u(2), "3"},
    {"div negative by positive", div, s(-7), u(2), "-3"},
    {"div positive by negative", div, u(7), s(-2), "-3"},
    {"div negatives", div, s(-7), s(-2), "3"},
    {"div the bottom by -1", div, minSigned, s(-1), "9223372036854775808"},
    {"div the top by -1", div, u(max64), s(-1), "overflow error"},
    {"div by zero", div, u(1), u(0), "overflow error"},
    {"div negative by zero", div, s(-1), u(0), "overflow error"},
    {"div zero by negative", div, u(0), s(-3), "0"},
    {"max mixed", max, s(-1), u(0), "0"},
    {"max unsigned", max, u(max64), u(3), "18446744073709551615"},
    {"max negatives", max, s(-7), s(-2), "-2"},
    {"min top and negative", min, u(max64), s(-5), "-5"},
    {"min negatives", min, s(-7), s(-2), "-7"},
    {"min equal", min, u(4), u(4), "4"},
};

TEST(NumericValue, Arithmetic) {
  for (const ArithmeticCase &c : arithmeticCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show(c.operation(c.left, c.right)), c.expected);
  }
}

TEST(NumericValue, ZeroIsNeverNegative) {
  EXPECT_EQ(s(0), u(0));
  Fallible<ExprValue> zero = sub(s(-3), s(-3));
  ASSERT_TRUE(zero);
  EXPECT_EQ(*zero, u(0));
  Fallible<ExprValue> overflow = add(u(max64), u(1));
  ASSERT_FALSE(overflow);
  EXPECT_TRUE(overflow.extractError().isKindOf<ValueOverflowError>());
}

constexpr FormatKind U = FormatKind::UnsignedDecimal;
constexpr FormatKind D = FormatKind::SignedDecimal;
constexpr FormatKind X = FormatKind::HexUpperCase;
constexpr FormatKind x = FormatKind::HexLowerCase;
constexpr FormatKind Unset = FormatKind::FormatUnset;

struct RenderCase {
  ValueFormat format;
  ExprValue value;
  std::string expected;
};

const RenderCase renderCases[] = {
    {{U, 0, false}, u(0), "0"},
    {{U, 0, false}, u(max64), "18446744073709551615"},
    {{U, 3, false}, u(7), "007"},
    {{U, 2, false}, u(1234), "1234"},
    {{U, 0, false}, s(-1), "overflow error"},
    {{D, 0, false}, minSigned, "-9223372036854775808"},
    {{D, 3, false}, s(-5), "-005"},
    {{D, 0, false}, u(twoTo63 - 1), "9223372036854775807"},
    {{D, 0, false}, u(twoTo63), "overflow error"},
    {{x, 0, false}, u(255), "ff"},
    {{X, 0, false}, u(max64), "FFFFFFFFFFFFFFFF"},
    {{x, 4, true}, u(255), "0x00ff"},
    {{X, 0, true}, u(0), "0x0"},
    {{x, 0, false}, s(-1), "overflow error"},
    {{Unset, 0, false}, u(1), "trying to match value with invalid format"},
    {{U, maxRenderedPrecision, false}, u(1), std::string(maxRenderedPrecision - 1, '0') + "1"},
    {{U, maxRenderedPrecision + 1, false}, u(1), "overflow error"},
};

TEST(NumericValue, MatchingText) {
  for (const RenderCase &c : renderCases) {
    SCOPED_TRACE(show<ExprValue>(c.value) + " in kind " +
                 std::to_string(static_cast<int>(c.format.kind)));
    EXPECT_EQ(show(c.format.matchingText(c.value)), c.expected);
  }
}

struct WildcardCase {
  ValueFormat format;
  const char *regex;
  // Texts the wildcard must match whole, and texts it must not.
  std::vector<const char *> matching;
  std::vector<const char *> notMatching;
};

const WildcardCase wildcardCases[] = {
    {{U, 0, false}, "[0-9]+", {"0", "0123"}, {"", "a", "-1"}},
    {{U, 2, false}, "([1-9][0-9]*)?[0-9]{2}", {"07", "123", "00"}, {"7", "0123"}},
    {{D, 0, false}, "-?[0-9]+", {"-5", "5"}, {"+5", "-"}},
    {{D, 3, false}, "-?([1-9][0-9]*)?[0-9]{3}", {"-005", "1000"}, {"-05", "0100"}},
    {{X, 0, false}, "[0-9A-F]+", {"FF"}, {"ff"}},
    {{X, 4, false}, "([1-9A-F][0-9A-F]*)?[0-9A-F]{4}", {"00FF", "10000"}, {"0FF", "0FFFF"}},
    {{x, 0, true}, "0x[0-9a-f]+", {"0xff"}, {"ff", "0XFF"}},
    {{x, 4, true}, "0x([1-9a-f][0-9a-f]*)?[0-9a-f]{4}", {"0x00ff"}, {"0xff", "00ff"}},
};

TEST(NumericValue, WildcardRegex) {
  for (const WildcardCase &c : wildcardCases) {
    SCOPED_TRACE(c.regex);
    Fallible<std::string> regexText = c.format.wildcardRegex();
    ASSERT_TRUE(regexText);
    EXPECT_EQ(*regexText, c.regex);
    std::string anchored = "^" + *regexText + "$";
    Regex whole(anchored, RegexOptions::None);
    for (const char *text : c.matching)
      EXPECT_TRUE(whole.match(text)) << text;
    for (const char *text : c.notMatching)
      EXPECT_FALSE(whole.match(text)) << text;
  }
  Fallible<std::string> unset = ValueFormat().wildcardRegex();
  ASSERT_FALSE(unset);
  Error error = unset.extractError();
  EXPECT_EQ(error.payload()->message(), "trying to match value with invalid format");
  EXPECT_EQ(error.payload()->asErrorCode(), std::errc::invalid_argument);
}

// Repetition counts stop at 255: a longer precision is a row of pieces that
// still matches exactly the renderings of that precision, up to the largest
// precision a value is rendered with.
TEST(NumericValue, WildcardOfLongPrecisionCompilesAndMatches) {
  EXPECT_EQ(*ValueFormat({U, 256, false}).wildcardRegex(), "([1-9][0-9]*)?[0-9]{255}[0-9]{1}");
  for (uint32_t precision : {256u, 511u, 1000u}) {
    SCOPED_TRACE(precision);
    ValueFormat format{X, precision, false};
    Fallible<std::string> regexText = format.wildcardRegex();
    ASSERT_TRUE(regexText);
    Regex whole("^" + *regexText + "$", RegexOptions::None);
    std::string error;
    ASSERT_TRUE(whole.isValid(error)) << error;
    std::string exact(precision, '0');
    exact.back() = 'A';
    EXPECT_TRUE(whole.match(exact));
    EXPECT_TRUE(whole.match("F" + exact));
    EXPECT_FALSE(whole.match("0" + exact));
    EXPECT_FALSE(whole.match(exact.substr(1)));
    EXPECT_FALSE(whole.match(exact.substr(1) + "a"));
  }
  // The largest compiles; matching so long a run is left to the rows above.
  Fallible<std::string> largest = ValueFormat({X, maxRenderedPrecision, false}).wildcardRegex();
  ASSERT_TRUE(largest);
  std::string error;
  EXPECT_TRUE(Regex(*largest, RegexOptions::None).isValid(error)) << error;
}

struct ReadCase {
  ValueFormat format;
  const char *text;
  const char *expected;
};

const ReadCase readCases[] = {
    {{U, 0, false}, "18446744073709551615", "18446744073709551615"},
    {{U, 0, false}, "18446744073709551616", "unable to represent numeric value"},
    {{U, 3, false}, "007", "7"},
    {{U, 0, false}, "12a", "unable to represent numeric value"},
    {{U, 0, false}, "", "unable to represent numeric value"},
    {{D, 0, false}, "-9223372036854775808", "-9223372036854775808"},
    {{D, 0, false}, "-9223372036854775809", "unable to represent numeric value"},
    {{D, 0, false}, "9223372036854775808", "unable to represent numeric value"},
    {{D, 0, false}, "-0", "0"},
    {{D, 0, false}, "-", "unable to represent numeric value"},
    {{X, 0, false}, "ffFF", "65535"},
    {{x, 0, false}, "10000000000000000", "unable to represent numeric value"},
    {{X, 0, true}, "0x1F", "31"},
    {{X, 0, true}, "1F", "missing alternate form prefix"},
    {{X, 0, true}, "0X1F", "unable to represent numeric value"},
    {{x, 0, true}, "0x", "unable to represent numeric value"},
};

TEST(NumericValue, ValueFromText) {
  SourceManager sources;
  for (const ReadCase &c : readCases) {
    SCOPED_TRACE(c.text);
    unsigned number = sources.addBuffer(makeTextBufferCopy(c.text, "input.txt"));
    std::string_view text = sources.buffer(number).text();
    Fallible<ExprValue> value = c.format.valueFromText(text, sources);
    if (!value) {
      Error error = value.extractError();
      ASSERT_TRUE(error.isKindOf<LocatedError>());
      const auto &located = static_cast<const LocatedError &>(*error.payload());
      // Located at the whole matched text.
      EXPECT_EQ(located.range(), SourceRange::of(text));
      EXPECT_EQ(located.diagnostic().location(), SourceLocation::fromPointer(text.data()));
      EXPECT_EQ(located.message(), c.expected);
      continue;
    }
    EXPECT_EQ(show(std::move(value)), c.expected);
  }
}

TEST(NumericValue, FormatEquality) {
  EXPECT_TRUE((ValueFormat{x, 2, true}) == (ValueFormat{x, 2, true}));
  EXPECT_FALSE((ValueFormat{x, 2, true}) == (ValueFormat{x, 3, true}));
  EXPECT_FALSE((ValueFormat{x, 0, true}) == (ValueFormat{x, 0, false}));
  EXPECT_FALSE((ValueFormat{x, 0, false}) == (ValueFormat{X, 0, false}));
  EXPECT_FALSE(ValueFormat() == ValueFormat());
}

struct ConsumeCase {
  const char *text;
  unsigned radix;
  const char *expected; // "value|rest" or "fail"
};

const ConsumeCase consumeCases[] = {
    {"123abc", 10, "123|abc"},
    {"ffz", 16, "255|z"},
    {"FFFFFFFFFFFFFFFF", 16, "18446744073709551615|"},
    {"10000000000000000", 16, "fail"},
    {"18446744073709551616", 10, "fail"},
    {"102", 2, "2|2"},
    {"", 10, "fail"},
    {"x1", 10, "fail"},
};

TEST(NumericValue, ConsumeUnsigned) {
  for (const ConsumeCase &c : consumeCases) {
    SCOPED_TRACE(c.text);
    std::string_view text = c.text;
    uint64_t value = 0;
    bool isRead = consumeDigits(text, c.radix, value);
    EXPECT_EQ(isRead ? std::to_string(value) + "|" + std::string(text) : "fail", c.expected);
    if (!isRead) {
      EXPECT_EQ(text, c.text);
    }
  }
}

} // namespace
} // namespace vetline
