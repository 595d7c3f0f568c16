#include "support/process/run_program.h"

#include "tests/unit/process/scratch_dir.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vetline {
namespace {

using testing::readWholeFile;
using testing::ScratchDir;

int runShell(const std::string &script,
             std::vector<std::optional<std::string_view>> redirections = {}) {
  const std::string_view arguments[] = {"sh", "-c", script};
  return runAndWait("/bin/sh", arguments, redirections);
}

TEST(RunProgram, Results) {
  const std::pair<const char *, int> cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"exit 255", 255},
      {"kill -KILL $$", ProgramKilled},
      {"kill -TERM $$", ProgramKilled},
      {"exit 126", ProgramDidNotRun},
      {"exit 127", ProgramDidNotRun},
      {"exec /no/such/program", ProgramDidNotRun},
  };
  for (const auto &[script, result] : cases) {
    SCOPED_TRACE(script);
    EXPECT_EQ(runShell(script), result);
  }
}

TEST(RunProgram, ProgramsThatCannotStart) {
  ScratchDir scratch;
  std::string notExecutable = scratch.writeFile("data", "#!/bin/sh\nexit 0\n", 0644);
  std::string directory = scratch.makeDir("dir");
  for (const std::string &program : {std::string("/no/such/program"), notExecutable, directory}) {
    SCOPED_TRACE(program);
    const std::string_view arguments[] = {"x"};
    EXPECT_EQ(runAndWait(program, arguments), ProgramDidNotRun);
  }
  // Nothing is started for a missing program: a side effect would show.
  EXPECT_EQ(scratch.list(), (std::vector<std::string>{"data", "dir"}));
}

TEST(RunProgram, TheChildSeesItsArguments) {
  ScratchDir scratch;
  std::string out = scratch.path("out");
  const std::string_view arguments[] = {"sh",   "-c",  "printf '%s|' \"$0\" \"$@\"",
                                        "zero", "a b", ""};
  const std::optional<std::string_view> redirections[] = {std::nullopt, out, std::nullopt};
  EXPECT_EQ(runAndWait("/bin/sh", arguments, redirections), 0);
  EXPECT_EQ(readWholeFile(out), "zero|a b||");
}

TEST(RunProgram, Redirections) {
  ScratchDir scratch;
  std::string in = scratch.writeFile("in", "hello\n");
  std::string out = scratch.path("out");
  std::string err = scratch.path("err");
  std::string unopenable = scratch.path("none/out");
  struct Case {
    const char *name;
    const char *existingOutput; // nullptr: no file yet
    std::vector<std::optional<std::string_view>> redirections;
    const char *script;
    int result;
    const char *output;
    const char *error;
  };
  const Case cases[] = {
      {"input from a file",
       nullptr,
       {in, out, err},
       "read line; echo \"got $line\"",
       0,
       "got hello\n",
       ""},
      {"empty input path reads /dev/null",
       nullptr,
       {"", out, err},
       "if read line; then exit 1; fi; echo eof",
       0,
       "eof\n",
       ""},
      {"output and error apart",
       nullptr,
       {in, out, err},
       "echo out; echo err >&2",
       0,
       "out\n",
       "err\n"},
      {"the same path for both",
       nullptr,
       {in, out, out},
       "echo out; echo err >&2",
       0,
       "out\nerr\n",
       "<missing>"},
      {"empty error path discards it",
       nullptr,
       {in, out, ""},
       "echo out; echo err >&2",
       0,
       "out\n",
       "<missing>"},
      {"an existing longer file is overwritten, not shortened",
       "XXXXXXXXXX",
       {std::nullopt, out, std::nullopt},
       "printf ab",
       0,
       "abXXXXXXXX",
       "<missing>"},
      {"an output that cannot be opened",
       nullptr,
       {in, unopenable, err},
       "exit 0",
       ProgramDidNotRun,
       "<missing>",
       "<missing>"},
      {"a list that is not three entries long",
       nullptr,
       {in, out},
       "exit 0",
       ProgramDidNotRun,
       "<missing>",
       "<missing>"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(out.c_str());
    unlink(err.c_str());
    if (c.existingOutput)
      scratch.writeFile("out", c.existingOutput);
    EXPECT_EQ(runShell(c.script, c.redirections), c.result);
    EXPECT_EQ(readWholeFile(out), c.output);
    EXPECT_EQ(readWholeFile(err), c.error);
  }
}

} // namespace
} // namespace vetline
