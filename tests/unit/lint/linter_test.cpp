#include "lint/linter.h"

#include "support/output_stream.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vetline::lint {
namespace {

// "line:col: message [name]" for each finding, in order of position;
// "unreadable" first when the reader reported an error.
std::string describe(const SourceManager &sources, FindingList findings, bool isReadable) {
  sortFindings(findings, sources);
  std::string out = isReadable ? "" : "unreadable\n";
  for (const Finding &finding : findings) {
    auto [line, column] = sources.lineAndColumnOf(SourceLocation::fromPointer(finding.at));
    out += std::to_string(line) + ":" + std::to_string(column) + ": " + finding.message + " [" +
           std::string(warningName(finding.kind)) + "]\n";
  }
  return out;
}

std::string lint(std::string_view text, const CheckRequest &request) {
  SourceManager sources;
  SmallVector<char, 4096> storage;
  std::unique_ptr<TextBuffer> file = makeTextBufferCopy(text, "check.txt");
  testing::internal::CaptureStderr();
  LintResult result = lintCheckFile(*file, request, sources, storage);
  testing::internal::GetCapturedStderr();
  return describe(sources, std::move(result.findings), result.isReadable);
}

struct LintCase {
  const char *name;
  std::string_view checkText;
  std::vector<std::string_view> implicitCheckNot;
  std::vector<std::string_view> checkPrefixes;
  std::vector<std::string_view> defines;
  const char *expected;
};

const LintCase lintCases[] = {
    {"near misses",
     "CHECK: a\nCHEKC: b\nCHECK-NXT: c\nCHECK-NEXT-: d\nCHECK-LABLE: e\nCHECK-COUNT: f\n"
     "CHECK-CONUT-3: g\nCHECKS: h\n",
     {},
     {},
     {},
     "2:1: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
     "3:1: 'CHECK-NXT:' is not a directive; did you mean 'CHECK-NEXT:'? [directive-typo]\n"
     "4:1: 'CHECK-NEXT-:' is not a directive; did you mean 'CHECK-NEXT:'? [directive-typo]\n"
     "5:1: 'CHECK-LABLE:' is not a directive; did you mean 'CHECK-LABEL:'? [directive-typo]\n"
     "6:1: 'CHECK-COUNT:' is not a directive; did you mean 'CHECK-COUNT-<n>:'? "
     "[directive-typo]\n"
     "7:1: 'CHECK-CONUT-3:' is not a directive; did you mean 'CHECK-COUNT-3:'? "
     "[directive-typo]\n"
     "8:1: 'CHECKS:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"},
    {"letter case, separators and blanks",
     "CHECK: a\ncheck: b\nCheck-Next: c\nCHECK_NEXT: d\nCHECK NEXT: e\nCHECK-NOT : f\n"
     "CHECK-COUNT_2: g\n",
     {},
     {},
     {},
     "2:1: 'check:' is not a directive (directive names are case-sensitive); did you mean "
     "'CHECK:'? [directive-typo]\n"
     "3:1: 'Check-Next:' is not a directive (directive names are case-sensitive); did you "
     "mean 'CHECK-NEXT:'? [directive-typo]\n"
     "4:1: 'CHECK_NEXT:' is not a directive (a suffix is joined to its prefix with '-'); did "
     "you mean 'CHECK-NEXT:'? [directive-typo]\n"
     "5:1: 'CHECK NEXT:' is not a directive (a suffix is joined to its prefix with '-'); did "
     "you mean 'CHECK-NEXT:'? [directive-typo]\n"
     "6:1: 'CHECK-NOT :' is not a directive (no blank may stand before the ':'); did you mean "
     "'CHECK-NOT:'? [directive-typo]\n"
     "7:1: 'CHECK-COUNT_2:' is not a directive (a suffix is joined to its prefix with '-'); "
     "did you mean 'CHECK-COUNT-2:'? [directive-typo]\n"},
    {"no colon",
     "CHECK: a\nCHECK foo\n  CHECK-NEXT x\n// CHECK-DAG y\nCHECK\n",
     {},
     {},
     {},
     "2:1: 'CHECK' is not a directive (no ':' follows it); did you mean 'CHECK:'? "
     "[directive-typo]\n"
     "3:2: 'CHECK-NEXT' is not a directive (no ':' follows it); did you mean 'CHECK-NEXT:'? "
     "[directive-typo]\n"
     "4:4: 'CHECK-DAG' is not a directive (no ':' follows it); did you mean 'CHECK-DAG:'? "
     "[directive-typo]\n"},
    {"after comment markers",
     "CHECK: a\n// CHEKC: b\n# CHEKC: c\n;; CHEKC: d\n-- CHEKC: e\n! CHEKC: f\n"
     " * CHEKC: g\nint x; // check: h\ny = 1 # CHECK_NOT: i\n",
     {},
     {},
     {},
     "2:4: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
     "3:3: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
     "4:4: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
     "5:4: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
     "6:3: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
     "7:4: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
     "8:11: 'check:' is not a directive (directive names are case-sensitive); did you mean "
     "'CHECK:'? [directive-typo]\n"
     "9:9: 'CHECK_NOT:' is not a directive (a suffix is joined to its prefix with '-'); did "
     "you mean 'CHECK-NOT:'? [directive-typo]\n"},
    {"glued to a dash, broken modifier blocks",
     "CHECK: a\n--CHECK: b\n-CHECK-NEXT: c\nCHECK{literal}: d\nCHECK-NXT{LITERAL}: e\n"
     "CHECK{LITERAL} f\n-- CHECK-COUNT-2 g\n--CHECK-COUNT-2 h\n",
     {},
     {},
     {},
     "unreadable\n"
     "2:3: 'CHECK:' is not a directive (the '-' before it makes it part of a longer word); "
     "put a blank before it [directive-typo]\n"
     "3:2: 'CHECK-NEXT:' is not a directive (the '-' before it makes it part of a longer "
     "word); put a blank before it [directive-typo]\n"
     "4:1: 'CHECK{literal}:' is not a directive (a modifier block holds only 'LITERAL' and "
     "ends with '}:'); did you mean 'CHECK{LITERAL}:'? [directive-typo]\n"
     "5:1: 'CHECK-NXT{LITERAL}:' is not a directive; did you mean 'CHECK-NEXT{LITERAL}:'? "
     "[directive-typo]\n"
     "6:1: 'CHECK{LITERAL}' is not a directive (a modifier block holds only 'LITERAL' and "
     "ends with '}:'); did you mean 'CHECK{LITERAL}:'? [directive-typo]\n"
     "8:3: 'CHECK-COUNT-2' is not a directive (the '-' before it makes it part of a longer "
     "word); put a blank before it [directive-typo]\n"},
    {"own prefixes; short ones only near in their suffix",
     "FOO: a\nFOOO: b\nBAR-NXT: c\nBAZ: d\nCHECK: e\nFO-NEXT: f\nBAR: g\n",
     {},
     {"FOO", "BAR"},
     {},
     "2:1: 'FOOO:' is not a directive; did you mean 'FOO:'? [directive-typo]\n"
     "3:1: 'BAR-NXT:' is not a directive; did you mean 'BAR-NEXT:'? [directive-typo]\n"},
    {"not flagged: prose, identifiers, URLs, comments, LITERAL, pattern text",
     "CHECK: a\n"
     "The CHECK-NEXT line below must follow it.\n"
     "Checks: every line is looked at\n"
     "- CHECK the item of a list\n"
     "MY_CHECK_VALUE: 3\nCHECKSUM: 12\nint CHECK_count = 0;\nXCHECK: disabled on purpose\n"
     "// see https://example.com/CHECK: here\n"
     "http://example.org:8080/check\n"
     "CHECK{LITERAL}: [[a]] {{\\d}} [[B:\\w]]\n"
     "COM: CHEKC: commented out\n"
     "RUN: vetline %s | grep CHECK\n"
     "CHECK: x // CHEKC: inside the pattern\n"
     "    CHECK-NEXT: y\n"
     "NOTE: CHECK only the first line\n",
     {},
     {},
     {},
     ""},
    {"escapes",
     "CHECK: {{\\d+}}.{{[\\d_]}} {{\\<x\\>}} {{\\B}} {{\\q}} {{\\.\\[}}\n"
     "CHECK: [[X:\\s+]] [[X]] {{[[:<:]]\\bx}}\n",
     {},
     {},
     {},
     "1:10: '\\d' is not an escape in POSIX regular expressions: it matches 'd'; write "
     "'[0-9]' [non-posix-escape]\n"
     "1:19: inside a bracket expression '\\d' is the two characters '\\' and 'd'; write '0-9' "
     "inside the brackets [non-posix-escape]\n"
     "1:28: '\\<' is not an escape in POSIX regular expressions: it matches '<'; write "
     "'[[:<:]]' [non-posix-escape]\n"
     "1:31: '\\>' is not an escape in POSIX regular expressions: it matches '>'; write "
     "'[[:>:]]' [non-posix-escape]\n"
     "1:38: '\\B' is not an escape in POSIX regular expressions: it matches 'B'; POSIX has no "
     "way to say 'not at a word boundary' [non-posix-escape]\n"
     "1:45: '\\q' is not an escape in POSIX regular expressions: it matches 'q'; write 'q' "
     "alone if that is meant [non-posix-escape]\n"
     "2:12: '\\s' is not an escape in POSIX regular expressions: it matches 's'; write "
     "'[[:space:]]' [non-posix-escape]\n"
     "2:33: '\\b' is not an escape in POSIX regular expressions: it matches 'b'; write "
     "'[[:<:]]' at the start of a word or '[[:>:]]' at its end [non-posix-escape]\n"},
    {"variables in the order checking runs them",
     "CHECK: [[A:a]] [[A]]\n"
     "CHECK: [[U]] [[U:u]]\n"
     "CHECK-NOT: [[B]]\n"
     "CHECK: [[B:b]]\n"
     "CHECK-NOT: [[C]]\n"
     "CHECK-DAG: [[C:c]]\n"
     "CHECK: [[D:d]] [[V]]\n"
     "CHECK: [[D:e]]\n"
     "CHECK: [[D]] [[U]]\n"
     "CHECK: [[E:x]] [[G:g]]\n",
     {"[[G]]"},
     {},
     {"V=1"},
     "2:10: variable 'U' is used before any directive defines it, and no -D gives it "
     "[undefined-variable]\n"
     "6:1: the implicit-check-not pattern '[[G]]' is not searched after the last match of this "
     "CHECK-DAG group; add 'CHECK-NOT: [[G]]' after the group [dag-implicit-gap]\n"
     "7:10: variable 'D' is defined here and defined again before any use of it "
     "[unused-variable]\n"
     "10:10: variable 'E' is defined here but never used [unused-variable]\n"},
    {"implicit patterns after DAG groups",
     "CHECK-DAG: a\nCHECK-DAG: b\nCHECK: c\n"
     "CHECK-DAG: d\nCHECK-NOT: z\nCHECK-NOT: w\nCHECK: e\n"
     "CHECK-DAG: f\nCHECK-NOT: x\nCHECK-DAG: g\nCHECK-NOT: z\nCHECK: h\n"
     "CHECK-NOT: z\nCHECK-DAG: i\n",
     {"z", "w"},
     {},
     {},
     "2:1: the implicit-check-not patterns 'z', 'w' are not searched after the last match of "
     "this CHECK-DAG group; add 'CHECK-NOT: z', 'CHECK-NOT: w' after the group "
     "[dag-implicit-gap]\n"
     "8:1: the implicit-check-not patterns 'z', 'w' are not searched after the last match of "
     "this CHECK-DAG group; add 'CHECK-NOT: z', 'CHECK-NOT: w' after the group "
     "[dag-implicit-gap]\n"
     "10:1: the implicit-check-not pattern 'w' is not searched after the last match of this "
     "CHECK-DAG group; add 'CHECK-NOT: w' after the group [dag-implicit-gap]\n"
     "14:1: the implicit-check-not patterns 'z', 'w' are not searched after the last match of "
     "this CHECK-DAG group; add 'CHECK-NOT: z', 'CHECK-NOT: w' after the group "
     "[dag-implicit-gap]\n"},
    {"DAG groups without implicit patterns", "CHECK-DAG: a\nCHECK-DAG: b\n", {}, {}, {}, ""},
    {"a file the reader rejects still gets its typos",
     "CHECK-NEXT: x\nCHEKC: y\nCHECK: [[Q]]\n",
     {},
     {},
     {},
     "unreadable\n"
     "2:1: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"},
    {"no directive at all",
     "CHEKC: y\n",
     {},
     {},
     {},
     "unreadable\n"
     "1:1: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"},
};

TEST(Linter, Table) {
  for (const LintCase &c : lintCases) {
    SCOPED_TRACE(c.name);
    CheckRequest request;
    request.implicitCheckNot = c.implicitCheckNot;
    request.checkPrefixes = c.checkPrefixes;
    request.globalDefines = c.defines;
    EXPECT_EQ(lint(c.checkText, request), c.expected);
  }
}

TEST(Linter, OptionValues) {
  CheckRequest request;
  // Trailing blanks are dropped from a pattern, but stay in a value.
  request.implicitCheckNot = {"a  b", "x\ty", "fine {{\\d}}  \t"};
  request.globalDefines = {"X=a  b", "#N=1", "Y=ok ", "Z=\t"};
  SourceManager sources;
  FindingList findings = lintOptionValues(request, sources);
  EXPECT_EQ(describe(sources, findings, true),
            "1:23: implicit-check-not pattern holds a run of blanks, which the input never "
            "holds (each run of spaces and tabs in it is read as one space), so the pattern "
            "never matches [blank-run]\n"
            "1:23: implicit-check-not pattern holds a tab, which the input never holds (each "
            "run of spaces and tabs in it is read as one space), so the pattern never matches "
            "[blank-run]\n"
            "1:29: '\\d' is not an escape in POSIX regular expressions: it matches 'd'; write "
            "'[0-9]' [non-posix-escape]\n"
            "1:6: the value of 'X' holds a run of blanks, which the input never holds (each run "
            "of spaces and tabs in it is read as one space), so a pattern using it never "
            "matches [blank-run]\n"
            "1:5: the value of 'Z' holds a tab, which the input never holds (each run of spaces "
            "and tabs in it is read as one space), so a pattern using it never matches "
            "[blank-run]\n");

  request.strictWhitespace = true;
  SourceManager strictSources;
  findings = lintOptionValues(request, strictSources);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, WarningKind::NonPosixEscape);
}

