// The entry point's run sequence, callable without ending the process so
// that the whole-tool fuzz target can run it in-process. Every buffer and
// engine of a run is released before it returns; the crash reporting and
// the allocation-failure handler are process-wide, installed by the first
// run and kept, so later runs find them in place.
#pragma once

#include <cstdint>
#include <span>

namespace vetline {

// When the annotated input dump is printed. The numbers are the precedence
// order: when the option is repeated, the largest value wins.
enum class DumpMode : uint32_t { Never = 0, Fail = 1, Always = 2, Help = 3 };

// Which input lines the dump shows. Same precedence rule as DumpMode.
enum class DumpFilter : uint32_t { Error = 0, Annotation = 1, AnnotationFull = 2, All = 3 };

// The dump settings of a run, from the values of the three repeatable dump
// options in command-line order.
struct DumpSettings {
  DumpMode mode = DumpMode::Fail;
  DumpFilter filter = DumpFilter::Error;
  uint32_t context = 5;
};

// The largest value of each option wins. Without a filter, the filter is
// All when the mode is Always and Error otherwise; without a context, 5.
DumpSettings resolveDumpSettings(std::span<const DumpMode> modes,
                                 std::span<const DumpFilter> filters,
                                 std::span<const uint32_t> contexts);

// Runs one check as the command line asks and returns the exit status:
// 0 every directive held, 1 a directive failed or the command line was bad,
// 2 the check could not run. Help, version and the dump explanation return
// 0 when no check file was named, else 2: the check did not run.
int runDriver(int argc, char **argv);

} // namespace vetline
