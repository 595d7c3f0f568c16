// Pattern matching: searches one CheckPattern in one piece of input and
// records the variables the match defines; also the fuzzy search that
// suggests where a failed pattern was probably meant to match.
//
// Surprising parts:
// - Variables are set as soon as the regex matches, before the caller
//   decides whether it accepts the match (wrong line, DAG overlap).
// - Fixed text never goes through the regex engine; ignore-case folds only
//   'A' to 'Z'.
// - A regex that cannot be compiled or searched is an error (a LocatedError
//   at the pattern), never a quiet "not found": that would let a NOT
//   pattern pass.
#pragma once

#include "engine/pattern.h"
#include "support/error.h"
#include "support/regex/regex.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

// The result of a search. Valid combinations: a match and no error; no
// match and a NoMatchError; no match and one or more LocatedErrors (a
// substitution or the regex failed, nothing was searched); a match and a
// LocatedError (a captured value could not be converted).
struct MatchOutcome {
  bool hasMatch = false;
  // Offset of the first matched byte from the start of the searched text.
  size_t position = 0;
  size_t length = 0;
  Error error;

  static MatchOutcome found(size_t position, size_t length) {
    MatchOutcome outcome;
    outcome.hasMatch = true;
    outcome.position = position;
    outcome.length = length;
    return outcome;
  }
  static MatchOutcome failed(Error error) {
    MatchOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
  }
};

// Compiled regexes by their text and options, so that a regex searched
// again is compiled once: patterns written alike (the same directive
// repeated for every function) and substituted regexes whose values repeat
// (the same register or type in many functions). Most regexes of a long
// check file are searched once and never again, and keeping each would cost
// about a kilobyte per directive: the table is bounded, one regex per hash
// slot, and a later regex takes an earlier one's place. A regex returned
// stays valid until the next call.
class RegexCache {
public:
  // The regex of a pattern without substitutions.
  const Regex &regexFor(const CheckPattern &pattern) {
    return compiledFor(pattern.regexText(), regexOptionsOf(pattern));
  }
  const Regex &compiledFor(std::string_view text, RegexOptions options);

private:
  struct Slot {
    std::string text;
    RegexOptions options = RegexOptions::None;
    std::optional<Regex> regex;
  };
  // Made on first use.
  std::vector<Slot> slots;
};

// CheckPattern::findMatch with an optional cache for its compiled regex.
MatchOutcome findPatternMatch(const CheckPattern &pattern, std::string_view text,
                              const SourceManager &sourceManager, RegexCache *cache);

// First occurrence of `needle` in `haystack` (npos when none); with
// `ignoreCase`, ASCII letters compare case-insensitively and every other
// byte exactly.
size_t findFixedText(std::string_view haystack, std::string_view needle, bool ignoreCase);

// The fuzzy search behind CheckPattern::closestCandidate, with `example` the
// pattern's fixed text or stored regex: the start offset (among the first
// 4096) whose line best resembles it, weighing one edit against 100 lines.
// Never offset 0, and only with fewer than 50 edits.
std::optional<size_t> closestCandidateIn(std::string_view text, std::string_view example);

} // namespace vetline
