#include "suite/console.h"

#include "support/format.h"
#include "support/output_stream.h"

#include <algorithm>
#include <cmath>

namespace vetline::suite {
namespace {

// Every text this component shows. They are interface (test suites compare
// them byte for byte): never reword them.
namespace text {
// One word per status, in TestStatus order, at the start of a test's line.
constexpr std::string_view statusWords[] = {"PASS",  "FAIL",    "SKIP",  "XFAIL",
                                            "XPASS", "TIMEOUT", "BROKEN"};
// {0} the word, {1} the test.
constexpr std::string_view testLine = "{0}: {1}\n";
// {0} the word, {1} the test, {2} why.
constexpr std::string_view testLineWhy = "{0}: {1} ({2})\n";
// {0} the test, {1} the run, {2} the runs.
constexpr std::string_view repetitionName = "{0} (run {1} of {2})";
constexpr std::string_view expectedToFail = "expected to fail: {0}";
constexpr std::string_view expectedToFailBare = "expected to fail";
// {0} the line, {1} the command.
constexpr std::string_view commandLine = "command (line {0}): {1}\n";
constexpr std::string_view exitStatus = "exit status: {0}\n";
constexpr std::string_view killedBy = "killed by signal {0}\n";
constexpr std::string_view timedOut = "stopped: the time limit ran out\n";
constexpr std::string_view outputTitle = "--- standard output ---\n";
constexpr std::string_view errorTitle = "--- standard error ---\n";
constexpr std::string_view blockEnd = "---\n";
// The summary, in TestStatus order; {0} the count.
constexpr std::string_view summaryLines[] = {
    "Passed: {0}\n",
    "Failed: {0}\n",
    "Skipped: {0}\n",
    "Expected failures: {0}\n",
    "Unexpected passes: {0}\n",
    "Timeouts: {0}\n",
    "Broken: {0}\n",
};
constexpr std::string_view unfinished = "Interrupted: {0} tests did not finish\n";
constexpr std::string_view wallTime = "Time: {0}\n";
constexpr std::string_view slowestTitle = "Slowest tests:\n";
constexpr std::string_view slowestLine = "  {0,10}  {1}\n";
constexpr std::string_view lastLine = "{0} passed, {1} failed";
constexpr std::string_view skippedTail = ", {0} skipped";
// {0} the bar, {1} done, {2} total, {3} failures, {4} elapsed, {5} left.
constexpr std::string_view bar = "[{0}] {1}/{2}  {3} failed  {4} elapsed  ~{5} left";
constexpr std::string_view barUnknownLeft = "[{0}] {1}/{2}  {3} failed  {4} elapsed";
constexpr std::string_view clearLine = "\r\x1b[K";
} // namespace text

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string clockText(double seconds) {
  long total = long(seconds + 0.5);
  std::string minutes = std::to_string(total / 60);
  long rest = total % 60;
  return minutes + ":" + (rest < 10 ? "0" : "") + std::to_string(rest);
}

} // namespace

std::string withoutColors(std::string_view textIn) {
  std::string plain;
  plain.reserve(textIn.size());
  for (size_t i = 0; i < textIn.size(); ++i) {
    if (textIn[i] == '\x1b' && i + 1 < textIn.size() && textIn[i + 1] == '[') {
      size_t end = i + 2;
      while (end < textIn.size() &&
             ((textIn[end] >= '0' && textIn[end] <= '9') || textIn[end] == ';'))
        ++end;
      if (end < textIn.size() && textIn[end] == 'm') {
        i = end;
        continue;
      }
    }
    plain += textIn[i];
  }
  return plain;
}

std::string formatSeconds(double seconds) {
  if (seconds >= 60)
    return clockText(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.2f s", seconds);
  return buffer;
}

Console::Console(OutputStream &os, const ConsoleSettings &settings, size_t total)
    : os(os), settings(settings), total(total), started(std::chrono::steady_clock::now()) {}

size_t Console::failedCount() const {
  size_t failed = 0;
  for (size_t i = 0; i < testStatusCount; ++i)
    if (countsAsFailure(TestStatus(i)))
      failed += counts[i];
  return failed;
}

size_t Console::passedCount() const {
  return count(TestStatus::Passed) + count(TestStatus::ExpectedFailure);
}

std::string Console::shownName(const TestResult &result) const {
  if (settings.repeat <= 1)
    return result.test->shownPath;
  return formatPositionalString(text::repetitionName, result.test->shownPath, result.repetition,
                                settings.repeat);
}

void Console::record(const TestResult &result) {
  ++done;
  ++counts[size_t(result.status)];
  if (settings.slowest > 0 && result.status != TestStatus::Skipped) {
    std::pair<double, std::string> entry(result.seconds, shownName(result));
    auto at = std::lower_bound(slowestTests.begin(), slowestTests.end(), entry);
    slowestTests.insert(at, std::move(entry));
    if (slowestTests.size() > settings.slowest)
      slowestTests.erase(slowestTests.begin());
  }
  clearBar();
  bool isFailure = countsAsFailure(result.status);
  if (!settings.isTerminal && (isFailure || !settings.isQuiet))
    printLine(result);
  if (isFailure) {
    if (settings.isTerminal)
      printLine(result);
    printFailure(result);
  }
  os.flush();
  drawBar();
}

void Console::printLine(const TestResult &result) {
  std::string name = shownName(result);
  std::string_view word = text::statusWords[size_t(result.status)];
  std::string why;
  switch (result.status) {
  case TestStatus::Skipped:
  case TestStatus::Broken:
    why = result.message;
    break;
  case TestStatus::UnexpectedPass:
    why = result.message.empty() ? std::string(text::expectedToFailBare)
                                 : formatPositionalString(text::expectedToFail, result.message);
    break;
  default:
    break;
  }
  if (why.empty())
    os << formatPositionalString(text::testLine, word, name);
  else
    os << formatPositionalString(text::testLineWhy, word, name, why);
}

void Console::printFailure(const TestResult &result) {
  if (result.commands.empty())
    return;
  const CommandResult &command = result.commands.back();
  os << formatPositionalString(text::commandLine, command.line, command.command);
  if (command.timedOut)
    os << text::timedOut;
  else if (command.signal)
    os << formatPositionalString(text::killedBy, command.signal);
  else
    os << formatPositionalString(text::exitStatus, command.exitStatus);
  printStream(text::outputTitle, command.output);
  printStream(text::errorTitle, command.error);
  os << text::blockEnd;
}

void Console::printStream(std::string_view title, const StreamCapture &stream) {
  if (stream.shown.empty())
    return;
  os << title;
  if (settings.keepsColors)
    os << stream.shown;
  else
    os << withoutColors(stream.shown);
  if (stream.shown.back() != '\n')
    os << "\n";
}

void Console::clearBar() {
  if (!isBarShown)
    return;
  os << text::clearLine;
  isBarShown = false;
}

void Console::tick() {
  clearBar();
  drawBar();
  os.flush();
}

void Console::drawBar() {
  if (!settings.isTerminal)
    return;
  double elapsed = secondsSince(started);
  std::string counters =
      done > 0 && done < total
          ? formatPositionalString(text::bar, "{0}", done, total, failedCount(), clockText(elapsed),
                                   clockText(elapsed * double(total - done) / double(done)))
          : formatPositionalString(text::barUnknownLeft, "{0}", done, total, failedCount(),
                                   clockText(elapsed));
  // The bar takes what the counters leave of the line, within reason.
  size_t room = settings.width > counters.size() + 1 ? settings.width - counters.size() + 2 : 0;
  size_t barWidth = std::min<size_t>(room, 40);
  size_t filled = total ? barWidth * done / total : barWidth;
  std::string drawn = std::string(filled, '#') + std::string(barWidth - filled, '.');
  std::string line = formatPositionalString(counters, drawn);
  if (line.size() >= settings.width)
    line.resize(settings.width > 1 ? settings.width - 1 : 0);
  os << line;
  isBarShown = true;
}

void Console::printSummary(double wallSeconds, size_t unfinishedCount) {
  clearBar();
  os << "\n";
  if (unfinishedCount > 0)
    os << formatPositionalString(text::unfinished, unfinishedCount);
  for (size_t i = 0; i < testStatusCount; ++i)
    if (counts[i] > 0)
      os << formatPositionalString(text::summaryLines[i], counts[i]);
  os << formatPositionalString(text::wallTime, formatSeconds(wallSeconds));
  if (!slowestTests.empty()) {
    os << text::slowestTitle;
    for (auto entry = slowestTests.rbegin(); entry != slowestTests.rend(); ++entry)
      os << formatPositionalString(text::slowestLine, formatSeconds(entry->first), entry->second);
  }
  os << formatPositionalString(text::lastLine, passedCount(), failedCount());
  if (count(TestStatus::Skipped) > 0)
    os << formatPositionalString(text::skippedTail, count(TestStatus::Skipped));
  os << "\n";
  os.flush();
}

} // namespace vetline::suite
