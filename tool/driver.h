// The entry point's run sequence, callable without ending the process so
// that the whole-tool fuzz target can run it in-process. Every buffer and
// engine of a run is released before it returns; the crash reporting and
// the allocation-failure handler are process-wide, installed by the first
// run and kept, so later runs find them in place.
#pragma once

namespace vetline {

// Runs one check as the command line asks and returns the exit status:
// 0 every directive held, 1 a directive failed or the command line was bad,
// 2 the check could not run. Help, version and the dump explanation return
// 0 when no check file was named, else 2: the check did not run.
int runDriver(int argc, char **argv);

} // namespace vetline
