// Match records: what one reported search found, kept for the annotated
// input dump. The verifier's reporter makes them; the tool's input dump
// turns them into annotations. The numbers of MatchKind are stable: the
// dump keys its markers on them.
#pragma once

#include "engine/directive_type.h"
#include "support/source_manager.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vetline {

// Source-manager buffer numbers [first, end) of the buffers that hold the
// implicit-check-not patterns; {0, 0} when there are none. The dump labels
// a record whose check location lies in one of them by its number.
struct ImplicitBufferRange {
  unsigned first = 0;
  unsigned end = 0;
};

// What one reported search found.
enum class MatchKind : uint32_t {
  ExpectedFound = 0,   // an expected pattern matched
  ExcludedFound = 1,   // a NOT pattern matched
  WrongLine = 2,       // matched, but on the wrong line for NEXT, SAME or EMPTY
  Discarded = 3,       // a DAG match overlapping an earlier one of its group;
                       // with a note, a count of those left out under -vv
  ErrorAfterMatch = 4, // an error found after a match; the note holds it
  ExcludedAbsent = 5,  // a NOT pattern did not match
  ExpectedMissing = 6, // an expected pattern did not match
  InvalidPattern = 7,  // not searched because a substitution failed
  FuzzyCandidate = 8,  // the likely place of an intended match that failed
};

// One reported search result, for the input dump. Lines and columns are
// 1-based; the end of the input range is exclusive.
struct MatchDiag {
  DirectiveType directiveType;
  // Where the reported pattern is written (in the check text or in an
  // implicit-check-not buffer); all records about one pattern share it.
  SourceLocation checkLocation;
  MatchKind matchKind = MatchKind::ExpectedFound;
  uint32_t startLine = 0;
  uint32_t startColumn = 0;
  uint32_t endLine = 0;
  uint32_t endColumn = 0;
  // The records of one repetition of a COUNT directive, when the
  // repetitions after it find the same empty match and make the same
  // records, are kept once: on the first of them, `repeats` is how many
  // times the `repeatedRecords` records from it on stand in a row. They lie
  // on one input line. 1 and 1 on every other record.
  uint32_t repeats = 1;
  uint32_t repeatedRecords = 1;
  std::string note;
};

using MatchDiagList = std::vector<MatchDiag>;

// How far a run got: the patterns (a directive's own and the NOT and DAG
// patterns written before it) of every directive whose search was reached.
struct VerifyCounts {
  size_t checked = 0;
};

} // namespace vetline
