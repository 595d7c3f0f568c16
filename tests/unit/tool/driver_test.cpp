#include "tool/driver.h"

#include "support/output_stream.h"

#include <gtest/gtest.h>

#include <csignal>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

namespace vetline {
namespace {

struct DumpCase {
  const char *name;
  std::vector<DumpMode> modes;
  std::vector<DumpFilter> filters;
  std::vector<uint32_t> contexts;
  DumpMode mode;
  DumpFilter filter;
  uint32_t context;
};

const DumpCase dumpCases[] = {
    {"nothing given", {}, {}, {}, DumpMode::Fail, DumpFilter::Error, 5},
    {"help beats never", {DumpMode::Never, DumpMode::Help}, {}, {}, DumpMode::Help,
     DumpFilter::Error, 5},
    {"always beats fail; filter then defaults to all",
     {DumpMode::Always, DumpMode::Fail}, {}, {}, DumpMode::Always, DumpFilter::All, 5},
    {"a given filter is kept with always", {DumpMode::Always}, {DumpFilter::Annotation}, {},
     DumpMode::Always, DumpFilter::Annotation, 5},
    {"largest filter", {}, {DumpFilter::AnnotationFull, DumpFilter::Error, DumpFilter::Annotation},
     {}, DumpMode::Fail, DumpFilter::AnnotationFull, 5},
    {"largest context", {}, {}, {2, 7, 3}, DumpMode::Fail, DumpFilter::Error, 7},
    {"contexts compare unsigned", {}, {}, {0, 4294967295u}, DumpMode::Fail, DumpFilter::Error,
     4294967295u},
    {"context 0 is kept", {}, {}, {0}, DumpMode::Fail, DumpFilter::Error, 0},
};

TEST(Driver, ResolveDumpSettings) {
  for (const DumpCase &c : dumpCases) {
    SCOPED_TRACE(c.name);
    DumpSettings settings = resolveDumpSettings(c.modes, c.filters, c.contexts);
    EXPECT_EQ(settings.mode, c.mode);
    EXPECT_EQ(settings.filter, c.filter);
    EXPECT_EQ(settings.context, c.context);
  }
}

int run(std::vector<std::string> words) {
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  return runDriver(int(words.size()), argv.data());
}

void ignoreNewFailure() {}

// The fuzz target runs the tool many times in one process: each run gives
// the same answer, and what is process-wide (the signal handlers, the crash
// callbacks, the allocation-failure handler) is installed by the first run
// and kept, so that runs never use up the eight crash-callback slots.
TEST(Driver, RunsRepeatUnchangedAndInstallHandlersOnce) {
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
  std::new_handler previousNew = std::set_new_handler(ignoreNewFailure);

  testing::internal::CaptureStderr();
  int first = run({"vetline", "missing-check-file.txt"});
  struct sigaction afterFirst = {};
  sigaction(SIGPIPE, nullptr, &afterFirst);
  std::new_handler newHandlerAfterFirst = std::get_new_handler();
  int second = run({"vetline", "missing-check-file.txt"});
  int noCheckFile = run({"vetline"});
  std::string printed = testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  int runsWithStatus2 = 0;
  for (int i = 0; i < 12; ++i)
    runsWithStatus2 += run({"vetline"}) == 2;
  std::string printedByLoop = testing::internal::GetCapturedStderr();

  struct sigaction afterAll = {};
  sigaction(SIGPIPE, nullptr, &afterAll);
  std::new_handler newHandlerAfterAll = std::get_new_handler();
  sigaction(SIGPIPE, &previous, nullptr);
  std::set_new_handler(previousNew);

  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(noCheckFile, 2);
  EXPECT_EQ(printed, "Could not open check file 'missing-check-file.txt': No such file or directory\n"
                     "Could not open check file 'missing-check-file.txt': No such file or directory\n"
                     "<check-file> not specified\n");
  EXPECT_EQ(runsWithStatus2, 12);
  std::string expectedByLoop;
  for (int i = 0; i < 12; ++i)
    expectedByLoop += "<check-file> not specified\n";
  EXPECT_EQ(printedByLoop, expectedByLoop);
  // A closed pipe ends a run with its own status even when the caller
  // ignored SIGPIPE.
  EXPECT_NE(afterFirst.sa_handler, SIG_IGN);
  EXPECT_EQ(afterAll.sa_sigaction, afterFirst.sa_sigaction);
  EXPECT_NE(newHandlerAfterFirst, ignoreNewFailure);
  EXPECT_EQ(newHandlerAfterAll, newHandlerAfterFirst);
}

// Writing to a pipe nobody reads ends the process with status 74 instead of
// killing it with the signal; that holds for standard error and for what
// standard output still buffers when the run ends.
void runIntoClosedPipe(int descriptor) {
  signal(SIGPIPE, SIG_DFL);
  int ends[2];
  if (pipe(ends) != 0)
    _exit(3);
  close(ends[0]);
  dup2(ends[1], descriptor);
  if (descriptor == 1)
    standardOutput() << "buffered\n";
  run({"vetline"});
  _exit(0);
}

TEST(DriverDeathTest, ClosedPipeEndsTheRunWithStatus74) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runIntoClosedPipe(2), testing::ExitedWithCode(74), "");
  EXPECT_EXIT(runIntoClosedPipe(1), testing::ExitedWithCode(74), "");
}

} // namespace
} // namespace vetline
