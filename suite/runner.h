// The runner: finds the tests under the paths given, runs them (see
// executor.h), shows the results (console.h) and writes the reports
// (reports.h). See docs/suite.md.
//
// Exit status: 0 every test passed or failed as expected, 1 a test failed,
// 2 the runner could not run (a bad option or configuration, no test
// found, a report that cannot be written), 128 and the signal's number
// after an interrupt (130 for Ctrl-C).
#pragma once

namespace vetline::suite {

int runSuite(int argc, char **argv);

} // namespace vetline::suite
