// Directive vocabulary: the kinds of directive a check file can hold, the
// repeat count and the LITERAL modifier, and every word by which a kind is
// written, named in diagnostics and labelled in the input dump (one table,
// directiveKindNames). The numbers of DirectiveKind are shared with checking
// and the match records (they show in the input dump), so they are written
// out and must not change.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vetline {

enum class DirectiveKind : uint32_t {
  None = 0,      // not a directive
  Plain = 1,     // PREFIX: or PREFIX-COUNT-n:
  Next = 2,      // PREFIX-NEXT:
  Same = 3,      // PREFIX-SAME:
  Not = 4,       // PREFIX-NOT:
  Dag = 5,       // PREFIX-DAG:
  Label = 6,     // PREFIX-LABEL:
  Empty = 7,     // PREFIX-EMPTY:
  Comment = 8,   // COMMENTPREFIX:
  EndOfFile = 9, // made by the reader for trailing NOT/DAG patterns
  BadNot = 10,   // PREFIX-DAG-NOT: and the other NOT combinations
  BadCount = 11, // a malformed PREFIX-COUNT-n
};

// Bits of DirectiveType::modifiers.
inline constexpr uint32_t LiteralModifier = 1u << 0;

struct DirectiveType {
  DirectiveKind kind = DirectiveKind::None;
  // Repetitions demanded by a COUNT suffix; always at least 1.
  int32_t count = 1;
  uint32_t modifiers = 0;

  bool isLiteral() const { return (modifiers & LiteralModifier) != 0; }
  friend bool operator==(const DirectiveType &, const DirectiveType &) = default;
};

// The words of one kind.
struct DirectiveKindNames {
  DirectiveKind kind;
  // Written after "PREFIX-"; empty for the kinds not written that way.
  std::string_view suffixWord;
  // The name in messages of a kind that is not named after its prefix;
  // empty for the others.
  std::string_view fixedDescription;
  // Labels the kind in the input dump; empty for None, which is never
  // reported.
  std::string_view dumpAbbreviation;
};

// One row per kind, in the order (and at the index) of DirectiveKind.
extern const std::span<const DirectiveKindNames> directiveKindNames;

// A Plain directive with a count above 1 is written and labelled as COUNT.
inline constexpr std::string_view countSuffixWord = "COUNT";
// The one modifier word, written in a block after the suffix.
inline constexpr std::string_view literalModifierWord = "LITERAL";

// The row of `type`: its kind's, or the COUNT row for a count above 1.
const DirectiveKindNames &namesOf(const DirectiveType &type);

// The name of a directive in messages: "CHECK-NEXT", "CHECK-COUNT{LITERAL}",
// "implicit EOF" and so on. `prefix` is the prefix as written.
std::string directiveDescription(std::string_view prefix, const DirectiveType &type);

} // namespace vetline
