// GCC 12 sees an uninitialised std::function inside std::regex when the
// sanitizers are on; a false positive in the library's own code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "support/process/paths.h"

#include "tests/unit/process/scratch_dir.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vetline {
namespace {

using testing::ScopedEnv;
using testing::ScratchDir;

struct TemporaryDirectoryCase {
  const char *name;
  const char *tmpdir, *tmp, *temp, *tempdir;
  const char *expected;
};

const TemporaryDirectoryCase temporaryDirectoryCases[] = {
    {"none set", nullptr, nullptr, nullptr, nullptr, "/tmp"},
    {"TMPDIR first", "/a", "/b", "/c", "/d", "/a"},
    {"TMP without TMPDIR", nullptr, "/b", "/c", "/d", "/b"},
    {"TEMP next", nullptr, nullptr, "/c", "/d", "/c"},
    {"TEMPDIR last", nullptr, nullptr, nullptr, "/d", "/d"},
    {"an empty value counts as set", "", "/b", nullptr, nullptr, ""},
    {"taken unchanged", "/x/y/", nullptr, nullptr, nullptr, "/x/y/"},
};

TEST(Paths, TemporaryDirectory) {
  for (const TemporaryDirectoryCase &c : temporaryDirectoryCases) {
    SCOPED_TRACE(c.name);
    ScopedEnv tmpdir("TMPDIR", c.tmpdir), tmp("TMP", c.tmp), temp("TEMP", c.temp),
        tempdir("TEMPDIR", c.tempdir);
    EXPECT_EQ(temporaryDirectory(), c.expected);
  }
}

TEST(Paths, DirectoryOf) {
  const std::pair<const char *, const char *> cases[] = {
      {"a/b/c", "a/b"}, {"/a", "/"},       {"c", ""},   {"", ""},
      {"a//b", "a"},    {"//a", "/"},      {"a/", "a"}, {"/usr/bin/vetline", "/usr/bin"},
      {"./x", "."},     {"../x/y", "../x"}};
  for (const auto &[path, directory] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(directoryOf(path), directory);
  }
}

// Four directories that each hold something called "prog": a directory, a
// file nobody may execute, and two executable files.
class ProgramLookup : public ::testing::Test {
protected:
  void SetUp() override {
    scratch.makeDir("a");
    scratch.makeDir("a/prog");
    scratch.makeDir("b");
    scratch.writeFile("b/prog", "#!/bin/sh\n", 0644);
    scratch.makeDir("c");
    scratch.writeFile("c/prog", "#!/bin/sh\n", 0755);
    scratch.makeDir("d");
    scratch.writeFile("d/prog", "#!/bin/sh\n", 0755);
    EXPECT_EQ(symlink(scratch.path("c/prog").c_str(), scratch.path("link").c_str()), 0);
  }

  // "path" or "<ENOENT>"-style error text, for comparing in tables.
  std::string lookUp(const char *name, std::vector<std::string> directories = {}) {
    std::vector<std::string_view> views(directories.begin(), directories.end());
    std::string path;
    std::error_code error = lookUpProgram(name, path, views);
    if (error)
      return "<" + error.message() + ">";
    return path;
  }

  std::string dirs(std::initializer_list<const char *> names) {
    std::string joined;
    for (const char *name : names)
      joined += (joined.empty() ? "" : ":") + (*name ? scratch.path(name) : std::string());
    return joined;
  }

