#include "support/process/file_tree.h"

#include "tests/unit/process/scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace vetline {
namespace {

using testing::ScratchDir;

TEST(FileTree, ListsSortedWithKinds) {
  ScratchDir scratch;
  scratch.writeFile("b.t", "");
  scratch.makeDir("a");
  scratch.writeFile("B", "");
  ASSERT_EQ(::symlink("a", scratch.path("link").c_str()), 0);
  ASSERT_EQ(::symlink("missing", scratch.path("dangling").c_str()), 0);
  std::vector<DirectoryEntry> entries;
  ASSERT_FALSE(listDirectory(scratch.rootPath(), entries));
  std::string listed;
  for (const DirectoryEntry &entry : entries)
    listed += entry.name + (entry.isDirectory ? "/ " : " ");
  EXPECT_EQ(listed, "B a/ b.t dangling link/ ");
  EXPECT_EQ(listDirectory(scratch.path("nothing"), entries),
            std::error_code(ENOENT, std::generic_category()));
}

TEST(FileTree, MakesParents) {
  ScratchDir scratch;
  EXPECT_FALSE(makeDirectories(scratch.path("a/b/c")));
  EXPECT_FALSE(makeDirectories(scratch.path("a/b/c")));
  scratch.writeFile("file", "");
  EXPECT_EQ(makeDirectories(scratch.path("file")),
            std::error_code(ENOTDIR, std::generic_category()));
  EXPECT_TRUE(makeDirectories(scratch.path("file/x")));
}

// A tree a test left behind goes whole: read-only folders, links (not
// what they point to), nested files.
TEST(FileTree, RemovesWholeTrees) {
  ScratchDir scratch;
  scratch.makeDir("keep");
  scratch.writeFile("keep/precious", "x");
  scratch.makeDir("t");
  scratch.makeDir("t/locked");
  scratch.writeFile("t/locked/f", "x");
  ASSERT_EQ(::symlink(scratch.path("keep").c_str(), scratch.path("t/link").c_str()), 0);
  ASSERT_EQ(::chmod(scratch.path("t/locked").c_str(), 0500), 0);
  EXPECT_FALSE(removeTree(scratch.path("t")));
  EXPECT_EQ(scratch.list(), std::vector<std::string>{"keep"});
  EXPECT_EQ(scratch.list("keep"), std::vector<std::string>{"precious"});
  EXPECT_FALSE(removeTree(scratch.path("t")));
  scratch.writeFile("plain", "");
  EXPECT_FALSE(removeTree(scratch.path("plain")));
  EXPECT_EQ(scratch.list(), std::vector<std::string>{"keep"});
}

} // namespace
} // namespace vetline
