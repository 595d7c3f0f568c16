#include "support/process/run_program.h"

#include "support/system_calls.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace vetline {
namespace {

constexpr int maxSpawnAttempts = 8;
// Exit statuses by which a child says that its program never ran: found but
// not executable, and not found.
constexpr int cannotExecuteStatus = 126;
constexpr int notFoundStatus = 127;

// The file actions of the three redirections, released with the object.
class SpawnActions {
public:
  SpawnActions() { isReady = posix_spawn_file_actions_init(&actions) == 0; }
  ~SpawnActions() {
    if (isReady)
      posix_spawn_file_actions_destroy(&actions);
  }
  SpawnActions(const SpawnActions &) = delete;
  SpawnActions &operator=(const SpawnActions &) = delete;

  // False when an action could not be added.
  bool prepare(std::span<const std::optional<std::string_view>> redirections);
  posix_spawn_file_actions_t *get() { return &actions; }

private:
  bool addOpen(int fd, const std::optional<std::string_view> &path, int flags);

  posix_spawn_file_actions_t actions;
  bool isReady = false;
  std::string paths[3];
};

bool SpawnActions::addOpen(int fd, const std::optional<std::string_view> &path, int flags) {
  if (!path)
    return true;
  std::string &stored = paths[fd];
  stored = path->empty() ? std::string_view("/dev/null") : *path;
  return posix_spawn_file_actions_addopen(&actions, fd, stored.c_str(), flags, 0666) == 0;
}

bool SpawnActions::prepare(std::span<const std::optional<std::string_view>> redirections) {
  if (!isReady)
    return false;
  if (redirections.empty())
    return true;
  if (redirections.size() != 3)
    return false;
  const std::optional<std::string_view> &output = redirections[1];
  const std::optional<std::string_view> &error = redirections[2];
  if (!addOpen(0, redirections[0], O_RDONLY) || !addOpen(1, output, O_WRONLY | O_CREAT))
    return false;
  if (output && error && *output == *error)
    return posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0;
  return addOpen(2, error, O_WRONLY | O_CREAT);
}

pid_t spawnChild(const std::string &program, posix_spawn_file_actions_t *actions,
                 char *const argv[], const posix_spawnattr_t *attributes = nullptr) {
  for (int attempt = 0; attempt < maxSpawnAttempts; ++attempt) {
    pid_t pid;
    int result = posix_spawn(&pid, program.c_str(), actions, attributes, argv, environ);
    if (result == 0)
      return pid;
    if (result != EINTR)
      break;
  }
  return -1;
}

int waitForChild(pid_t pid) {
  int status = 0;
  pid_t waited;
  do
    waited = ::wait4(pid, &status, 0, nullptr);
  while (waited < 0 && errno == EINTR);
  if (waited != pid)
    return ProgramDidNotRun;
  if (WIFEXITED(status)) {
    int code = WEXITSTATUS(status);
    return code == cannotExecuteStatus || code == notFoundStatus ? ProgramDidNotRun : code;
  }
  if (WIFSIGNALED(status))
    return ProgramKilled;
  return ProgramDidNotRun;
}

// ---- runFilter ----

// The signals that end the process by default and may come from a terminal
// or a supervisor while a filter runs; the filter's group does not get them
// by itself, so they kill it first.
constexpr int forwardedSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR2};
constexpr size_t forwardedCount = std::size(forwardedSignals);
// At most this much is read or written in one call.
constexpr size_t transferChunk = 64 * 1024;
// The waits for the child's end, once its output is closed, grow from the
// first to the last (in milliseconds) until the deadline.
constexpr long firstExitPollMilliseconds = 1;
constexpr long lastExitPollMilliseconds = 16;

// The process group of the running filter: 0 when no run forwards the
// interrupts, -1 while the run that does is starting its child.
std::atomic<pid_t> filterGroup{0};
struct sigaction actionsBeforeFilter[forwardedCount];
std::atomic<bool> forwardingHooked[forwardedCount];

void forwardInterrupt(int signal) {
  int savedErrno = errno;
  pid_t group = filterGroup.load();
  if (group > 0)
    ::kill(-group, SIGKILL);
  for (size_t i = 0; i < forwardedCount; ++i)
    if (forwardedSignals[i] == signal && forwardingHooked[i].exchange(false))
      sigaction(signal, &actionsBeforeFilter[i], nullptr);
  // Blocked until this handler returns, then taken by the previous action.
  raise(signal);
  errno = savedErrno;
}

// Hooks the forwarded signals that are not ignored; false, with nothing
// hooked, when another run forwards them already.
bool hookInterrupts() {
  pid_t none = 0;
  if (!filterGroup.compare_exchange_strong(none, -1))
    return false;
  struct sigaction action = {};
  action.sa_handler = forwardInterrupt;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < forwardedCount; ++i) {
    struct sigaction &previous = actionsBeforeFilter[i];
    if (sigaction(forwardedSignals[i], nullptr, &previous) != 0)
      continue;
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN)
      continue;
    if (sigaction(forwardedSignals[i], &action, nullptr) == 0)
      forwardingHooked[i].store(true);
  }
  return true;
}

