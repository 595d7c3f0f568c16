// Directive checking: walks the directive list over the canonical input
// (verifyDirectives, behind CheckEngine::verifyInput). The input is cut into
// blocks at the matches of LABEL directives; within a block each directive
// searches only after the previous one's match, with the rules of its kind
// (NEXT, SAME, EMPTY line rules, NOT ranges, DAG groups, COUNT
// repetitions).
//
// Only a LABEL that cannot be found stops checking; any other failure skips
// the rest of its block and checking goes on with the next one.
#pragma once

#include "engine/check_directive.h"
#include "engine/check_request.h"
#include "engine/match_diag.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace vetline {

struct LineBreaks {
  size_t count = 0;
  // Offset just after the first break; meaningful when count > 0.
  size_t afterFirst = 0;
};

class PatternContext;
class SourceManager;

// Checks `inputText` (a registered buffer of `sourceManager`) against
// `directives`, whose patterns share `context`; the `implicitNots` patterns
// are checked before the NOT patterns of every directive. Returns true when every
// directive held. With `diags`, good-match reports go into it instead of
// standard error; failures are printed either way. `counts`, when given,
// learns how far the run got.
bool verifyDirectives(const std::vector<CheckDirective> &directives,
                      const std::vector<CheckPattern> &implicitNots, PatternContext &context,
                      const CheckRequest &request, SourceManager &sourceManager,
                      std::string_view inputText, MatchDiagList *diags,
                      VerifyCounts *counts = nullptr);

// Counts line breaks: a LF, a CR, or a LF CR / CR LF pair counts one.
LineBreaks countLineBreaks(std::string_view text);

} // namespace vetline
