#include "engine/numeric_expression.h"

#include "engine/engine_errors.h"
#include "engine/pattern_context.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace vetline {
namespace {

const char *operationName(BinaryOperation operation) {
  if (operation == add)
    return "add";
  if (operation == sub)
    return "sub";
  if (operation == mul)
    return "mul";
  if (operation == div)
    return "div";
  if (operation == max)
    return "max";
  if (operation == min)
    return "min";
  return "?";
}

std::string describeTree(const ExprNode &node) {
  if (auto *binary = dynamic_cast<const ExprBinaryOp *>(&node))
    return std::string("(") + operationName(binary->operation) + " " + describeTree(*binary->left) +
           " " + describeTree(*binary->right) + ")";
  return std::string(node.text);
}

std::string describeFormat(const ValueFormat &format) {
  std::string name(formatKindName(format.kind));
  std::string result = "%";
  if (format.alternateForm)
    result += "#";
  if (format.precision)
    result += "." + std::to_string(format.precision);
  return result + name.substr(1);
}

std::string describeValue(Fallible<ExprValue> value) {
  if (!value) {
    std::string messages;
    handleEveryError(value.extractError(), [&](const ErrorPayload &payload) {
      messages += (messages.empty() ? "" : "+") + payload.message();
    });
    return messages;
  }
  if (value->negative)
    return "-" + std::to_string(value->magnitude());
  return std::to_string(value->value);
}

// Parses one block written on line 5 of "check.txt", in a context where
// N (%x, 16, defined on line 1), M (%d, -3, line 2), U (%u, no value, line
// 3) and T (%u, 1, line 5) are numeric variables, S is a string variable
// and @LINE is 5. Describes the result as "FORMAT [def:NAME] [TREE=VALUE]",
// or "COLUMN[START,END): MESSAGE" for each error, with the columns of the
// location and of the error's range.
class BlockParse {
public:
  BlockParse() {
    context.makeLineVariable();
    context.lineVariable()->value = ExprValue::fromUnsigned(5);
    addVariable("N", {FormatKind::HexLowerCase, 0, false}, 16, 1);
    addVariable("M", {FormatKind::SignedDecimal, 0, false}, -3, 2);
    addVariable("U", {FormatKind::UnsignedDecimal, 0, false}, std::nullopt, 3);
    addVariable("T", {FormatKind::UnsignedDecimal, 0, false}, 1, 5);
    context.markStringVarDefined("S");
  }

  std::string parse(std::string_view text, bool isLegacy = false,
                    std::optional<size_t> lineNumber = 5) {
    unsigned number = sources.addBuffer(makeTextBufferCopy(text, "check.txt"));
    std::string_view stored = sources.buffer(number).text();
    Fallible<NumericBlock> block =
        parseNumericBlock(stored, isLegacy, lineNumber, context, sources);
    if (!block)
      return describeErrors(block.extractError());
    std::string result = describeFormat(block->expression.format);
    if (block->definedVariable)
      result += " def:" + std::string(block->definedVariable->name);
    if (const ExprNode *ast = block->expression.ast)
      result += " " + describeTree(*ast) + "=" + describeValue(ast->eval());
    return result;
  }

  // The value alone, for trees too long to describe.
  std::string evaluate(std::string_view text) {
    unsigned number = sources.addBuffer(makeTextBufferCopy(text, "check.txt"));
    Fallible<NumericBlock> block =
        parseNumericBlock(sources.buffer(number).text(), false, 5, context, sources);
    if (!block)
      return describeErrors(block.extractError());
    return describeValue(block->expression.ast->eval());
  }

  std::string describeErrors(Error error) {
    std::string result;
    handleEveryError(std::move(error), [&](const LocatedError &located) {
      if (!result.empty())
        result += " + ";
      result += column(located.diagnostic().location()) + "[" + column(located.range().start) +
                "," + column(located.range().end) + "): " + located.message();
    });
    return result;
  }

  std::string column(SourceLocation location) {
    if (!location.pointer())
      return "-";
    return std::to_string(sources.lineAndColumnOf(location).second);
  }

