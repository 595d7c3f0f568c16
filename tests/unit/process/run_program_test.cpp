#include "support/process/run_program.h"

#include "tests/unit/process/processes.h"
#include "tests/unit/process/scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace vetline {
namespace {

using testing::isAlive;
using testing::readWholeFile;
using testing::ScratchDir;
using testing::survivors;

int runShell(const std::string &script,
             std::vector<std::optional<std::string_view>> redirections = {}) {
  const std::string_view arguments[] = {"sh", "-c", script};
  return runAndWait("/bin/sh", arguments, redirections);
}

TEST(RunProgram, Results) {
  const std::pair<const char *, int> cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"exit 255", 255},
      {"kill -KILL $$", ProgramKilled},
      {"kill -TERM $$", ProgramKilled},
      {"exit 126", ProgramDidNotRun},
      {"exit 127", ProgramDidNotRun},
      {"exec /no/such/program", ProgramDidNotRun},
  };
  for (const auto &[script, result] : cases) {
    SCOPED_TRACE(script);
    EXPECT_EQ(runShell(script), result);
  }
}

TEST(RunProgram, ProgramsThatCannotStart) {
  ScratchDir scratch;
  std::string notExecutable = scratch.writeFile("data", "#!/bin/sh\nexit 0\n", 0644);
  std::string directory = scratch.makeDir("dir");
  for (const std::string &program : {std::string("/no/such/program"), notExecutable, directory}) {
    SCOPED_TRACE(program);
    const std::string_view arguments[] = {"x"};
    EXPECT_EQ(runAndWait(program, arguments), ProgramDidNotRun);
  }
  // Nothing is started for a missing program: a side effect would show.
  EXPECT_EQ(scratch.list(), (std::vector<std::string>{"data", "dir"}));
}

TEST(RunProgram, TheChildSeesItsArguments) {
  ScratchDir scratch;
  std::string out = scratch.path("out");
  const std::string_view arguments[] = {"sh",   "-c",  "printf '%s|' \"$0\" \"$@\"",
                                        "zero", "a b", ""};
  const std::optional<std::string_view> redirections[] = {std::nullopt, out, std::nullopt};
  EXPECT_EQ(runAndWait("/bin/sh", arguments, redirections), 0);
  EXPECT_EQ(readWholeFile(out), "zero|a b||");
}

TEST(RunProgram, Redirections) {
  ScratchDir scratch;
  std::string in = scratch.writeFile("in", "hello\n");
  std::string out = scratch.path("out");
  std::string err = scratch.path("err");
  std::string unopenable = scratch.path("none/out");
  struct Case {
    const char *name;
    const char *existingOutput; // nullptr: no file yet
    std::vector<std::optional<std::string_view>> redirections;
    const char *script;
    int result;
    const char *output;
    const char *error;
  };
  const Case cases[] = {
      {"input from a file",
       nullptr,
       {in, out, err},
       "read line; echo \"got $line\"",
       0,
       "got hello\n",
       ""},
      {"empty input path reads /dev/null",
       nullptr,
       {"", out, err},
       "if read line; then exit 1; fi; echo eof",
       0,
       "eof\n",
       ""},
      {"output and error apart",
       nullptr,
       {in, out, err},
       "echo out; echo err >&2",
       0,
       "out\n",
       "err\n"},
      {"the same path for both",
       nullptr,
       {in, out, out},
       "echo out; echo err >&2",
       0,
       "out\nerr\n",
       "<missing>"},
      {"empty error path discards it",
       nullptr,
       {in, out, ""},
       "echo out; echo err >&2",
       0,
       "out\n",
       "<missing>"},
      {"an existing longer file is overwritten, not shortened",
       "XXXXXXXXXX",
       {std::nullopt, out, std::nullopt},
       "printf ab",
       0,
       "abXXXXXXXX",
       "<missing>"},
      {"an output that cannot be opened",
       nullptr,
       {in, unopenable, err},
       "exit 0",
       ProgramDidNotRun,
       "<missing>",
       "<missing>"},
      {"a list that is not three entries long",
       nullptr,
       {in, out},
       "exit 0",
       ProgramDidNotRun,
       "<missing>",
       "<missing>"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(out.c_str());
    unlink(err.c_str());
    if (c.existingOutput)
      scratch.writeFile("out", c.existingOutput);
    EXPECT_EQ(runShell(c.script, c.redirections), c.result);
    EXPECT_EQ(readWholeFile(out), c.output);
    EXPECT_EQ(readWholeFile(err), c.error);
  }
}

// A minute: longer than any test here needs, so that reaching it means the
// run did not end the way it should.
constexpr int generousLimit = 60 * 1000;
constexpr size_t generousCap = size_t(4) << 20;

int runFilterShell(const std::string &script, std::string_view input, std::string &output,
                   FilterLimits limits = {generousLimit, generousCap}) {
  const std::string_view arguments[] = {"sh", "-c", script};
  return runFilter("/bin/sh", arguments, input, output, limits);
}

std::vector<pid_t> pidsIn(const std::string &text) {
  std::vector<pid_t> pids;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find_first_of(" \n", at);
    if (end == std::string::npos)
      end = text.size();
    if (end > at)
      pids.push_back(pid_t(std::stol(text.substr(at, end - at))));
    at = end + 1;
  }
  return pids;
}

