// Other processes seen through /proc, for the tests that check that nothing
// a child started outlives the run that started it.
#pragma once

#include "tests/unit/process/scratch_dir.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace vetline::testing {

// Whether process `pid` exists and has not ended: a zombie that no parent
// has reaped yet (an orphan waits for the system's) counts as ended. When
// it lives and `group` is given, that receives its process group.
inline bool isAlive(pid_t pid, pid_t *group = nullptr) {
  std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
  // "PID (NAME) STATE PPID PGRP ...", where the name may hold anything.
  size_t nameEnd = stat.rfind(')');
  if (stat == "<missing>" || nameEnd == std::string::npos || stat.size() < nameEnd + 3)
    return false;
  char state = stat[nameEnd + 2];
  if (state == 'Z' || state == 'X' || state == 'x')
    return false;
  if (group) {
    size_t ppidEnd = stat.find(' ', nameEnd + 4);
    *group = ppidEnd == std::string::npos ? 0 : pid_t(std::atol(stat.c_str() + ppidEnd + 1));
  }
  return true;
}

// The living processes of process group `group`.
inline std::vector<pid_t> liveMembersOf(pid_t group) {
  std::vector<pid_t> members;
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator("/proc", ignored)) {
    std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    pid_t pid = pid_t(std::atol(name.c_str()));
    pid_t itsGroup = 0;
    if (isAlive(pid, &itsGroup) && itsGroup == group)
      members.push_back(pid);
  }
  return members;
}

// Those of `pids`, and of the members of process group `group` (unless 0),
// that still live after up to ten seconds: a SIGKILL takes effect when its
// target next runs, not when kill returns.
inline std::vector<pid_t> survivors(const std::vector<pid_t> &pids, pid_t group = 0) {
  std::vector<pid_t> alive;
  for (int wait = 0; wait < 1000; ++wait) {
    alive.clear();
    for (pid_t pid : pids)
      if (isAlive(pid))
        alive.push_back(pid);
    if (group > 0)
      for (pid_t member : liveMembersOf(group))
        alive.push_back(member);
    if (alive.empty())
      break;
    usleep(10000);
  }
  return alive;
}

} // namespace vetline::testing
