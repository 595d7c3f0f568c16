// A sanitizer report must never look like one of the tool's verdicts (0, 1
// or 2), whatever the environment: every report ends the process by SIGABRT.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Ending {
  int signal = 0;
  int status = -1;
  std::string errors;
};

// Runs the helper with exactly `environment` and collects its standard error.
Ending runHelper(const char *mode, std::vector<std::string> environment) {
  int pipeEnds[2];
  EXPECT_EQ(pipe(pipeEnds), 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], 2);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    std::vector<char *> envp;
    for (std::string &entry : environment)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(SANITIZER_REPORT_HELPER), const_cast<char *>(mode), nullptr};
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  Ending ending;
  char block[4096];
  ssize_t count;
  while ((count = read(pipeEnds[0], block, sizeof block)) > 0)
    ending.errors.append(block, size_t(count));
  close(pipeEnds[0]);
  int wstatus = 0;
  EXPECT_EQ(waitpid(child, &wstatus, 0), child);
  if (WIFSIGNALED(wstatus))
    ending.signal = WTERMSIG(wstatus);
  else if (WIFEXITED(wstatus))
    ending.status = WEXITSTATUS(wstatus);
  return ending;
}

struct ReportCase {
  const char *mode;
  const char *reportText;
};

const ReportCase reportCases[] = {
    {"address", "AddressSanitizer: heap-use-after-free"},
    {"undefined", "runtime error: signed integer overflow"},
    {"leak", "LeakSanitizer: detected memory leaks"},
};

struct EnvironmentCase {
  const char *name;
  std::vector<std::string> variables;
};

const EnvironmentCase environmentCases[] = {
    {"empty environment", {}},
    {"options that say nothing about ending",
     {"ASAN_OPTIONS=detect_leaks=1", "UBSAN_OPTIONS=print_stacktrace=1"}},
    {"options that ask for a quiet end",
     {"ASAN_OPTIONS=abort_on_error=0:exitcode=0", "UBSAN_OPTIONS=abort_on_error=0:exitcode=0",
      "LSAN_OPTIONS=exitcode=0"}},
    {"options that ask for the tool's statuses",
     {"ASAN_OPTIONS=abort_on_error=0:exitcode=1", "UBSAN_OPTIONS=abort_on_error=0:exitcode=2",
      "LSAN_OPTIONS=exitcode=1"}},
};

TEST(SanitizerOptions, EveryReportAborts) {
  for (const EnvironmentCase &environment : environmentCases) {
    for (const ReportCase &report : reportCases) {
      SCOPED_TRACE(std::string(environment.name) + ", " + report.mode);
      Ending ending = runHelper(report.mode, environment.variables);
      EXPECT_EQ(ending.signal, SIGABRT) << "exit status " << ending.status;
      EXPECT_NE(ending.errors.find(report.reportText), std::string::npos) << ending.errors;
    }
    SCOPED_TRACE(std::string(environment.name) + ", no report");
    Ending clean = runHelper("none", environment.variables);
    EXPECT_EQ(clean.signal, 0);
    EXPECT_EQ(clean.status, 0);
  }
}

} // namespace
