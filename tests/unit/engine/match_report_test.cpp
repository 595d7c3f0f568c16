// The match records that feed the input dump, and the reports that go with
// them. Whole-run diagnostics without records are pinned by the end-to-end
// cases under tests/e2e/cases/check/.
#include "engine/match_report.h"

#include "engine/check_engine.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <charconv>
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
  // "Kind check-line:column start-line:column-end-line:column [xN/R]
  // [note]", where xN/R tells that the R records from this one on stand N
  // times in a row.
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
    if (diag.repeats != 1)
      text += " x" + std::to_string(diag.repeats) + "/" + std::to_string(diag.repeatedRecords);
    if (!diag.note.empty())
      text += " " + diag.note;
    run.records.push_back(text);
  }
  return run;
}

using Records = std::vector<std::string>;

enum class Verbosity { Quiet, Verbose, VeryVerbose };

struct ReportCase {
  const char *name;
  const char *check;
  const char *input;
  Verbosity verbosity;
  // Whether the run lists its records (a dump may follow).
  bool withList;
  bool passed;
  // Everything printed to standard error.
  std::string errors;
  Records records;
};

const std::string tooLargePrinted = "check.txt:1:8: remark: CHECK: expected string found in input\n"
                                    "CHECK: n=[[#N:]]\n"
                                    "       ^\n"
                                    "input.txt:1:1: note: found here\n"
                                    "n=99999999999999999999\n"
                                    "^~~~~~~~~~~~~~~~~~~~~~\n"
                                    "input.txt:1:3: error: unable to represent numeric value\n"
                                    "n=99999999999999999999\n"
                                    "  ^\n";

const std::string wrongLinePrinted =
    "check.txt:2:13: error: CHECK-NEXT: is on the same line as previous match\n"
    "CHECK-NEXT: [[X:b]]\n"
    "            ^\n"
    "input.txt:1:3: note: 'next' match was here\n"
    "a b\n"
    "  ^\n"
    "input.txt:1:2: note: previous match ended here\n"
    "a b\n"
    " ^\n";

