// Escapes that other regex dialects give a meaning but POSIX takes as a
// plain character: \d in {{\d+}} matches the letter d, not a digit. Looks
// at the {{...}} pieces and the regexes of variable definitions.
#pragma once

#include "lint/pattern_scan.h"
#include "lint/warning.h"

#include <string>
#include <string_view>
#include <vector>

namespace vetline::lint {

// The NonPosixEscape message for one escape: what it matches and the POSIX
// spelling to use instead, when there is one.
std::string escapeMessage(const SuspectEscape &escape);

// Appends a finding for every suspect escape of the pattern `text`, which
// views a buffer of the run's source manager. `pieces` and `escapes` are
// scratch space, kept by the caller so that many patterns reuse them.
void findPatternEscapes(std::string_view text, std::vector<PatternPiece> &pieces,
                        std::vector<SuspectEscape> &escapes, FindingList &findings);

} // namespace vetline::lint
