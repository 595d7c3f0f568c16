// Pattern parser: turns a directive's pattern text into a CheckPattern,
// either a fixed string (searched by plain substring search) or one POSIX
// extended regular expression. Literal text is escaped, {{...}} pieces are
// inserted as written, [[NAME:regex]] captures a string variable and [[NAME]]
// uses one: as a back-reference when this pattern defined it, otherwise as a
// substitution whose value is inserted into the regex at match time.
//
// Surprising parts:
// - The whole regex is compiled once while parsing, so a piece that is
//   valid alone but not in place (a back-reference to its own, still open
//   group) rejects the check file instead of never matching.
// - A ']' without its pair inside [[...]] ends the process with status 1.
// - [[#...]] is a numeric block (and [[@LINE+n]] its older form): with an
//   expression it is substituted by the value, without one it inserts the
//   wildcard of its format; [[#N:...]] also captures the matched number
//   into N, which the matching code converts after the match.
// - Before that compile, each numeric value's place holds one digit: a
//   definition with an expression is an empty group until then.
#pragma once

#include "engine/directive_type.h"
#include "engine/numeric_expression.h"
#include "support/error.h"
#include "support/name_map.h"
#include "support/regex/regex.h"
#include "support/source_manager.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

class PatternContext;
struct CheckRequest;
struct MatchOutcome;
struct NumericVar;

// Text to insert into a pattern's regex when it is matched. Kept in the
// PatternContext's arena, which never runs destructors; patterns (and their
// copies) point at it.
class Substitution {
public:
  Substitution(PatternContext *context, std::string_view fromText, size_t insertIndex)
      : context(context), fromText(fromText), insertIndex(insertIndex) {}
  Substitution(const Substitution &) = delete;
  Substitution &operator=(const Substitution &) = delete;

  // The text to insert, or why there is none.
  virtual Fallible<std::string> valueText() const = 0;
  // Appends the text the value matches, not escaped, to `needle`; the same
  // failure as valueText when there is none.
  virtual Error appendValue(std::string &needle) const = 0;

  PatternContext *context;
  // The variable name, or the numeric block text; views the check text or a
  // command-line buffer.
  std::string_view fromText;
  // Offset in the pattern's regexText where the value goes.
  size_t insertIndex;

protected:
  ~Substitution() = default;
};

// The current value of a string variable, with every regex metacharacter
// escaped; an UndefinedVariableError naming it when it has no value.
class StringVarSubstitution final : public Substitution {
public:
  using Substitution::Substitution;
  Fallible<std::string> valueText() const override;
  Error appendValue(std::string &needle) const override;
};

// The value of a numeric expression in the expression's format, inserted
// unescaped; the evaluation error (undefined variables, overflow) when it
// has none.
class ExpressionSubstitution final : public Substitution {
public:
  ExpressionSubstitution(PatternContext *context, std::string_view fromText, size_t insertIndex,
                         Expression expression)
      : Substitution(context, fromText, insertIndex), expression(expression) {}
  Fallible<std::string> valueText() const override;
  Error appendValue(std::string &needle) const override;

  Expression expression;
};

// A numeric variable defined by a pattern and the group it is captured in.
struct NumericVarDef {
  NumericVar *variable = nullptr;
  uint32_t group = 0;
};

// A string variable a pattern defines, and its capture group.
struct StringVarDef {
  std::string_view name;
  uint32_t group = 0;
};

// What only a regex pattern has, apart from the fixed-text patterns that
// make up most check files. Owned by the PatternContext, filled only while
// parsing, then shared by copies of the pattern. The lists are in the
// context's arena: check files with regexes on most lines would otherwise
// pay an allocation for each.
struct PatternRegex {
  // The regular expression, in the context's arena.
  std::string_view text;
  // In pattern order, so insertion indices never decrease.
  std::span<Substitution *const> substitutions;
  // When the regex is plain text apart from its substitutions: that text,
  // unescaped and cut where the values go (one piece more than there are
  // substitutions), so a search can find it as fixed text. Empty otherwise.
  std::span<const std::string_view> literalPieces;
  // String variables defined here, one per name in byte order of the names.
  // A later definition of the same name replaces the group.
  std::span<const StringVarDef> stringVarDefs;
  // Numeric variables defined here, null while there are none. Its bucket
  // order decides which failing capture is reported first.
  NameMap<NumericVarDef> *numericVarDefs = nullptr;
  // The start of the pattern text parsed into these parts: the views above
  // point into it, also for the patterns of the same text that share them.
  const char *source = nullptr;
};

