// The implicit-check-not gap after a DAG group. Checking searches the
// implicit-check-not patterns up to the first match of a CHECK-DAG group,
// but from the group's end to the next match only the NOT directives
// written right after the group: "CHECK-DAG: a", "CHECK-DAG: b" with
// --implicit-check-not=z passes on "a z b z". This finds every such group
// whose following NOT directives do not repeat each implicit pattern.
#pragma once

#include "engine/check_reader.h"
#include "engine/check_request.h"
#include "lint/warning.h"

#include <span>

namespace vetline::lint {

// Appends a DagImplicitGap finding at the last directive of each such
// group. `sightings` are the reader's directives of a file it read without
// error; nothing is found without implicit-check-not patterns.
void findDagGaps(std::span<const DirectiveSighting> sightings, const CheckRequest &request,
                 FindingList &findings);

} // namespace vetline::lint
