#include "engine/pattern_context.h"

#include "engine/engine_errors.h"
#include "support/output_stream.h"
#include "support/source_manager.h"

#include <gtest/gtest.h>

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

TEST(PatternContext, GlobalDefinesBuffer) {
  PatternContext context;
  SourceManager sources;
  std::string errors = define(context, sources, {"VAR=a=b", "#NUM=0x10", "E="});
  ASSERT_EQ(sources.bufferCount(), 1u);
  EXPECT_EQ(sources.buffer(1).identifier(), "Global defines");
  EXPECT_EQ(sources.buffer(1).text(), "Global define #1: VAR=a=b\n"
                                      "Global define #2: #NUM=0x10 (parsed as: [[#NUM:0x10]])\n"
                                      "Global define #3: E=\n");
  // Numeric definitions are refused for now, at the block they parse as.
  EXPECT_EQ(errors, "Global defines:2:43: error: numeric variables and expressions are not "
                    "supported yet\n"
                    "Global define #2: #NUM=0x10 (parsed as: [[#NUM:0x10]])\n"
                    "                                          ^\n\n");
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
  line->stringValue = "7";
  NumericVar *local = context.makeNumericVar("L", 3);
  local->stringValue = "1";
  NumericVar *global = context.makeNumericVar("$M", 4);
  global->stringValue = "2";
  context.setNumericVar("L", local);
  context.setNumericVar("$M", global);
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
  EXPECT_FALSE(line->stringValue);
  EXPECT_EQ(global->stringValue, "2");
  EXPECT_EQ(context.stringValues().size(), 1u);
}

} // namespace
} // namespace vetline
