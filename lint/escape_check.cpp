#include "lint/escape_check.h"

namespace vetline::lint {

namespace {

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
  if (escape.isInBracket) {
    std::string message = "inside a bracket expression '" + written +
                          "' is the two characters '\\' and '" + escape.letter + "'";
    std::string_view spelling = bracketSpelling(escape.letter);
    if (!spelling.empty())
      message += std::string("; write ") + std::string(spelling) + " inside the brackets";
    return message;
  }
  std::string message = "'" + written +
                        "' is not an escape in POSIX regular expressions: it matches '" +
                        escape.letter + "'";
  std::string_view spelling = posixSpelling(escape.letter);
  if (!spelling.empty())
    return message + "; write " + std::string(spelling);
  if (escape.letter == 'B')
    return message + "; POSIX has no way to say 'not at a word boundary'";
  return message + "; write '" + escape.letter + "' alone if that is meant";
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
