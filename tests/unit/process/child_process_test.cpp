#include "support/process/child_process.h"

#include "tests/unit/process/scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vetline {
namespace {

using testing::ScratchDir;

struct Finished {
  std::string output;
  std::string error;
  int status = -1;
};

// Reads both pipes to their end, then waits for the child.
Finished finish(const StartedChild &child) {
  Finished done;
  int fds[2] = {child.outputFd, child.errorFd};
  std::string *into[2] = {&done.output, &done.error};
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    ::poll(polled, 2, 5000);
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || !polled[i].revents)
        continue;
      char chunk[256];
      ssize_t got = ::read(fds[i], chunk, sizeof(chunk));
      if (got > 0) {
        into[i]->append(chunk, size_t(got));
      } else if (got == 0 || errno != EAGAIN) {
        ::close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  done.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return done;
}

ChildSpec shell(std::string script) {
  return {"/bin/sh", {"sh", "-c", std::move(script)}, {"ONLY=this"}, ""};
}

// The child has exactly the environment given, its own process group,
// standard input at end of file, the folder asked for, and default
// handling of the signals the caller blocks or ignores (the standard
// ones: the C library keeps two real-time signals for itself).
TEST(ChildProcess, StartsInAGroupOfItsOwn) {
  ScratchDir scratch;
  ChildSpec spec = shell("env | sort; echo group=$(ps -o pgid= $$ | tr -d ' ') pid=$$; pwd; "
                         "cat; echo err >&2; "
                         "for f in SigBlk SigIgn; do m=$(grep $f /proc/self/status | cut -f2); "
                         "echo $f=$((0x$m & 0x7fffffff)); done; exit 3");
  spec.environment = {"ONLY=this", "PATH=/usr/bin:/bin"};
  spec.directory = scratch.rootPath();
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  ::sigprocmask(SIG_BLOCK, &blocked, &previous);
  auto oldPipe = ::signal(SIGPIPE, SIG_IGN);
  Fallible<StartedChild> child = startChildInGroup(spec);
  ::signal(SIGPIPE, oldPipe);
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(child);
  Finished done = finish(*child);
  std::string pid = std::to_string(child->pid);
  EXPECT_EQ(done.output, "ONLY=this\nPATH=/usr/bin:/bin\nPWD=" + scratch.rootPath() +
                             "\ngroup=" + pid + " pid=" + pid + "\n" + scratch.rootPath() +
                             "\nSigBlk=0\nSigIgn=0\n");
  EXPECT_EQ(done.error, "err\n");
  EXPECT_EQ(done.status, 3);
}

TEST(ChildProcess, SignalGroupReachesTheWholeGroup) {
  Fallible<StartedChild> child = startChildInGroup(shell("sleep 30 & sleep 30; echo survived"));
  ASSERT_TRUE(child);
  ::usleep(100000);
  signalGroup(child->pid, SIGKILL);
  Finished done = finish(*child);
  EXPECT_EQ(done.status, -SIGKILL);
  // The background sleep held the pipes too: reaching their end shows it
  // died with the shell.
  EXPECT_EQ(done.output, "");
}

TEST(ChildProcess, FailuresToStart) {
  Fallible<StartedChild> missing = startChildInGroup({"/no/such/program", {"x"}, {}, ""});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.extractError().takePayload()->message(), "No such file or directory");
  ChildSpec badFolder = shell("true");
  badFolder.directory = "/no/such/folder";
  Fallible<StartedChild> folder = startChildInGroup(badFolder);
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.extractError().takePayload()->message(), "No such file or directory");
}

// An orphan comes to a subreaper, shows in its child list, and carries
// its environment for the runner to read.
TEST(ChildProcess, SubreaperFindsOrphans) {
  ASSERT_TRUE(becomeChildSubreaper());
  ChildSpec spec = shell("(sleep 30 & echo $!) ");
  spec.environment = {"MARK=orphan-1"};
  Fallible<StartedChild> child = startChildInGroup(spec);
  ASSERT_TRUE(child);
  int pipes[2] = {child->outputFd, child->errorFd};
  // The sleep holds the pipes: read its pid, not to the end.
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos) {
    pollfd polled = {pipes[0], POLLIN, 0};
    ::poll(&polled, 1, 5000);
    if (::read(pipes[0], &c, 1) == 1)
      line += c;
  }
  ::waitpid(child->pid, nullptr, 0);
  pid_t orphan = std::stoi(line);
  std::vector<pid_t> children = listChildren();
  EXPECT_NE(std::find(children.begin(), children.end(), orphan), children.end());
  // While the orphan execs, its environment reads as empty for a moment.
  std::string mark;
  for (int tries = 0; tries < 200 && mark.empty(); ++tries) {
    mark = environmentValueOf(orphan, "MARK");
    if (mark.empty())
      ::usleep(10000);
  }
  EXPECT_EQ(mark, "orphan-1");
  EXPECT_EQ(environmentValueOf(orphan, "MAR"), "");
  ::kill(orphan, SIGKILL);
  ::waitpid(orphan, nullptr, 0);
  ::close(pipes[0]);
  ::close(pipes[1]);
  children = listChildren();
  EXPECT_EQ(std::find(children.begin(), children.end(), orphan), children.end());
}

} // namespace
} // namespace vetline
