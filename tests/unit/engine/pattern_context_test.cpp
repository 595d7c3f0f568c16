#include "engine/pattern_context.h"

#include "engine/engine_errors.h"
#include "support/output_stream.h"
#include "support/source_manager.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace vetline {
namespace {

// Defines `definitions` and returns every error printed as the reader
// prints them.
std::string define(PatternContext &context, SourceManager &sources,
                   std::vector<std::string_view> definitions) {
  Error error = context.defineCommandLineVariables(definitions, sources);
  std::string printed;
  StringOutputStream stream(printed);
  printAllErrors(std::move(error), stream, "");
  return printed;
}

std::string valueOf(const PatternContext &context, std::string_view name) {
  std::optional<std::string_view> value = context.stringValue(name);
  return value ? "=" + std::string(*value) : "<none>";
}

// "VALUE FORMAT" of the numeric variable in the table under `name`.
std::string numericValueOf(const PatternContext &context, std::string_view name) {
  NumericVar *variable = context.numericVar(name);
  if (!variable)
    return "<not in table>";
  if (!variable->value)
    return "<no value>";
  std::string text = variable->value->negative ? "-" + std::to_string(variable->value->magnitude())
                                               : std::to_string(variable->value->value);
  return text + " " + std::string(formatKindName(variable->format.kind));
}

// "NAME VALUE FORMAT" of each numeric variable in `names`, one a line.
std::string numericValuesOf(const PatternContext &context,
                            std::initializer_list<std::string_view> names) {
  std::string text;
  for (std::string_view name : names)
    text += std::string(name) + " " + numericValueOf(context, name) + "\n";
  return text;
}

TEST(PatternContext, GlobalDefinesBuffer) {
  PatternContext context;
  SourceManager sources;
  std::string errors = define(context, sources, {"VAR=a=b", "#NUM=0x10", "E="});
  ASSERT_EQ(sources.bufferCount(), 1u);
  EXPECT_EQ(sources.buffer(1).identifier(), "Global defines");
  EXPECT_EQ(sources.buffer(1).text(), "Global define #1: VAR=a=b\n"
                                      "Global define #2: #NUM=0x10 (parsed as: [[#NUM:0x10]])\n"
                                      "Global define #3: E=\n");
  EXPECT_EQ(errors, "");
  EXPECT_EQ(numericValueOf(context, "NUM"), "16 %u");
  EXPECT_EQ(valueOf(context, "VAR"), "=a=b");
  EXPECT_EQ(valueOf(context, "E"), "=");
  EXPECT_TRUE(context.isStringVarDefined("VAR"));
  // The value views the registered buffer, not the caller's strings.
  EXPECT_EQ(context.stringValue("VAR")->data(), sources.buffer(1).bufferStart() + 22);
}

TEST(PatternContext, FirstDefinitionWins) {
  PatternContext context;
  SourceManager sources;
  EXPECT_EQ(define(context, sources, {"X=1", "X=2", "$G=g"}), "");
  EXPECT_EQ(valueOf(context, "X"), "=1");
  EXPECT_EQ(valueOf(context, "$G"), "=g");
}

TEST(PatternContext, NoDefinitionsMakeNoBuffer) {
  PatternContext context;
  SourceManager sources;
  EXPECT_EQ(define(context, sources, {}), "");
  EXPECT_EQ(sources.bufferCount(), 0u);
}

TEST(PatternContext, EveryBadDefinitionIsReported) {
  PatternContext context;
  SourceManager sources;
  context.makeLineVariable();
  context.setNumericVar("N", context.makeNumericVar("N", std::nullopt));
  std::string errors =
      define(context, sources, {"NOEQUALS", "=v", "@LINE=3", "A+B=1", "1A=2", "N=5", "OK=1"});
  EXPECT_EQ(errors, "Global defines:1:1: error: missing equal sign in global definition\n"
                    "Global define #2: =v\n"
                    "^\n\n"
                    "Global defines:1:19: error: empty variable name\n"
                    "Global define #2: =v\n"
                    "                  ^\n\n"
                    "Global defines:2:19: error: invalid name in string variable definition "
                    "'@LINE'\n"
                    "Global define #3: @LINE=3\n"
                    "                  ^\n\n"
                    "Global defines:3:19: error: invalid name in string variable definition "
                    "'A+B'\n"
                    "Global define #4: A+B=1\n"
                    "                  ^\n\n"
                    "Global defines:4:19: error: invalid variable name\n"
                    "Global define #5: 1A=2\n"
                    "                  ^\n\n"
                    "Global defines:5:19: error: numeric variable with name 'N' already exists\n"
                    "Global define #6: N=5\n"
                    "                  ^\n\n");
  // Good definitions still count.
  EXPECT_EQ(valueOf(context, "OK"), "=1");
  EXPECT_EQ(valueOf(context, "N"), "<none>");
}

TEST(PatternContext, NumericDefinitions) {
  PatternContext context;
  SourceManager sources;
  EXPECT_EQ(
      define(context, sources,
             {"#%x,HEX=255", "#A=1", "#B=A+1", "#$G=-5", "#SPACED = 3 ", "#%d,N=A-B", "#A=7"}),
      "");
  // A later definition of the same name sets the value again (A).
  EXPECT_EQ(numericValuesOf(context, {"HEX", "B", "$G", "SPACED", "N", "A"}),
            "HEX 255 %x\nB 2 %u\n$G -5 %u\nSPACED 3 %u\nN -1 %d\nA 7 %u\n");
  NumericVar *hex = context.numericVar("HEX");
  EXPECT_FALSE(hex->stringValue);
  EXPECT_FALSE(hex->definitionLine);
}

TEST(PatternContext, EveryBadNumericDefinitionIsReported) {
  PatternContext context;
  SourceManager sources;
  std::string errors =
      define(context, sources,
             {"#B=A+1", "#A=1", "S=x", "#S=2", "#N=3", "N=y", "#E=", "#O=0xffffffffffffffff+1",
              "#M=1+", "#@LINE=1", "#%x,A=2", "#U=$X+$Y"});
  EXPECT_EQ(errors, "undefined variable: A\n"
                    "Global defines:4:39: error: string variable with name 'S' already exists\n"
                    "Global define #4: #S=2 (parsed as: [[#S:2]])\n"
                    "                                      ^\n\n"
                    "Global defines:6:19: error: numeric variable with name 'N' already exists\n"
                    "Global define #6: N=y\n"
                    "                  ^\n\n"
                    "Global defines:7:40: error: missing numeric expression in global "
                    "definition\n"
                    "Global define #7: #E= (parsed as: [[#E:]])\n"
                    "                                       ^\n\n"
                    "overflow error\n"
                    "Global defines:9:44: error: missing operand in expression\n"
                    "Global define #9: #M=1+ (parsed as: [[#M:1+]])\n"
                    "                                           ^\n\n"
                    "Global defines:10:44: error: definition of pseudo numeric variable "
                    "unsupported\n"
                    "Global define #10: #@LINE=1 (parsed as: [[#@LINE:1]])\n"
                    "                                           ^\n\n"
                    "Global defines:11:47: error: format different from previous variable "
                    "definition\n"
                    "Global define #11: #%x,A=2 (parsed as: [[#%x,A:2]])\n"
                    "                                              ^\n\n"
                    "undefined variable: $X\n"
                    "undefined variable: $Y\n");
  // Failed definitions leave no value behind (B, E, O).
  EXPECT_EQ(numericValuesOf(context, {"A", "N", "B", "E", "O"}),
            "A 1 %u\nN 3 %u\nB <not in table>\nE <not in table>\nO <not in table>\n");
  EXPECT_EQ(valueOf(context, "S"), "=x");
}

TEST(PatternContext, LineVariable) {
  PatternContext context;
  EXPECT_EQ(context.lineVariable(), nullptr);
  context.makeLineVariable();
  NumericVar *line = context.lineVariable();
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->name, "@LINE");
  EXPECT_FALSE(line->definitionLine);
  EXPECT_EQ(context.numericVar("@LINE"), line);
}

