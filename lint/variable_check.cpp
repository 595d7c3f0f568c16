#include "lint/variable_check.h"

#include "lint/pattern_scan.h"
#include "support/format.h"

#include <array>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace vetline::lint {

namespace {

// Every text of the variable warnings. They are interface (tests and users
// compare them byte for byte): never reword them. "{N}" stands for a value
// filled in by formatPositional: {0} is numericVariable or stringVariable,
// {1} the name.
namespace text {
constexpr std::string_view numericVariable = "numeric variable";
constexpr std::string_view stringVariable = "variable";
constexpr std::string_view undefined =
    "{0} '{1}' is used before any directive defines it, and no -D gives it";
constexpr std::string_view redefinedUnused =
    "{0} '{1}' is defined here and defined again before any use of it";
constexpr std::string_view unused = "{0} '{1}' is defined here but never used";
} // namespace text

std::string_view variableWhat(VariableKind kind) {
  return kind == VariableKind::Numeric ? text::numericVariable : text::stringVariable;
}

bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool isNameByte(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The length of the variable name at the start of `text` (an optional '$'
// or '@', then a letter or '_', then letters, digits and '_'); 0 when there
// is none.
size_t nameLength(std::string_view text) {
  size_t i = !text.empty() && (text[0] == '$' || text[0] == '@') ? 1 : 0;
  if (i >= text.size() || !isNameStart(text[i]))
    return 0;
  while (i < text.size() && isNameByte(text[i]))
    ++i;
  return i;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// `text` is the whole of a name that is not a pseudo-variable.
bool isPlainName(std::string_view text) {
  return !text.empty() && text[0] != '@' && nameLength(text) == text.size();
}

// The uses of an expression: names that are not function calls, not
// pseudo-variables and not parts of literals (such as 0x1f).
void expressionUses(std::string_view expression, std::vector<VariableEvent> &events) {
  size_t i = 0;
  while (i < expression.size()) {
    char c = expression[i];
    if (c >= '0' && c <= '9') {
      while (i < expression.size() && isNameByte(expression[i]))
        ++i;
      continue;
    }
    size_t length = nameLength(expression.substr(i));
    if (length == 0) {
      ++i;
      continue;
    }
    std::string_view name = expression.substr(i, length);
    i += length;
    size_t after = i;
    while (after < expression.size() && isBlank(expression[after]))
      ++after;
    bool isCall = after < expression.size() && expression[after] == '(';
    if (!isCall && name[0] != '@')
      events.push_back({VariableKind::Numeric, false, name});
  }
}

// A numeric block after its '#': [format ','] [name ':'] [expression].
void numericBlockVariables(std::string_view block, std::vector<VariableEvent> &events) {
  size_t comma = block.find(',');
  size_t paren = block.find('(');
  if (comma != std::string_view::npos && (paren == std::string_view::npos || comma < paren))
    block.remove_prefix(comma + 1);
  size_t colon = block.find(':');
  std::string_view expression = colon == std::string_view::npos ? block : block.substr(colon + 1);
  expressionUses(expression, events);
  if (colon == std::string_view::npos)
    return;
  std::string_view name = trimBlanks(block.substr(0, colon));
  if (isPlainName(name))
    events.push_back({VariableKind::Numeric, true, name});
}

} // namespace

void patternVariables(std::string_view text, std::vector<VariableEvent> &events,
                      std::vector<PatternPiece> &pieces) {
  events.clear();
  if (!hasPieces(text))
    return;
  scanPattern(text, pieces);
  for (const PatternPiece &piece : pieces) {
    switch (piece.kind) {
    case PieceKind::StringDefinition:
      if (isPlainName(piece.text))
        events.push_back({VariableKind::String, true, piece.text});
      break;
    case PieceKind::StringUse:
      if (isPlainName(piece.text))
        events.push_back({VariableKind::String, false, piece.text});
      break;
    case PieceKind::NumericBlock:
      numericBlockVariables(piece.text, events);
      break;
    case PieceKind::Regex:
      break;
    }
  }
}

VariableEvent commandLineVariable(std::string_view definition) {
  size_t equals = definition.find('=');
  if (equals == std::string_view::npos)
    return {};
  if (definition.starts_with('#')) {
    std::string_view left = definition.substr(1, equals - 1);
    size_t comma = left.find(',');
    if (comma != std::string_view::npos)
      left.remove_prefix(comma + 1);
    return {VariableKind::Numeric, true, trimBlanks(left)};
  }
  return {VariableKind::String, true, definition.substr(0, equals)};
}

namespace {

bool isPositive(DirectiveKind kind) {
  return kind != DirectiveKind::Not && kind != DirectiveKind::Dag && kind != DirectiveKind::Comment;
}

class VariableTracker {
public:
  VariableTracker(const CheckRequest &request, FindingList &findings) : findings(findings) {
    for (std::string_view definition : request.globalDefines) {
      VariableEvent event = commandLineVariable(definition);
      if (!event.name.empty())
        given[index(event.kind)].insert(event.name);
    }
    for (std::string_view pattern : request.implicitCheckNot) {
      patternVariables(pattern, events, pieces);
      for (const VariableEvent &event : events)
        if (!event.isDefinition)
          usedByImplicit[index(event.kind)].insert(event.name);
    }
  }

  // One unit: the NOT and DAG sightings since the previous positive
  // directive, then that directive (null at the end of the file).
  void runUnit(std::span<const DirectiveSighting *const> items, const DirectiveSighting *positive);
  void finish();

private:
  // Names view the check text or the option values, which outlive the
  // tracker.
  using NameSet = std::unordered_set<std::string_view>;
  static size_t index(VariableKind kind) { return kind == VariableKind::String ? 0 : 1; }

  struct Definition {
    std::string_view name;
    VariableKind kind;
    bool isUsed = false;
    bool isRedefined = false;
  };

  void runPattern(const DirectiveSighting &sighting);

  FindingList &findings;
  // Per kind: the names "-D" gives, the names the implicit-check-not
  // patterns use, the names already reported as undefined.
  std::array<NameSet, 2> given;
  std::array<NameSet, 2> usedByImplicit;
  std::array<NameSet, 2> reported;
  // Per kind, the latest definition of each name, as an index into
  // `definitions`.
  std::array<std::unordered_map<std::string_view, size_t>, 2> latest;
  std::vector<Definition> definitions;
  // Scratch space reused by every pattern.
  std::vector<VariableEvent> events;
  std::vector<PatternPiece> pieces;
  std::vector<const DirectiveSighting *> pendingNots;
};

void VariableTracker::runUnit(std::span<const DirectiveSighting *const> items,
                              const DirectiveSighting *positive) {
  pendingNots.clear();
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i]->type.kind == DirectiveKind::Not) {
      pendingNots.push_back(items[i]);
      continue;
    }
    runPattern(*items[i]);
    bool isGroupEnd = i + 1 == items.size() || items[i + 1]->type.kind == DirectiveKind::Not;
    if (isGroupEnd) {
      for (const DirectiveSighting *not_ : pendingNots)
        runPattern(*not_);
      pendingNots.clear();
    }
  }
  if (positive)
    runPattern(*positive);
  for (const DirectiveSighting *not_ : pendingNots)
    runPattern(*not_);
}

void VariableTracker::runPattern(const DirectiveSighting &sighting) {
  if (sighting.type.isLiteral())
    return;
  patternVariables(sighting.patternText, events, pieces);
  for (const VariableEvent &event : events) {
    size_t k = index(event.kind);
    auto found = latest[k].find(event.name);
    if (event.isDefinition) {
      if (found != latest[k].end()) {
        definitions[found->second].isRedefined = true;
        found->second = definitions.size();
      } else {
        latest[k].emplace(event.name, definitions.size());
      }
      definitions.push_back({event.name, event.kind});
      continue;
    }
    if (found != latest[k].end()) {
      definitions[found->second].isUsed = true;
      continue;
    }
    if (given[k].contains(event.name) || !reported[k].insert(event.name).second)
      continue;
    findings.push_back(
        {event.name.data(), event.name.data() + event.name.size(), WarningKind::UndefinedVariable,
         formatPositionalString(text::undefined, variableWhat(event.kind), event.name)});
  }
}

void VariableTracker::finish() {
  for (const Definition &definition : definitions) {
    if (definition.isUsed || usedByImplicit[index(definition.kind)].contains(definition.name))
      continue;
    std::string message =
        formatPositionalString(definition.isRedefined ? text::redefinedUnused : text::unused,
                               variableWhat(definition.kind), definition.name);
    findings.push_back({definition.name.data(), definition.name.data() + definition.name.size(),
                        WarningKind::UnusedVariable, std::move(message)});
  }
}

} // namespace

void findVariableProblems(std::span<const DirectiveSighting> sightings, const CheckRequest &request,
                          FindingList &findings) {
  VariableTracker tracker(request, findings);
  std::vector<const DirectiveSighting *> items;
  for (const DirectiveSighting &sighting : sightings) {
    DirectiveKind kind = sighting.type.kind;
    if (kind == DirectiveKind::Comment)
      continue;
    if (!isPositive(kind)) {
      items.push_back(&sighting);
      continue;
    }
    tracker.runUnit(items, &sighting);
    items.clear();
  }
  if (!items.empty())
    tracker.runUnit(items, nullptr);
  tracker.finish();
}

} // namespace vetline::lint
