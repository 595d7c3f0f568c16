#include "engine/directive_type.h"

#include <cassert>

namespace vetline {

namespace {

constexpr DirectiveKindNames kindNames[] = {
    {DirectiveKind::None, "", "invalid", ""},
    {DirectiveKind::Plain, "", "", "check"},
    {DirectiveKind::Next, "NEXT", "", "next"},
    {DirectiveKind::Same, "SAME", "", "same"},
    {DirectiveKind::Not, "NOT", "", "not"},
    {DirectiveKind::Dag, "DAG", "", "dag"},
    {DirectiveKind::Label, "LABEL", "", "label"},
    {DirectiveKind::Empty, "EMPTY", "", "empty"},
    {DirectiveKind::Comment, "", "", "com"},
    {DirectiveKind::EndOfFile, "", "implicit EOF", "eof"},
    {DirectiveKind::BadNot, "", "bad NOT", "bad-not"},
    {DirectiveKind::BadCount, "", "bad COUNT", "bad-count"},
};

constexpr DirectiveKindNames countNames = {DirectiveKind::Plain, countSuffixWord, "", "count"};

constexpr bool rowsFollowKinds() {
  for (size_t i = 0; i < std::size(kindNames); ++i)
    if (static_cast<size_t>(kindNames[i].kind) != i)
      return false;
  return true;
}
static_assert(rowsFollowKinds(), "directive kind names out of order");

} // namespace

const std::span<const DirectiveKindNames> directiveKindNames(kindNames);

const DirectiveKindNames &namesOf(const DirectiveType &type) {
  if (type.kind == DirectiveKind::Plain && type.count > 1)
    return countNames;
  size_t index = static_cast<size_t>(type.kind);
  assert(index < std::size(kindNames));
  return kindNames[index];
}

std::string directiveDescription(std::string_view prefix, const DirectiveType &type) {
  const DirectiveKindNames &names = namesOf(type);
  if (!names.fixedDescription.empty())
    return std::string(names.fixedDescription);
  std::string text(prefix);
  // Comment directives never carry modifiers.
  if (type.kind == DirectiveKind::Comment)
    return text;
  if (!names.suffixWord.empty()) {
    text += '-';
    text += names.suffixWord;
  }
  if (type.isLiteral()) {
    text += '{';
    text += literalModifierWord;
    text += '}';
  }
  return text;
}

} // namespace vetline