void unhookInterrupts() {
  for (size_t i = 0; i < forwardedCount; ++i)
    if (forwardingHooked[i].exchange(false))
      sigaction(forwardedSignals[i], &actionsBeforeFilter[i], nullptr);
  filterGroup.store(0);
}

long long monotonicMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// An open descriptor, closed with the object.
class Descriptor {
public:
  Descriptor() = default;
  ~Descriptor() { close(); }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;

  int get() const { return fd; }
  void reset(int replacement) {
    close();
    fd = replacement;
  }
  void close() {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }

private:
  int fd = -1;
};

// A pipe whose ends are close-on-exec and above the standard descriptors,
// which the child's redirections overwrite (a process started with one of
// them closed gets it back from pipe2). The end that stays with the caller
// (the read end when `readEndIsOurs`) is made non-blocking.
bool makePipe(Descriptor &readEnd, Descriptor &writeEnd, bool readEndIsOurs) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return false;
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
  for (Descriptor *end : {&readEnd, &writeEnd}) {
    if (end->get() > 2)
      continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    end->reset(moved);
    if (moved < 0)
      return false;
  }
  int ours = readEndIsOurs ? readEnd.get() : writeEnd.get();
  int flags = ::fcntl(ours, F_GETFL);
  return flags >= 0 && ::fcntl(ours, F_SETFL, flags | O_NONBLOCK) == 0;
}

enum class Exchange { Done, TimedOut, TooLarge, Failed };

// Writes `input` to the child and reads its output until the output ends,
// the deadline passes or the output goes past `cap`. `brokenPipe` tells
// whether a write raised SIGPIPE (blocked in this thread).
Exchange exchangeWithChild(Descriptor &toChild, Descriptor &fromChild, std::string_view input,
                           std::string &output, size_t cap, long long deadline, bool &brokenPipe) {
  SystemCalls &calls = systemCalls();
  size_t written = 0;
  if (input.empty())
    toChild.close();
  while (fromChild.get() >= 0 || toChild.get() >= 0) {
    long long remaining = deadline - monotonicMilliseconds();
    if (remaining <= 0)
      return Exchange::TimedOut;
    struct pollfd waited[2];
    nfds_t count = 0;
    int writeIndex = -1, readIndex = -1;
    if (toChild.get() >= 0) {
      writeIndex = int(count);
      waited[count++] = {toChild.get(), POLLOUT, 0};
    }
    if (fromChild.get() >= 0) {
      readIndex = int(count);
      waited[count++] = {fromChild.get(), POLLIN, 0};
    }
    int ready = calls.poll(waited, count, int(std::min<long long>(remaining, 60 * 1000)));
    if (ready < 0 && errno != EINTR && errno != EAGAIN)
      return Exchange::Failed;
    if (ready <= 0)
      continue;
    if (writeIndex >= 0 && waited[writeIndex].revents) {
      size_t size = std::min(input.size() - written, transferChunk);
      ssize_t done = calls.write(toChild.get(), input.data() + written, size);
      if (done > 0)
        written += size_t(done);
      else if (done < 0 && errno == EPIPE)
        brokenPipe = true;
      else if (done < 0 && errno != EAGAIN && errno != EINTR)
        return Exchange::Failed;
      // A child that no longer reads gets no more; its answer tells.
      if (written == input.size() || brokenPipe)
        toChild.close();
    }
    if (readIndex >= 0 && waited[readIndex].revents) {
      size_t had = output.size();
      size_t room = std::min(transferChunk, cap + 1 - had);
      output.resize(had + room);
      ssize_t got = calls.read(fromChild.get(), output.data() + had, room);
      output.resize(had + size_t(std::max<ssize_t>(got, 0)));
      if (got == 0)
        fromChild.close();
      else if (got < 0 && errno != EAGAIN && errno != EINTR)
        return Exchange::Failed;
      if (output.size() > cap)
        return Exchange::TooLarge;
    }
  }
  return Exchange::Done;
}

// Waits, without reaping it (so that its process group stays its own),
// until the child has ended; false when the deadline passes first.
bool awaitEnd(pid_t pid, long long deadline) {
  long pause = firstExitPollMilliseconds;
  while (true) {
    siginfo_t info = {};
    int result = ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (result == 0 && info.si_pid == pid)
      return true;
    // Nothing to wait for: the reaping that follows says what happened.
    if (result != 0 && errno != EINTR)
      return true;
    long long remaining = deadline - monotonicMilliseconds();
    if (remaining <= 0)
      return false;
    long long sleep = std::min<long long>(pause, remaining);
    struct timespec interval = {time_t(sleep / 1000), long(sleep % 1000) * 1000000};
    ::nanosleep(&interval, nullptr);
    pause = std::min(pause * 2, lastExitPollMilliseconds);
  }
}

