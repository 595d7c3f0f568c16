// What one run of one test came to, as the console, the reports and the
// list of failed tests read it. Held only until every reader has seen it,
// so memory does not grow with the suite.
#pragma once

#include "suite/test_finder.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vetline::suite {

// The numbers are the order of the summary lines.
enum class TestStatus {
  Passed = 0,
  Failed = 1,
  Skipped = 2,
  ExpectedFailure = 3,
  UnexpectedPass = 4,
  Timeout = 5,
  // The runner could not run it: no RUN: line, an unknown placeholder, a
  // command that could not be started.
  Broken = 6,
};

inline constexpr size_t testStatusCount = 7;

// "passed", "failed", "skipped", "expected-failure", "unexpected-pass",
// "timeout", "broken": the status in reports, never changed.
std::string_view statusName(TestStatus status);

// Whether the status counts as failed in the last line and the exit status.
bool countsAsFailure(TestStatus status);

struct StreamCapture {
  // The whole output when it fits the limit; else cut in the middle with a
  // marker saying where the whole is.
  std::string shown;
  uint64_t size = 0;
  // Where the whole output went when it was cut; empty otherwise.
  std::string file;
};

struct CommandResult {
  // With its placeholders replaced.
  std::string command;
  size_t line = 0;
  // The exit status, or -1 when the command ended by a signal (then
  // `signal`) or was stopped for the time limit.
  int exitStatus = -1;
  int signal = 0;
  bool timedOut = false;
  StreamCapture output;
  StreamCapture error;
};

struct TestResult {
  const TestEntry *test = nullptr;
  // 1-based; above 1 only with --repeat.
  unsigned repetition = 1;
  TestStatus status = TestStatus::Passed;
  double seconds = 0;
  // Why it was skipped or broken, or the reason of EXPECT-FAIL.
  std::string message;
  // The commands that ran, the failing one last.
  std::vector<CommandResult> commands;
  // The lines the tool appended to VETLINE_REPORT during the test, as read.
  std::vector<std::string> vetlineRecords;
};

} // namespace vetline::suite
