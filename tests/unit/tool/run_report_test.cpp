#include "tool/driver.h"
#include "tool/run_report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vetline {
namespace {

using Json = nlohmann::json;

// A fresh folder per test, the current directory while it lives, so that
// the names a record carries are the short ones given.
class ReportDir {
public:
  ReportDir() {
    char pattern[] = "/tmp/run_report_test.XXXXXX";
    dir = ::mkdtemp(pattern);
    previous = ::open(".", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(::chdir(dir.c_str()), 0);
  }
  ~ReportDir() {
    EXPECT_EQ(::fchdir(previous), 0);
    ::close(previous);
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
    ::unsetenv("VETLINE_REPORT");
  }
  void write(const std::string &name, const std::string &bytes) const {
    std::ofstream(name, std::ios::binary) << bytes;
  }
  std::string read(const std::string &name) const {
    std::ifstream file(name, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
  }

private:
  std::string dir;
  int previous = -1;
};

struct RunResult {
  int status;
  std::string stderrText;
};

RunResult run(std::vector<std::string> words) {
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStderr();
  int status = runDriver(int(words.size()), argv.data());
  return {status, testing::internal::GetCapturedStderr()};
}

// Every key of `expected` is in `actual` with a matching value; arrays match
// element by element and must be as long.
void expectSubset(const Json &expected, const Json &actual, const std::string &path = "") {
  if (expected.is_object()) {
    ASSERT_TRUE(actual.is_object()) << path << ": " << actual.dump();
    for (const auto &[key, value] : expected.items()) {
      ASSERT_TRUE(actual.contains(key)) << path << "." << key << " missing in " << actual.dump();
      expectSubset(value, actual[key], path + "." + key);
    }
  } else if (expected.is_array()) {
    ASSERT_TRUE(actual.is_array()) << path;
    ASSERT_EQ(expected.size(), actual.size()) << path << ": " << actual.dump();
    for (size_t i = 0; i < expected.size(); ++i)
      expectSubset(expected[i], actual[i], path + "[" + std::to_string(i) + "]");
  } else {
    EXPECT_EQ(expected, actual) << path;
  }
}

struct ReportCase {
  const char *name;
  const char *check;
  const char *input;
  std::vector<std::string> arguments;
  // What the record must hold (a subset of it), as JSON text.
  const char *expected;
};

const ReportCase reportCases[] = {
    {"passes",
     "CHECK: a\nCHECK-NEXT: b\nCHECK-NOT: z\n",
     "a\nb\n",
     {},
     R"({"format": 1, "tool": "vetline", "checkFile": "check.txt", "input": "input.txt",
         "prefixes": ["CHECK"], "status": 0, "outcome": "passed", "error": null,
         "directives": {"checked": 3, "passed": 3, "failed": 0}, "diagnostics": [],
         "failures": []})"},
    {"plain missing",
     "CHECK: a\nCHECK: zz\n",
     "a\nb\n",
     {},
     R"({"status": 1, "outcome": "failed", "directives": {"checked": 2, "passed": 1, "failed": 1},
         "failures": [{"kind": "CHECK", "message": "CHECK: expected string not found in input",
                       "check": {"file": "check.txt", "line": 2, "column": 8, "offset": 16},
                       "pattern": "zz", "match": null, "substitutions": [],
                       "searched": {"start": {"line": 1, "column": 2, "offset": 1},
                                    "end": {"line": 3, "column": 1, "offset": 4}}}]})"},
    {"next on a later line",
     "CHECK: a\nCHECK-NEXT: b\n",
     "a\nx\nb\n",
     {},
     R"({"outcome": "failed", "failures": [{"kind": "CHECK-NEXT", "pattern": "b",
         "match": {"start": {"line": 3, "column": 1, "offset": 4},
                   "end": {"line": 3, "column": 2, "offset": 5}}}]})"},
    {"same on a later line",
     "CHECK: a\nCHECK-SAME: b\n",
     "a\nb\n",
     {},
     R"({"failures": [{"kind": "CHECK-SAME", "check": {"line": 2, "column": 13}}]})"},
    {"empty not empty",
     "CHECK: a\nCHECK-EMPTY:\n",
     "a\nb\n",
     {},
     R"({"failures": [{"kind": "CHECK-EMPTY", "check": {"line": 2}}]})"},
    {"label missing",
     "CHECK-LABEL: f1\nCHECK-LABEL: f2\n",
     "f1\n",
     {},
     R"({"outcome": "failed", "failures": [{"kind": "CHECK-LABEL", "pattern": "f2"}]})"},
    {"dag missing",
     "CHECK-DAG: a\nCHECK-DAG: c\n",
     "a\nb\n",
     {},
     R"({"directives": {"checked": 2, "passed": 1, "failed": 1},
         "failures": [{"kind": "CHECK-DAG", "pattern": "c"}]})"},
    {"count short",
     "CHECK-COUNT-3: a\n",
     "a\na\nb\n",
     {},
     R"x({"failures": [{"kind": "CHECK-COUNT",
                       "message": "CHECK-COUNT: expected string not found in input (3 out of 3)"}]})x"},
    {"not found",
     "CHECK: a\nCHECK-NOT: bad\nCHECK: c\n",
     "a\nso bad\nc\n",
     {},
     R"({"outcome": "failed", "failures": [{"kind": "CHECK-NOT", "pattern": "bad",
         "match": {"start": {"line": 2, "column": 4, "offset": 5},
                   "end": {"line": 2, "column": 7, "offset": 8}},
         "possibleMatch": null}]})"},
    {"implicit not found",
     "CHECK: z\n",
     "warning: x\nz\n",
     {"--implicit-check-not=warning"},
     R"({"failures": [{"kind": "CHECK-NOT", "check": {"file": "command line", "line": 1}}],
         "diagnostics": [{"severity": "error", "buffer": "implicit-check-not"},
                         {"severity": "note", "buffer": "input", "message": "found here",
                          "ranges": [{"start": {"line": 1, "column": 1, "offset": 0},
                                      "end": {"line": 1, "column": 8, "offset": 7}}]}]})"},
    {"numeric substitution",
     "CHECK: n=[[#N:]]\nCHECK-NEXT: m=[[#N+1]]\n",
     "n=5\nm=7\n",
     {},
     R"({"failures": [{"kind": "CHECK-NEXT", "pattern": "m=[[#N+1]]",
         "substitutions": [{"name": "N+1", "value": "6"}],
         "possibleMatch": {"line": 2, "column": 1, "offset": 4}}]})"},
    {"string substitution with escapes",
     "CHECK: [[V:.*]]\nCHECK-NEXT: [[V]]!\n",
     "a\"\tb\nx\n",
     {"--strict-whitespace"},
     R"({"failures": [{"substitutions": [{"name": "V", "value": "a\"\tb"}]}]})"},
    {"command-line error",
     "CHECK: a\n",
     "a\n",
     {"--no-such-option"},
     R"({"status": 1, "outcome": "error", "checkFile": null, "failures": [],
         "error": "vetline: Unknown command line argument '--no-such-option'.  Try: 'vetline --help'"})"},
    {"unreadable check file",
     nullptr,
     "a\n",
     {},
     R"({"status": 2, "outcome": "error", "checkFile": "check.txt",
         "error": "Could not open check file 'check.txt': No such file or directory"})"},
    {"malformed check file",
     "CHECK-NEXT: a\n",
     "a\n",
     {},
     R"({"status": 2, "outcome": "error",
         "error": "found 'CHECK-NEXT' without previous 'CHECK: line",
         "diagnostics": [{"severity": "error", "buffer": "check-file", "file": "check.txt",
                          "position": {"line": 1, "column": 1, "offset": 0}}]})"},
    {"bad definition",
     "CHECK: a\n",
     "a\n",
     {"-D#%q,N=1"},
     R"({"status": 2, "outcome": "error",
         "diagnostics": [{"severity": "error", "buffer": "global-defines"}]})"},
};

