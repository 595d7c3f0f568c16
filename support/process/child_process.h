// Child processes that a runner supervises: each starts in a process group
// of its own, with standard input from /dev/null and standard output and
// error on pipes the caller reads, so that the whole group can be stopped at
// once and the output read without blocking. Also here: becoming a child
// subreaper, so that descendants which leave their group (setsid, a double
// fork) are handed to the runner when their parent dies instead of to init,
// and listing the runner's children to find them.
//
// Surprising: the child's signal mask is emptied and the usual signals reset
// to their default action, whatever the caller blocks or ignores (a runner
// blocks SIGCHLD, SIGINT and SIGTERM to read them from a descriptor).
// Nothing here prints.
#pragma once

#include "support/error.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace vetline {

struct ChildSpec {
  std::string program;
  // The first is the name the child sees as its own.
  std::vector<std::string> arguments;
  // "NAME=VALUE" each: the child's whole environment.
  std::vector<std::string> environment;
  // Where the child starts; empty for the caller's directory.
  std::string directory;
};

struct StartedChild {
  pid_t pid = -1;
  // Read ends, non-blocking and close-on-exec; the caller closes them.
  int outputFd = -1;
  int errorFd = -1;
};

// Starts `spec` as the leader of a new process group (its group number is
// its pid). Fails with the system's error when the pipes cannot be made or
// the program cannot be started (a missing program or directory included).
Fallible<StartedChild> startChildInGroup(const ChildSpec &spec);

// Sends `signal` to every process of group `group`; a group that no longer
// exists is not an error.
void signalGroup(pid_t group, int signal);

// Makes the calling process the reaper of its orphaned descendants. False
// when the system refuses (a kernel without the feature).
bool becomeChildSubreaper();

// The pids of the calling thread's living (or not yet reaped) children, from
// /proc; empty when /proc cannot tell.
std::vector<pid_t> listChildren();

// The value of variable `name` in the environment of process `pid`, from
// /proc; empty when unset or unreadable (the process gone, or another
// user's).
std::string environmentValueOf(pid_t pid, std::string_view name);

} // namespace vetline
