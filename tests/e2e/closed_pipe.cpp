// Runs a program with one of its output descriptors on a pipe whose reader
// has already gone, the most abrupt case of a reader that stops early
// (`vetline --help | head -c 0`), and checks how the program ended.
//   closed_pipe FD STATUS PROGRAM [ARGUMENTS...]
// Exits 0 when the program exited with STATUS, else prints what happened
// and exits 1.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: closed_pipe FD STATUS PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  int descriptor = std::atoi(argv[1]);
  int expected = std::atoi(argv[2]);
  int ends[2];
  if (pipe(ends) != 0) {
    std::perror("closed_pipe: pipe");
    return 2;
  }
  close(ends[0]);
  pid_t pid = fork();
  if (pid == 0) {
    // The test runner may ignore SIGPIPE; the program must not inherit that.
    signal(SIGPIPE, SIG_DFL);
    dup2(ends[1], descriptor);
    close(ends[1]);
    execv(argv[3], argv + 3);
    _exit(127);
  }
  close(ends[1]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) {
    std::perror("closed_pipe: running the program");
    return 2;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == expected)
    return 0;
  if (WIFEXITED(status))
    std::fprintf(stderr, "exited with %d, expected %d\n", WEXITSTATUS(status), expected);
  else if (WIFSIGNALED(status))
    std::fprintf(stderr, "killed by signal %s, expected exit status %d\n",
                 sigabbrev_np(WTERMSIG(status)), expected);
  return 1;
}