TEST(RunReport, RecordsEachKindOfRun) {
  for (const ReportCase &c : reportCases) {
    SCOPED_TRACE(c.name);
    ReportDir dir;
    if (c.check)
      dir.write("check.txt", c.check);
    dir.write("input.txt", c.input);
    ::setenv("VETLINE_REPORT", "report.jsonl", 1);
    std::vector<std::string> words = {"vetline", "check.txt", "--input-file", "input.txt"};
    words.insert(words.end(), c.arguments.begin(), c.arguments.end());
    run(words);
    std::string written = dir.read("report.jsonl");
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.find('\n'), written.size() - 1) << "one line per run";
    Json record = Json::parse(written, nullptr, false);
    ASSERT_FALSE(record.is_discarded()) << written;
    expectSubset(Json::parse(c.expected), record);
  }
}

// Hostile bytes and a 10 MB line still give one valid record, with long
// strings cut with a marker.
TEST(RunReport, HostileBytesGiveAValidRecord) {
  ReportDir dir;
  std::string line = std::string("\x1b]0;title\x07 \xff\xfe\x00 ", 16) + std::string(10 << 20, 'x');
  dir.write("check.txt", "CHECK: " + line + "\n");
  std::string other = line;
  other[other.size() / 2] = 'Q';
  dir.write("input.txt", other + "\n");
  ::setenv("VETLINE_REPORT", "report.jsonl", 1);
  EXPECT_EQ(run({"vetline", "check.txt", "--input-file", "input.txt"}).status, 1);
  std::string written = dir.read("report.jsonl");
  ASSERT_LT(written.size(), size_t(1) << 20);
  Json record = Json::parse(written, nullptr, false);
  ASSERT_FALSE(record.is_discarded());
  std::string pattern = record["failures"][0]["pattern"];
  std::string marker = "...[" + std::to_string(line.size() - maxReportedText) + " more bytes]";
  EXPECT_TRUE(pattern.ends_with(marker)) << pattern.substr(pattern.size() - 40);
  EXPECT_EQ(pattern.substr(0, 10), "\x1b]0;title\x07");
  EXPECT_NE(pattern.find("\xef\xbf\xbd"), std::string::npos) << "invalid UTF-8 is replaced";
}

