// Match reports: what each search outcome prints and records.
#include "engine/match_report.h"

#include "engine/engine_errors.h"
#include "engine/pattern_context.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them. "{N}" stands for a value filled
// in by formatPositional.
namespace text {
constexpr std::string_view foundHeadline = "{0}: {1} string found in input";
constexpr std::string_view notFoundHeadline = "{0}: {1} string not found in input";
constexpr std::string_view expected = "expected";
constexpr std::string_view excluded = "excluded";
constexpr std::string_view repetition = " ({0} out of {1})";
constexpr std::string_view foundHere = "found here";
constexpr std::string_view scanningFromHere = "scanning from here";
constexpr std::string_view substitutedValue = "with \"{0}\" equal to \"{1}\"";
constexpr std::string_view capturedVariable = "captured var \"{0}\"";
constexpr std::string_view intendedMatch = "possible intended match here";
// After "PREFIX-KIND".
constexpr std::string_view sameLineAsPrevious = ": is on the same line as previous match";
constexpr std::string_view notLineAfterPrevious = ": is not on the line after the previous match";
constexpr std::string_view notSameLineAsPrevious =
    ": is not on the same line as the previous match";
constexpr std::string_view nextMatchHere = "'next' match was here";
constexpr std::string_view previousMatchEnd = "previous match ended here";
constexpr std::string_view lineAfterPrevious = "non-matching line after previous match is here";
constexpr std::string_view discardedMatch = "match discarded, overlaps earlier DAG match here";
// The note of the record that stands for the dropped discarded matches of
// one DAG walk under -vv.
constexpr std::string_view oneDroppedDiscard = "discard: 1 overlapping match not shown";
constexpr std::string_view droppedDiscards = "discard: {0} overlapping matches not shown";
} // namespace text

// Under -vv, the records a DAG group may keep of its discarded matches: at
// least this many, or this many per pattern of the group if that is more.
// The dump prints one line per discarded match, so a group of k patterns
// that match the same k lines would otherwise keep, and print, k^2/2.
constexpr size_t minDiscardsKept = 1024;
constexpr size_t discardsKeptPerPattern = 8;

MatchDiag makeRecord(const SourceManager &sourceManager, DirectiveType type,
                     SourceLocation checkLocation, MatchKind kind, SourceRange range,
                     std::string note = {}) {
  MatchDiag record;
  record.directiveType = type;
  record.checkLocation = checkLocation;
  record.matchKind = kind;
  auto [startLine, startColumn] = sourceManager.lineAndColumnOf(range.start);
  auto [endLine, endColumn] = sourceManager.lineAndColumnOf(range.end);
  record.startLine = startLine;
  record.startColumn = startColumn;
  record.endLine = endLine;
  record.endColumn = endColumn;
  record.note = std::move(note);
  return record;
}

SourceRange emptyRangeAt(SourceLocation location) { return SourceRange{location, location}; }

SourceRange rangeIn(std::string_view text, size_t position, size_t length) {
  return SourceRange::of(text.substr(position, length));
}

std::string escaped(std::string_view text) {
  std::string result;
  StringOutputStream os(result);
  os.writeWithEscapes(text);
  return result;
}

// "CHECK-NEXT: expected string found in input", with " (2 out of 3)" for a
// repetition of a COUNT directive.
std::string headline(const ReportSubject &subject, bool expected, bool found) {
  std::string result;
  StringOutputStream os(result);
  formatPositional(os, found ? text::foundHeadline : text::notFoundHeadline,
                   directiveDescription(subject.prefix, subject.pattern.type),
                   expected ? text::expected : text::excluded);
  if (subject.pattern.type.count > 1)
    formatPositional(os, text::repetition, subject.repetition, subject.pattern.type.count);
  return result;
}

// One note (or record) per substitution with the value it inserted, at
// `at`. Values that fail now were reported when the search was refused.
void describeSubstitutions(const CheckPattern &pattern, SourceLocation at, MatchKind kind,
                           const SourceManager &sourceManager, MatchDiagList *diags) {
  for (const Substitution *substitution : pattern.substitutions()) {
    Fallible<std::string> value = substitution->valueText();
    if (!value) {
      discardError(value.extractError());
      continue;
    }
    std::string message = formatPositionalString(text::substitutedValue,
                                                 escaped(substitution->fromText), escaped(*value));
    if (diags)
      diags->push_back(makeRecord(sourceManager, pattern.type, pattern.location, kind,
                                  emptyRangeAt(at), std::move(message)));
    else
      sourceManager.emitDiagnostic(at, DiagKind::Note, message);
  }
}

