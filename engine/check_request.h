// Check request: every setting of one check, as the tool's options give
// them, and the prefixes a check file uses when none are given. The reader,
// the pattern parser, the verifier, the reporter and the input dump all read
// it; it sits below them so that none of them reaches up to the engine
// facade for it.
#pragma once

#include <string_view>
#include <vector>

namespace vetline {

// The prefixes used when the request names none, in this order.
inline constexpr std::string_view defaultCheckPrefixes[] = {"CHECK"};
inline constexpr std::string_view defaultCommentPrefixes[] = {"COM", "RUN"};

// Every setting of one check; every field has a default, so a designated
// initializer may name only the settings it changes. The string views point
// into storage that outlives the engine (the option values, or string
// literals for defaults).
struct CheckRequest {
  // Empty means defaultCheckPrefixes.
  std::vector<std::string_view> checkPrefixes = {};
  // Empty means defaultCommentPrefixes.
  std::vector<std::string_view> commentPrefixes = {};
  // Leave runs of blanks alone instead of folding them to one space.
  bool strictWhitespace = false;
  std::vector<std::string_view> implicitCheckNot = {};
  // One "-D" value each: NAME=VALUE, or a numeric definition starting '#'.
  std::vector<std::string_view> globalDefines = {};
  bool allowEmptyInput = false;
  bool allowUnusedPrefixes = false;
  bool matchFullLines = false;
  bool ignoreCase = false;
  // Set by buildPrefixRegex when it supplied the default check prefixes
  // itself.
  bool isDefaultCheckPrefix = false;
  bool enableVarScope = false;
  bool allowDeprecatedDagOverlap = false;
  bool verbose = false;
  bool veryVerbose = false;
};

} // namespace vetline