TEST(RunFilter, Results) {
  const std::pair<const char *, int> cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"kill -KILL $$", ProgramKilled},
      {"exit 127", ProgramDidNotRun},
      {"exec /no/such/program", ProgramDidNotRun},
  };
  for (const auto &[script, result] : cases) {
    SCOPED_TRACE(script);
    std::string output = "stale";
    EXPECT_EQ(runFilterShell(script, "", output), result);
    EXPECT_EQ(output, "");
  }
  ScratchDir scratch;
  std::string notExecutable = scratch.writeFile("data", "#!/bin/sh\nexit 0\n", 0644);
  for (const std::string &program : {std::string("/no/such/program"), notExecutable}) {
    SCOPED_TRACE(program);
    const std::string_view arguments[] = {"x"};
    std::string output;
    EXPECT_EQ(runFilter(program, arguments, "input", output, {generousLimit, generousCap}),
              ProgramDidNotRun);
  }
}

// Input and output go through pipes at once, so that neither side waits on
// the other however much there is of both; standard error is discarded, and
// the child sees its arguments.
TEST(RunFilter, PipesTheInputThroughTheChild) {
  std::string input;
  for (int i = 0; input.size() < (size_t(1) << 20); ++i)
    input += "line " + std::to_string(i) + "\n";
  std::string output;
  EXPECT_EQ(runFilterShell("echo err >&2; cat", input, output), 0);
  EXPECT_EQ(output, input);

  // The inode numbers of the pipes go.
  EXPECT_EQ(
      runFilterShell("readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 | tr -d 0-9", "", output),
      0);
  EXPECT_EQ(output, "pipe:[]\npipe:[]\n/dev/null\n");

  const std::string_view arguments[] = {"sh",   "-c",  "printf '%s|' \"$0\" \"$@\"",
                                        "zero", "a b", ""};
  EXPECT_EQ(runFilter("/bin/sh", arguments, "", output, {generousLimit, generousCap}), 0);
  EXPECT_EQ(output, "zero|a b||");
}

// A child that stops reading is no error, and its SIGPIPE does not reach
// the caller (whose default action would end it), then or later.
TEST(RunFilter, AChildThatReadsNoInput) {
  // The test runner may ignore SIGPIPE; here it must count.
  struct sigaction byDefault = {}, saved = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &byDefault, &saved), 0);
  std::string input(size_t(4) << 20, 'x');
  std::string output;
  EXPECT_EQ(runFilterShell("head -c 3; exit 5", input, output), 5);
  EXPECT_EQ(output, "xxx");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  sigaction(SIGPIPE, &saved, nullptr);
}

