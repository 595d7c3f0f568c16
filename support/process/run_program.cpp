#include "support/process/run_program.h"

#include <cerrno>
#include <fcntl.h>
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
                 char *const argv[]) {
  for (int attempt = 0; attempt < maxSpawnAttempts; ++attempt) {
    pid_t pid;
    int result = posix_spawn(&pid, program.c_str(), actions, nullptr, argv, environ);
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

} // namespace vetline
