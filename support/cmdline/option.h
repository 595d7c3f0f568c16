// Option model: command-line options declared as global objects. Each
// declaration names the option, gives its help text, value kind and flags
// through modifiers applied in the order written, and registers the option
// in the process-wide registry before the entry point runs; the parser
// (parser.h) fills the values, the help printer (help.h) lists them.
//
//   cl::SingleOption<bool> verbose("v", cl::help("Print more"), cl::ZeroOrMore);
//   cl::ListOption<std::string> prefixes("prefix", cl::CommaSeparated);
//
// Surprising: a one-letter name makes the option a grouping option ("-vD"),
// whatever the declaration says. A name registered twice in one subcommand
// ends the process at start-up ("inconsistency in registered CommandLine
// options"). Options never leave the registry while they live; an option
// that is destroyed (a test's local option) takes itself out.
#pragma once

#include "support/cmdline/help.h"
#include "support/cmdline/messages.h"
#include "support/cmdline/value_parsers.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vetline {
class OutputStream;
}

namespace vetline::cl {

// The packed flag word of an option, from its lowest bit.
enum OccurrenceRule : uint16_t {
  Optional = 0,
  ZeroOrMore = 1,
  Required = 2,
  OneOrMore = 3,
  ConsumeAfter = 4,
};

// 0 means "not set": the kind's own expectation applies.
enum ValueExpectation : uint16_t {
  ValueUnset = 0,
  ValueOptional = 1,
  ValueRequired = 2,
  ValueDisallowed = 3,
};

enum Visibility : uint16_t { Listed = 0, Hidden = 1, Unlisted = 2 };

enum FormattingRule : uint16_t {
  StandardFormat = 0,
  Positional = 1,
  Prefix = 2,
  GluedValueOnly = 3,
};

enum ExtraFlags : uint16_t {
  CommaSeparated = 1,
  ConsumesPositionals = 2,
  Sink = 4,
  Grouping = 8,
  DefaultOption = 16,
};

// The value of a three-state flag: unset until the first occurrence.
enum class TriState : uint8_t { Unset = 0, True = 1, False = 2 };

class Option;
class SubCommand;

class OptionCategory {
public:
  // Registers the category; name and description must outlive it.
  explicit OptionCategory(std::string_view name, std::string_view description = {});
  ~OptionCategory();
  OptionCategory(const OptionCategory &) = delete;
  OptionCategory &operator=(const OptionCategory &) = delete;

  std::string_view name;
  std::string_view description;
};

// "General options": the category of every option that names none.
OptionCategory &generalCategory();

class SubCommand {
public:
  // A named subcommand, registered at once.
  SubCommand(std::string_view name, std::string_view description = {});
  SubCommand(const SubCommand &) = delete;
  SubCommand &operator=(const SubCommand &) = delete;
  ~SubCommand();

  // The option registered under `name`, or null.
  Option *find(std::string_view name) const;
  // Calls `visit(name, option)` for every entry, in the map's bucket order.
  void forEachEntry(const std::function<void(std::string_view, Option *)> &visit) const;
  size_t entryCount() const;

  std::string_view name;
  std::string_view description;
  std::vector<Option *> positionals;
  std::vector<Option *> sinks;
  Option *consumeAfter = nullptr;

private:
  friend class OptionRegistry;
  struct Unregistered {};
  explicit SubCommand(Unregistered);

  // False when the name was taken already.
  bool insert(std::string_view name, Option *option);
  void remove(std::string_view name, const Option *option);

  struct Map;
  Map *map;
};

// The unnamed subcommand: home of every option declared without one.
SubCommand &mainSubCommand();
// A marker: an option declared for it is registered in every subcommand.
SubCommand &everySubCommand();

class OptionRegistry {
public:
  // File-name part of argument 0; empty before the first parse.
  std::string programName;
  std::string_view overview;
  std::vector<std::string_view> extraHelpTexts;
  // Options flagged `DefaultOption`, registered when a parse starts.
  std::vector<Option *> defaultOptions;
  std::vector<OptionCategory *> categories;
  std::vector<SubCommand *> subcommands;
  SubCommand *activeSubCommand = nullptr;
  // Counts every option error report, so a parse can tell that one of its
  // deliveries failed even inside a callback.
  unsigned errorCount = 0;
  // Where option error reports go; null means standard error.
  OutputStream *errorStream = nullptr;

  // Registers `option` in its subcommands (with `late` clear, a
  // `DefaultOption` is only remembered for the parse).
  void addOption(Option &option, bool late = false);
  void addLiteralName(Option &option, std::string_view name);
  void renameOption(Option &option, std::string_view newName);
  void removeOption(Option &option);
  void registerCategory(OptionCategory &category);
  void registerSubCommand(SubCommand &subcommand);
  void unregisterSubCommand(SubCommand &subcommand);

