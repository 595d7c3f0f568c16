// Check engine: the settings a run hands to the engine (CheckRequest), the
// engine facade the driver calls in a fixed order (CheckEngine), and the
// records of search results that feed the annotated input dump (MatchDiag).
//
// The order of calls is fixed: validatePrefixes, buildPrefixRegex,
// canonicalizeBuffer on the check text, loadDirectives, canonicalizeBuffer on
// the input, verifyInput; each runs once. buildPrefixRegex installs the
// default prefixes into the engine's copy of the request, and loadDirectives
// relies on that.
#pragma once

#include "engine/check_directive.h"
#include "engine/check_reader.h"
#include "engine/directive_type.h"
#include "engine/pattern_context.h"
#include "support/regex/regex.h"
#include "support/small_vector.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

// Every setting of one check. The string views point into storage that
// outlives the engine (the option values, or string literals for defaults).
struct CheckRequest {
  // Empty means the default "CHECK".
  std::vector<std::string_view> checkPrefixes;
  // Empty means the defaults "COM" and "RUN".
  std::vector<std::string_view> commentPrefixes;
  // Leave runs of blanks alone instead of folding them to one space.
  bool strictWhitespace = false;
  std::vector<std::string_view> implicitCheckNot;
  // One "-D" value each: NAME=VALUE, or a numeric definition starting '#'.
  std::vector<std::string_view> globalDefines;
  bool allowEmptyInput = false;
  bool allowUnusedPrefixes = false;
  bool matchFullLines = false;
  bool ignoreCase = false;
  // Set by buildPrefixRegex when it supplied "CHECK" itself.
  bool isDefaultCheckPrefix = false;
  bool enableVarScope = false;
  bool allowDeprecatedDagOverlap = false;
  bool verbose = false;
  bool veryVerbose = false;
};

// Source-manager buffer numbers [first, end) of the buffers that hold the
// implicit-check-not patterns; {0, 0} when there are none.
struct ImplicitBufferRange {
  unsigned first = 0;
  unsigned end = 0;
};

// What one reported search found. The numbers are stable: the input dump
// keys its markers on them.
enum class MatchKind : uint32_t {
  ExpectedFound = 0,   // an expected pattern matched
  ExcludedFound = 1,   // a NOT pattern matched
  WrongLine = 2,       // matched, but on the wrong line for NEXT, SAME or EMPTY
  Discarded = 3,       // a DAG match overlapping an earlier one of its group
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
  std::string note;
};

using MatchDiagList = std::vector<MatchDiag>;

class CheckEngine {
public:
  // Copies the request; the variable store and the directive list start
  // empty.
  explicit CheckEngine(const CheckRequest &request);
  ~CheckEngine();
  CheckEngine(const CheckEngine &) = delete;
  CheckEngine &operator=(const CheckEngine &) = delete;

  // The engine's copy of the request (with the defaults once
  // buildPrefixRegex has run).
  const CheckRequest &request() const { return req; }

  // The directives read by loadDirectives, and the variable store their
  // patterns share.
  const std::vector<CheckDirective> &directives() const { return directiveList; }
  // The implicit-check-not patterns, which every directive checks first.
  const std::vector<CheckPattern> &implicitNotPatterns() const { return implicitNotList; }
  PatternContext &patternContext() { return context; }

  // True when every check and comment prefix is acceptable. Otherwise prints
  // one message (for the first bad prefix) to standard error and returns
  // false.
  bool validatePrefixes() const;

  // Installs the default prefixes where a list is empty and returns the one
  // regex that finds any check or comment prefix. The caller asks isValid.
  Regex buildPrefixRegex();

  // Copies `buffer` into `storage` (replacing what it held), dropping the CR
  // of every CR LF and, unless strictWhitespace, folding every run of spaces
  // and tabs to one space. A NUL follows the copy in `storage`; the returned
  // view (into `storage`) excludes it.
  std::string_view canonicalizeBuffer(const TextBuffer &buffer,
                                      SmallVectorImpl<char> &storage) const;
  // The same rewriting done in place on an owned buffer (writableBytes), which
  // is shortened to the result; returns its text. Bytes that need no change
  // are not written, so a text without CRs and runs of blanks costs one scan.
  std::string_view canonicalizeInPlace(TextBuffer &buffer) const;

  // Reads the canonical check text into directives. `checkText` must be a
  // registered buffer of `sourceManager`; `implicitBufferRange`, when given,
  // receives the buffers made for implicit-check-not patterns. Returns true
  // when an error was reported.
  bool loadDirectives(SourceManager &sourceManager, std::string_view checkText,
                      const Regex &prefixRegex, ImplicitBufferRange *implicitBufferRange);

  // Called by loadDirectives for every directive it finds, in file order.
  void setDirectiveListener(DirectiveListener listener) {
    directiveListener = std::move(listener);
  }

  // Checks the canonical input against the directives. Returns true when
  // every directive held. With `diags`, good-match reports go into it instead
  // of standard error; failures are printed either way.
  bool verifyInput(SourceManager &sourceManager, std::string_view inputText,
                   MatchDiagList *diags);

private:
  // Members are destroyed in reverse order: the directives (which point into
  // the variable store) first, then the variable store, then the request.
  CheckRequest req;

  // The variable store shared by every pattern of the run.
  PatternContext context;
  // Filled by loadDirectives, in check-file order.
  std::vector<CheckDirective> directiveList;
  std::vector<CheckPattern> implicitNotList;
  DirectiveListener directiveListener;
};

} // namespace vetline
