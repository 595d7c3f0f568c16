// Runs the built tool on the files of end-to-end cases with its standard
// error on a pseudo-terminal, as at a user's screen, and on a pipe, as under
// a test suite. The terminal must be shown the input's control bytes in
// caret notation with the marks under them; the pipe must get what the
// case's own expectation holds, byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct ToolRun {
  int status = -1;
  std::string errors;
};

std::string fileText(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The case's arguments: plain words, none of these cases quotes any.
std::vector<std::string> caseArguments(const std::string &caseDir) {
  std::istringstream words(fileText(caseDir + "/args"));
  std::vector<std::string> arguments{VETLINE_TOOL};
  for (std::string word; words >> word;)
    arguments.push_back(word);
  return arguments;
}

// The master side of a pseudo-terminal reports EIO, not end of file, once
// the last slave descriptor is closed.
std::string readToEnd(int fd) {
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      return text;
    text.append(chunk, static_cast<size_t>(count));
  }
}

// Runs the tool in `caseDir` with standard error on a terminal of type
// `term` (raw, so line feeds arrive as they were written) or on a pipe.
ToolRun runCase(const std::string &caseDir, const char *term, bool onTerminal) {
  int reader = -1;
  int writer = -1;
  if (onTerminal) {
    if (openpty(&reader, &writer, nullptr, nullptr, nullptr) != 0)
      return {};
    struct termios mode;
    tcgetattr(writer, &mode);
    cfmakeraw(&mode);
    tcsetattr(writer, TCSANOW, &mode);
  } else {
    int ends[2];
    if (pipe(ends) != 0)
      return {};
    reader = ends[0];
    writer = ends[1];
  }
  // Everything the child needs is made before the fork.
  std::vector<std::string> arguments = caseArguments(caseDir);
  std::vector<char *> argv;
  for (std::string &argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::string termEntry = std::string("TERM=") + term;
  std::vector<char *> envp{termEntry.data()};
  for (char **entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, "TERM=", 5) != 0 && std::strncmp(*entry, "VETLINE_OPTS=", 13) != 0)
      envp.push_back(*entry);
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (chdir(caseDir.c_str()) != 0 || null < 0)
      _exit(126);
    dup2(null, 0);
    dup2(null, 1);
    dup2(writer, 2);
    close(null);
    close(reader);
    close(writer);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(writer);
  ToolRun run;
  run.errors = readToEnd(reader);
  close(reader);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  return run;
}

struct TerminalCase {
  const char *caseDir;
  const char *term;
  std::string onTerminal;
};

const TerminalCase terminalCases[] = {
    // Without colours. Carets and marks cover both columns of an escaped
    // byte; the tab after them reaches the tab stop counted on the shown
    // text (the source line expands it, the terminal expands the dump's);
    // the lone CR ends the source line but is shown in the dump.
    {"cases/dump/control-bytes", "dumb",
     "check.txt:2:18: error: CHECK-NOT: excluded string found in input\n"
     "^G^[[7m CHECK-NOT: x{{.}}y{{.}}z\n"
     "                   ^\n"
     "input.txt:2:15: note: found here\n"
     "^[[2J^[]0;title^Gx^?y^@z        end\n"
     "                 ^~~~~~~\n"
     "\n"
     "Input file: input.txt\n"
     "Check file: check.txt\n"
     "\n"
     "-dump-input=help explains the following input dump.\n"
     "\n"
     "Input was:\n"
     "<<<<<<\n"
     "         1: begin \n"
     "check:1     ^~~~~\n"
     "         2: ^[[2J^[]0;title^Gx^?y^@z\tend^M^[[1Agone \n"
     "check:3                                 ^~~\n"
     "not:2                        !~~~~~~                    error: no match expected\n"
     "         3: last \n"
     ">>>>>>\n"},
    // A colour terminal: the tool's own sequences arrive as they are.
    {"cases/check/nul-bytes-broken", "xterm",
     "\x1b[1mcheck.txt:2:12: \x1b[0m\x1b[0;1;31merror: \x1b[0m"
     "\x1b[1mCHECK-NOT: excluded string found in input\n\x1b[0m"
     "CHECK-NOT: bad\n"
     "\x1b[0;1;32m           ^\n\x1b[0m"
     "\x1b[1minput.txt:1:6: \x1b[0m\x1b[0;1;30mnote: \x1b[0m\x1b[1mfound here\n\x1b[0m"
     "k^@y^@^@bad bxd\n"
     "\x1b[0;1;32m        ^~~\n\x1b[0m"
     "\x1b[1mcheck.txt:3:12: \x1b[0m\x1b[0;1;31merror: \x1b[0m"
     "\x1b[1mCHECK-NOT: excluded string found in input\n\x1b[0m"
     "CHECK-NOT: {{b.d}}\n"
     "\x1b[0;1;32m           ^\n\x1b[0m"
     "\x1b[1minput.txt:1:6: \x1b[0m\x1b[0;1;30mnote: \x1b[0m\x1b[1mfound here\n\x1b[0m"
     "k^@y^@^@bad bxd\n"
     "\x1b[0;1;32m        ^~~\n\x1b[0m"},
};

TEST(TerminalOutput, ControlBytesAreShownOnATerminalAndPassedThroughAPipe) {
  for (const TerminalCase &c : terminalCases) {
    SCOPED_TRACE(c.caseDir);
    std::string caseDir = c.caseDir;
    int expectedStatus = std::stoi(fileText(caseDir + "/exit"));

    ToolRun onTerminal = runCase(caseDir, c.term, true);
    EXPECT_EQ(onTerminal.status, expectedStatus);
    EXPECT_EQ(onTerminal.errors, c.onTerminal);

    ToolRun onPipe = runCase(caseDir, c.term, false);
    EXPECT_EQ(onPipe.status, expectedStatus);
    EXPECT_EQ(onPipe.errors, fileText(caseDir + "/stderr"));
  }
}

} // namespace
