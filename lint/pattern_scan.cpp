// The split follows the pattern parser: a "{{" piece ends at the first "}}"
// found from the "{{" itself; a "[[" block (not "[[[") ends where the
// parser's own findBlockEnd says, and a stray ']' makes it malformed; literal text runs to the next
// "{{" or "[[" found from its second byte. Tested by pattern_scan_test.cpp, which also holds the
// scan against the parser's own variable tables.
#include "lint/pattern_scan.h"

#include "engine/pattern.h"

#include <algorithm>

namespace vetline::lint {

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

PatternPiece blockPiece(std::string_view block) {
  if (block.starts_with('#'))
    return {PieceKind::NumericBlock, block.substr(1), {}};
  size_t colon = block.find(':');
  if (colon == std::string_view::npos)
    return {PieceKind::StringUse, block, {}};
  return {PieceKind::StringDefinition, block.substr(0, colon), block.substr(colon + 1)};
}

// The next `marker` at or after `from`; `cached` keeps the last answer,
// still right while it is not behind `from`, so that a line of many short
// literal runs is not searched afresh for each. `from` is never 0, so a
// cache starting at 0 is searched on first use.
size_t nextMarker(std::string_view whole, std::string_view marker, size_t &cached, size_t from) {
  if (cached < from)
    cached = whole.find(marker, from);
  return std::min(cached, whole.size());
}

} // namespace

bool hasPieces(std::string_view text) {
  return text.find("{{") != std::string_view::npos || text.find("[[") != std::string_view::npos;
}

void scanPattern(std::string_view whole, std::vector<PatternPiece> &pieces) {
  pieces.clear();
  size_t nextBraces = 0;
  size_t nextBrackets = 0;
  size_t at = 0;
  while (at < whole.size()) {
    std::string_view text = whole.substr(at);
    if (text.starts_with("{{")) {
      size_t end = text.find("}}");
      if (end == std::string_view::npos)
        return;
      pieces.push_back({PieceKind::Regex, text.substr(2, end - 2), {}});
      at += end + 2;
    } else if (text.starts_with("[[") && (text.size() < 3 || text[2] != '[')) {
      BlockEnd found = findBlockEnd(text.substr(2));
      if (found.isStray || found.offset == std::string_view::npos)
        return;
      size_t end = found.offset;
      pieces.push_back(blockPiece(text.substr(2, end)));
      at += end + 4;
    } else {
      at = std::min(nextMarker(whole, "{{", nextBraces, at + 1),
                    nextMarker(whole, "[[", nextBrackets, at + 1));
    }
  }
}

namespace {

// `at` is on a '[' followed by ':', '=' or '.' inside a bracket expression
// (a class, an equivalence class or a collating element); the term runs to
// the same byte followed by ']'. Returns the offset after it, or the end of
// the regex when it does not close.
size_t skipClassOrElement(std::string_view regex, size_t at) {
  char kind = regex[at + 1];
  for (size_t i = at + 2; i + 1 < regex.size(); ++i)
    if (regex[i] == kind && regex[i + 1] == ']')
      return i + 2;
  return regex.size();
}

bool isBracketSuspect(char c) {
  return c == 'd' || c == 'D' || c == 'w' || c == 'W' || c == 's' || c == 'S';
}

// Scans the bracket expression opening at `open`; returns the offset after
// its closing ']' (the end of the regex when it does not close).
size_t scanBracket(std::string_view regex, size_t open, std::vector<SuspectEscape> &escapes) {
  size_t i = open + 1;
  if (i < regex.size() && regex[i] == '^')
    ++i;
  // A ']' first is a member, not the end.
  if (i < regex.size() && regex[i] == ']')
    ++i;
  while (i < regex.size() && regex[i] != ']') {
    char c = regex[i];
    if (c == '[' && i + 1 < regex.size() &&
        (regex[i + 1] == ':' || regex[i + 1] == '=' || regex[i + 1] == '.')) {
      i = skipClassOrElement(regex, i);
      continue;
    }
    if (c == '\\' && i + 1 < regex.size() && isBracketSuspect(regex[i + 1]))
      escapes.push_back({i, regex[i + 1], true});
    ++i;
  }
  return i < regex.size() ? i + 1 : i;
}

} // namespace

void findSuspectEscapes(std::string_view regex, std::vector<SuspectEscape> &escapes) {
  escapes.clear();
  size_t i = 0;
  while (i < regex.size()) {
    char c = regex[i];
    if (c == '[') {
      i = scanBracket(regex, i, escapes);
      continue;
    }
    if (c == '\\' && i + 1 < regex.size()) {
      char next = regex[i + 1];
      if (isLetter(next) || next == '<' || next == '>')
        escapes.push_back({i, next, false});
      i += 2;
      continue;
    }
    ++i;
  }
}

} // namespace vetline::lint
