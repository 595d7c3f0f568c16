// Directive checking: walks the directive list over the canonical input
// (CheckEngine::verifyInput). The input is cut into blocks at the matches of
// LABEL directives; within a block each directive searches only after the
// previous one's match, with the rules of its kind (NEXT, SAME, EMPTY line
// rules, NOT ranges, DAG groups, COUNT repetitions).
//
// Only a LABEL that cannot be found stops checking; any other failure skips
// the rest of its block and checking goes on with the next one.
#pragma once

#include <cstddef>
#include <string_view>

namespace vetline {

struct LineBreaks {
  size_t count = 0;
  // Offset just after the first break; meaningful when count > 0.
  size_t afterFirst = 0;
};

// Counts line breaks: a LF, a CR, or a LF CR / CR LF pair counts one.
LineBreaks countLineBreaks(std::string_view text);

} // namespace vetline
