// Match reports: turn what the verifier found about one search (its
// outcome, a match on the wrong line, a discarded DAG match) into what the
// user sees on standard error (the remark or error naming the directive,
// and notes that point into the input) and into MatchDiag records for the
// input dump.
//
// Surprising parts:
// - With a record list, good matches are recorded instead of printed;
//   failures are always printed (and recorded when there is a list).
// - The verdict travels back as FailureReported: the failure has been
//   printed, the caller only needs to know that it happened.
// - Substitutions are evaluated again when they are described.
// - The records stay bounded where the reports would not: under -vv a DAG
//   group keeps a bounded number of discarded matches and counts the rest,
//   and the repetitions of a COUNT directive that find the same empty match
//   are recorded once, with their number.
#pragma once

#include "engine/check_request.h"
#include "engine/match_diag.h"
#include "engine/pattern.h"
#include "engine/pattern_match.h"
#include "support/error.h"
#include "support/source_manager.h"

#include <string_view>

namespace vetline {

// What one report is about: the pattern, where it is written, the prefix
// of the directive that carries it and which repetition (1-based) of a
// COUNT directive was searched.
struct ReportSubject {
  const CheckPattern &pattern;
  std::string_view prefix;
  SourceLocation checkLocation;
  int repetition = 1;
};

// How a NEXT, SAME or EMPTY match lies on the wrong line; the verifier
// decides which, the reporter says so.
enum class WrongLine {
  SameAsPrevious,    // NEXT or EMPTY on the line of the previous match
  NotAfterPrevious,  // NEXT or EMPTY more than one line further on
  NotSameAsPrevious, // SAME on a later line
};

// Every report of one check goes through here: the verifier decides what
// happened, the reporter prints it to standard error or records it in
// `diags` (or both), by the rules at the top of this header.
class MatchReporter {
public:
  // `diags` may be null: then nothing is recorded and good matches are
  // printed.
  MatchReporter(const SourceManager &sourceManager, const CheckRequest &request,
                MatchDiagList *diags)
      : sourceManager(sourceManager), request(request), diags(diags) {}

  // Reports `outcome` of searching `searched`; `expected` is false for NOT
  // patterns. Returns FailureReported when the outcome is a failure (an
  // expected pattern missing, a NOT pattern found, a pattern that could not
  // be searched), success otherwise.
  Error reportOutcome(bool expected, const ReportSubject &subject, std::string_view searched,
                      MatchOutcome outcome);

  // A match of `subject` at `position` (`length` bytes) in `region` that
  // lies on the wrong line: the error and its notes, and a WrongLine record
  // (relabelling the records of the match itself when -v recorded them).
  // `skipped` is the input from the end of the previous match to the start
  // of this one; for NotAfterPrevious, `lineAfterPrevious` is the offset in
  // `skipped` of the line that follows the previous match.
  void reportWrongLine(const ReportSubject &subject, WrongLine problem, std::string_view skipped,
                       size_t lineAfterPrevious, std::string_view region, size_t position,
                       size_t length);

  // A DAG group of `patterns` patterns begins. Under -vv its walks keep
  // the records of at most max(1024, 8 x patterns) discarded matches (see
  // reportDiscarded): k patterns over k identical lines discard k^2/2.
  void startDagGroup(size_t patterns);

  // Under -vv, a DAG search of `subject` in `searched` whose match
  // (`outcome`) is discarded because it overlaps `earlierMatch` of its
  // group: reported as reportOutcome reports it, followed by a note at the
  // earlier match, or with its records labelled Discarded. Once the group's
  // room for those is spent, nothing of it is recorded, but each walk keeps
  // one Discarded record, where its first such match begins, with a note
  // that counts them. Nothing without -vv.
  void reportDiscarded(const ReportSubject &subject, std::string_view searched,
                       MatchOutcome outcome, std::string_view earlierMatch);
  // A DAG walk has ended: the note of its record of left-out matches, if
  // it has one, gets their count.
  void endDagWalk();

  // The `more` repetitions of a COUNT directive after `subject`'s, which
  // find the same empty match as it at the start of `searched` (just
  // reported by reportOutcome): under -v, printed one by one, or counted on
  // the records of that outcome (MatchDiag::repeats); nothing otherwise.
  void reportRepeats(const ReportSubject &subject, std::string_view searched, int more);

private:
  void countDropped(const ReportSubject &subject, const char *matchStart);

  const SourceManager &sourceManager;
  const CheckRequest &request;
  MatchDiagList *diags;
  // Where the records of the latest reportOutcome begin in `diags`.
  size_t outcomeStart = 0;
  // Discarded matches whose records the current DAG group may still keep.
  size_t discardRoom = 0;
  // The discarded matches the current DAG walk left out of the records, and
  // the record that stands for them.
  uint64_t dropped = 0;
  size_t droppedRecord = 0;
};

} // namespace vetline
