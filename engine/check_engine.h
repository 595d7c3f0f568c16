// Check engine: the engine facade the driver calls in a fixed order
// (CheckEngine). Its header also brings the records its callers hand in and
// get back: the settings of a run (CheckRequest, engine/check_request.h) and
// the records of search results that feed the annotated input dump
// (MatchDiag, engine/match_diag.h).
//
// The order of calls is fixed: validateDefines, validatePrefixes,
// buildPrefixRegex (or preparePrefixRegex for the three), canonicalizeBuffer
// on the check text, loadDirectives, canonicalizeBuffer on
// the input, verifyInput; each runs once. buildPrefixRegex installs the
// default prefixes into the engine's copy of the request, and loadDirectives
// relies on that.
#pragma once

#include "engine/check_directive.h"
#include "engine/check_reader.h"
#include "engine/check_request.h"
#include "engine/directive_type.h"
#include "engine/match_diag.h"
#include "engine/pattern_context.h"
#include "support/regex/regex.h"
#include "support/small_vector.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

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

  // True when every "-D" value has the shape NAME=VALUE; loadDirectives
  // checks the rest. Otherwise prints one message per bad value to standard
  // error and returns false.
  bool validateDefines() const;

  // True when every check and comment prefix is acceptable. Otherwise prints
  // one message (for the first bad prefix) to standard error and returns
  // false.
  bool validatePrefixes() const;

  // Installs the default prefixes where a list is empty and returns the one
  // regex that finds any check or comment prefix. The caller asks isValid.
  Regex buildPrefixRegex();

  // validatePrefixes, then buildPrefixRegex; nothing, after printing why to
  // standard error, when a prefix is bad or the regex does not compile.
  std::optional<Regex> preparePrefixRegex();

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
  void setDirectiveListener(DirectiveListener listener) { directiveListener = std::move(listener); }

  // Checks the canonical input against the directives. Returns true when
  // every directive held. With `diags`, good-match reports go into it instead
  // of standard error; failures are printed either way.
  bool verifyInput(SourceManager &sourceManager, std::string_view inputText, MatchDiagList *diags,
                   VerifyCounts *counts = nullptr);

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
