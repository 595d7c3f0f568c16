#include "suite/output_capture.h"

#include "tests/unit/process/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace vetline::suite {
namespace {

using vetline::testing::ScratchDir;

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// The same output in chunks of every size gives the same head, tail and
// whole file, whichever chunk crosses the limit.
TEST(OutputCapture, CutInTheMiddleAndSpilled) {
  ScratchDir scratch;
  std::string output;
  for (int i = 0; i < 100; ++i)
    output += "line " + std::to_string(i) + "\n";
  for (size_t chunk : {size_t(1), size_t(7), size_t(50), size_t(5000)}) {
    SCOPED_TRACE(chunk);
    std::string spill = scratch.path("out" + std::to_string(chunk));
    {
      OutputCapture capture(20, spill);
      for (size_t at = 0; at < output.size(); at += chunk)
        capture.append(std::string_view(output).substr(at, chunk));
      capture.finish();
      EXPECT_TRUE(capture.isCut());
      EXPECT_EQ(capture.totalSize(), output.size());
      EXPECT_EQ(capture.spillFile(), spill);
      EXPECT_EQ(capture.shown(), "line 0\nlin\n[... 770 bytes left out; the whole output is in " +
                                     spill + " ...]\n8\nline 99\n");
    }
    EXPECT_EQ(readFile(spill), output);
  }
}

TEST(OutputCapture, FitsWithoutAFile) {
  ScratchDir scratch;
  OutputCapture capture(20, scratch.path("never"));
  capture.append("0123456789");
  capture.append("0123456789");
  capture.finish();
  EXPECT_FALSE(capture.isCut());
  EXPECT_EQ(capture.shown(), "01234567890123456789");
  EXPECT_EQ(capture.spillFile(), "");
  EXPECT_TRUE(scratch.list().empty());
}

TEST(OutputCapture, UnwritableSpillFileIsSaid) {
  OutputCapture capture(4, "/nonexistent/dir/out");
  capture.append("abcdefgh");
  capture.finish();
  EXPECT_EQ(capture.spillFile(), "");
  EXPECT_EQ(capture.shown(), "ab\n[... 4 bytes left out; the whole output could not be written "
                             "to /nonexistent/dir/out ...]\ngh");
}

} // namespace
} // namespace vetline::suite
