#include "tool/dump_settings.h"

#include <algorithm>

namespace vetline {

DumpSettings resolveDumpSettings(std::span<const DumpMode> modes,
                                 std::span<const DumpFilter> filters,
                                 std::span<const uint32_t> contexts) {
  DumpSettings settings;
  if (!modes.empty())
    settings.mode = *std::max_element(modes.begin(), modes.end());
  if (!filters.empty())
    settings.filter = *std::max_element(filters.begin(), filters.end());
  else if (settings.mode == DumpMode::Always)
    settings.filter = DumpFilter::All;
  if (!contexts.empty())
    settings.context = *std::max_element(contexts.begin(), contexts.end());
  return settings;
}

} // namespace vetline
