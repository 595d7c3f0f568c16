// What a person sees: on a terminal a one-line progress bar redrawn in
// place, otherwise one line per finished test; every failure with its
// command, exit status and captured output; then the summary, whose last
// line is "N passed, N failed" (and ", N skipped" when any were).
#pragma once

#include "suite/test_result.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vetline {
class OutputStream;
}

namespace vetline::suite {

struct ConsoleSettings {
  // Draw the progress bar instead of a line per test.
  bool isTerminal = false;
  // Keep colour sequences in captured output; otherwise they are removed.
  bool keepsColors = false;
  // Columns of the terminal.
  unsigned width = 80;
  // No line for tests that passed, were skipped or failed as expected.
  bool isQuiet = false;
  // How many of the slowest tests the summary lists.
  unsigned slowest = 0;
  // Runs of each test (--repeat); above 1 the run is named after the test.
  unsigned repeat = 1;
};

class Console {
public:
  Console(OutputStream &os, const ConsoleSettings &settings, size_t total);

  // Prints what `result` needs and counts it.
  void record(const TestResult &result);
  // Redraws the progress bar (its clock moves on).
  void tick();
  // Prints the summary; `unfinished` tests did not finish before an
  // interrupt.
  void printSummary(double wallSeconds, size_t unfinished);

  size_t count(TestStatus status) const { return counts[size_t(status)]; }
  size_t failedCount() const;
  size_t passedCount() const;

private:
  void printLine(const TestResult &result);
  void printFailure(const TestResult &result);
  void printStream(std::string_view title, const StreamCapture &stream);
  void clearBar();
  void drawBar();
  std::string shownName(const TestResult &result) const;

  OutputStream &os;
  ConsoleSettings settings;
  size_t total;
  size_t done = 0;
  std::array<size_t, testStatusCount> counts{};
  std::chrono::steady_clock::time_point started;
  bool isBarShown = false;
  // The slowest tests so far, quickest first, at most settings.slowest.
  std::vector<std::pair<double, std::string>> slowestTests;
};

// `text` without its terminal colour sequences (ESC '[' ... 'm').
std::string withoutColors(std::string_view text);

// "1.25 s", "2:05" and such: a duration as the console writes it.
std::string formatSeconds(double seconds);

} // namespace vetline::suite