  SubCommand mainSub;
  SubCommand everySub;

private:
  friend OptionRegistry &registry();
  OptionRegistry();
  bool addToSubCommand(Option &option, SubCommand &sub);
  void addNameOrDie(Option &option, SubCommand &sub, std::string_view name);
};

// The process-wide registry, made on first use and never destroyed.
OptionRegistry &registry();

// "-" for a one-character name, "--" otherwise.
std::string_view dashesFor(std::string_view name);

class Option {
public:
  Option(const Option &) = delete;
  Option &operator=(const Option &) = delete;

  uint16_t occurrences = 0;
  uint16_t flagWord = 0;
  // Argument index of the last occurrence (saturates at 65535).
  uint16_t position = 0;
  // Values after the first that one occurrence takes.
  uint16_t additionalValues = 0;
  std::string_view name;
  std::string_view helpText;
  std::string_view valueName;
  std::vector<OptionCategory *> categories;
  std::vector<SubCommand *> subcommands;

  OccurrenceRule occurrenceRule() const { return OccurrenceRule(flagWord & 7); }
  ValueExpectation valueExpectationFlag() const { return ValueExpectation((flagWord >> 3) & 3); }
  Visibility visibility() const { return Visibility((flagWord >> 5) & 3); }
  FormattingRule formatting() const { return FormattingRule((flagWord >> 7) & 3); }
  uint16_t extraFlags() const { return (flagWord >> 9) & 31; }
  bool hasExtraFlag(ExtraFlags flag) const { return extraFlags() & flag; }
  bool fullyInitialized() const { return flagWord & (1u << 14); }

  void setOccurrenceRule(OccurrenceRule rule) { setField(0, 7, rule); }
  void setValueExpectation(ValueExpectation expectation) { setField(3, 3, expectation); }
  void setVisibility(Visibility visibility) { setField(5, 3, visibility); }
  void setFormatting(FormattingRule rule) { setField(7, 3, rule); }
  void addExtraFlag(ExtraFlags flag) { flagWord |= uint16_t(flag << 9); }

  // The flag field when set, else the kind's own.
  ValueExpectation valueExpectation() const {
    ValueExpectation flag = valueExpectationFlag();
    return flag != ValueUnset ? flag : defaultValueExpectation();
  }

  void setName(std::string_view newName);
  void addCategory(OptionCategory &category);
  void addSubCommand(SubCommand &sub) { subcommands.push_back(&sub); }
  bool isInSubCommand(const SubCommand &sub) const;

  // The option error report: "<program>: for the --<name> option: <message>"
  // (or "<help text> option: <message>" without a name) on the registry's
  // error stream. `reportName` replaces the option's own name when not
  // empty. Always returns true (an error).
  bool error(std::string_view message, std::string_view reportName = {});