// Printed as compiler warnings, sorted, with the short name; after four on
// one line the rest are left out with one note; disabled kinds never show.
TEST(Linter, PrintsWarnings) {
  std::string checkText = "CHECK: {{\\d\\d\\d\\d\\d\\d}}\nCHEKC: x\nCHECK: [[Q:\\w]]\n";
  SourceManager sources;
  SmallVector<char, 4096> storage;
  std::unique_ptr<TextBuffer> file = makeTextBufferCopy(checkText, "check.txt");
  LintResult result = lintCheckFile(*file, CheckRequest(), sources, storage);
  ASSERT_TRUE(result.isReadable);
  WarningSet enabled;
  enabled.disable(WarningKind::UnusedVariable);
  std::string printed;
  StringOutputStream os(printed);
  EXPECT_EQ(printFindings(result.findings, enabled, sources, os), 6u);
  std::string escape = "'\\d' is not an escape in POSIX regular expressions: it matches 'd'; "
                       "write '[0-9]' [non-posix-escape]\n";
  std::string line = "CHECK: {{\\d\\d\\d\\d\\d\\d}}\n";
  EXPECT_EQ(printed,
            "check.txt:1:10: warning: " + escape + line + "         ^~\n" +
                "check.txt:1:12: warning: " + escape + line + "           ^~\n" +
                "check.txt:1:14: warning: " + escape + line + "             ^~\n" +
                "check.txt:1:16: warning: " + escape + line + "               ^~\n" +
                "check.txt:1:18: note: further warnings on this line are not shown\n" + line +
                "                 ^\n"
                "check.txt:2:1: warning: 'CHEKC:' is not a directive; did you mean 'CHECK:'? "
                "[directive-typo]\nCHEKC: x\n^~~~~~\n"
                "check.txt:3:12: warning: '\\w' is not an escape in POSIX regular expressions: "
                "it matches 'w'; write '[[:alnum:]_]' [non-posix-escape]\n"
                "CHECK: [[Q:\\w]]\n           ^~\n");
}

// Binary bytes, NUL bytes and CR line ends are read like any other text.
TEST(Linter, OddBytes) {
  std::string text("CHECK: a\0b\n\0CHEKC: x\r# CHEKC: y\r\n\xff\xfe // CHECK_NOT: z\n", 53);
  EXPECT_EQ(lint(text, CheckRequest()),
            "2:3: 'CHEKC:' is not a directive; did you mean 'CHECK:'? [directive-typo]\n"
            "3:7: 'CHECK_NOT:' is not a directive (a suffix is joined to its prefix with '-'); "
            "did you mean 'CHECK-NOT:'? [directive-typo]\n");
}

} // namespace
} // namespace vetline::lint