struct Capture {
  std::string_view name;
  std::string_view text;
};

// One note (or record) per variable the pattern defines, in input order.
void describeCaptures(const CheckPattern &pattern, MatchKind kind,
                      const SourceManager &sourceManager, MatchDiagList *diags) {
  std::vector<Capture> captures;
  for (const auto &[name, group] : pattern.stringVarDefs())
    if (std::optional<std::string_view> value = pattern.context->stringValue(name))
      captures.push_back({name, *value});
  if (pattern.numericVarDefs())
    for (const auto &entry : *pattern.numericVarDefs())
      if (entry.value.variable->stringValue)
        captures.push_back({entry.key(), *entry.value.variable->stringValue});
  std::stable_sort(captures.begin(), captures.end(), [](const Capture &a, const Capture &b) {
    return std::less<const char *>()(a.text.data(), b.text.data());
  });
  for (const Capture &capture : captures) {
    std::string message = formatPositionalString(text::capturedVariable, capture.name);
    SourceRange range = SourceRange::of(capture.text);
    if (diags)
      diags->push_back(makeRecord(sourceManager, pattern.type, pattern.location, kind, range,
                                  std::move(message)));
    else
      sourceManager.emitDiagnostic(range.start, DiagKind::Note, message, range);
  }
}

void reportIntendedMatch(const CheckPattern &pattern, std::string_view searched,
                         const SourceManager &sourceManager, MatchDiagList *diags) {
  std::optional<size_t> candidate = pattern.closestCandidate(searched);
  if (!candidate)
    return;
  SourceLocation at = SourceLocation::fromPointer(searched.data() + *candidate);
  if (diags)
    diags->push_back(makeRecord(sourceManager, pattern.type, pattern.location,
                                MatchKind::FuzzyCandidate, emptyRangeAt(at)));
  sourceManager.emitDiagnostic(at, DiagKind::Note, text::intendedMatch);
}

// Errors found after a match (a captured value that did not convert).
void reportErrorsAfterMatch(Error errors, const ReportSubject &subject,
                            const SourceManager &sourceManager, MatchDiagList *diags) {
  handleEveryError(
      std::move(errors),
      [&](const LocatedError &located) {
        sourceManager.emitDiagnostic(standardError(), located.diagnostic());
        if (diags)
          diags->push_back(makeRecord(sourceManager, subject.pattern.type, subject.checkLocation,
                                      MatchKind::ErrorAfterMatch, located.range(),
                                      located.message()));
      },
      [&](const ErrorPayload &other) {
        // Matching makes no other kind here; should one appear, show it
        // rather than lose it.
        other.log(standardError());
        standardError() << '\n';
      });
}

// Records [text + position, text + position + length) with `kind` and
// returns that range. With `adjust`, appends nothing but relabels the
// trailing records that share the last record's check location. Does
// nothing but compute the range without a list.
SourceRange recordMatchDiag(MatchKind kind, SourceLocation checkLocation, DirectiveType type,
                            std::string_view text, size_t position, size_t length,
                            const SourceManager &sourceManager, MatchDiagList *diags,
                            bool adjust = false) {
  SourceRange range = rangeIn(text, position, length);
  if (!diags)
    return range;
  if (adjust) {
    if (diags->empty())
      return range;
    SourceLocation latest = diags->back().checkLocation;
    // A record that has the kind already was relabelled by an earlier call
    // for the same pattern, as were those before it.
    for (auto record = diags->rbegin();
         record != diags->rend() && record->checkLocation == latest && record->matchKind != kind;
         ++record)
      record->matchKind = kind;
    return range;
  }
  diags->push_back(makeRecord(sourceManager, type, checkLocation, kind, range));
  return range;
}

