#include "lint/dag_gap.h"

#include "engine/directive_type.h"
#include "lint/pattern_scan.h"
#include "support/format.h"

#include <string>
#include <string_view>
#include <vector>

namespace vetline::lint {

namespace {

// Every text of the DAG-gap warning. They are interface (tests and users
// compare them byte for byte): never reword them. "{N}" stands for a value
// filled in by formatPositional.
namespace text {
// {0} the quoted patterns, {1} the DAG directive's name, {2} the quoted
// NOT directives to add.
constexpr std::string_view oneMissing =
    "the implicit-check-not pattern {0} is not searched after the last match of this {1} group; "
    "add {2} after the group";
constexpr std::string_view severalMissing =
    "the implicit-check-not patterns {0} are not searched after the last match of this {1} "
    "group; add {2} after the group";
// One item of a list, and what separates two.
constexpr std::string_view quotedItem = "'{0}'";
constexpr std::string_view listSeparator = ", ";
// A suggested directive: {0} its name, {1} its pattern.
constexpr std::string_view suggestedDirective = "{0}: {1}";
} // namespace text

std::string_view dropTrailingBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

// A NOT directive written out searches the same as the implicit pattern
// when its text is the same and, with LITERAL, holds nothing the pattern
// parser would read as a regex or variable.
bool repeats(const DirectiveSighting &not_, std::string_view implicit) {
  std::string_view text = dropTrailingBlanks(not_.patternText);
  if (text != dropTrailingBlanks(implicit))
    return false;
  return !not_.type.isLiteral() || !hasPieces(text);
}

std::string quotedList(const std::vector<std::string> &items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0)
      out += text::listSeparator;
    out += formatPositionalString(text::quotedItem, items[i]);
  }
  return out;
}

// `items` are the NOT and DAG directives before one positive directive (or
// the end of the file), in file order.
void findUnitGaps(std::span<const DirectiveSighting *const> items, const CheckRequest &request,
                  FindingList &findings) {
  size_t i = 0;
  while (i < items.size()) {
    if (items[i]->type.kind != DirectiveKind::Dag) {
      ++i;
      continue;
    }
    while (i + 1 < items.size() && items[i + 1]->type.kind == DirectiveKind::Dag)
      ++i;
    const DirectiveSighting &last = *items[i];
    size_t notsEnd = i + 1;
    while (notsEnd < items.size() && items[notsEnd]->type.kind == DirectiveKind::Not)
      ++notsEnd;
    std::vector<std::string> missing;
    std::vector<std::string> suggested;
    std::string notName = directiveDescription(last.prefix, {DirectiveKind::Not, 1, 0});
    for (std::string_view implicit : request.implicitCheckNot) {
      bool isRepeated = false;
      for (size_t k = i + 1; k < notsEnd && !isRepeated; ++k)
        isRepeated = repeats(*items[k], implicit);
      if (isRepeated)
        continue;
      missing.emplace_back(implicit);
      suggested.push_back(formatPositionalString(text::suggestedDirective, notName, implicit));
    }
    if (!missing.empty()) {
      std::string dagName = directiveDescription(last.prefix, {DirectiveKind::Dag, 1, 0});
      std::string message =
          formatPositionalString(missing.size() == 1 ? text::oneMissing : text::severalMissing,
                                 quotedList(missing), dagName, quotedList(suggested));
      const char *end = last.patternText.data() + last.patternText.size();
      findings.push_back(
          {last.prefix.data(), end, WarningKind::DagImplicitGap, std::move(message)});
    }
    i = notsEnd;
  }
}

} // namespace

void findDagGaps(std::span<const DirectiveSighting> sightings, const CheckRequest &request,
                 FindingList &findings) {
  if (request.implicitCheckNot.empty())
    return;
  std::vector<const DirectiveSighting *> items;
  for (const DirectiveSighting &sighting : sightings) {
    DirectiveKind kind = sighting.type.kind;
    if (kind == DirectiveKind::Comment)
      continue;
    if (kind == DirectiveKind::Not || kind == DirectiveKind::Dag) {
      items.push_back(&sighting);
      continue;
    }
    findUnitGaps(items, request, findings);
    items.clear();
  }
  findUnitGaps(items, request, findings);
}

} // namespace vetline::lint