TEST(PatternContext, ClearLocalVariables) {
  PatternContext context;
  context.makeLineVariable();
  NumericVar *line = context.lineVariable();
  context.setNumericValue(line, ExprValue::fromUnsigned(7), std::nullopt);
  NumericVar *local = context.makeNumericVar("L", 3);
  context.setNumericValue(local, ExprValue::fromUnsigned(1), "1");
  NumericVar *global = context.makeNumericVar("$M", 4);
  context.setNumericValue(global, ExprValue::fromUnsigned(2), "2");
  context.setStringValue("X", "x");
  context.setStringValue("$G", "g");
  context.markStringVarDefined("X");

  context.clearLocalVariables();

  EXPECT_EQ(valueOf(context, "X"), "<none>");
  EXPECT_EQ(valueOf(context, "$G"), "=g");
  EXPECT_TRUE(context.isStringVarDefined("X"));
  EXPECT_EQ(context.numericVar("L"), nullptr);
  EXPECT_EQ(context.numericVar("@LINE"), nullptr);
  EXPECT_EQ(context.numericVar("$M"), global);
  // The variables stay alive for the patterns that point at them.
  EXPECT_FALSE(local->stringValue);
  EXPECT_FALSE(local->value);
  EXPECT_FALSE(line->value);
  EXPECT_EQ(global->stringValue, "2");
  EXPECT_EQ(global->value, ExprValue::fromUnsigned(2));
  EXPECT_EQ(context.stringValues().size(), 1u);
}

// Clearing takes local variables out of the table; a value set later puts
// them back, so every later clearing finds them again.
TEST(PatternContext, ClearingFindsVariablesSetAfterAnEarlierClearing) {
  PatternContext context;
  context.makeLineVariable();
  NumericVar *local = context.makeNumericVar("L", 3);
  context.setNumericVar("L", local);
  context.clearLocalVariables();
  for (int block = 0; block < 3; ++block) {
    SCOPED_TRACE(block);
    context.setNumericValue(local, ExprValue::fromUnsigned(2), "2");
    context.setNumericValue(context.lineVariable(), ExprValue::fromUnsigned(9), std::nullopt);
    EXPECT_EQ(context.numericVar("L"), local);
    context.clearLocalVariables();
    EXPECT_FALSE(local->value);
    EXPECT_FALSE(local->stringValue);
    EXPECT_FALSE(context.lineVariable()->value);
    EXPECT_EQ(context.numericVar("L"), nullptr);
  }
}

} // namespace
} // namespace vetline