  // Parses `value` with the kind's parser and stores it; true on error.
  virtual bool parseOccurrence(unsigned argIndex, std::string_view argName,
                               std::string_view value) = 0;
  virtual ValueExpectation defaultValueExpectation() const { return ValueOptional; }
  // Has no behaviour of its own; kept so the operation slots stay in order.
  virtual void anchor();
  virtual ~Option();
  virtual size_t helpWidth() const = 0;
  virtual void printHelpEntry(std::string &out, size_t globalWidth) const = 0;
  virtual void printValue(std::string &out, size_t globalWidth, bool force) const = 0;
  virtual void resetToDefault() = 0;
  virtual void extraNames(std::vector<std::string_view> &names) const { (void)names; }
  // Counts the occurrence (unless it continues a multi-value one) and parses it.
  virtual bool recordOccurrence(unsigned argIndex, std::string_view argName, std::string_view value,
                                bool multiValue);

protected:
  explicit Option(OccurrenceRule rule = Optional, Visibility visibility = Listed);
  // Registers the option and marks it fully initialized.
  void finishDeclaration();
  void setPosition(unsigned argIndex) {
    position = argIndex > 0xFFFF ? 0xFFFF : uint16_t(argIndex);
  }

private:
  void setField(unsigned shift, unsigned mask, unsigned value) {
    flagWord = uint16_t((flagWord & ~(mask << shift)) | ((value & mask) << shift));
  }
  bool registered = false;
  friend class OptionRegistry;
};

template <typename E>
EnumValueEntry enumValue(E value, std::string_view name, std::string_view help) {
  return EnumValueEntry{name, static_cast<int>(value), help};
}

// Per-type parser: the value expectation, the kind's value name, parsing and
// printing, and the help layout.
template <typename T, typename Enable = void> class Parser;

// Layout of one family of kinds; the kinds below pick one.
struct FlagLayout {
  size_t helpWidth(const Option &o) const { return flagHelpWidth(o); }
  void printHelpEntry(std::string &out, const Option &o, size_t width) const {
    printFlagEntry(out, o, width);
  }
};

template <> class Parser<bool> : public FlagLayout {
public:
  static constexpr ValueExpectation expectation(const Option &) { return ValueOptional; }
  bool parse(Option &o, std::string_view argName, std::string_view text, bool &value) const {
    return parseFlagValue(o, argName, text, value);
  }
  static std::string print(bool value) { return value ? "true" : "false"; }
};

template <> class Parser<TriState> : public FlagLayout {
public:
  static constexpr ValueExpectation expectation(const Option &) { return ValueOptional; }
  bool parse(Option &o, std::string_view argName, std::string_view text, TriState &value) const {
    bool flag = false;
    if (parseFlagValue(o, argName, text, flag))
      return true;
    value = flag ? TriState::True : TriState::False;
    return false;
  }
  static std::string print(TriState value) {
    return value == TriState::Unset ? "unset" : value == TriState::True ? "true" : "false";
  }
};

struct ValueLayout {
  std::string_view kindName;
  size_t helpWidth(const Option &o) const { return valueHelpWidth(o, kindName); }
  void printHelpEntry(std::string &out, const Option &o, size_t width) const {
    printValueEntry(out, o, kindName, width);
  }
};

template <> class Parser<std::string> : public ValueLayout {
public:
  Parser() : ValueLayout{"string"} {}
  static constexpr ValueExpectation expectation(const Option &) { return ValueRequired; }
  bool parse(Option &, std::string_view, std::string_view text, std::string &value) const {
    value.assign(text);
    return false;
  }
  static std::string print(const std::string &value) { return value; }
};

template <> class Parser<uint32_t> : public ValueLayout {
public:
  Parser() : ValueLayout{"uint"} {}
  static constexpr ValueExpectation expectation(const Option &) { return ValueRequired; }
  bool parse(Option &o, std::string_view argName, std::string_view text, uint32_t &value) const {
    uint64_t wide = 0;
    if (parseUnsignedValue(o, argName, text, UINT32_MAX, kindName, wide))
      return true;
    value = uint32_t(wide);
    return false;
  }
  static std::string print(uint32_t value) { return std::to_string(value); }
};

template <> class Parser<uint64_t> : public ValueLayout {
public:
  Parser() : ValueLayout{"ulong"} {}
  static constexpr ValueExpectation expectation(const Option &) { return ValueRequired; }
  bool parse(Option &o, std::string_view argName, std::string_view text, uint64_t &value) const {
    return parseUnsignedValue(o, argName, text, UINT64_MAX, kindName, value);
  }
  static std::string print(uint64_t value) { return std::to_string(value); }
};

template <typename E> class Parser<E, std::enable_if_t<std::is_enum_v<E>>> : public EnumTable {
public:
  // A named option takes a value; a nameless one is its value names.
  static ValueExpectation expectation(const Option &o) {
    return o.name.empty() ? ValueDisallowed : ValueRequired;
  }
  bool parse(Option &o, std::string_view argName, std::string_view text, E &value) const {
    int number = 0;
    if (parseNumber(o, argName, o.name.empty() ? argName : text, number))
      return true;
    value = static_cast<E>(number);
    return false;
  }
};

// ---- Declaration modifiers ----

struct HelpModifier {
  std::string_view text;
};
struct ValueNameModifier {
  std::string_view text;
};
template <typename T> struct InitModifier { const T &value; };
template <typename T> struct LocationModifier { T &variable; };
struct CategoryModifier {
  OptionCategory &category;
};
struct SubCommandModifier {
  SubCommand &sub;
};
struct AliasTargetModifier {
  Option &target;
};
template <typename F> struct CallbackModifier { F function; };
struct ValuesModifier {
  std::vector<EnumValueEntry> entries;
};

inline HelpModifier help(std::string_view text) { return {text}; }
inline ValueNameModifier valueName(std::string_view text) { return {text}; }
template <typename T> InitModifier<T> init(const T &value) { return {value}; }
template <typename T> LocationModifier<T> location(T &variable) { return {variable}; }
inline CategoryModifier cat(OptionCategory &category) { return {category}; }
inline SubCommandModifier sub(SubCommand &subcommand) { return {subcommand}; }
inline AliasTargetModifier aliasopt(Option &target) { return {target}; }
template <typename F> CallbackModifier<F> callback(F function) { return {std::move(function)}; }
inline ValuesModifier values(std::initializer_list<EnumValueEntry> entries) { return {entries}; }

// Modifiers every kind understands.
// An enumerated option without a name of its own is given by its value
// names ("-high"); those are the names it answers to.
template <typename T, typename Parser>
void appendEnumValueNames(const Parser &parser, std::string_view optionName,
                          std::vector<std::string_view> &names) {
  if constexpr (std::is_enum_v<T> && !std::is_same_v<T, TriState>) {
    if (optionName.empty())
      for (const EnumValueEntry &entry : parser.entries)
        names.push_back(entry.name);
  } else {
    (void)parser;
    (void)optionName;
    (void)names;
  }
}

void applyCommon(Option &o, const char *name);
void applyCommon(Option &o, std::string_view name);
void applyCommon(Option &o, HelpModifier m);
void applyCommon(Option &o, ValueNameModifier m);
void applyCommon(Option &o, OccurrenceRule rule);
void applyCommon(Option &o, ValueExpectation expectation);
void applyCommon(Option &o, Visibility visibility);
void applyCommon(Option &o, FormattingRule rule);
void applyCommon(Option &o, ExtraFlags flag);
void applyCommon(Option &o, CategoryModifier m);
void applyCommon(Option &o, SubCommandModifier m);

// The recorded default of a single-valued option, read only by printValue
// and resetToDefault.
template <typename T> struct DefaultValue {
  T value{};
  bool valid = false;
};

// One value of type T: flag, three-state flag, text, 32- or 64-bit unsigned
// number, or enumeration.
template <typename T> class SingleOption : public Option {
public:
  template <typename... Mods> explicit SingleOption(const Mods &...mods) {
    // A value kept inside the option starts with a valid default, except text.
    defaultValue.valid = !std::is_same_v<T, std::string>;
    (apply(mods), ...);
    finishDeclaration();
  }

  const T &getValue() const { return *storage; }
  T &getValue() { return *storage; }
  operator const T &() const { return *storage; }
  void setValue(const T &value) { *storage = value; }
  const DefaultValue<T> &getDefault() const { return defaultValue; }
  Parser<T> &getParser() { return parser; }

  bool parseOccurrence(unsigned argIndex, std::string_view argName,
                       std::string_view text) override {
    T value{};
    if (parser.parse(*this, argName, text, value))
      return true;
    *storage = std::move(value);
    setPosition(argIndex);
    if (onValue)
      onValue(*storage);
    return false;
  }
  ValueExpectation defaultValueExpectation() const override { return parser.expectation(*this); }
  size_t helpWidth() const override { return parser.helpWidth(*this); }
  void printHelpEntry(std::string &out, size_t globalWidth) const override {
    parser.printHelpEntry(out, *this, globalWidth);
  }
  void printValue(std::string &out, size_t globalWidth, bool force) const override {
    if (!force && !(defaultValue.valid && !(defaultValue.value == *storage)))
      return;
    if constexpr (std::is_enum_v<T> && !std::is_same_v<T, TriState>) {
      parser.printEnumValue(out, *this, static_cast<int>(*storage), defaultValue.valid,
                            static_cast<int>(defaultValue.value), globalWidth);
    } else {
      std::string defaultText;
      if (defaultValue.valid)
        defaultText = Parser<T>::print(defaultValue.value);
      printValueLine(out, *this, Parser<T>::print(*storage),
                     defaultValue.valid ? &defaultText : nullptr, globalWidth);
    }
  }
  void resetToDefault() override {
    if (defaultValue.valid)
      *storage = defaultValue.value;
    else
      *storage = T{};
  }
  void extraNames(std::vector<std::string_view> &names) const override {
    appendEnumValueNames<T>(parser, name, names);
  }

private:
  template <typename M> void apply(const M &m) {
    if constexpr (std::is_convertible_v<const M &, std::string_view> &&
                  !std::is_same_v<M, HelpModifier>) {
      applyCommon(*this, std::string_view(m));
    } else {
      applyCommon(*this, m);
    }
  }
  template <typename U> void apply(const InitModifier<U> &m) {
    *storage = static_cast<T>(m.value);
    defaultValue.value = *storage;
    defaultValue.valid = true;
  }
  void apply(const LocationModifier<T> &m) {
    if (storage != &ownValue) {
      error(messages::secondLocation);
      return;
    }
    storage = &m.variable;
    defaultValue.value = m.variable;
    defaultValue.valid = true;
  }
  template <typename F> void apply(const CallbackModifier<F> &m) { onValue = m.function; }
  void apply(const ValuesModifier &m) {
    if constexpr (std::is_enum_v<T> && !std::is_same_v<T, TriState>) {
      for (const EnumValueEntry &entry : m.entries) {
        parser.entries.push_back(entry);
        if (name.empty())
          registry().addLiteralName(*this, entry.name);
      }
    }
  }

  T ownValue{};
  T *storage = &ownValue;
  DefaultValue<T> defaultValue;
  Parser<T> parser;
  std::function<void(const T &)> onValue;
};

// An ordered sequence of values of type T with their argument positions.
template <typename T> class ListOption : public Option {
public:
  template <typename... Mods> explicit ListOption(const Mods &...mods) : Option(ZeroOrMore) {
    (apply(mods), ...);
    finishDeclaration();
  }

  const std::vector<T> &getValues() const { return values; }
  const std::vector<unsigned> &getPositions() const { return positions; }
  size_t size() const { return values.size(); }
  bool empty() const { return values.empty(); }
  const T &operator[](size_t index) const { return values[index]; }
  auto begin() const { return values.begin(); }
  auto end() const { return values.end(); }
  void clear() {
    values.clear();
    positions.clear();
  }
  Parser<T> &getParser() { return parser; }

  bool parseOccurrence(unsigned argIndex, std::string_view argName,
                       std::string_view text) override {
    T value{};
    if (parser.parse(*this, argName, text, value))
      return true;
    values.push_back(std::move(value));
    positions.push_back(argIndex);
    setPosition(argIndex);
    if (onValue)
      onValue(values.back());
    return false;
  }
  ValueExpectation defaultValueExpectation() const override { return parser.expectation(*this); }
  size_t helpWidth() const override { return parser.helpWidth(*this); }
  void printHelpEntry(std::string &out, size_t globalWidth) const override {
    parser.printHelpEntry(out, *this, globalWidth);
  }
  // A list has no default to compare with: it prints nothing.
  void printValue(std::string &, size_t, bool) const override {}
  void resetToDefault() override { clear(); }
  void extraNames(std::vector<std::string_view> &names) const override {
    appendEnumValueNames<T>(parser, name, names);
  }

private:
  template <typename M> void apply(const M &m) {
    if constexpr (std::is_convertible_v<const M &, std::string_view> &&
                  !std::is_same_v<M, HelpModifier>) {
      applyCommon(*this, std::string_view(m));
    } else {
      applyCommon(*this, m);
    }
  }
  template <typename F> void apply(const CallbackModifier<F> &m) { onValue = m.function; }
  void apply(const ValuesModifier &m) {
    if constexpr (std::is_enum_v<T> && !std::is_same_v<T, TriState>) {
      for (const EnumValueEntry &entry : m.entries) {
        parser.entries.push_back(entry);
        if (name.empty())
          registry().addLiteralName(*this, entry.name);
      }
    }
  }

  std::vector<T> values;
  std::vector<unsigned> positions;
  Parser<T> parser;
  std::function<void(const T &)> onValue;
};

// Another name for an option: occurrences, value expectation and default
// reset are the target's; it takes the target's subcommands and categories.
class alias : public Option {
public:
  template <typename... Mods> explicit alias(const Mods &...mods) : Option(Optional, Hidden) {
    (apply(mods), ...);
    complete();
  }

  Option *target() const { return aliased; }

  bool parseOccurrence(unsigned argIndex, std::string_view argName,
                       std::string_view value) override;
  ValueExpectation defaultValueExpectation() const override;
  size_t helpWidth() const override { return flagHelpWidth(*this); }
  void printHelpEntry(std::string &out, size_t globalWidth) const override {
    printFlagEntry(out, *this, globalWidth);
  }
  void printValue(std::string &, size_t, bool) const override {}
  void resetToDefault() override;
  bool recordOccurrence(unsigned argIndex, std::string_view argName, std::string_view value,
                        bool multiValue) override;

private:
  template <typename M> void apply(const M &m) {
    if constexpr (std::is_convertible_v<const M &, std::string_view> &&
                  !std::is_same_v<M, HelpModifier>) {
      applyCommon(*this, std::string_view(m));
    } else {
      applyCommon(*this, m);
    }
  }
  void apply(const AliasTargetModifier &m);
  void complete();

  Option *aliased = nullptr;
};

// An extra paragraph printed after the option list of the help output.
class HelpParagraph {
public:
  explicit HelpParagraph(std::string_view text);
};

} // namespace vetline::cl
