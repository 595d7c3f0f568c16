// The entry point's run sequence, callable without ending the process so
// that the whole-tool fuzz target can run it in-process.
#pragma once

namespace vetline {

// Runs one check as the command line asks and returns the exit status:
// 0 every directive held, 1 a directive failed, 2 the check could not run.
int runDriver(int argc, char **argv);

} // namespace vetline
