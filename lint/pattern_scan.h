// Pattern scan: a directive's pattern text split the way the pattern parser
// splits it ({{...}} regex pieces and [[...]] blocks between literal text),
// so the linter can look at the regexes and variables of a pattern without
// compiling it. The scan stops quietly at the first malformed piece: the
// tool reports those itself.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace vetline::lint {

enum class PieceKind { Regex, StringDefinition, StringUse, NumericBlock };

struct PatternPiece {
  PieceKind kind = PieceKind::Regex;
  // Regex: the regex between the braces. StringDefinition: the text before
  // the first ':' (the name, when it is a valid one). StringUse: the whole
  // block (a name, or an older @LINE expression). NumericBlock: the block
  // after its '#'. Views into the pattern text.
  std::string_view text;
  // StringDefinition: the regex after the ':'.
  std::string_view regex;
};

// Replaces the contents of `pieces` with the pieces of `text`, in order;
// literal text is left out. Linear in the length of `text`.
void scanPattern(std::string_view text, std::vector<PatternPiece> &pieces);

// True when `text` holds a piece at all ("{{" or "[["): a pattern without
// one is a fixed string.
bool hasPieces(std::string_view text);

// A backslash escape in a regex that POSIX takes as a plain character.
struct SuspectEscape {
  // Offset of the backslash in the regex.
  size_t offset = 0;
  char letter = 0;
  // Inside a bracket expression, where the backslash is itself a member.
  bool isInBracket = false;
};

// The escapes of `regex` that other regex dialects give a meaning POSIX
// does not: a backslash before a letter, '<' or '>' outside a bracket
// expression, and \d \D \w \W \s \S inside one.
void findSuspectEscapes(std::string_view regex, std::vector<SuspectEscape> &escapes);

} // namespace vetline::lint