// A directive's line in the check file, or none (implicit-check-not
// patterns), in one word: there is one per directive.
class PatternLine {
public:
  PatternLine(std::optional<size_t> line) : value(line ? *line : none) {}
  explicit operator bool() const { return value != none; }
  size_t operator*() const { return value; }
  operator std::optional<size_t>() const {
    return value == none ? std::nullopt : std::optional<size_t>(value);
  }
  friend bool operator==(PatternLine line, size_t number) { return line.value == number; }

private:
  // No check file has this many lines.
  static constexpr size_t none = SIZE_MAX;
  size_t value;
};

// One pattern per directive, so it is kept small: what only regexes need is
// behind one pointer.
class CheckPattern {
public:
  CheckPattern(DirectiveType type, std::optional<size_t> lineNumber, PatternContext *context)
      : context(context), lineNumber(lineNumber), type(type) {}

  // Parses `text` (a view into a buffer of `sourceManager`) into this
  // pattern; `prefix` names the directive in messages. Returns true on error,
  // after printing it. Parsing may already have added variables and
  // substitutions to the context when it fails.
  bool compilePattern(std::string_view text, std::string_view prefix, SourceManager &sourceManager,
                      const CheckRequest &request);

  // True when the pattern defines or uses any variable.
  bool hasVariables() const {
    return regex && (!regex->substitutions.empty() || !regex->stringVarDefs.empty() ||
                     (regex->numericVarDefs && !regex->numericVarDefs->empty()));
  }

  // Searches `text` and records the variables the match defines; see the
  // matching code. Never prints.
  MatchOutcome findMatch(std::string_view text, const SourceManager &sourceManager) const;
  // The likely place of an intended match in `text` that failed, if any.
  std::optional<size_t> closestCandidate(std::string_view text) const;

  // The regular expression when the pattern is one; empty otherwise.
  std::string_view regexText() const { return regex ? regex->text : std::string_view(); }
  std::span<Substitution *const> substitutions() const {
    return regex ? regex->substitutions : std::span<Substitution *const>();
  }
  std::span<const std::string_view> literalPieces() const {
    return regex ? regex->literalPieces : std::span<const std::string_view>();
  }
  std::span<const StringVarDef> stringVarDefs() const {
    return regex ? regex->stringVarDefs : std::span<const StringVarDef>();
  }
  // Null while there are none.
  const NameMap<NumericVarDef> *numericVarDefs() const {
    return regex && regex->numericVarDefs && !regex->numericVarDefs->empty() ? regex->numericVarDefs
                                                                             : nullptr;
  }
  // The regex parts for the parser to fill, made on first use.
  PatternRegex &regexParts();
  // Takes the parts of an earlier pattern of the same text and settings.
  void shareRegexParts(PatternRegex *parts) { regex = parts; }
  // `view`, a view of the text the regex parts were parsed from, moved to
  // the same place in this pattern's own text: what a message locates must
  // point at this directive's line, even when its parts are shared.
  std::string_view inOwnText(std::string_view view) const;

  // The first byte of the pattern text (trailing blanks not yet dropped).
  SourceLocation location;
  // The text to find when the pattern is a fixed string; empty otherwise.
  std::string_view fixedText;
  PatternContext *context;
  // Line of the directive; absent for implicit-check-not patterns.
  PatternLine lineNumber;
  DirectiveType type;
  bool ignoreCase = false;

private:
  PatternRegex *regex = nullptr;
};

// The options a pattern's regex is compiled with: by the whole-regex check
// while parsing and by every search, so that both see the same regex.
RegexOptions regexOptionsOf(const CheckPattern &pattern);

// A ']' without its pair inside [[...]] ends the process with status 1 after
// its message. A host that runs whole checks in-process (the whole-tool fuzz
// target) turns that off; the pattern then fails like any other malformed
// one.
void setExitOnUnbalancedBracket(bool isEnabled);

// Where a "[[" block ends, given `inner`, its text after the "[[": the
// first "]]" outside brackets, a backslash hiding the byte after it. A ']'
// that stands alone outside brackets before that makes the block malformed.
struct BlockEnd {
  // Offset in `inner` of the closing "]]", or of the stray ']'; npos when
  // neither comes.
  size_t offset = std::string_view::npos;
  bool isStray = false;
};
BlockEnd findBlockEnd(std::string_view inner);

struct VariableName {
  std::string_view name;
  // Starts with '@'.
  bool isPseudo = false;
};

// True when parseVariableName would succeed on `text`: callers that try a
// name before something else ask this first, since building the error they
// would throw away costs more than the whole parse.
bool startsVariableName(std::string_view text);

// Reads a variable name from the front of `text` and advances `text` past
// it. A name is an optional '@' (pseudo-variable) or '$' (global) marker,
// then a letter or '_', then letters, digits and '_'. Errors are
// LocatedErrors: "empty variable name" (empty text) and "invalid variable
// name" (the whole text as range).
Fallible<VariableName> parseVariableName(std::string_view &text,
                                         const SourceManager &sourceManager);

} // namespace vetline
