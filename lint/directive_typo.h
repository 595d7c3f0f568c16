// Directive typos: words that look like a directive but that the reader
// does not take as one, so that their line silently checks nothing:
// CHEKC:, CHECK-NXT:, check:, CHECK_NEXT:, CHECK NEXT:, CHECK foo (for
// spellings of four or more bytes), a prefix glued to a '-' before it, a
// broken {LITERAL} block.
//
// Only words that start a line's text, or a comment's text, are looked at:
// after the blanks at the start of the line and an optional comment marker
// (a run of '/', '#', ';', '!', '*' or '%', or two or more '-'), or after a
// marker that follows a blank further on in the line ("//", "/*", runs of
// '#', ';' or '!', two or more '-'). Words inside the text of a directive
// the reader found are never looked at. So prose that mentions CHECK-NEXT
// in the middle of a sentence is not flagged.
#pragma once

#include "engine/check_reader.h"
#include "engine/check_request.h"
#include "lint/warning.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vetline::lint {

// A way to write a directive: a check prefix alone or with a suffix.
struct Spelling {
  std::string text;
  size_t prefixLength = 0;
  // "P-COUNT", which takes a '-' and a number before its ':'.
  bool isCount = false;
};

// Every spelling of every distinct check prefix of `request` (whose
// prefix lists must hold their defaults already), in prefix order and
// within one prefix in the order plain, NEXT, SAME, NOT, DAG, LABEL, EMPTY,
// COUNT.
std::vector<Spelling> directiveSpellings(const CheckRequest &request);

// How closely a word resembles a directive spelling, best first.
enum class Resemblance { Exact = 0, Separator = 1, Case = 2, Near = 3, None = 4 };

struct Guess {
  Resemblance resemblance = Resemblance::None;
  // The spelling meant, with the count filled in for COUNT ("<n>" when the
  // word has none).
  std::string suggestion;
};

// The spelling `word` (the text before a ':') most likely stands for.
// Exact: the word is a spelling. Separator: it is one once every '_' and
// blank becomes '-'. Case: it is one ignoring letter case. Near: within one
// edit (an insertion, deletion, replacement or swap of neighbours) of the
// suffix after an intact prefix, or, for prefixes of four or more bytes
// with the same first byte, within one edit of the whole spelling (two for
// spellings of twelve or more bytes).
Guess guessDirective(std::string_view word, std::span<const Spelling> spellings);

// Appends a DirectiveTypo finding for each such word of `checkText` (the
// canonical check text the reader read). `sightings` are the reader's
// directives in file order; `request` holds the prefix lists with their
// defaults.
void findDirectiveTypos(std::string_view checkText, std::span<const DirectiveSighting> sightings,
                        const CheckRequest &request, FindingList &findings);

} // namespace vetline::lint
