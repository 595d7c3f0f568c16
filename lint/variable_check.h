// Variables used before any directive defines them (and not given with
// "-D"), and definitions whose value is never used, for string variables
// ([[X:...]], [[X]]) and numeric ones ([[#X:]], [[#X+1]]) alike.
//
// Directives are taken in the order checking runs them, not in file order:
// a DAG group's patterns in file order, then the NOT patterns written
// before the group and after the previous one; a positive directive's own
// pattern before the NOT patterns written after the last DAG group before
// it. Within a pattern, blocks count from left to right, and in a numeric
// block its uses come before its definition.
#pragma once

#include "engine/check_reader.h"
#include "engine/check_request.h"
#include "lint/pattern_scan.h"
#include "lint/warning.h"

#include <span>
#include <string_view>
#include <vector>

namespace vetline::lint {

enum class VariableKind { String, Numeric };

struct VariableEvent {
  VariableKind kind = VariableKind::String;
  bool isDefinition = false;
  // As written, '$' included; a view into the pattern text.
  std::string_view name;
};

// The definitions and uses of one pattern text, in the order they take
// effect. Pseudo-variables (@LINE) and malformed blocks are left out.
// `pieces` is scratch space, kept by the caller for many patterns.
void patternVariables(std::string_view text, std::vector<VariableEvent> &events,
                      std::vector<PatternPiece> &pieces);

// The variable a "-D" value defines (NAME=VALUE, or #NAME=EXPR with an
// optional format before a ','); empty name when it names none.
VariableEvent commandLineVariable(std::string_view definition);

// Appends UndefinedVariable and UnusedVariable findings. `sightings` are
// the reader's directives of a file it read without error.
void findVariableProblems(std::span<const DirectiveSighting> sightings, const CheckRequest &request,
                          FindingList &findings);

} // namespace vetline::lint