// The spawn attributes of a filter: a process group of its own, the
// caller's signal mask, and SIGPIPE at its default so that a child writing
// to a reader that went away ends.
class FilterAttributes {
public:
  explicit FilterAttributes(const sigset_t &callerMask) {
    isInitialised = posix_spawnattr_init(&attributes) == 0;
    if (!isInitialised)
      return;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    isReady = posix_spawnattr_setflags(&attributes, flags) == 0 &&
              posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
              posix_spawnattr_setsigmask(&attributes, &callerMask) == 0 &&
              posix_spawnattr_setsigdefault(&attributes, &defaults) == 0;
  }
  ~FilterAttributes() {
    if (isInitialised)
      posix_spawnattr_destroy(&attributes);
  }
  FilterAttributes(const FilterAttributes &) = delete;
  FilterAttributes &operator=(const FilterAttributes &) = delete;

  const posix_spawnattr_t *get() const { return isReady ? &attributes : nullptr; }

private:
  posix_spawnattr_t attributes;
  bool isInitialised = false;
  bool isReady = false;
};

} // namespace

int runAndWait(std::string_view program, std::span<const std::string_view> arguments,
               std::span<const std::optional<std::string_view>> redirections) {
  std::string programPath(program);
  if (::access(programPath.c_str(), F_OK) != 0)
    return ProgramDidNotRun;
  std::vector<std::string> argumentTexts(arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &text : argumentTexts)
    argv.push_back(text.data());
  argv.push_back(nullptr);

  SpawnActions actions;
  if (!actions.prepare(redirections))
    return ProgramDidNotRun;
  pid_t pid = spawnChild(programPath, redirections.empty() ? nullptr : actions.get(), argv.data());
  if (pid < 0)
    return ProgramDidNotRun;
  return waitForChild(pid);
}

int runFilter(std::string_view program, std::span<const std::string_view> arguments,
              std::string_view input, std::string &output, const FilterLimits &limits) {
  output.clear();
  std::string programPath(program);
  if (::access(programPath.c_str(), F_OK) != 0)
    return ProgramDidNotRun;
  std::vector<std::string> argumentTexts(arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &text : argumentTexts)
    argv.push_back(text.data());
  argv.push_back(nullptr);

  Descriptor childInput, toChild, fromChild, childOutput;
  if (!makePipe(childInput, toChild, false) || !makePipe(fromChild, childOutput, true))
    return ProgramDidNotRun;
  SpawnActions actions;
  const std::optional<std::string_view> toNull[] = {std::nullopt, std::nullopt, std::string_view()};
  if (!actions.prepare(toNull) ||
      posix_spawn_file_actions_adddup2(actions.get(), childInput.get(), 0) != 0 ||
      posix_spawn_file_actions_adddup2(actions.get(), childOutput.get(), 1) != 0)
    return ProgramDidNotRun;

  // The interrupts wait while the child starts, so that none finds it
  // started but not yet known; SIGPIPE waits for the whole run.
  sigset_t blocked, callerMask;
  sigemptyset(&blocked);
  for (int signal : forwardedSignals)
    sigaddset(&blocked, signal);
  sigaddset(&blocked, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &blocked, &callerMask) != 0)
    return ProgramDidNotRun;
  bool pipeWasBlocked = sigismember(&callerMask, SIGPIPE) == 1;
  sigset_t runningMask = callerMask;
  sigaddset(&runningMask, SIGPIPE);

  FilterAttributes attributes(callerMask);
  bool forwarding = attributes.get() && hookInterrupts();
  pid_t pid =
      attributes.get() ? spawnChild(programPath, actions.get(), argv.data(), attributes.get()) : -1;
  if (pid < 0) {
    if (forwarding)
      unhookInterrupts();
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    return ProgramDidNotRun;
  }
  if (forwarding)
    filterGroup.store(pid);
  pthread_sigmask(SIG_SETMASK, &runningMask, nullptr);
  childInput.close();
  childOutput.close();

  long long deadline = monotonicMilliseconds() + limits.timeLimitMilliseconds;
  bool brokenPipe = false;
  Exchange exchange =
      exchangeWithChild(toChild, fromChild, input, output, limits.outputCap, deadline, brokenPipe);
  if (exchange == Exchange::Done && !awaitEnd(pid, deadline))
    exchange = Exchange::TimedOut;
  // The child is a zombie or still running, so its group is still its own:
  // whatever it left running goes too. A child that is cut off dies before
  // its pipes close, so that it cannot go on after a failed write.
  ::kill(-pid, SIGKILL);
  toChild.close();
  fromChild.close();

  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  if (forwarding)
    filterGroup.store(-1);
  int status = waitForChild(pid);
  if (forwarding)
    unhookInterrupts();
  if (brokenPipe && !pipeWasBlocked) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    const struct timespec noWait = {0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);

  switch (exchange) {
  case Exchange::Done:
    return status;
  case Exchange::TimedOut:
    return ProgramTimedOut;
  case Exchange::TooLarge:
    return ProgramOutputTooLarge;
  case Exchange::Failed:
    break;
  }
  return ProgramDidNotRun;
}

} // namespace vetline