const ReportCase reportCases[] = {
    // Good matches are recorded only under -v, and never printed when listed.
    {"good matches, quiet",
     "CHECK: a[[X:b+]]c\nCHECK: [[X]]\n",
     "abbc bb\n",
     Verbosity::Quiet,
     true,
     true,
     "",
     {}},
    {"good matches, verbose",
     "CHECK: a[[X:b+]]c\nCHECK: [[X]]\n",
     "abbc bb\n",
     Verbosity::Verbose,
     true,
     true,
     "",
     {
         "ExpectedFound 1:8 1:1-1:5",
         "ExpectedFound 1:8 1:2-1:4 captured var \"X\"",
         "ExpectedFound 2:8 1:6-1:8",
         "ExpectedFound 2:8 1:6-1:6 with \"X\" equal to \"bb\"",
     }},
    {"captures follow input order",
     "CHECK: [[B:b]]{{.}}[[A:a]]\n",
     "bxa\n",
     Verbosity::Verbose,
     true,
     true,
     "",
     {
         "ExpectedFound 1:8 1:1-1:4",
         "ExpectedFound 1:8 1:1-1:2 captured var \"B\"",
         "ExpectedFound 1:8 1:3-1:4 captured var \"A\"",
     }},
    {"substitution values show their regex escapes",
     "CHECK: [[X:a.b]]\nCHECK: [[X]]!\n",
     "a.b a.b?\n",
     Verbosity::Quiet,
     false,
     false,
     "check.txt:2:8: error: CHECK: expected string not found in input\n"
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
     "    ^\n",
     {}},
    // The error instead of the not-found lines, one record for the search
    // and one with the message, then the likely match.
    {"undefined variable",
     "CHECK: a[[U]]\n",
     "xx\nab\n",
     Verbosity::Quiet,
     true,
     false,
     "check.txt:1:11: error: undefined variable: U\n"
     "CHECK: a[[U]]\n"
     "          ^\n"
     "input.txt:2:1: note: possible intended match here\n"
     "ab\n"
     "^\n",
     {
         "InvalidPattern 1:8 1:1-3:1",
         "InvalidPattern 1:8 1:1-1:1 undefined variable: U",
         "FuzzyCandidate 1:8 2:1-2:1",
     }},
    {"numeric substitutions and captures",
     "CHECK: [[#%x,A:]] [[#B:]]\nCHECK: [[#A+1]] [[#%d,B-9]]\n",
     "ff 3\n100 -6\n",
     Verbosity::Verbose,
     true,
     true,
     "",
     {
         "ExpectedFound 1:8 1:1-1:5",
         "ExpectedFound 1:8 1:1-1:3 captured var \"A\"",
         "ExpectedFound 1:8 1:4-1:5 captured var \"B\"",
         "ExpectedFound 2:8 2:1-2:7",
         "ExpectedFound 2:8 2:1-2:1 with \"A+1\" equal to \"100\"",
         "ExpectedFound 2:8 2:1-2:1 with \"%d,B-9\" equal to \"-6\"",
     }},
    // The match stands and the value that did not convert follows it as an
    // error, printed (listed or not) and recorded after the match's own
    // record.
    {"captured number too large, listed",
     "CHECK: n=[[#N:]]\n",
     "n=99999999999999999999\n",
     Verbosity::Quiet,
     true,
     false,
     tooLargePrinted,
     {
         "ExpectedFound 1:8 1:1-1:23",
         "ErrorAfterMatch 1:8 1:3-1:23 unable to represent numeric value",
     }},
    {"captured number too large, not listed",
     "CHECK: n=[[#N:]]\n",
     "n=99999999999999999999\n",
     Verbosity::Quiet,
     false,
     false,
     tooLargePrinted,
     {}},
    {"numeric substitution failures",
     "CHECK: [[#add(U,V)]] [[#0-1]]\n",
     "x\n",
     Verbosity::Quiet,
     true,
     false,
     "check.txt:1:15: error: undefined variable: U\n"
     "CHECK: [[#add(U,V)]] [[#0-1]]\n"
     "              ^\n"
     "check.txt:1:17: error: undefined variable: V\n"
     "CHECK: [[#add(U,V)]] [[#0-1]]\n"
     "                ^\n"
     "check.txt:1:25: error: unable to substitute variable or numeric "
     "expression: overflow error\n"
     "CHECK: [[#add(U,V)]] [[#0-1]]\n"
     "                        ^\n",
     {
         "InvalidPattern 1:8 1:1-2:1",
         "InvalidPattern 1:8 1:1-1:1 undefined variable: U",
         "InvalidPattern 1:8 1:1-1:1 undefined variable: V",
         "InvalidPattern 1:8 1:1-1:1 unable to substitute variable or numeric expression: "
         "overflow error",
     }},
    {"undefined variable in a NOT pattern fails",
     "CHECK-NOT: [[U]]\nCHECK: a\n",
     "a\n",
     Verbosity::Quiet,
     true,
     false,
     "check.txt:1:14: error: undefined variable: U\n"
     "CHECK-NOT: [[U]]\n"
     "             ^\n",
     {
         "InvalidPattern 1:12 1:1-1:1",
         "InvalidPattern 1:12 1:1-1:1 undefined variable: U",
     }},
    // Under -v the found records of a match on the wrong line are relabelled.
    {"wrong line, verbose",
     "CHECK: a\nCHECK-NEXT: [[X:b]]\n",
     "a b\n",
     Verbosity::Verbose,
     true,
     false,
     wrongLinePrinted,
     {
         "ExpectedFound 1:8 1:1-1:2",
         "WrongLine 2:13 1:3-1:4",
         "WrongLine 2:13 1:3-1:4 captured var \"X\"",
     }},
    {"wrong line, quiet",
     "CHECK: a\nCHECK-NEXT: [[X:b]]\n",
     "a b\n",
     Verbosity::Quiet,
     true,
     false,
     wrongLinePrinted,
     {"WrongLine 2:13 1:3-1:4"}},
    {"failures are recorded and printed",
     "CHECK: a\nCHECK-NOT: b\nCHECK: c\n",
     "a b c\n",
     Verbosity::Quiet,
     true,
     false,
     "check.txt:2:12: error: CHECK-NOT: excluded string found in input\n"
     "CHECK-NOT: b\n"
     "           ^\n"
     "input.txt:1:3: note: found here\n"
     "a b c\n"
     "  ^\n",
     {"ExcludedFound 2:12 1:3-1:4"}},
    {"very verbose records absent NOT patterns and discarded DAG matches",
     "CHECK-NOT: x\nCHECK-DAG: a\nCHECK-DAG: a\nCHECK: end\n",
     "a a end\n",
     Verbosity::VeryVerbose,
     true,
     true,
     "",
     {
         "ExpectedFound 2:12 1:1-1:2",
         "Discarded 3:12 1:1-1:2",
         "ExpectedFound 3:12 1:3-1:4",
         "ExcludedAbsent 1:12 1:1-1:1",
         "ExpectedFound 4:8 1:5-1:8",
     }},
    {"discarded DAG match note without a list",
     "CHECK-DAG: a\nCHECK-DAG: a\nCHECK: end\n",
     "a a end\n",
     Verbosity::VeryVerbose,
     false,
     true,
     "check.txt:1:12: remark: CHECK-DAG: expected string found in input\n"
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
     "    ^~~\n",
     {}},
};

