// Dump settings: when the annotated input dump is printed, which input lines
// it shows and with how much context, resolved from the values of the three
// repeatable dump options. The option declarations, the driver's arguments
// and the dump itself all use these types, so they sit below all three.
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

} // namespace vetline
