// Finding the tests: every file under the given paths whose name ends in a
// suffix of the configuration that applies to it (the nearest
// vetline-suite.toml above it), plus every file named outright. Folders
// whose name starts with '.' and runner output folders are not entered.
#pragma once

#include "suite/config.h"
#include "support/error.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vetline::suite {

// The file a runner leaves in its output folder, so that a later walk over
// a tree holding it does not take the tests' scratch files for tests.
inline constexpr std::string_view outputFolderMark = ".vetline-suite-output";

struct TestEntry {
  // As the user reaches it: the path given, then the way down from there.
  std::string shownPath;
  // Absolute, without "." or ".." components.
  std::string absolutePath;
  // The suite's name, '/', and the path below the suite's root: the same on
  // every machine, whatever the checkout's place, so shards and reports
  // agree.
  std::string id;
  const SuiteConfig *config = nullptr;
};

// The configurations read so far, by the folder they apply to.
class ConfigCache {
public:
  // The configuration nearest above the absolute folder `directory`, read
  // on first use; an error when there is none or it is bad.
  Fallible<const SuiteConfig *> configFor(const std::string &directory);

private:
  // Null when no folder from `directory` up holds one.
  Fallible<const SuiteConfig *> nearest(const std::string &directory);

  std::map<std::string, const SuiteConfig *> byDirectory;
  std::vector<std::unique_ptr<SuiteConfig>> configs;
};

// Absolute and lexically normal: "." and empty components dropped, ".."
// taking the previous one away.
std::string normalPath(std::string_view path);

// The tests under `paths`, each once, sorted by id.
Fallible<std::vector<TestEntry>> findTests(const std::vector<std::string> &paths,
                                           ConfigCache &configs);

// Whether the test at `index` of a list sorted by id belongs to shard
// `shard` (1-based) of `shardCount`: they are dealt out in turn, so the
// shards differ in size by one at most.
inline bool isInShard(size_t index, unsigned shard, unsigned shardCount) {
  return index % shardCount == shard - 1;
}

} // namespace vetline::suite