  void addVariable(std::string_view name, ValueFormat format, std::optional<int64_t> value,
                   size_t line) {
    NumericVar *variable = context.makeNumericVar(name, line, format);
    if (value)
      variable->value = ExprValue::fromSigned(*value);
    context.setNumericVar(name, variable);
  }

  SourceManager sources;
  PatternContext context;
};

struct BlockCase {
  const char *name;
  std::string_view text;
  const char *expected;
};

const BlockCase blockCases[] = {
    // Format specifiers.
    {"empty block", "", "%u"},
    {"hex definition", "%x,V:", "%x def:V"},
    {"precision and upper hex", "%.4X,V:", "%.4X def:V"},
    {"alternate form", "%#x,V:", "%#x def:V"},
    {"blanks around the specifier", " %#.2x ,V:", "%#.2x def:V"},
    {"alternate form on decimal", "%#d,V:", "2[2,2): alternate form only supported for hex values"},
    {"alternate form without conversion",
     "%#,V:", "2[2,2): alternate form only supported for hex values"},
    {"unknown conversion", "%q,V:", "2[2,2): invalid format specifier in expression"},
    {"no percent sign", "x,V:", "1[1,2): invalid matching format specification in expression"},
    {"empty specifier", ",5", "1[1,1): invalid matching format specification in expression"},
    {"junk after conversion",
     "%xy,V:", "3[3,4): invalid matching format specification in expression"},
    {"missing precision", "%.x,V:", "3[3,4): invalid precision in format specifier"},
    {"largest precision", "%.4294967295u,", "%.4294967295u"},
    {"precision too large", "%.4294967296u,", "3[3,14): invalid precision in format specifier"},
    {"precision without conversion falls back", "%.3,V:", "%.3u def:V"},
    {"fallback precision loses to an implicit format", "%.3,N+1", "%x (add N 1)=17"},
    {"comma inside a call is no specifier", "add(1,2)", "%u (add 1 2)=3"},
    {"comma before a call is a specifier", "%d,add(1,2)", "%d (add 1 2)=3"},
    // Definitions, constraints and implicit formats.
    {"definition with expression", "V:N+1", "%x def:V (add N 1)=17"},
    {"blanks around a definition", "  V  :  7 ", "%u def:V 7=7"},
    {"implicit hex", "N+1", "%x (add N 1)=17"},
    {"implicit format conflict", "N+M",
     "1[1,4): implicit format conflict between 'N' (%x) and 'M' (%d), need an explicit format "
     "specifier"},
    {"explicit format settles a conflict", "%d,N+M", "%d (add N M)=13"},
    {"conflict text of a later operation", "1+N+M",
     "1[1,6): implicit format conflict between '1+N' (%x) and 'M' (%d), need an explicit format "
     "specifier"},
    {"conflict inside parentheses", "1+(N + M)",
     "6[6,9): implicit format conflict between 'N' (%x) and 'M' (%d), need an explicit format "
     "specifier"},
    {"conflict after a call", "add(N,1)+M",
     "1[1,11): implicit format conflict between '+M' (%x) and 'M' (%d), need an explicit format "
     "specifier"},
    {"constraint alone", "==", "3[3,3): empty numeric expression should not have a constraint"},
    {"constraint with a literal", "== 5", "%u 5=5"},
    {"definition with constraint", "V: == N", "%x def:V N=16"},
    {"definition of a string variable",
     "S:", "1[1,2): string variable with name 'S' already exists"},
    {"pseudo-variable defined",
     "@LINE:", "1[1,6): definition of pseudo numeric variable unsupported"},
    {"junk after the defined name",
     "V x:", "3[3,4): unexpected characters after numeric variable name"},
    {"empty definition name", ":1", "1[1,1): empty variable name"},
    {"bad definition name", "1V:", "1[1,3): invalid variable name"},
    {"redefinition in another format",
     "%d,N:", "5[5,5): format different from previous variable definition"},
    {"redefinition in the same format", "%x,N:", "%x def:N"},
    {"redefinition and use in one block", "N:N+1", "%x def:N (add N 1)=17"},
    // Expressions: no precedence, literals, functions.
    {"no precedence", "2+3*4", "%u (mul (add 2 3) 4)=20"},
    {"parentheses", "2+(3*4)", "%u (add 2 (mul 3 4))=14"},
    {"division", "7/2", "%u (div 7 2)=3"},
    {"nested call", "add(1,mul(2,3))", "%u (add 1 (mul 2 3))=7"},
    {"every function", "sub(max(min(9,4),2),div(6,3))", "%u (sub (max (min 9 4) 2) (div 6 3))=2"},
    {"call arguments with operations", "max( 1 + 2 , 4 * 2 )", "%u (max (add 1 2) (mul 4 2))=8"},
    {"blank before a call's parenthesis", "add (1,2)", "%u (add 1 2)=3"},
    {"octal literal", "010", "%u 010=8"},
    {"hex literal", "0x10", "%u 0x10=16"},
    {"upper hex prefix", "0XfF", "%u 0XfF=255"},
    {"binary literal", "0b11", "%u 0b11=3"},
    {"octal prefix", "0o17", "%u 0o17=15"},
    {"zero", "0", "%u 0=0"},
    {"negative literal", "-5", "%u -5=-5"},
    {"negative hex literal", "-0x10", "%u -0x10=-16"},
    {"largest literal", "18446744073709551615", "%u 18446744073709551615=18446744073709551615"},
    {"smallest literal", "-9223372036854775808", "%u -9223372036854775808=-9223372036854775808"},
    {"literal too large", "18446744073709551616",
     "1[1,21): invalid matching constraint or operand format"},
    {"negative literal too small", "-9223372036854775809",
     "1[1,21): invalid matching constraint or operand format"},
    {"bad operand after a constraint", "==@", "3[3,4): invalid operand format"},
    {"bad right operand", "1+$", "3[3,4): invalid operand format"},
    {"octal with a bad digit", "08", "1[1,3): invalid matching constraint or operand format"},
    {"hex prefix without digits", "0x", "1[1,3): invalid matching constraint or operand format"},
    {"digits run into a name", "5abc", "2[2,2): unsupported operation 'a'"},
    {"overflowing expression", "0xffffffffffffffff+1",
     "%u (add 0xffffffffffffffff 1)=overflow error"},
    {"subtraction below zero", "1-2", "%u (sub 1 2)=-1"},
    {"unsupported operator", "1%2", "2[2,2): unsupported operation '%'"},
    {"operator without operand", "1 + ", "4[4,4): missing operand in expression"},
    {"undefined function", "foo(1,2)", "1[1,4): call to undefined function 'foo'"},
    {"one argument", "max(1)", "1[1,4): function 'max' takes 2 arguments but 1 given"},
    {"three arguments", "max(1,2,3)", "1[1,4): function 'max' takes 2 arguments but 3 given"},
    {"no arguments", "min()", "1[1,4): function 'min' takes 2 arguments but 0 given"},
    {"empty last argument", "add(1,)", "7[7,8): missing argument"},
    {"empty first argument", "add(,1)", "5[5,8): missing argument"},
    {"unterminated call", "add(1,2", "8[8,8): missing ')' at end of call expression"},
    {"unterminated nesting", "(1+2", "5[5,5): missing ')' at end of nested expression"},
    {"empty nesting", "(", "2[2,2): missing operand in expression"},
    {"junk in nesting", "(1 2)", "4[4,4): unsupported operation '2'"},
    // Variable uses.
    {"use of a variable", "M", "%d M=-3"},
    {"use of an undefined variable", "U", "%u U=undefined variable: U"},
    {"two undefined variables", "add(U,V)",
     "%u (add U V)=undefined variable: U+undefined variable: V"},
    {"first use makes a variable", "NEW+1", "%u (add NEW 1)=undefined variable: NEW"},
    {"global variable", "$G", "%u $G=undefined variable: $G"},
    {"line variable", "@LINE+1", "%u (add @LINE 1)=6"},
    {"unknown pseudo-variable", "@FOO", "1[1,5): invalid pseudo numeric variable '@FOO'"},
    {"variable defined on the same line", "T+1",
     "1[1,2): numeric variable 'T' defined earlier in the same CHECK directive"},
    {"bad name then bad literal", "$", "1[1,2): invalid matching constraint or operand format"},
};

TEST(NumericExpression, ParseBlock) {
  for (const BlockCase &c : blockCases) {
    SCOPED_TRACE(c.name);
    BlockParse parser;
    EXPECT_EQ(parser.parse(c.text), c.expected);
  }
}

const BlockCase legacyCases[] = {
    {"line alone", "@LINE", "%u @LINE=5"},
    {"line plus", "@LINE+2", "%u (add @LINE 2)=7"},
    {"line minus", "@LINE-1", "%u (sub @LINE 1)=4"},
    {"line with blanks", "@LINE - 1", "%u (sub @LINE 1)=4"},
    {"variable operand", "@LINE+N", "7[7,8): invalid operand format"},
    {"hex operand", "@LINE+0x1", "8[8,10): unexpected characters at end of expression 'x1'"},
    {"two operations", "@LINE+1+1", "8[8,10): unexpected characters at end of expression '+1'"},
    {"nested operand", "@LINE+(1)", "7[7,10): parenthesized expression not permitted here"},
    {"function call", "@LINE(1)", "1[1,6): unexpected function call"},
    {"other pseudo-variable", "@FOO+1", "1[1,5): invalid pseudo numeric variable '@FOO'"},
    {"no variable", "@", "1[1,2): invalid variable name"},
};

TEST(NumericExpression, ParseLegacyBlock) {
  for (const BlockCase &c : legacyCases) {
    SCOPED_TRACE(c.name);
    BlockParse parser;
    EXPECT_EQ(parser.parse(c.text, true), c.expected);
  }
}

TEST(NumericExpression, SameLineRuleNeedsBothLines) {
  BlockParse parser;
  // Implicit-check-not patterns and command-line definitions have no line.
  EXPECT_EQ(parser.parse("T+1", false, std::nullopt), "%u (add T 1)=2");
  EXPECT_EQ(parser.parse("T+1", false, 6), "%u (add T 1)=2");
}

TEST(NumericExpression, VariablesOfABlockStayInTheContext) {
  BlockParse parser;
  EXPECT_EQ(parser.parse("A+B+1%"), "6[6,6): unsupported operation '%'");
  // The uses read before the error made their variables, in the table.
  NumericVar *a = parser.context.numericVar("A");
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->value);
  EXPECT_FALSE(a->definitionLine);
  EXPECT_EQ(a->format, (ValueFormat{FormatKind::UnsignedDecimal, 0, false}));
  EXPECT_NE(parser.context.numericVar("B"), nullptr);