TEST(RunFilter, OutputUpToTheCapIsRead) {
  constexpr size_t cap = 100000;
  std::string output;
  EXPECT_EQ(runFilterShell("head -c 100000 /dev/zero", "", output, {generousLimit, cap}), 0);
  EXPECT_EQ(output.size(), cap);
  EXPECT_EQ(runFilterShell("head -c 100001 /dev/zero", "", output, {generousLimit, cap}),
            ProgramOutputTooLarge);
  EXPECT_EQ(output.size(), cap + 1);
  // Endless output, and a child that would outlive its parent: the group is
  // killed at the cap.
  EXPECT_EQ(runFilterShell("sleep 600 & echo $!; exec yes", "", output, {generousLimit, cap}),
            ProgramOutputTooLarge);
  EXPECT_EQ(output.size(), cap + 1);
  std::string first = output.substr(0, output.find('\n'));
  EXPECT_EQ(survivors(pidsIn(first)), std::vector<pid_t>{});
}

// However the child hangs (writing nothing, or with its output closed, or
// ignoring SIGTERM with a child of its own that holds the output open),
// the time limit ends it and everything it started.
TEST(RunFilter, TheTimeLimitKillsTheWholeGroup) {
  ScratchDir scratch;
  std::string pidFile = scratch.path("pids");
  const std::string cases[] = {
      "echo $$ > " + pidFile + "; exec sleep 600",
      "echo $$ > " + pidFile + "; exec >&-; exec sleep 600",
      "trap '' TERM; sleep 600 & echo \"$$ $!\" > " + pidFile + "; wait",
      "echo $$ > " + pidFile + "; while :; do :; done",
  };
  for (const std::string &script : cases) {
    SCOPED_TRACE(script);
    std::string output;
    EXPECT_EQ(runFilterShell(script, "", output, {200, generousCap}), ProgramTimedOut);
    std::vector<pid_t> pids = pidsIn(readWholeFile(pidFile));
    ASSERT_FALSE(pids.empty());
    EXPECT_EQ(survivors(pids, pids[0]), std::vector<pid_t>{});
    unlink(pidFile.c_str());
  }
}

// A child that ends but leaves a process running in its group: that
// process is killed too.
TEST(RunFilter, NothingTheChildStartedOutlivesIt) {
  std::string output;
  EXPECT_EQ(runFilterShell("sleep 600 >/dev/null 2>&1 & echo $$ $!", "", output), 0);
  std::vector<pid_t> pids = pidsIn(output);
  ASSERT_EQ(pids.size(), 2u) << output;
  EXPECT_EQ(survivors(pids, pids[0]), std::vector<pid_t>{});
}

std::atomic<int> interruptsSeen{0};
void countInterrupt(int) { interruptsSeen.fetch_add(1); }

// An interrupt that arrives while the child runs kills the child's group
// first (which has a group of its own, out of reach of a terminal's
// interrupt), then goes to the caller's handler, which is put back.
TEST(RunFilter, InterruptsKillTheChildThenReachTheCaller) {
  ScratchDir scratch;
  std::string pidFile = scratch.path("pids");
  struct sigaction counting = {}, saved = {};
  counting.sa_handler = countInterrupt;
  sigemptyset(&counting.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR2, &counting, &saved), 0);
  interruptsSeen.store(0);

  std::thread sender([&] {
    // The signal is for the thread that runs the child.
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
    for (int wait = 0; wait < 1000 && !readWholeFile(pidFile).ends_with("\n"); ++wait)
      usleep(10000);
    kill(getpid(), SIGUSR2);
  });
  std::string output;
  int result = runFilterShell("sleep 600 & echo \"$$ $!\" > " + pidFile + "; wait", "", output);
  sender.join();
  EXPECT_EQ(result, ProgramKilled);
  EXPECT_EQ(interruptsSeen.load(), 1);
  std::vector<pid_t> pids = pidsIn(readWholeFile(pidFile));
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_EQ(survivors(pids, pids[0]), std::vector<pid_t>{});

  struct sigaction now = {};
  sigaction(SIGUSR2, &saved, &now);
  EXPECT_EQ(now.sa_handler, countInterrupt);
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGUSR2), 0);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

} // namespace
} // namespace vetline
