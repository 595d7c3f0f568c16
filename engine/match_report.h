// Match reports: turn the outcome of one search into what the user sees on
// standard error (the remark or error naming the directive, and notes that
// point into the input) and into MatchDiag records for the input dump.
//
// Surprising parts:
// - With a record list, good matches are recorded instead of printed;
//   failures are always printed (and recorded when there is a list).
// - The verdict travels back as FailureReported: the failure has been
//   printed, the caller only needs to know that it happened.
// - Substitutions are evaluated again when they are described.
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

// Reports `outcome` of searching `searched`; `expected` is false for NOT
// patterns. Returns FailureReported when the outcome is a failure (an
// expected pattern missing, a NOT pattern found, a pattern that could not
// be searched), success otherwise.
Error reportOutcome(bool expected, const SourceManager &sourceManager, const ReportSubject &subject,
                    std::string_view searched, MatchOutcome outcome, const CheckRequest &request,
                    MatchDiagList *diags);

// The two halves of reportOutcome; reportFound needs a match in `outcome`.
Error reportFound(bool expected, const SourceManager &sourceManager, const ReportSubject &subject,
                  std::string_view searched, MatchOutcome outcome, const CheckRequest &request,
                  MatchDiagList *diags);
Error reportNotFound(bool expected, const SourceManager &sourceManager,
                     const ReportSubject &subject, std::string_view searched, Error error,
                     bool veryVerbose, MatchDiagList *diags);

// Records [text + position, text + position + length) with `kind` and
// returns that range. With `adjust`, appends nothing but relabels the
// trailing records that share the last record's check location. Does
// nothing but compute the range without a list.
SourceRange recordMatchDiag(MatchKind kind, SourceLocation checkLocation, DirectiveType type,
                            std::string_view text, size_t position, size_t length,
                            const SourceManager &sourceManager, MatchDiagList *diags,
                            bool adjust = false);

} // namespace vetline