// A report that cannot be written changes neither the verdict nor the
// output, apart from one warning line, and never waits for a reader.
TEST(RunReport, UnwritableReportLeavesTheRunAlone) {
  ReportDir dir;
  dir.write("check.txt", "CHECK: a\n");
  dir.write("input.txt", "b\n");
  RunResult plain = run({"vetline", "check.txt", "--input-file", "input.txt"});
  ASSERT_EQ(::mkdir("folder", 0755), 0);
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  for (const char *target : {"folder", "fifo", "missing/report.jsonl"}) {
    SCOPED_TRACE(target);
    ::setenv("VETLINE_REPORT", target, 1);
    RunResult reported = run({"vetline", "check.txt", "--input-file", "input.txt"});
    EXPECT_EQ(reported.status, plain.status);
    ASSERT_TRUE(reported.stderrText.starts_with(plain.stderrText));
    std::string warning = reported.stderrText.substr(plain.stderrText.size());
    EXPECT_TRUE(
        warning.starts_with("vetline: cannot write the report to '" + std::string(target) + "': "))
        << warning;
    EXPECT_EQ(warning.find('\n'), warning.size() - 1);
  }
}

// Many runs appending records far larger than one atomic pipe write to one
// file at once: every line is one whole record.
TEST(RunReport, ParallelRunsNeverInterleave) {
  ReportDir dir;
  std::string check, input;
  for (int i = 0; i < 1500; ++i) {
    check += "CHECK: line " + std::to_string(i) + "\n";
    input += "line " + std::to_string(i) + "\n";
  }
  dir.write("check.txt", check);
  dir.write("input.txt", input);
  ::setenv("VETLINE_REPORT", "report.jsonl", 1);
  constexpr int runs = 12;
  std::vector<pid_t> children;
  for (int i = 0; i < runs; ++i) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 2);
      // -v with no dump prints a remark per match: a record of some 400 KB.
      std::vector<std::string> words = {"vetline",   "check.txt", "--input-file",
                                        "input.txt", "-v",        "-dump-input=never"};
      std::vector<char *> argv;
      for (std::string &word : words)
        argv.push_back(word.data());
      argv.push_back(nullptr);
      ::_exit(runDriver(int(words.size()), argv.data()));
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream lines(dir.read("report.jsonl"));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    Json record = Json::parse(line, nullptr, false);
    ASSERT_FALSE(record.is_discarded()) << "line " << count << " of " << line.size() << " bytes";
    // A remark and its "found here" note per match.
    EXPECT_EQ(record["diagnostics"].size(), 3000u);
    EXPECT_GT(line.size(), size_t(65536));
  }
  EXPECT_EQ(count, runs);
}

} // namespace
} // namespace vetline