  // A new definition is made with the line and the format, but is left
  // for the caller to enter in the table.
  EXPECT_EQ(parser.parse("%X,D:"), "%X def:D");
  EXPECT_EQ(parser.context.numericVar("D"), nullptr);
  // A later definition reuses the variable a use made.
  EXPECT_EQ(parser.parse("A:"), "%u def:A");
  EXPECT_FALSE(a->definitionLine);
}

TEST(NumericExpression, DeepNestingIsRefused) {
  BlockParse parser;
  // A chain nests nothing: any length parses and evaluates, the sanitizer
  // build's larger frames included.
  for (uint32_t length : {maxExpressionDepth, maxExpressionDepth + 1, uint32_t{200000}}) {
    SCOPED_TRACE(length);
    std::string chain = "1";
    for (uint32_t i = 1; i < length; ++i)
      chain += "+1";
    EXPECT_EQ(parser.evaluate(chain), std::to_string(length));
  }
  // Within the nesting limit, a chain inside parentheses and calls too.
  std::string inner = "(";
  for (uint32_t i = 0; i < 1000; ++i)
    inner += "1+";
  inner += "1)";
  EXPECT_EQ(parser.evaluate("add(" + inner + "," + inner + ")-" + inner), "1001");

  std::string depth = std::to_string(maxExpressionDepth);
  std::string nested =
      std::string(maxExpressionDepth, '(') + "1" + std::string(maxExpressionDepth, ')');
  EXPECT_EQ(parser.parse(nested), depth + "[" + depth + "," + std::to_string(nested.size() + 1) +
                                      "): numeric expression nested too deeply");
  std::string calls;
  for (uint32_t i = 0; i < 1000; ++i)
    calls += "add(1,";
  EXPECT_EQ(parser.parse(calls + "1" + std::string(1000, ')')),
            "1534[1534,7002): numeric expression nested too deeply");
}

} // namespace
} // namespace vetline
