#include "lint/escape_check.h"

#include "support/format.h"

namespace vetline::lint {

namespace {

// Every text of the escape warning, the spellings below included. They are
// interface (tests and users compare them byte for byte): never reword
// them. "{N}" stands for a value filled in by formatPositional: the escape
// as written ("\\d"), its letter, or a spelling.
namespace text {
constexpr std::string_view inBracket =
    "inside a bracket expression '{0}' is the two characters '\\' and '{1}'";
constexpr std::string_view inBracketSpelling = "; write {0} inside the brackets";
constexpr std::string_view notAnEscape =
    "'{0}' is not an escape in POSIX regular expressions: it matches '{1}'";
constexpr std::string_view spelling = "; write {0}";
constexpr std::string_view noWordBoundaryNegation =
    "; POSIX has no way to say 'not at a word boundary'";
constexpr std::string_view letterAlone = "; write '{0}' alone if that is meant";
} // namespace text

// What to write instead of each escape outside a bracket expression; empty
// when POSIX has no equivalent.
std::string_view posixSpelling(char letter) {
  switch (letter) {
  case 'd':
    return "'[0-9]'";
  case 'D':
    return "'[^0-9]'";
  case 'w':
    return "'[[:alnum:]_]'";
  case 'W':
    return "'[^[:alnum:]_]'";
  case 's':
    return "'[[:space:]]'";
  case 'S':
    return "'[^[:space:]]'";
  case 'b':
    return "'[[:<:]]' at the start of a word or '[[:>:]]' at its end";
  case '<':
    return "'[[:<:]]'";
  case '>':
    return "'[[:>:]]'";
  default:
    return "";
  }
}

// The same inside a bracket expression, where only the sets have one.
std::string_view bracketSpelling(char letter) {
  switch (letter) {
  case 'd':
    return "'0-9'";
  case 'w':
    return "'[:alnum:]_'";
  case 's':
    return "'[:space:]'";
  default:
    return "";
  }
}

void findRegexEscapes(std::string_view regex, std::vector<SuspectEscape> &escapes,
                      FindingList &findings) {
  findSuspectEscapes(regex, escapes);
  for (const SuspectEscape &escape : escapes) {
    const char *at = regex.data() + escape.offset;
    findings.push_back({at, at + 2, WarningKind::NonPosixEscape, escapeMessage(escape)});
  }
}

} // namespace

std::string escapeMessage(const SuspectEscape &escape) {
  std::string written = std::string("\\") + escape.letter;
  std::string_view letter(&escape.letter, 1);
  if (escape.isInBracket) {
    std::string message = formatPositionalString(text::inBracket, written, letter);
    std::string_view spelling = bracketSpelling(escape.letter);
    if (!spelling.empty())
      message += formatPositionalString(text::inBracketSpelling, spelling);
    return message;
  }
  std::string message = formatPositionalString(text::notAnEscape, written, letter);
  std::string_view spelling = posixSpelling(escape.letter);
  if (!spelling.empty())
    return message + formatPositionalString(text::spelling, spelling);
  if (escape.letter == 'B')
    return message + std::string(text::noWordBoundaryNegation);
  return message + formatPositionalString(text::letterAlone, letter);
}

void findPatternEscapes(std::string_view text, std::vector<PatternPiece> &pieces,
                        std::vector<SuspectEscape> &escapes, FindingList &findings) {
  if (!hasPieces(text))
    return;
  scanPattern(text, pieces);
  for (const PatternPiece &piece : pieces) {
    if (piece.kind == PieceKind::Regex)
      findRegexEscapes(piece.text, escapes, findings);
    else if (piece.kind == PieceKind::StringDefinition)
      findRegexEscapes(piece.regex, escapes, findings);
  }
}

} // namespace vetline::lint
