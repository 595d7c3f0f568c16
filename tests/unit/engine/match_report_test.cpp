// The match records that feed the input dump, and the reports that go with
// them. Whole-run diagnostics without records are pinned by the end-to-end
// cases under tests/e2e/cases/check/.
#include "engine/match_report.h"

#include "engine/check_engine.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vetline {
namespace {

const char *kindName(MatchKind kind) {
  switch (kind) {
  case MatchKind::ExpectedFound:
    return "ExpectedFound";
  case MatchKind::ExcludedFound:
    return "ExcludedFound";
  case MatchKind::WrongLine:
    return "WrongLine";
  case MatchKind::Discarded:
    return "Discarded";
  case MatchKind::ErrorAfterMatch:
    return "ErrorAfterMatch";
  case MatchKind::ExcludedAbsent:
    return "ExcludedAbsent";
  case MatchKind::ExpectedMissing:
    return "ExpectedMissing";
  case MatchKind::InvalidPattern:
    return "InvalidPattern";
  case MatchKind::FuzzyCandidate:
    return "FuzzyCandidate";
  }
  return "?";
}

struct RunResult {
  bool passed = false;
  std::string errors;
  // "Kind check-line:column start-line:column-end-line:column [note]".
  std::vector<std::string> records;
};

// Reads `check` and verifies `input` (both already canonical), capturing
// standard error; with `withList`, the records are listed too.
RunResult verify(std::string_view check, std::string_view input, const CheckRequest &request,
                 bool withList) {
  SourceManager sourceManager;
  CheckEngine engine(request);
  Regex prefixes = engine.buildPrefixRegex();
  unsigned checkBuffer = sourceManager.addBuffer(makeTextBufferCopy(check, "check.txt"));
  EXPECT_FALSE(engine.loadDirectives(sourceManager, sourceManager.buffer(checkBuffer).text(),
                                     prefixes, nullptr));
  unsigned inputBuffer = sourceManager.addBuffer(makeTextBufferCopy(input, "input.txt"));
  MatchDiagList diags;
  RunResult run;
  testing::internal::CaptureStderr();
  run.passed = engine.verifyInput(sourceManager, sourceManager.buffer(inputBuffer).text(),
                                  withList ? &diags : nullptr);
  run.errors = testing::internal::GetCapturedStderr();
  for (const MatchDiag &diag : diags) {
    auto [line, column] = sourceManager.lineAndColumnOf(diag.checkLocation);
    std::string text = std::string(kindName(diag.matchKind)) + " " + std::to_string(line) + ":" +
                       std::to_string(column) + " " + std::to_string(diag.startLine) + ":" +
                       std::to_string(diag.startColumn) + "-" + std::to_string(diag.endLine) + ":" +
                       std::to_string(diag.endColumn);
    if (!diag.note.empty())
      text += " " + diag.note;
    run.records.push_back(text);
  }
  return run;
}

using Records = std::vector<std::string>;

CheckRequest verbosity(bool verbose, bool veryVerbose) {
  CheckRequest request;
  request.verbose = verbose || veryVerbose;
  request.veryVerbose = veryVerbose;
  return request;
}

TEST(MatchReport, GoodMatchesAreRecordedOnlyUnderVerboseAndNeverPrinted) {
  const char *check = "CHECK: a[[X:b+]]c\nCHECK: [[X]]\n";
  const char *input = "abbc bb\n";
  RunResult quiet = verify(check, input, verbosity(false, false), true);
  EXPECT_TRUE(quiet.passed);
  EXPECT_EQ(quiet.errors, "");
  EXPECT_EQ(quiet.records, Records{});

  RunResult verbose = verify(check, input, verbosity(true, false), true);
  EXPECT_TRUE(verbose.passed);
  EXPECT_EQ(verbose.errors, "");
  EXPECT_EQ(verbose.records, (Records{
                                 "ExpectedFound 1:8 1:1-1:5",
                                 "ExpectedFound 1:8 1:2-1:4 captured var \"X\"",
                                 "ExpectedFound 2:8 1:6-1:8",
                                 "ExpectedFound 2:8 1:6-1:6 with \"X\" equal to \"bb\"",
                             }));
}

TEST(MatchReport, CapturesFollowInputOrder) {
  RunResult run = verify("CHECK: [[B:b]]{{.}}[[A:a]]\n", "bxa\n", verbosity(true, false), true);
  EXPECT_EQ(run.records, (Records{
                             "ExpectedFound 1:8 1:1-1:4",
                             "ExpectedFound 1:8 1:1-1:2 captured var \"B\"",
                             "ExpectedFound 1:8 1:3-1:4 captured var \"A\"",
                         }));
}

TEST(MatchReport, SubstitutionValuesShowTheirRegexEscapes) {
  RunResult run =
      verify("CHECK: [[X:a.b]]\nCHECK: [[X]]!\n", "a.b a.b?\n", verbosity(false, false), false);
  EXPECT_FALSE(run.passed);
  EXPECT_EQ(run.errors, "check.txt:2:8: error: CHECK: expected string not found in input\n"
                        "CHECK: [[X]]!\n"
                        "       ^\n"
                        "input.txt:1:4: note: scanning from here\n"
                        "a.b a.b?\n"
                        "   ^\n"
                        "input.txt:1:4: note: with \"X\" equal to \"a\\\\.b\"\n"
                        "a.b a.b?\n"
                        "   ^\n"
                        "input.txt:1:5: note: possible intended match here\n"
                        "a.b a.b?\n"
                        "    ^\n");
}

// An undefined variable: the error instead of the not-found lines, one
// record for the search and one with the message, then the likely match.
TEST(MatchReport, UndefinedVariable) {
  RunResult run = verify("CHECK: a[[U]]\n", "xx\nab\n", verbosity(false, false), true);
  EXPECT_FALSE(run.passed);
  EXPECT_EQ(run.errors, "check.txt:1:11: error: undefined variable: U\n"
                        "CHECK: a[[U]]\n"
                        "          ^\n"
                        "input.txt:2:1: note: possible intended match here\n"
                        "ab\n"
                        "^\n");
  EXPECT_EQ(run.records, (Records{
                             "InvalidPattern 1:8 1:1-3:1",
                             "InvalidPattern 1:8 1:1-1:1 undefined variable: U",
                             "FuzzyCandidate 1:8 2:1-2:1",
                         }));
}

TEST(MatchReport, NumericSubstitutionsAndCaptures) {
  RunResult run = verify("CHECK: [[#%x,A:]] [[#B:]]\nCHECK: [[#A+1]] [[#%d,B-9]]\n",
                         "ff 3\n100 -6\n", verbosity(true, false), true);
  EXPECT_TRUE(run.passed);
  EXPECT_EQ(run.records, (Records{
                             "ExpectedFound 1:8 1:1-1:5",
                             "ExpectedFound 1:8 1:1-1:3 captured var \"A\"",
                             "ExpectedFound 1:8 1:4-1:5 captured var \"B\"",
                             "ExpectedFound 2:8 2:1-2:7",
                             "ExpectedFound 2:8 2:1-2:1 with \"A+1\" equal to \"100\"",
                             "ExpectedFound 2:8 2:1-2:1 with \"%d,B-9\" equal to \"-6\"",
                         }));
}

// The match stands and the value that did not convert follows it as an
// error, printed and recorded after the match's own record.
TEST(MatchReport, CapturedNumberTooLarge) {
  const char *check = "CHECK: n=[[#N:]]\n";
  const char *input = "n=99999999999999999999\n";
  RunResult listed = verify(check, input, verbosity(false, false), true);
  EXPECT_FALSE(listed.passed);
  std::string printed = "check.txt:1:8: remark: CHECK: expected string found in input\n"
                        "CHECK: n=[[#N:]]\n"
                        "       ^\n"
                        "input.txt:1:1: note: found here\n"
                        "n=99999999999999999999\n"
                        "^~~~~~~~~~~~~~~~~~~~~~\n"
                        "input.txt:1:3: error: unable to represent numeric value\n"
                        "n=99999999999999999999\n"
                        "  ^\n";
  EXPECT_EQ(listed.errors, printed);
  EXPECT_EQ(listed.records, (Records{
                                "ExpectedFound 1:8 1:1-1:23",
                                "ErrorAfterMatch 1:8 1:3-1:23 unable to represent numeric value",
                            }));
  RunResult unlisted = verify(check, input, verbosity(false, false), false);
  EXPECT_EQ(unlisted.errors, printed);
}

TEST(MatchReport, NumericSubstitutionFailures) {
  RunResult run = verify("CHECK: [[#add(U,V)]] [[#0-1]]\n", "x\n", verbosity(false, false), true);
  EXPECT_FALSE(run.passed);
  EXPECT_EQ(run.errors, "check.txt:1:15: error: undefined variable: U\n"
                        "CHECK: [[#add(U,V)]] [[#0-1]]\n"
                        "              ^\n"
                        "check.txt:1:17: error: undefined variable: V\n"
                        "CHECK: [[#add(U,V)]] [[#0-1]]\n"
                        "                ^\n"
                        "check.txt:1:25: error: unable to substitute variable or numeric "
                        "expression: overflow error\n"
                        "CHECK: [[#add(U,V)]] [[#0-1]]\n"
                        "                        ^\n");
  EXPECT_EQ(run.records,
            (Records{
                "InvalidPattern 1:8 1:1-2:1",
                "InvalidPattern 1:8 1:1-1:1 undefined variable: U",
                "InvalidPattern 1:8 1:1-1:1 undefined variable: V",
                "InvalidPattern 1:8 1:1-1:1 unable to substitute variable or numeric expression: "
                "overflow error",
            }));
}

TEST(MatchReport, UndefinedVariableInNotPatternFails) {
  RunResult run = verify("CHECK-NOT: [[U]]\nCHECK: a\n", "a\n", verbosity(false, false), true);
  EXPECT_FALSE(run.passed);
  EXPECT_EQ(run.errors, "check.txt:1:14: error: undefined variable: U\n"
                        "CHECK-NOT: [[U]]\n"
                        "             ^\n");
  EXPECT_EQ(run.records, (Records{
                             "InvalidPattern 1:12 1:1-1:1",
                             "InvalidPattern 1:12 1:1-1:1 undefined variable: U",
                         }));
}

TEST(MatchReport, WrongLineRelabelsTheFoundRecordsUnderVerbose) {
  const char *check = "CHECK: a\nCHECK-NEXT: [[X:b]]\n";
  RunResult verbose = verify(check, "a b\n", verbosity(true, false), true);
  EXPECT_FALSE(verbose.passed);
  EXPECT_EQ(verbose.records, (Records{
                                 "ExpectedFound 1:8 1:1-1:2",
                                 "WrongLine 2:13 1:3-1:4",
                                 "WrongLine 2:13 1:3-1:4 captured var \"X\"",
                             }));
  RunResult quiet = verify(check, "a b\n", verbosity(false, false), true);
  EXPECT_EQ(quiet.records, Records{"WrongLine 2:13 1:3-1:4"});
}

TEST(MatchReport, FailuresAreRecordedAndPrinted) {
  RunResult run =
      verify("CHECK: a\nCHECK-NOT: b\nCHECK: c\n", "a b c\n", verbosity(false, false), true);
  EXPECT_FALSE(run.passed);
  EXPECT_EQ(run.errors, "check.txt:2:12: error: CHECK-NOT: excluded string found in input\n"
                        "CHECK-NOT: b\n"
                        "           ^\n"
                        "input.txt:1:3: note: found here\n"
                        "a b c\n"
                        "  ^\n");
  EXPECT_EQ(run.records, Records{"ExcludedFound 2:12 1:3-1:4"});
}

TEST(MatchReport, VeryVerboseRecordsAbsentNotPatternsAndDiscardedDagMatches) {
  RunResult run = verify("CHECK-NOT: x\nCHECK-DAG: a\nCHECK-DAG: a\nCHECK: end\n", "a a end\n",
                         verbosity(false, true), true);
  EXPECT_TRUE(run.passed);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.records, (Records{
                             "ExpectedFound 2:12 1:1-1:2",
                             "Discarded 3:12 1:1-1:2",
                             "ExpectedFound 3:12 1:3-1:4",
                             "ExcludedAbsent 1:12 1:1-1:1",
                             "ExpectedFound 4:8 1:5-1:8",
                         }));
}

