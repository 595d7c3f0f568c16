// Pattern context: the variable store that every pattern of one run shares.
// It holds the current values of string variables, the names ever defined
// as string variables (to catch clashes with numeric ones), the table of
// numeric variables with the @LINE pseudo-variable, and it owns every
// numeric variable and substitution that parsing makes, so that patterns
// (and their copies) can point at them for the whole run.
//
// Values are views: captured ones into the input text, command-line ones
// into the "Global defines" buffer; both outlive the context's use of them.
// Names starting with '$' are global and survive clearLocalVariables.
#pragma once

#include "engine/numeric_value.h"
#include "support/error.h"
#include "support/name_map.h"

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vetline {

class SourceManager;
class Substitution;
struct NumericVarDef;
struct PatternRegex;

// Storage for the small records that parsing makes for nearly every
// directive (expression nodes, substitutions, capture lists, variables) and
// that live as long as the run: a pointer bump in large blocks instead of an
// allocation, with its header, per record. Check files of tens of thousands
// of directives otherwise spend more time in the allocator and in faulting
// in its pages than in parsing. Records made with `make` must be trivially
// destructible: the blocks are freed without running destructors.
class ParseArena {
public:
  ParseArena() = default;
  ~ParseArena();
  ParseArena(const ParseArena &) = delete;
  ParseArena &operator=(const ParseArena &) = delete;

  template <typename T, typename... Args> T *make(Args &&...args) {
    static_assert(std::is_trivially_destructible_v<T>);
    return new (allocate(sizeof(T), alignof(T))) T(std::forward<Args>(args)...);
  }
  // A copy of `items`; empty without allocating when there are none.
  template <typename T> std::span<T> copyOf(std::span<const T> items) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (items.empty())
      return {};
    T *copy = static_cast<T *>(allocate(items.size_bytes(), alignof(T)));
    std::uninitialized_copy(items.begin(), items.end(), copy);
    return {copy, items.size()};
  }
  // A copy of `text`; empty without allocating when it is.
  std::string_view copyText(std::string_view text) {
    std::span<char> copy = copyOf(std::span<const char>(text.data(), text.size()));
    return {copy.data(), copy.size()};
  }
  void *allocate(size_t size, size_t alignment);

private:
  struct Block {
    char *start;
    size_t size;
    bool isMapped;
  };
  char *newBlock(size_t size);

  std::vector<Block> blocks;
  char *next = nullptr;
  char *end = nullptr;
  size_t nextBlockSize = 4096;
};

// A numeric variable: defined by a pattern's numeric block, by a "-D#"
// definition, first met as a use, or the @LINE pseudo-variable.
struct NumericVar {
  // As written, with a leading '$' or '@'; views a buffer that outlives the
  // run.
  std::string_view name;
  // The format of its definition; UnsignedDecimal for a variable first met
  // as a use and for @LINE.
  ValueFormat format;
  // Set by a match, a command-line definition or, for @LINE, by matching
  // each pattern that substitutes anything.
  std::optional<ExprValue> value;
  // The matched text the value was read from; absent for command-line
  // values and for @LINE.
  std::optional<std::string_view> stringValue;
  // Line of the defining directive; absent for command-line variables, for
  // variables first met as uses, and for @LINE.
  std::optional<size_t> definitionLine;

  void clearValue() {
    value.reset();
    stringValue.reset();
  }
};

class PatternContext {
public:
  PatternContext();
  ~PatternContext();
  PatternContext(const PatternContext &) = delete;
  PatternContext &operator=(const PatternContext &) = delete;

  // Defines the "-D" variables. Registers the "Global defines" buffer with
  // `sourceManager` (when there is any definition) so that errors can point
  // into it; every bad definition gives one LocatedError, all joined in
  // order. The definitions' text is copied; values view the new buffer.
  Error defineCommandLineVariables(std::span<const std::string_view> definitions,
                                   SourceManager &sourceManager);

  // Creates @LINE (no value) and enters it in the numeric table.
  void makeLineVariable();

  // Forgets every variable whose name does not start with '$': string
  // values are removed, numeric variables lose their value and leave the
  // table (they stay alive, patterns still point at them; setNumericValue
  // enters them again). Which names were defined as strings is kept.
  void clearLocalVariables();

  // String variables.
  std::optional<std::string_view> stringValue(std::string_view name) const;
  // Creates or overwrites.
  void setStringValue(std::string_view name, std::string_view value);
  bool isStringVarDefined(std::string_view name) const { return definedStringVars.contains(name); }
  void markStringVarDefined(std::string_view name) { definedStringVars.insert(name, true); }
  const NameMap<std::string_view> &stringValues() const { return values; }

  // Numeric variables: the one currently known under a name, or null.
  NumericVar *numericVar(std::string_view name) const { return numericVars.lookup(name); }
  void setNumericVar(std::string_view name, NumericVar *variable) { numericVars[name] = variable; }
  const NameMap<NumericVar *> &numericVarTable() const { return numericVars; }
  // The error for a string variable defined under the name of a numeric
  // one, whether by "-D" or by a pattern.
  static std::string numericNameTakenMessage(std::string_view name);
  // A new variable owned by the context (not entered in the table).
  NumericVar *makeNumericVar(std::string_view name, std::optional<size_t> definitionLine,
                             ValueFormat format = {FormatKind::UnsignedDecimal, 0, false});
  // Gives `variable` a value (and the text it was read from, if any) and
  // enters it in the table again: clearing took it out, and a local
  // variable that holds a value must be in the table for the next clearing
  // to find it, whichever block captured it.
  void setNumericValue(NumericVar *variable, ExprValue value, std::optional<std::string_view> text);
  // Null until makeLineVariable.
  NumericVar *lineVariable() const { return lineVar; }

  // Where parsing puts what patterns point at (substitutions, expression
  // trees), for the whole run.
  ParseArena &arena() { return parseArena; }
  // New, empty regex parts for a pattern being parsed, owned here.
  PatternRegex *makePatternRegex();
  // An empty table for the numeric variables one pattern defines, owned
  // here.
  NameMap<NumericVarDef> *makeNumericVarDefs();

  // The regex parts of a pattern parsed earlier from the same text with
  // the same `flags` (the parse settings that change the result), or null.
  // Check files repeat whole lines thousands of times; a pattern whose parse
  // depends only on its text is then parsed once. A bounded table: a later
  // pattern may take an earlier one's place.
  PatternRegex *rememberedPattern(std::string_view text, unsigned flags) const;
  void rememberPattern(std::string_view text, unsigned flags, PatternRegex *parts);

private:
  Error defineStringVariable(std::string_view definition, const SourceManager &sourceManager);
  Error defineNumericVariable(std::string_view definition, const SourceManager &sourceManager);

  NameMap<std::string_view> values;
  NameMap<bool> definedStringVars;
  NameMap<NumericVar *> numericVars;
  NumericVar *lineVar = nullptr;
  ParseArena parseArena;
  std::vector<std::unique_ptr<NameMap<NumericVarDef>>> ownedNumericVarDefs;
  struct RememberedPattern {
    // Views the check text (or a command-line buffer), which outlives the
    // context's use of it.
    std::string_view text;
    unsigned flags = 0;
    PatternRegex *parts = nullptr;
  };
  size_t rememberedSlot(std::string_view text, unsigned flags) const;
  // Made on first use; one slot per hash value.
  std::vector<RememberedPattern> remembered;
};

} // namespace vetline
