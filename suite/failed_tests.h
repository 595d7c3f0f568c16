// The tests that failed, remembered in the output folder between runs for
// --failed: one absolute test path per line. A run takes out the tests that
// passed in it and adds those that failed, so a filtered, sharded or
// interrupted run forgets nothing it did not rerun.
#pragma once

#include "support/error.h"

#include <set>
#include <string>

namespace vetline::suite {

inline constexpr std::string_view failedTestsFileName = "failed-tests";

// The paths in the file; none when it does not exist.
std::set<std::string> readFailedTests(const std::string &path);

// Replaces the file with `paths`, through a temporary file and a rename, so
// an interrupted write leaves the old list.
Error writeFailedTests(const std::string &path, const std::set<std::string> &paths);

} // namespace vetline::suite