TEST(MatchReport, DiscardedDagMatchNoteWithoutList) {
  RunResult run = verify("CHECK-DAG: a\nCHECK-DAG: a\nCHECK: end\n", "a a end\n",
                         verbosity(false, true), false);
  EXPECT_TRUE(run.passed);
  EXPECT_EQ(run.errors, "check.txt:1:12: remark: CHECK-DAG: expected string found in input\n"
                        "CHECK-DAG: a\n"
                        "           ^\n"
                        "input.txt:1:1: note: found here\n"
                        "a a end\n"
                        "^\n"
                        "check.txt:2:12: remark: CHECK-DAG: expected string found in input\n"
                        "CHECK-DAG: a\n"
                        "           ^\n"
                        "input.txt:1:1: note: found here\n"
                        "a a end\n"
                        "^\n"
                        "input.txt:1:1: note: match discarded, overlaps earlier DAG match here\n"
                        "a a end\n"
                        "^\n"
                        "check.txt:2:12: remark: CHECK-DAG: expected string found in input\n"
                        "CHECK-DAG: a\n"
                        "           ^\n"
                        "input.txt:1:3: note: found here\n"
                        "a a end\n"
                        "  ^\n"
                        "check.txt:3:8: remark: CHECK: expected string found in input\n"
                        "CHECK: end\n"
                        "       ^\n"
                        "input.txt:1:5: note: found here\n"
                        "a a end\n"
                        "    ^~~\n");
}

} // namespace
} // namespace vetline
