#include "support/format.h"

#include <gtest/gtest.h>
#include <vector>

namespace vetline {
namespace {

struct FormatCase {
  const char *format;
  std::vector<FormatArgument> arguments;
  const char *expected;
};

std::string formatted(const char *format, const std::vector<FormatArgument> &arguments) {
  std::string result;
  StringOutputStream os(result);
  formatPositionalArgs(os, format, arguments);
  return result;
}

const FormatCase fieldCases[] = {
    {"{0}: {1} string not found in input",
     {"CHECK-NEXT", "expected"},
     "CHECK-NEXT: expected string not found in input"},
    {" ({0} out of {1})", {2, 5}, " (2 out of 5)"},
    {"#{0}", {12u}, "#12"},
    {"{1}{0}{1}", {"a", "b"}, "bab"},
    {"no fields } here", {}, "no fields } here"},
    // Braces.
    {"{{0}}", {7}, "{0}}"},
    {"{{{0}", {7}, "{7"},
    {"{{{{", {}, "{{"},
    {"a{0", {7}, "a{0"},
    {"{0{1}", {7, 8}, "{08"},
    // Missing argument: the specification itself.
    {"{2}", {0, 1}, "2"},
    {"[{ 3 ,5:x}]", {}, "[ 3 ,5:x]"},
    // Unparsable fields write nothing.
    {"[{x}]", {1}, "[]"},
    {"[{}]", {1}, "[]"},
    {"[{ }]", {1}, "[]"},
    // Index radixes and whitespace.
    {"{010}", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, "8"},
    {"{0x9}", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, "9"},
    {"{0b11}", {0, 1, 2, 3}, "3"},
    {"{0o7}", {0, 1, 2, 3, 4, 5, 6, 7}, "7"},
    {"{ 1 }", {0, 1}, "1"},
    {"{0 junk}", {5}, "5"},
    // Alignment and fill.
    {"{0,5}", {42}, "   42"},
    {"{0,-5}", {42}, "42   "},
    {"{0,=5}", {42}, " 42  "},
    {"{0,+5}", {42}, "   42"},
    {"{0,*=6}", {"ab"}, "**ab**"},
    {"{0,*=5}", {"ab"}, "*ab**"},
    {"{0,--4}", {"x"}, "x---"},
    {"{0,:-4}", {"x"}, "x:::"},
    {"{0,0x5}", {1}, "    1"},
    {"{0,2}", {"long"}, "long"},
    {"{0,x}", {"a"}, "a"},
    {"{0 , -3 : 2}", {"abcd"}, "ab "},
    {"{0,-6:x}", {255}, "0xff  "},
    // Integer options.
    {"{0:x}", {255}, "0xff"},
    {"{0:X}", {255}, "0xFF"},
    {"{0:x-}", {255}, "ff"},
    {"{0:X-4}", {255}, "00FF"},
    {"{0:x+6}", {255}, "0x0000ff"},
    {"{0:X4}", {255}, "0x00FF"},
    {"{0:x}", {-1}, "0xffffffffffffffff"},
    {"{0:N}", {1234567}, "1,234,567"},
    {"{0:n}", {-1234}, "-1,234"},
    {"{0:D5}", {42}, "00042"},
    {"{0:d}", {-42}, "-42"},
    {"{0:3}", {5}, "005"},
    {"{0:zz}", {5}, "5"},
    {"{0}", {INT64_MIN}, "-9223372036854775808"},
    {"{0}", {UINT64_MAX}, "18446744073709551615"},
    // String options.
    {"{0:3}", {"abcdef"}, "abc"},
    {"{0:10}", {"abc"}, "abc"},
    {"{0:0}", {"abc"}, ""},
    {"{0:x}", {"abc"}, "abc"},
    {"[{0}]", {static_cast<const char *>(nullptr)}, "[]"},
};

TEST(FormatPositional, Fields) {
  for (const FormatCase &c : fieldCases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(formatted(c.format, c.arguments), c.expected);
  }
}

TEST(FormatPositional, VariadicFormsAndStrings) {
  std::string owned = "owned";
  EXPECT_EQ(formatPositionalString("{0} {1} {2} {3}", owned, std::string_view("view"), 'c', 3u),
            "owned view c 3");
  EXPECT_EQ(formatPositionalString("plain"), "plain");
  std::string out;
  StringOutputStream os(out);
  formatPositional(os, "{0,4:x-}", 0xabcu);
  EXPECT_EQ(out, " abc");
}

TEST(FormatPositional, ParsedFields) {
  SmallVector<FormatField, 2> fields = parseFormatFields("a{1,x-7:X2}b");
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].kind, FieldKind::Literal);
  EXPECT_EQ(fields[0].text, "a");
  const FormatField &field = fields[1];
  EXPECT_EQ(field.kind, FieldKind::Replacement);
  EXPECT_EQ(field.text, "1,x-7:X2");
  EXPECT_EQ(field.index, 1u);
  EXPECT_EQ(field.fill, 'x');
  EXPECT_EQ(field.align, FieldAlign::Left);
  EXPECT_EQ(field.width, 7u);
  EXPECT_EQ(field.options, "X2");
  EXPECT_EQ(fields[2].text, "b");
}

// What consumeRadixNumber read and what it left ("value|rest"), or "fail"
// (the text then untouched); the same text whole through parseRadixNumber.
struct RadixCase {
  std::string_view text;
  const char *consumed;
  bool isWhole;
};

const RadixCase radixCases[] = {
    {"0", "0|", true},
    {"42", "42|", true},
    {"0x1F", "31|", true},
    {"0X1f", "31|", true},
    {"0b101", "5|", true},
    {"0B11", "3|", true},
    {"0o17", "15|", true},
    {"017", "15|", true},
    {"00", "0|", true},
    {"0xffffffffffffffff", "18446744073709551615|", true},
    {"18446744073709551615", "18446744073709551615|", true},
    {"18446744073709551616", "fail", false},
    {"0x10000000000000000", "fail", false},
    {"12ab", "12|ab", false},
    {"0b12", "1|2", false},
    {"019", "1|9", false},
    {"0O17", "0|O17", false}, // only a lower-case 'o' names octal
    {"0z", "0|z", false},
    {"08", "fail", false},
    {"0x", "fail", false},
    {"0xg", "fail", false},
    {"", "fail", false},
    {"-1", "fail", false},
    {" 1", "fail", false},
};

TEST(RadixNumber, PrefixesAndOverflow) {
  for (const RadixCase &c : radixCases) {
    SCOPED_TRACE(c.text);
    std::string_view text = c.text;
    uint64_t value = 0;
    bool isRead = consumeRadixNumber(text, value);
    EXPECT_EQ(isRead ? std::to_string(value) + "|" + std::string(text) : "fail", c.consumed);
    if (!isRead) {
      EXPECT_EQ(text, c.text);
    }
    uint64_t whole = 7;
    EXPECT_EQ(parseRadixNumber(c.text, whole), c.isWhole);
    if (c.isWhole) {
      EXPECT_EQ(whole, value);
    } else {
      EXPECT_EQ(whole, 7u);
    }
  }
}

} // namespace
} // namespace vetline
