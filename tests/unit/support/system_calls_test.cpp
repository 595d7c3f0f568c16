#include "support/system_calls.h"

#include "support/output_stream.h"
#include "support/text_buffer.h"
#include "tests/unit/support/fake_system_calls.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace vetline {
namespace {

using testing::FakeStep;
using testing::FakeSystemCalls;

const std::string content = "hello, world";

// Which reader or writer a case drives, and which of its calls the script
// replaces.
enum class Target {
  // An unbuffered descriptor stream writing `content` into a pipe: write.
  StreamWrite,
  // The input reader on a pipe holding `content`: read.
  PipeRead,
  // The input reader on a small regular file holding `content`: open.
  FileOpen,
  // The same: pread.
  FileRead,
};

struct SeamCase {
  const char *name;
  Target target;
  std::vector<FakeStep> steps;
  // What arrived ("'...'"), or "error: " and the message; for writes also
  // how many write calls it took; how often the writer or reader waited.
  std::string expected;
  // The script of the waits (poll).
  std::vector<FakeStep> pollSteps = {};
};

const SeamCase seamCases[] = {
    {"write interrupted is retried",
     Target::StreamWrite,
     {{EINTR}},
     "'hello, world' writes=2 polls=0"},
    {"write of a full pipe waits for room once, then writes",
     Target::StreamWrite,
     {{EAGAIN}},
     "'hello, world' writes=2 polls=1"},
    {"short writes go on with the rest",
     Target::StreamWrite,
     {{0, 5}, {0, 1}},
     "'hello, world' writes=3 polls=0"},
    {"write that takes nothing fails instead of being asked forever",
     Target::StreamWrite,
     {{0, 0}},
     "error: Input/output error writes=1 polls=0"},
    {"failed write is recorded, the rest dropped",
     Target::StreamWrite,
     {{EIO}},
     "error: Input/output error writes=1 polls=0"},
    {"read interrupted is retried", Target::PipeRead, {{EINTR}}, "'hello, world' polls=0"},
    {"short reads are joined", Target::PipeRead, {{0, 5}, {0, 1}}, "'hello, world' polls=0"},
    {"failed read is the reader's error",
     Target::PipeRead,
     {{0, 5}, {EIO}},
     "error: Input/output error polls=0"},
    {"read of a non-blocking descriptor with nothing yet waits, then reads",
     Target::PipeRead,
     {{0, 5}, {EAGAIN}, {EAGAIN}},
     "'hello, world' polls=2"},
    {"a failed wait ends the read with the refusal instead of spinning",
     Target::PipeRead,
     {{EAGAIN}},
     "error: Resource temporarily unavailable polls=1",
     {{EINVAL}}},
    {"open interrupted is retried", Target::FileOpen, {{EINTR}, {EINTR}}, "'hello, world' polls=0"},
    {"failed open is the reader's error",
     Target::FileOpen,
     {{ENOENT}},
     "error: No such file or directory polls=0"},
    {"positioned read interrupted is retried",
     Target::FileRead,
     {{EINTR}},
     "'hello, world' polls=0"},
    {"short positioned reads are joined",
     Target::FileRead,
     {{0, 5}, {0, 1}},
     "'hello, world' polls=0"},
    {"failed positioned read is the reader's error",
     Target::FileRead,
     {{EIO}},
     "error: Input/output error polls=0"},
};

std::string describe(const BufferOrError &read) {
  if (!read)
    return "error: " + read.error().message();
  return "'" + std::string(read->text()) + "'";
}

std::string pipeContents(int fd) {
  std::string text;
  char block[256];
  ssize_t got;
  while ((got = ::read(fd, block, sizeof block)) > 0)
    text.append(block, static_cast<size_t>(got));
  return text;
}

std::string runStreamWrite(FakeSystemCalls &fake) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  std::string result;
  {
    FdOutputStream stream(ends[1], true, true);
    stream << content;
    stream.flush();
    if (stream.hasFailed())
      result = "error: " + stream.error().message();
    stream.forgetError();
  }
  if (result.empty())
    result = "'" + pipeContents(ends[0]) + "'";
  ::close(ends[0]);
  return result + " writes=" + std::to_string(fake.writeCalls) +
         " polls=" + std::to_string(fake.pollCalls);
}

std::string runPipeRead() {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  EXPECT_EQ(::write(ends[1], content.data(), content.size()), ssize_t(content.size()));
  ::close(ends[1]);
  std::string result = describe(readOpenFile(ends[0], "pipe"));
  ::close(ends[0]);
  return result;
}

std::string runFileRead() {
  char path[] = "/tmp/vetline-seam-XXXXXX";
  int fd = ::mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, content.data(), content.size()), ssize_t(content.size()));
  ::close(fd);
  std::string result = describe(readFileOrStdin(path));
  ::unlink(path);
  return result;
}

TEST(SystemCalls, EveryFailureBranch) {
  for (const SeamCase &c : seamCases) {
    SCOPED_TRACE(c.name);
    FakeSystemCalls fake;
    std::deque<FakeStep> script(c.steps.begin(), c.steps.end());
    fake.polls.assign(c.pollSteps.begin(), c.pollSteps.end());
    std::string result;
    switch (c.target) {
    case Target::StreamWrite:
      fake.writes = script;
      result = runStreamWrite(fake);
      break;
    case Target::PipeRead:
      fake.reads = script;
      result = runPipeRead();
      break;
    case Target::FileOpen:
      fake.opens = script;
      result = runFileRead();
      break;
    case Target::FileRead:
      fake.preads = script;
      result = runFileRead();
      break;
    }
    if (c.target != Target::StreamWrite)
      result += " polls=" + std::to_string(fake.pollCalls);
    EXPECT_EQ(result, c.expected);
  }
}

// The wait really blocks: a stream on a full non-blocking pipe makes
// progress only as a reader drains it, with one wait per refusal.
TEST(SystemCalls, FullNonBlockingPipeWaitsInsteadOfSpinning) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
  std::string big(1 << 20, 'x');
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ends[0]);
    FakeSystemCalls fake;
    {
      FdOutputStream stream(ends[1], true, true);
      stream << big;
    }
    // Every refusal waits once; a spinning writer is refused over and over
    // while the reader sleeps, without waiting.
    ::_exit(fake.writesRefused > 0 && fake.writesRefused == fake.pollCalls ? 0 : 1);
  }
  ::close(ends[1]);
  // Let the writer fill the pipe and be refused before anything is drained.
  int capacity = ::fcntl(ends[0], F_GETPIPE_SZ);
  int queued = 0;
  for (int tries = 0; tries < 10000 && queued < capacity; ++tries) {
    ::usleep(1000);
    ASSERT_EQ(::ioctl(ends[0], FIONREAD, &queued), 0);
  }
  ::usleep(20 * 1000);
  std::string received = pipeContents(ends[0]);
  ::close(ends[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(received.size(), big.size());
}

} // namespace
} // namespace vetline