  ScratchDir scratch;
};

TEST_F(ProgramLookup, AlongPath) {
  const std::string notFound = "<No such file or directory>";
  struct Case {
    const char *name;
    std::optional<std::string> path;
    const char *program;
    std::string expected;
  };
  const Case cases[] = {
      {"a directory and a file without permission are skipped", dirs({"a", "b", "c", "d"}), "prog",
       scratch.path("c/prog")},
      {"empty entries are dropped", "::" + dirs({"a", "", "d"}) + ":", "prog",
       scratch.path("d/prog")},
      {"nothing runnable", dirs({"a", "b"}), "prog", notFound},
      {"no such program", dirs({"c", "d"}), "other", notFound},
      {"PATH unset", std::nullopt, "prog", notFound},
      {"PATH empty", "", "prog", notFound},
      {"a name with a slash is taken as it is", dirs({"c"}), "no/such/prog", "no/such/prog"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv path("PATH", c.path ? c.path->c_str() : nullptr);
    EXPECT_EQ(lookUp(c.program), c.expected);
  }
}

TEST_F(ProgramLookup, GivenDirectoriesReplacePath) {
  ScopedEnv path("PATH", scratch.path("c").c_str());
  EXPECT_EQ(lookUp("prog", {scratch.path("b"), scratch.path("d")}), scratch.path("d/prog"));
  EXPECT_EQ(lookUp("prog", {scratch.path("a")}), "<No such file or directory>");
}

TEST_F(ProgramLookup, IsRunnable) {
  const std::pair<const char *, bool> cases[] = {
      {"c/prog", true}, {"link", true}, {"b/prog", false}, {"a/prog", false}, {"missing", false}};
  for (const auto &[name, runnable] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(isRunnable(scratch.path(name)), runnable);
  }
  EXPECT_TRUE(fileExists(scratch.path("b/prog")));
  EXPECT_TRUE(fileExists(scratch.path("a/prog")));
  EXPECT_FALSE(fileExists(scratch.path("missing")));
}

struct TemporaryFileCase {
  const char *name;
  const char *prefix;
  const char *suffix;
  const char *namePattern; // after the directory
};

const TemporaryFileCase temporaryFileCases[] = {
    {"no suffix", "symbolizer-input", "", "symbolizer-input-[0-9a-f]{6}"},
    {"with a suffix", "crash", "txt", "crash-[0-9a-f]{6}\\.txt"},
    {"a prefix with a directory part", "sub/x", "", "sub/x-[0-9a-f]{6}"},
};

TEST(Paths, MakeTemporaryFile) {
  ScratchDir scratch;
  scratch.makeDir("sub");
  for (const char *directory : {"TMPDIR", "TMP"}) {
    SCOPED_TRACE(directory);
    ScopedEnv tmpdir("TMPDIR", nullptr);
    ScopedEnv chosen(directory, scratch.rootPath().c_str());
    for (const TemporaryFileCase &c : temporaryFileCases) {
      SCOPED_TRACE(c.name);
      int fd = -1;
      std::string path;
      ASSERT_FALSE(makeTemporaryFile(c.prefix, c.suffix, fd, path));
      EXPECT_TRUE(std::regex_match(path, std::regex(scratch.rootPath() + "/" + c.namePattern)))
          << path;
      struct stat status;
      ASSERT_EQ(fstat(fd, &status), 0);
      EXPECT_TRUE(S_ISREG(status.st_mode));
      EXPECT_EQ(status.st_mode & 07777, 0600u);
      EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
      EXPECT_EQ(write(fd, "x", 1), 1);
      close(fd);
      EXPECT_EQ(testing::readWholeFile(path), "x");
      unlink(path.c_str());
    }
  }
}

TEST(Paths, MakeTemporaryFileAbsolutePrefixAndEmptyDirectory) {
  ScratchDir scratch;
  ScopedEnv tmpdir("TMPDIR", "/nonexistent-directory");
  std::string path;
  ASSERT_FALSE(makeTemporaryFile(scratch.path("abs"), "", path));
  EXPECT_TRUE(std::regex_match(path, std::regex(scratch.path("abs") + "-[0-9a-f]{6}"))) << path;
  EXPECT_TRUE(fileExists(path));

  // An empty directory variable means the current directory.
  char *previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(scratch.rootPath().c_str()), 0);
  ScopedEnv empty("TMPDIR", "");
  std::string relative;
  std::error_code error = makeTemporaryFile("here", "", relative);
  EXPECT_EQ(chdir(previous), 0);
  free(previous);
  ASSERT_FALSE(error);
  EXPECT_TRUE(std::regex_match(relative, std::regex("here-[0-9a-f]{6}"))) << relative;
  EXPECT_TRUE(fileExists(scratch.path(relative)));
}

TEST(Paths, MakeUniqueFile) {
  ScratchDir scratch;
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    int fd = -1;
    std::string path;
    ASSERT_FALSE(makeUniqueFile(scratch.path("u-%%%%"), 0640, fd, path));
    close(fd);
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(scratch.list().size(), 20u);

  // A name without '%' that exists is tried 128 times, then its error is
  // returned; an error other than "exists" is returned at once.
  int fd = -1;
  std::string path = "unchanged";
  scratch.writeFile("fixed", "");
  EXPECT_EQ(makeUniqueFile(scratch.path("fixed"), 0600, fd, path),
            std::make_error_code(std::errc::file_exists));
  EXPECT_EQ(makeUniqueFile(scratch.path("missing/f-%%"), 0600, fd, path),
            std::make_error_code(std::errc::no_such_file_or_directory));
  EXPECT_EQ(path, "unchanged");
}

TEST(Paths, RemoveOnExit) {
  ScratchDir scratch;
  scratch.writeFile("file", "x");
  scratch.writeFile("target", "x");
  ASSERT_EQ(symlink(scratch.path("target").c_str(), scratch.path("link").c_str()), 0);
  scratch.makeDir("empty");
  scratch.makeDir("full");
  scratch.writeFile("full/inside", "x");
  ASSERT_EQ(mkfifo(scratch.path("fifo").c_str(), 0600), 0);
  for (const char *name : {"file", "link", "empty", "full", "fifo", "missing"})
    RemoveOnExit remove(scratch.path(name));
  // The link went, not its target; a directory that is not empty and a
  // FIFO stay.
  EXPECT_EQ(scratch.list(), (std::vector<std::string>{"fifo", "full", "target"}));
}

TEST(Paths, ExecutablePath) {
  std::string path = executablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_TRUE(path.ends_with("/paths_test")) << path;
  EXPECT_TRUE(isRunnable(path));
}

} // namespace
} // namespace vetline