// The two halves of MatchReporter::reportOutcome; reportFound needs a match
// in `outcome`.
Error reportFound(bool expected, const SourceManager &sourceManager, const ReportSubject &subject,
                  std::string_view searched, MatchOutcome outcome, const CheckRequest &request,
                  MatchDiagList *diags) {
  const CheckPattern &pattern = subject.pattern;
  bool isFailure = !expected || outcome.error;
  bool print = true;
  if (!isFailure) {
    if (!request.verbose)
      return success();
    if (!request.veryVerbose && pattern.type.kind == DirectiveKind::EndOfFile)
      return success();
    print = diags == nullptr;
  }
  MatchKind kind = expected ? MatchKind::ExpectedFound : MatchKind::ExcludedFound;
  SourceRange range = recordMatchDiag(kind, subject.checkLocation, pattern.type, searched,
                                      outcome.position, outcome.length, sourceManager, diags);
  if (diags) {
    describeSubstitutions(pattern, range.start, kind, sourceManager, diags);
    describeCaptures(pattern, kind, sourceManager, diags);
  }
  if (!print)
    return success();
  sourceManager.emitDiagnostic(subject.checkLocation, expected ? DiagKind::Remark : DiagKind::Error,
                               headline(subject, expected, true));
  sourceManager.emitDiagnostic(range.start, DiagKind::Note, text::foundHere, range);
  describeSubstitutions(pattern, range.start, kind, sourceManager, nullptr);
  describeCaptures(pattern, kind, sourceManager, nullptr);
  reportErrorsAfterMatch(std::move(outcome.error), subject, sourceManager, diags);
  return isFailure ? newError<FailureReported>() : success();
}

Error reportNotFound(bool expected, const SourceManager &sourceManager,
                     const ReportSubject &subject, std::string_view searched, Error error,
                     bool veryVerbose, MatchDiagList *diags) {
  const CheckPattern &pattern = subject.pattern;
  bool isFailure = expected;
  bool patternError = false;
  MatchKind kind = expected ? MatchKind::ExpectedMissing : MatchKind::ExcludedAbsent;
  std::vector<std::string> messages;
  // Anything but "not found" means the pattern could not be searched: a
  // failure even for a NOT pattern, or it would pass unsearched.
  auto refused = [&](std::string message) {
    isFailure = true;
    patternError = true;
    kind = MatchKind::InvalidPattern;
    if (diags)
      messages.push_back(std::move(message));
  };
  handleEveryError(
      std::move(error), [](const NoMatchError &) {},
      [&](const LocatedError &located) {
        sourceManager.emitDiagnostic(standardError(), located.diagnostic());
        refused(located.message());
      },
      [&](const ErrorPayload &other) {
        other.log(standardError());
        standardError() << '\n';
        refused(other.message());
      });

  bool print = true;
  if (!isFailure) {
    if (!veryVerbose)
      return success();
    print = diags == nullptr;
  }
  SourceLocation start = SourceLocation::fromPointer(searched.data());
  if (diags) {
    recordMatchDiag(kind, subject.checkLocation, pattern.type, searched, 0, searched.size(),
                    sourceManager, diags);
    for (std::string &message : messages)
      diags->push_back(makeRecord(sourceManager, pattern.type, subject.checkLocation, kind,
                                  emptyRangeAt(start), std::move(message)));
    describeSubstitutions(pattern, start, kind, sourceManager, diags);
  }
  if (!print)
    return success();
  if (!patternError) {
    sourceManager.emitDiagnostic(subject.checkLocation,
                                 expected ? DiagKind::Error : DiagKind::Remark,
                                 headline(subject, expected, false));
    sourceManager.emitDiagnostic(start, DiagKind::Note, text::scanningFromHere);
  }
  describeSubstitutions(pattern, start, kind, sourceManager, nullptr);
  if (expected)
    reportIntendedMatch(pattern, searched, sourceManager, diags);
  return isFailure ? newError<FailureReported>() : success();
}

} // namespace

Error MatchReporter::reportOutcome(bool expected, const ReportSubject &subject,
                                   std::string_view searched, MatchOutcome outcome) {
  outcomeStart = diags ? diags->size() : 0;
  if (outcome.hasMatch)
    return reportFound(expected, sourceManager, subject, searched, std::move(outcome), request,
                       diags);
  return reportNotFound(expected, sourceManager, subject, searched, std::move(outcome.error),
                        request.veryVerbose, diags);
}

