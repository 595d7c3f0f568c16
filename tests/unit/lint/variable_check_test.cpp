#include "lint/variable_check.h"

#include <gtest/gtest.h>

#include <string>

namespace vetline::lint {
namespace {

std::string describe(const std::vector<VariableEvent> &events) {
  std::string out;
  for (const VariableEvent &event : events)
    out += std::string(event.isDefinition ? "def " : "use ") +
           (event.kind == VariableKind::Numeric ? "#" : "") + std::string(event.name) + " ";
  return out;
}

struct EventCase {
  const char *pattern;
  const char *events;
};

const EventCase eventCases[] = {
    {"[[A:x]] [[A]] [[$B]]", "def A use A use $B "},
    {"[[#N:]] [[#%x,M:]] [[#%.4X, P :]]", "def #N def #M def #P "},
    {"[[#N:N+1]]", "use #N def #N "},
    {"[[#add(X, max(Y,0x1f)) * 3]]", "use #X use #Y "},
    {"[[#%d,Q:-R]] [[#==S]]", "use #R def #Q use #S "},
    {"[[@LINE]] [[#@LINE+1]] [[@LINE:x]] [[#@LINE:]]", ""},
    {"[[X Y]] [[1X]] [[X+1]] [[]] [[X:a]b]] [[Z]]", ""},
    {"{{[[A]]}}", ""},
};

TEST(VariableCheck, Events) {
  std::vector<VariableEvent> events;
  std::vector<PatternPiece> pieces;
  for (const EventCase &c : eventCases) {
    SCOPED_TRACE(c.pattern);
    patternVariables(c.pattern, events, pieces);
    EXPECT_EQ(describe(events), c.events);
  }
}

TEST(VariableCheck, CommandLine) {
  EXPECT_EQ(describe({commandLineVariable("NAME=a=b")}), "def NAME ");
  EXPECT_EQ(describe({commandLineVariable("#N=1")}), "def #N ");
  EXPECT_EQ(describe({commandLineVariable("#%x, M =0x10")}), "def #M ");
  EXPECT_EQ(commandLineVariable("NOEQUAL").name, "");
}

// Numeric variables follow the same order rules as string ones, whatever
// the reader of this build makes of numeric blocks.
TEST(VariableCheck, NumericVariables) {
  std::string text = "[[#N+1]]\n[[#N:]]\n[[#M:]] [[#K:N+1]]\n[[#K]] [[#G]]\n";
  auto line = [&text](int n) {
    size_t start = 0;
    for (int i = 1; i < n; ++i)
      start = text.find('\n', start) + 1;
    return std::string_view(text).substr(start, text.find('\n', start) - start);
  };
  std::vector<DirectiveSighting> sightings = {
      {"CHECK", {DirectiveKind::Plain, 1, 0}, line(1)},
      {"CHECK", {DirectiveKind::Plain, 1, 0}, line(2)},
      {"CHECK", {DirectiveKind::Next, 1, 0}, line(3)},
      {"CHECK", {DirectiveKind::Plain, 1, 0}, line(4)},
  };
  CheckRequest request;
  request.globalDefines = {"#G=3"};
  FindingList findings;
  findVariableProblems(sightings, request, findings);
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].message,
            "numeric variable 'N' is used before any directive defines it, and no -D gives it");
  EXPECT_EQ(findings[0].at, text.data() + 3);
  EXPECT_EQ(findings[1].message, "numeric variable 'M' is defined here but never used");
  EXPECT_EQ(findings[1].at, line(3).data() + 3);
}

} // namespace
} // namespace vetline::lint
