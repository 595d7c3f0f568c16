// Check-file reader: turns the canonical check text into the engine's
// directive list (readDirectives, behind CheckEngine::loadDirectives). This
// header also exposes the one step that decides what a prefix occurrence
// is, so that the directive syntax can be tested without a whole check file.
#pragma once

#include "engine/check_directive.h"
#include "engine/check_request.h"
#include "engine/directive_type.h"
#include "engine/match_diag.h"

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace vetline {

struct DirectiveSuffix {
  // Kind None when the occurrence is not a directive.
  DirectiveType type;
  // Offset into the text after the prefix where reading goes on: after the
  // ':' or "}:"; for a bad count after its digits (after "COUNT-" when there
  // are none); for a bad NOT combination after the '-'.
  size_t end = 0;
};

// Reads the suffix, count and modifier block that follow a prefix.
// `afterPrefix` is the text right after the prefix; a comment prefix takes
// only a bare ':'.
DirectiveSuffix parseDirectiveSuffix(std::string_view afterPrefix, bool isCommentPrefix);

// One directive as the reader found it, comments included, told before its
// pattern is parsed (so also for the directive whose pattern then fails).
// Lets a companion program see the check file exactly as the reader does.
// The views point into the check text.
struct DirectiveSighting {
  std::string_view prefix;
  DirectiveType type;
  // After the blanks that follow the ':', up to the line end.
  std::string_view patternText;
};

using DirectiveListener = std::function<void(const DirectiveSighting &)>;

// A directive of a comment-like prefix (a prefix and a bare ':'), as
// findCommentDirectives reports it. The views point into the text read.
struct CommentSighting {
  std::string_view prefix;
  // 1-based, counting line feeds only, as the reader's own line numbers do.
  size_t line = 0;
  // After the blanks that follow the ':', up to the line break.
  std::string_view text;
};

// Finds the directives of `prefixes` in `text` by the reader's rules for
// comment prefixes: a prefix at the start of the text or after a byte that
// cannot be part of a word, then a ':'; at most one per line, the leftmost
// (the longest where several start at one place). For a companion program
// that keeps its own words in comments (a test runner's command lines).
// `prefixes` must be valid prefixes (a letter, then letters, digits, '-' and
// '_'); `text` is used as it is, without canonicalisation.
std::vector<CommentSighting> findCommentDirectives(std::string_view text,
                                                   const std::vector<std::string_view> &prefixes);

class PatternContext;
class SourceManager;

// Reads `checkText` (a registered buffer of `sourceManager`) into
// `directives` and the implicit-check-not patterns into `implicitNots`
// (held once, checked before every directive), with the prefixes of
// `request` (defaults installed);
// `listener`, when set, is told of every directive found, in file order.
// `implicitBufferRange`, when given, receives the buffers made for the
// implicit-check-not patterns. Returns true when an error was reported.
bool readDirectives(const CheckRequest &request, PatternContext &context,
                    std::vector<CheckDirective> &directives,
                    std::vector<CheckPattern> &implicitNots, SourceManager &sourceManager,
                    std::string_view checkText, const DirectiveListener &listener,
                    ImplicitBufferRange *implicitBufferRange);

} // namespace vetline
