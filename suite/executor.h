// Running the tests: one loop over poll(2) supervises every running test,
// so thousands of short tests cost little more than starting their shells.
// Each RUN: line is one bash (pipefail on) in a process group of its own,
// in the test's folder, with a clean environment; its standard output and
// error are read as they come into bounded captures. The loop also reads
// SIGCHLD, SIGINT, SIGTERM and SIGHUP from a signalfd, so a child's end and
// an interrupt are events like any other.
//
// No process outlives the run: when a line's shell ends, what is left of its
// group is killed; the runner is a child subreaper, so descendants that left
// the group (setsid, double fork) become its children when their parent
// dies, and those carrying the marker of a finished line are killed too; at
// the end every remaining child is killed and reaped. Tested by
// executor_test.cpp and the runner cases under tests/suite/.
#pragma once

#include "suite/test_finder.h"
#include "suite/test_result.h"

#include <functional>
#include <span>
#include <string>

namespace vetline::suite {

struct ExecutorSettings {
  unsigned jobs = 1;
  // Seconds per test; negative to take each suite's own (0: no limit).
  double timeout = -1;
  // Bytes of each stream kept in memory per command.
  size_t outputLimit = 64 * 1024;
  // Absolute; {tmp} and the logs go below it.
  std::string outputDirectory;
  // What {vetline} stands for.
  std::string vetline;
  std::string bash = "/bin/bash";
  unsigned repeat = 1;
  // Between SIGTERM and SIGKILL when a test is stopped.
  double killGraceSeconds = 0.5;
  // How long output pipes are still read after a line's shell ended, for
  // the bytes its escaped descendants still write.
  double pipeGraceSeconds = 0.2;
  // Environment variables of the runner's own: taken from here, not from
  // the process, so that tests can set them.
  std::vector<std::string> runnerEnvironment;
};

// Takes each result as soon as it is known, in the order tests finish.
using ResultSink = std::function<void(TestResult &&)>;

class Executor {
public:
  Executor(const ExecutorSettings &settings, ResultSink sink);
  ~Executor();
  Executor(const Executor &) = delete;
  Executor &operator=(const Executor &) = delete;

  // Called about every `seconds` while tests run (a progress bar's clock).
  void setTicker(std::function<void()> ticker, double seconds);

  // Runs each of `tests` `repeat` times, at most `jobs` at once. Returns 0,
  // or the signal that interrupted the run; the tests running then are
  // stopped and give no result. Errors of the runner itself (no signalfd)
  // come back as an Error before anything ran.
  Fallible<int> run(std::span<const TestEntry> tests);

  // The path {tmp} stands for in `test`'s run `repetition`.
  std::string scratchPath(const TestEntry &test, unsigned repetition) const;

private:
  class Loop;
  const ExecutorSettings &settings;
  ResultSink sink;
  std::function<void()> ticker;
  double tickSeconds = 0;
};

} // namespace vetline::suite
