#include "tool/driver.h"

#include "support/output_stream.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vetline {
namespace {

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
  EXPECT_EQ(printed,
            "Could not open check file 'missing-check-file.txt': No such file or directory\n"
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

// ---- Files that change while they are read ----

struct ChangeCase {
  const char *name;
  bool changeCheckFile;
  bool inputFromStdin;
  size_t fileSize;
  // The size the file gets once its size was taken, before its bytes are
  // read; for a large file that is after it was mapped.
  size_t changedSize;
};

// Sizes around the thresholds of mapping and of pages of a buffer's own.
// Every change keeps the lines the check needs, so checking what was left
// would pass.
const ChangeCase changeCases[] = {
    {"mapped check file loses its pages", true, false, 100001, 1000},
    {"mapped input loses its pages", false, false, 100001, 5000},
    {"mapped input emptied", false, false, 100001, 0},
    {"mapped input loses bytes of its last page only", false, false, 100001, 100000},
    {"mapped input grows", false, false, 100001, 100101},
    {"read check file shrinks", true, false, 9001, 500},
    {"read input grows", false, false, 9001, 9500},
    {"input redirected from a file shrinks", false, true, 100001, 3000},
    {"input redirected from a file grows", false, true, 100001, 100500},
    {"large input grows", false, false, 3000001, 3000100},
};

// The file the hook changes, and how; the hook acts once.
std::string changePath;
std::string_view changeName;
size_t changeSize = 0;

void changeFileOnce(std::string_view name) {
  if (name != changeName)
    return;
  changeName = {};
  ASSERT_EQ(::truncate(changePath.c_str(), off_t(changeSize)), 0);
}

// `size` bytes: the first line is "line 1", the rest plain filler lines.
std::string linesOfSize(size_t size) {
  std::string text = "line 1\n";
  while (text.size() < size)
    text += "filler line of a file that is read while it changes\n";
  text.resize(size);
  return text;
}

void writeFile(const std::string &path, const std::string &bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  ::close(fd);
}

// Returning would repeat the fault forever; a fault that reaches it is fatal.
void sentinelBusHandler(int) { std::abort(); }

// Another process truncating or growing a file under the tool: the run ends
// with status 2 and names the file, never dies of SIGBUS, and checks none
// of the bytes. The SIGBUS handler the process had is in place afterwards.
TEST(Driver, FileChangedWhileReadEndsTheRunWithStatus2) {
  char pattern[] = "/tmp/driver_test.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  struct sigaction sentinel = {}, previous = {};
  sentinel.sa_handler = sentinelBusHandler;
  sigemptyset(&sentinel.sa_mask);
  ASSERT_EQ(sigaction(SIGBUS, &sentinel, &previous), 0);
  setBeforeBytesReadHook(changeFileOnce);

  for (const ChangeCase &c : changeCases) {
    SCOPED_TRACE(c.name);
    std::string check = dir + "/check.txt";
    std::string input = dir + "/input.txt";
    std::string checkText = "CHECK: line 1\n";
    if (c.changeCheckFile)
      checkText += std::string(c.fileSize - checkText.size() - 1, '#') + "\n";
    writeFile(check, checkText);
    writeFile(input, linesOfSize(c.changeCheckFile ? 100 : c.fileSize));
    changePath = c.changeCheckFile ? check : input;
    changeName = c.changeCheckFile  ? std::string_view(check)
                 : c.inputFromStdin ? std::string_view("<stdin>")
                                    : std::string_view(input);
    changeSize = c.changedSize;

    int savedStdin = ::dup(0);
    int inputFd = ::open(input.c_str(), O_RDONLY);
    ASSERT_EQ(::dup2(inputFd, 0), 0);
    ::close(inputFd);
    testing::internal::CaptureStderr();
    int status = run({"vetline", check, "--input-file=" + (c.inputFromStdin ? "-" : input)});
    std::string printed = testing::internal::GetCapturedStderr();
    ::dup2(savedStdin, 0);
    ::close(savedStdin);

    EXPECT_TRUE(changeName.empty()) << "the hook was not called";
    EXPECT_EQ(status, 2);
    std::string changed = c.changeCheckFile  ? "check file '" + check
                          : c.inputFromStdin ? std::string("input file '<stdin>")
                                             : "input file '" + input;
    EXPECT_EQ(printed,
              "Could not open " + changed + "': the file changed while it was being read\n");

    // Unchanged, the same files pass.
    changeName = {};
    writeFile(check, checkText);
    writeFile(input, linesOfSize(c.changeCheckFile ? 100 : c.fileSize));
    EXPECT_EQ(run({"vetline", check, "--input-file=" + input}), 0);
  }

  setBeforeBytesReadHook(nullptr);
  struct sigaction after = {};
  sigaction(SIGBUS, &previous, &after);
  EXPECT_EQ(after.sa_handler, sentinelBusHandler);
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
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
