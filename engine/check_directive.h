// The directive list that reading a check file produces and checking walks:
// one CheckDirective per positive directive, in check-file order, each
// carrying the NOT and DAG patterns written since the previous one.
#pragma once

#include "engine/pattern.h"
#include "support/source_manager.h"

#include <string_view>
#include <vector>

namespace vetline {

struct CheckDirective {
  CheckPattern pattern;
  // The prefix as written (a view into the check text); for the end-of-file
  // directive, the first check prefix.
  std::string_view prefix;
  // The first byte of the pattern text; for the end-of-file directive, where
  // reading stopped.
  SourceLocation location;
  // The NOT and DAG patterns written since the previous positive directive,
  // in file order. The implicit-check-not patterns, checked before them for
  // every directive, are held once by the engine.
  std::vector<CheckPattern> notDagPatterns;
};

} // namespace vetline