// Repetitions of a COUNT directive that find the same empty match make the
// same records again: they are kept once, with their number.
const ReportCase repeatCases[] = {
    {"repeated empty matches are recorded once",
     "CHECK: a\nCHECK-COUNT-5: {{x*}}[[X:y*]]\n",
     "a\nb\n",
     Verbosity::Verbose,
     true,
     true,
     "",
     {
         "ExpectedFound 1:8 1:1-1:2",
         "ExpectedFound 2:16 1:2-1:2 x5/2",
         "ExpectedFound 2:16 1:2-1:2 captured var \"X\"",
     }},
    {"only the repetitions after the first empty one",
     "CHECK-COUNT-4: {{x*}}\n",
     "xxa\n",
     Verbosity::Verbose,
     true,
     true,
     "",
     {
         "ExpectedFound 1:16 1:1-1:3",
         "ExpectedFound 1:16 1:3-1:3 x3/1",
     }},
    {"without -v nothing is recorded",
     "CHECK-COUNT-2147483647: {{x*}}\n",
     "a\n",
     Verbosity::Quiet,
     true,
     true,
     "",
     {}},
};

TEST(MatchReport, RepeatedEmptyMatches) {
  for (const ReportCase &c : repeatCases) {
    SCOPED_TRACE(c.name);
    CheckRequest request;
    request.verbose = c.verbosity != Verbosity::Quiet;
    RunResult run = verify(c.check, c.input, request, c.withList);
    EXPECT_EQ(run.passed, c.passed);
    EXPECT_EQ(run.errors, c.errors);
    EXPECT_EQ(run.records, c.records);
  }
}

// The count in the note of a record that stands for left-out discarded
// matches; 0 for any other note.
uint64_t droppedCount(const std::string &record) {
  size_t at = record.find("discard: ");
  if (at == std::string::npos)
    return 0;
  const char *digits = record.data() + at + 9;
  uint64_t count = 0;
  std::from_chars(digits, record.data() + record.size(), count);
  return count;
}

// -vv keeps the records of max(1024, 8 x patterns) discarded matches per
// DAG group; each later walk leaves one record counting its own.
TEST(MatchReport, DiscardedDagMatchesBeyondTheRoomAreCounted) {
  struct RoomCase {
    size_t patterns;
    size_t kept;
    // Records that count left-out matches, and the first of them.
    size_t counting;
    const char *firstCounting;
  };
  const RoomCase cases[] = {
      {45, 990, 0, ""},
      // 45 patterns discard 990; the 46th keeps 34 of its 45 and counts 11
      // from line 35 on, every later one counts all of its own from line 1.
      {60, 1024, 15, "Discarded 46:12 35:1-35:1 discard: 11 overlapping matches not shown"},
      {200, 1600, 143, "Discarded 58:12 5:1-5:1 discard: 53 overlapping matches not shown"},
  };
  for (const RoomCase &c : cases) {
    SCOPED_TRACE(c.patterns);
    std::string check;
    std::string input;
    for (size_t i = 0; i < c.patterns; ++i) {
      check += "CHECK-DAG: x\n";
      input += "x\n";
    }
    CheckRequest request;
    request.verbose = true;
    request.veryVerbose = true;
    RunResult run = verify(check, input, request, true);
    EXPECT_TRUE(run.passed);
    size_t found = 0;
    size_t kept = 0;
    uint64_t counted = 0;
    std::vector<std::string> counting;
    for (const std::string &record : run.records) {
      found += record.starts_with("ExpectedFound");
      if (!record.starts_with("Discarded"))
        continue;
      uint64_t count = droppedCount(record);
      kept += count == 0;
      counted += count;
      if (count > 0)
        counting.push_back(record);
    }
    // And the end of the input.
    EXPECT_EQ(found, c.patterns + 1);
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(kept + counted, c.patterns * (c.patterns - 1) / 2);
    ASSERT_EQ(counting.size(), c.counting);
    if (!counting.empty()) {
      EXPECT_EQ(counting.front(), c.firstCounting);
      EXPECT_EQ(counting.back(), "Discarded " + std::to_string(c.patterns) +
                                     ":12 1:1-1:1 discard: " + std::to_string(c.patterns - 1) +
                                     " overlapping matches not shown");
    }
  }
}

TEST(MatchReport, Reports) {
  for (const ReportCase &c : reportCases) {
    SCOPED_TRACE(c.name);
    CheckRequest request;
    request.verbose = c.verbosity != Verbosity::Quiet;
    request.veryVerbose = c.verbosity == Verbosity::VeryVerbose;
    RunResult run = verify(c.check, c.input, request, c.withList);
    EXPECT_EQ(run.passed, c.passed);
    EXPECT_EQ(run.errors, c.errors);
    EXPECT_EQ(run.records, c.records);
  }
}

} // namespace
} // namespace vetline