void MatchReporter::reportWrongLine(const ReportSubject &subject, WrongLine problem,
                                    std::string_view skipped, size_t lineAfterPrevious,
                                    std::string_view region, size_t position, size_t length) {
  std::string message(subject.prefix);
  message += '-';
  message += namesOf(subject.pattern.type).suffixWord;
  switch (problem) {
  case WrongLine::SameAsPrevious:
    message += text::sameLineAsPrevious;
    break;
  case WrongLine::NotAfterPrevious:
    message += text::notLineAfterPrevious;
    break;
  case WrongLine::NotSameAsPrevious:
    message += text::notSameLineAsPrevious;
    break;
  }
  sourceManager.emitDiagnostic(subject.checkLocation, DiagKind::Error, message);
  sourceManager.emitDiagnostic(SourceLocation::fromPointer(skipped.data() + skipped.size()),
                               DiagKind::Note, text::nextMatchHere);
  sourceManager.emitDiagnostic(SourceLocation::fromPointer(skipped.data()), DiagKind::Note,
                               text::previousMatchEnd);
  if (problem == WrongLine::NotAfterPrevious)
    sourceManager.emitDiagnostic(SourceLocation::fromPointer(skipped.data() + lineAfterPrevious),
                                 DiagKind::Note, text::lineAfterPrevious);
  recordMatchDiag(MatchKind::WrongLine, subject.checkLocation, subject.pattern.type, region,
                  position, length, sourceManager, diags, request.verbose);
}

void MatchReporter::startDagGroup(size_t patterns) {
  discardRoom = std::max(minDiscardsKept, discardsKeptPerPattern * patterns);
}

void MatchReporter::reportDiscarded(const ReportSubject &subject, std::string_view searched,
                                    MatchOutcome outcome, std::string_view earlierMatch) {
  if (!request.veryVerbose)
    return;
  if (diags && discardRoom == 0) {
    countDropped(subject, searched.data() + outcome.position);
    return;
  }
  discardError(reportOutcome(true, subject, searched, std::move(outcome)));
  if (!diags) {
    sourceManager.emitDiagnostic(SourceLocation::fromPointer(earlierMatch.data()), DiagKind::Note,
                                 text::discardedMatch, SourceRange::of(earlierMatch));
    return;
  }
  --discardRoom;
  for (auto record = diags->begin() + static_cast<std::ptrdiff_t>(outcomeStart);
       record != diags->end(); ++record)
    record->matchKind = MatchKind::Discarded;
}

// One more discarded match of `subject`'s walk left out of the records,
// beginning at `matchStart`.
void MatchReporter::countDropped(const ReportSubject &subject, const char *matchStart) {
  if (dropped == 0) {
    SourceLocation at = SourceLocation::fromPointer(matchStart);
    diags->push_back(makeRecord(sourceManager, subject.pattern.type, subject.checkLocation,
                                MatchKind::Discarded, emptyRangeAt(at)));
    droppedRecord = diags->size() - 1;
  }
  ++dropped;
}

void MatchReporter::endDagWalk() {
  if (dropped == 0)
    return;
  (*diags)[droppedRecord].note = dropped == 1
                                     ? std::string(text::oneDroppedDiscard)
                                     : formatPositionalString(text::droppedDiscards, dropped);
  dropped = 0;
}

void MatchReporter::reportRepeats(const ReportSubject &subject, std::string_view searched,
                                  int more) {
  if (!request.verbose || more <= 0)
    return;
  if (!diags) {
    for (int later = 1; later <= more; ++later) {
      ReportSubject repeated{subject.pattern, subject.prefix, subject.checkLocation,
                             subject.repetition + later};
      discardError(reportOutcome(true, repeated, searched, MatchOutcome::found(0, 0)));
    }
    return;
  }
  if (outcomeStart == diags->size())
    return;
  MatchDiag &first = (*diags)[outcomeStart];
  first.repeats = static_cast<uint32_t>(more) + 1;
  first.repeatedRecords = static_cast<uint32_t>(diags->size() - outcomeStart);
}

} // namespace vetline
