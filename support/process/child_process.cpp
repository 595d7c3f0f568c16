#include "support/process/child_process.h"

#include "support/system_calls.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vetline {
namespace {

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

Error errorFromNumber(int number) {
  return fromErrorCode(std::error_code(number, std::generic_category()));
}

// Signals whose disposition a child must not inherit from a runner: an
// ignored SIGPIPE would turn a closed pipe into a write error in every
// program of a pipeline, and an ignored or blocked SIGINT would make the
// child immune to the interrupt the runner passes on.
constexpr int resetSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD, SIGALRM};

// A pipe whose read end is non-blocking; both ends close on exec, and the
// child gets the write end through dup2, which clears the flag on the copy.
bool makePipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return false;
  int flags = ::fcntl(ends[0], F_GETFL);
  if (flags < 0 || ::fcntl(ends[0], F_SETFL, flags | O_NONBLOCK) != 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  return true;
}

class SpawnSetup {
public:
  SpawnSetup() {
    isReady = posix_spawn_file_actions_init(&actions) == 0;
    hasAttributes = posix_spawnattr_init(&attributes) == 0;
  }
  ~SpawnSetup() {
    if (isReady)
      posix_spawn_file_actions_destroy(&actions);
    if (hasAttributes)
      posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;

  // An error number, 0 on success.
  int prepare(const ChildSpec &spec, int outputEnd, int errorEnd);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;

private:
  bool isReady = false;
  bool hasAttributes = false;
};

int SpawnSetup::prepare(const ChildSpec &spec, int outputEnd, int errorEnd) {
  if (!isReady || !hasAttributes)
    return ENOMEM;
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (int signal : resetSignals)
    sigaddset(&defaults, signal);
  short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (int error = posix_spawnattr_setflags(&attributes, flags))
    return error;
  if (int error = posix_spawnattr_setpgroup(&attributes, 0))
    return error;
  if (int error = posix_spawnattr_setsigmask(&attributes, &empty))
    return error;
  if (int error = posix_spawnattr_setsigdefault(&attributes, &defaults))
    return error;
  if (int error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0))
    return error;
  if (int error = posix_spawn_file_actions_adddup2(&actions, outputEnd, 1))
    return error;
  if (int error = posix_spawn_file_actions_adddup2(&actions, errorEnd, 2))
    return error;
  if (!spec.directory.empty())
    return posix_spawn_file_actions_addchdir_np(&actions, spec.directory.c_str());
  return 0;
}

std::vector<char *> pointersTo(const std::vector<std::string> &texts) {
  std::vector<char *> pointers;
  pointers.reserve(texts.size() + 1);
  for (const std::string &text : texts)
    pointers.push_back(const_cast<char *>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// The whole of a small /proc file; empty when it cannot be read.
std::string readProcFile(const std::string &path) {
  std::string contents;
  int fd = openReadOnly(path);
  if (fd < 0)
    return contents;
  char chunk[4096];
  ssize_t got;
  while ((got = readRetrying(fd, chunk, sizeof(chunk))) > 0)
    contents.append(chunk, size_t(got));
  ::close(fd);
  return contents;
}

} // namespace

Fallible<StartedChild> startChildInGroup(const ChildSpec &spec) {
  int output[2], error[2];
  if (!makePipe(output))
    return fromErrorCode(lastError());
  if (!makePipe(error)) {
    Error failure = fromErrorCode(lastError());
    ::close(output[0]);
    ::close(output[1]);
    return failure;
  }
  SpawnSetup setup;
  int failure = setup.prepare(spec, output[1], error[1]);
  pid_t pid = -1;
  if (failure == 0) {
    std::vector<char *> argv = pointersTo(spec.arguments);
    std::vector<char *> envp = pointersTo(spec.environment);
    do
      failure = posix_spawn(&pid, spec.program.c_str(), &setup.actions, &setup.attributes,
                            argv.data(), envp.data());
    while (failure == EINTR);
  }
  ::close(output[1]);
  ::close(error[1]);
  if (failure != 0) {
    ::close(output[0]);
    ::close(error[0]);
    return errorFromNumber(failure);
  }
  return StartedChild{pid, output[0], error[0]};
}

void signalGroup(pid_t group, int signal) {
  if (group > 0)
    ::kill(-group, signal);
}

bool becomeChildSubreaper() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0; }

std::vector<pid_t> listChildren() {
  // /proc lists children per thread; a single-threaded runner has only
  // this one, which is where orphans are handed too.
  pid_t self = ::getpid();
  pid_t thread = pid_t(::syscall(SYS_gettid));
  std::string text = readProcFile("/proc/" + std::to_string(self) + "/task/" +
                                  std::to_string(thread) + "/children");
  std::vector<pid_t> children;
  pid_t value = 0;
  bool inNumber = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      inNumber = true;
    } else if (inNumber) {
      children.push_back(value);
      value = 0;
      inNumber = false;
    }
  }
  if (inNumber)
    children.push_back(value);
  return children;
}

std::string environmentValueOf(pid_t pid, std::string_view name) {
  std::string environment = readProcFile("/proc/" + std::to_string(pid) + "/environ");
  std::string_view rest = environment;
  while (!rest.empty()) {
    size_t end = rest.find('\0');
    std::string_view entry = rest.substr(0, end);
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
      return std::string(entry.substr(name.size() + 1));
    if (end == std::string_view::npos)
      break;
    rest.remove_prefix(end + 1);
  }
  return {};
}

} // namespace vetline
