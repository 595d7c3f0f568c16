#include "suite/test_script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace vetline::suite {
namespace {

// The script as one line per item, or the error's message.
std::string described(std::string_view fileText) {
  Fallible<TestScript> script = parseTestScript(fileText);
  if (!script)
    return "error: " + script.extractError().takePayload()->message();
  std::string text;
  for (const ScriptCommand &command : script->commands)
    text += "run@" + std::to_string(command.line) + " <" + command.text + ">\n";
  for (const std::string &feature : script->needs)
    text += "needs <" + feature + ">\n";
  if (script->expectFail)
    text += "expect-fail <" + *script->expectFail + ">\n";
  return text;
}

struct ScriptCase {
  const char *file;
  const char *script;
};

const ScriptCase scriptCases[] = {
    {"// RUN: cc {file}\n// RUN: true", "run@1 <cc {file}>\nrun@2 <true>\n"},
    // Continuations join with one space; blanks around the backslash go.
    {"# RUN: a \\\n# RUN:   b\\\n# RUN: c\nRUN: d\n", "run@1 <a b c>\nrun@4 <d>\n"},
    {"RUN: a \\\nnot a run line\nRUN: b\n", "run@1 <a b>\n"},
    {"RUN: true\n; NEEDS: x86 , asan,\nNEEDS: z\n",
     "run@1 <true>\nneeds <x86>\nneeds <asan>\nneeds <z>\n"},
    {"RUN: false\nEXPECT-FAIL: bug 12  \n", "run@1 <false>\nexpect-fail <bug 12>\n"},
    {"RUN: false\r\nEXPECT-FAIL:\r\n", "run@1 <false>\nexpect-fail <>\n"},
    // The reader's rules: inside a word or without a colon, no directive.
    {"XRUN: a\nRUN : b\nRUN-X: c\nRUN: d", "run@4 <d>\n"},
    {"RUN: a\xff\xfe", "run@1 <a\xff\xfe>\n"},
    {"", "error: no RUN: line: the test does not say how to run it"},
    {"NEEDS: x\nEXPECT-FAIL: y\n", "error: no RUN: line: the test does not say how to run it"},
    {"RUN: a\nRUN: b \\\n", "error: line 2: the RUN: line ends in '\\' but no RUN: line follows"},
    {"RUN: a\nNEEDS: , ,\n", "error: line 2: NEEDS: names no feature"},
};

TEST(TestScript, Parse) {
  for (const ScriptCase &c : scriptCases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(described(c.file), c.script);
  }
  EXPECT_EQ(described(std::string_view("RUN: a\nRUN: b\0c\n", 16)),
            "error: line 2: a RUN: line holds a NUL byte");
}

std::string expanded(std::string_view command) {
  std::string file = "/t/a.c", cc = "gcc -O2";
  Fallible<std::string> result =
      expandPlaceholders(command, [&](std::string_view name) -> const std::string * {
        return name == "file" ? &file : name == "cc" ? &cc : nullptr;
      });
  if (!result)
    return "error: " + result.extractError().takePayload()->message();
  return *result;
}

struct ExpandCase {
  const char *command;
  const char *expanded;
};

const ExpandCase expandCases[] = {
    {"{cc} -c {file} -o {file}.o", "gcc -O2 -c /t/a.c -o /t/a.c.o"},
    // What bash reads as braces stays.
    {"echo ${HOME} {a,b} { true; } {} {1..3}", "echo ${HOME} {a,b} { true; } {} {1..3}"},
    {"awk '{{print $1}' {file}", "awk '{print $1}' /t/a.c"},
    {"{{cc}", "{cc}"},
    {"x {", "x {"},
    {"{cc", "{cc"},
    {"{nope}", "error: unknown placeholder '{nope}'"},
    {"{cc} {tmp}", "error: unknown placeholder '{tmp}'"},
};

TEST(TestScript, ExpandPlaceholders) {
  for (const ExpandCase &c : expandCases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(expanded(c.command), c.expanded);
  }
}

// Each quoted text is read back by bash as the one word it was.
TEST(TestScript, ShellQuoteRoundTrip) {
  const char *texts[] = {"plain/path-1.c", "",  "with space", "it's", "a\"b", "$HOME", "`x`",
                         "a\\b",           "*", "new\nline",  "'",    "\xff"};
  for (const char *text : texts) {
    SCOPED_TRACE(text);
    std::string command = "printf %s " + shellQuote(text);
    std::string script = "bash -c \"$1\" _ ";
    FILE *pipe = ::popen(("bash -c " + shellQuote(command)).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string read;
    char chunk[256];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0)
      read.append(chunk, got);
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(read, text);
  }
  EXPECT_EQ(shellQuote("/a/b_c.d"), "/a/b_c.d");
  EXPECT_EQ(shellQuote("a b"), "'a b'");
}

} // namespace
} // namespace vetline::suite
