// Resolving the repeatable dump options into the settings of a run.
#include "tool/dump_settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vetline {
namespace {

struct DumpCase {
  const char *name;
  std::vector<DumpMode> modes;
  std::vector<DumpFilter> filters;
  std::vector<uint32_t> contexts;
  DumpMode mode;
  DumpFilter filter;
  uint32_t context;
};

const DumpCase dumpCases[] = {
    {"nothing given", {}, {}, {}, DumpMode::Fail, DumpFilter::Error, 5},
    {"help beats never",
     {DumpMode::Never, DumpMode::Help},
     {},
     {},
     DumpMode::Help,
     DumpFilter::Error,
     5},
    {"always beats fail; filter then defaults to all",
     {DumpMode::Always, DumpMode::Fail},
     {},
     {},
     DumpMode::Always,
     DumpFilter::All,
     5},
    {"a given filter is kept with always",
     {DumpMode::Always},
     {DumpFilter::Annotation},
     {},
     DumpMode::Always,
     DumpFilter::Annotation,
     5},
    {"largest filter",
     {},
     {DumpFilter::AnnotationFull, DumpFilter::Error, DumpFilter::Annotation},
     {},
     DumpMode::Fail,
     DumpFilter::AnnotationFull,
     5},
    {"largest context", {}, {}, {2, 7, 3}, DumpMode::Fail, DumpFilter::Error, 7},
    {"contexts compare unsigned",
     {},
     {},
     {0, 4294967295u},
     DumpMode::Fail,
     DumpFilter::Error,
     4294967295u},
    {"context 0 is kept", {}, {}, {0}, DumpMode::Fail, DumpFilter::Error, 0},
};

TEST(DumpSettings, Resolve) {
  for (const DumpCase &c : dumpCases) {
    SCOPED_TRACE(c.name);
    DumpSettings settings = resolveDumpSettings(c.modes, c.filters, c.contexts);
    EXPECT_EQ(settings.mode, c.mode);
    EXPECT_EQ(settings.filter, c.filter);
    EXPECT_EQ(settings.context, c.context);
  }
}

} // namespace
} // namespace vetline
