#include "engine/directive_type.h"

namespace vetline {

namespace {

// The suffix a kind is written with, for the kinds that name their prefix.
std::string_view kindSuffix(const DirectiveType &type) {
  switch (type.kind) {
  case DirectiveKind::Plain:
    return type.count > 1 ? "-COUNT" : "";
  case DirectiveKind::Next:
    return "-NEXT";
  case DirectiveKind::Same:
    return "-SAME";
  case DirectiveKind::Not:
    return "-NOT";
  case DirectiveKind::Dag:
    return "-DAG";
  case DirectiveKind::Label:
    return "-LABEL";
  case DirectiveKind::Empty:
    return "-EMPTY";
  default:
    return "";
  }
}

} // namespace

std::string directiveDescription(std::string_view prefix, const DirectiveType &type) {
  switch (type.kind) {
  case DirectiveKind::None:
    return "invalid";
  case DirectiveKind::EndOfFile:
    return "implicit EOF";
  case DirectiveKind::BadNot:
    return "bad NOT";
  case DirectiveKind::BadCount:
    return "bad COUNT";
  case DirectiveKind::Comment:
    // Comment directives never carry modifiers.
    return std::string(prefix);
  default:
    break;
  }
  std::string text(prefix);
  text += kindSuffix(type);
  if (type.isLiteral())
    text += "{LITERAL}";
  return text;
}

} // namespace vetline
