#include "support/cmdline/option.h"

#include "support/cmdline/messages.h"
#include "support/error.h"
#include "support/format.h"
#include "support/name_map.h"
#include "support/output_stream.h"

#include <algorithm>
#include <mutex>

namespace vetline::cl {

struct SubCommand::Map {
  NameMap<Option *> names;
};

namespace {

// Guards the first use of the lazily made registry; recursive because
// making the registry makes its subcommands, which may ask for it again.
std::recursive_mutex &lazyObjectLock() {
  static std::recursive_mutex *lock = new std::recursive_mutex;
  return *lock;
}

void writeError(std::string_view text) {
  OutputStream *stream = registry().errorStream;
  OutputStream &os = stream ? *stream : standardError();
  os << text;
}

template <typename T> void eraseValue(std::vector<T> &list, const T &value) {
  list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

} // namespace

// ---- Categories and subcommands ----

OptionCategory::OptionCategory(std::string_view name, std::string_view description)
    : name(name), description(description) {
  registry().registerCategory(*this);
}

OptionCategory::~OptionCategory() { eraseValue(registry().categories, this); }

OptionCategory &generalCategory() {
  static OptionCategory *general = new OptionCategory(messages::generalCategory);
  return *general;
}

SubCommand::SubCommand(Unregistered) : map(new Map) {}

SubCommand::SubCommand(std::string_view name, std::string_view description)
    : name(name), description(description), map(new Map) {
  registry().registerSubCommand(*this);
}

SubCommand::~SubCommand() {
  if (this != &registry().mainSub && this != &registry().everySub)
    registry().unregisterSubCommand(*this);
  delete map;
}

Option *SubCommand::find(std::string_view name) const { return map->names.lookup(name); }

void SubCommand::forEachEntry(const std::function<void(std::string_view, Option *)> &visit) const {
  for (auto &entry : map->names)
    visit(entry.key(), entry.value);
}

size_t SubCommand::entryCount() const { return map->names.size(); }

bool SubCommand::insert(std::string_view name, Option *option) {
  return map->names.insert(name, option).second;
}

void SubCommand::remove(std::string_view name, const Option *option) {
  auto *entry = map->names.findEntry(name);
  if (entry && entry->value == option)
    map->names.remove(entry);
}

SubCommand &mainSubCommand() { return registry().mainSub; }
SubCommand &everySubCommand() { return registry().everySub; }

// ---- Registry ----

OptionRegistry::OptionRegistry()
    : mainSub(SubCommand::Unregistered{}), everySub(SubCommand::Unregistered{}) {
  subcommands.push_back(&mainSub);
  subcommands.push_back(&everySub);
  activeSubCommand = &mainSub;
}

OptionRegistry &registry() {
  // Never destroyed: options in other translation units may outlive any
  // order of static destruction.
  static OptionRegistry *instance = [] {
    std::lock_guard<std::recursive_mutex> guard(lazyObjectLock());
    return new OptionRegistry;
  }();
  return *instance;
}

std::string_view dashesFor(std::string_view name) { return name.size() == 1 ? "-" : "--"; }

void OptionRegistry::registerCategory(OptionCategory &category) {
  if (std::find(categories.begin(), categories.end(), &category) == categories.end())
    categories.push_back(&category);
}

void OptionRegistry::registerSubCommand(SubCommand &subcommand) {
  if (std::find(subcommands.begin(), subcommands.end(), &subcommand) != subcommands.end())
    return;
  subcommands.push_back(&subcommand);
  if (&subcommand == &everySub)
    return;
  // Options declared for every subcommand reach the new one too.
  std::vector<Option *> everyOptions;
  everySub.forEachEntry([&](std::string_view, Option *o) {
    if (std::find(everyOptions.begin(), everyOptions.end(), o) == everyOptions.end())
      everyOptions.push_back(o);
  });
  for (Option *o : everySub.positionals)
    everyOptions.push_back(o);
  for (Option *o : everySub.sinks)
    everyOptions.push_back(o);
  bool failed = false;
  for (Option *o : everyOptions)
    failed |= addToSubCommand(*o, subcommand);
  if (failed)
    fatalError(messages::inconsistentRegistry);
}

void OptionRegistry::unregisterSubCommand(SubCommand &subcommand) {
  eraseValue(subcommands, &subcommand);
  if (activeSubCommand == &subcommand)
    activeSubCommand = &mainSub;
}

// Steps 1 and 2 of registering in one subcommand; true when an error was
// reported.
bool OptionRegistry::addToSubCommand(Option &option, SubCommand &sub) {
  bool failed = false;
  if (!option.name.empty()) {
    if (option.hasExtraFlag(DefaultOption) && sub.find(option.name))
      return false;
    if (!sub.insert(option.name, &option)) {
      writeError(formatPositionalString(messages::registeredTwice, programName, option.name));
      failed = true;
    }
  }
  if (option.formatting() == Positional) {
    sub.positionals.push_back(&option);
  } else if (option.hasExtraFlag(Sink)) {
    sub.sinks.push_back(&option);
  } else if (option.occurrenceRule() == ConsumeAfter) {
    if (sub.consumeAfter) {
      option.error(messages::secondConsumeAfter);
      failed = true;
    }
    sub.consumeAfter = &option;
  }
  return failed;
}

void OptionRegistry::addOption(Option &option, bool late) {
  if (!late && option.hasExtraFlag(DefaultOption)) {
    defaultOptions.push_back(&option);
    return;
  }
  option.registered = true;
  std::vector<SubCommand *> targets;
  if (option.subcommands.empty())
    targets.push_back(&mainSub);
  else
    targets = option.subcommands;
  for (SubCommand *sub : targets) {
    bool failed = addToSubCommand(option, *sub);
    if (failed)
      fatalError(messages::inconsistentRegistry);
    if (sub == &everySub) {
      for (SubCommand *other : subcommands) {
        if (other == &everySub)
          continue;
        if (addToSubCommand(option, *other))
          fatalError(messages::inconsistentRegistry);
      }
    }
  }
}

namespace {

// The subcommands whose maps hold an option's names: every registered one
// for an option of everySubCommand.
std::vector<SubCommand *> homesOf(const Option &option) {
  OptionRegistry &r = registry();
  if (option.subcommands.empty())
    return {&r.mainSub};
  if (option.isInSubCommand(r.everySub))
    return r.subcommands;
  return option.subcommands;
}

} // namespace

void OptionRegistry::addNameOrDie(Option &option, SubCommand &sub, std::string_view name) {
  if (sub.insert(name, &option))
    return;
  writeError(formatPositionalString(messages::registeredTwice, programName, name));
  fatalError(messages::inconsistentRegistry);
}

void OptionRegistry::addLiteralName(Option &option, std::string_view name) {
  if (!option.name.empty())
    return;
  for (SubCommand *sub : homesOf(option))
    addNameOrDie(option, *sub, name);
}

void OptionRegistry::renameOption(Option &option, std::string_view newName) {
  for (SubCommand *sub : homesOf(option)) {
    addNameOrDie(option, *sub, newName);
    sub->remove(option.name, &option);
  }
}

void OptionRegistry::removeOption(Option &option) {
  eraseValue(defaultOptions, &option);
  if (!option.registered)
    return;
  std::vector<std::string_view> names;
  option.extraNames(names);
  if (!option.name.empty())
    names.push_back(option.name);
  for (SubCommand *sub : subcommands) {
    for (std::string_view name : names)
      sub->remove(name, &option);
    eraseValue(sub->positionals, &option);
    eraseValue(sub->sinks, &option);
    if (sub->consumeAfter == &option)
      sub->consumeAfter = nullptr;
  }
  option.registered = false;
}

// ---- Option ----

Option::Option(OccurrenceRule rule, Visibility visibility) {
  setOccurrenceRule(rule);
  setVisibility(visibility);
  categories.push_back(&generalCategory());
}

Option::~Option() { registry().removeOption(*this); }

void Option::anchor() {}

void Option::finishDeclaration() {
  registry().addOption(*this);
  flagWord |= uint16_t(1u << 14);
}

void Option::setName(std::string_view newName) {
  if (registered)
    registry().renameOption(*this, newName);
  name = newName;
  if (name.size() == 1)
    addExtraFlag(Grouping);
}

void Option::addCategory(OptionCategory &category) {
  if (&category != &generalCategory() && !categories.empty() &&
      categories.front() == &generalCategory()) {
    categories.front() = &category;
    return;
  }
  if (std::find(categories.begin(), categories.end(), &category) == categories.end())
    categories.push_back(&category);
}

bool Option::isInSubCommand(const SubCommand &sub) const {
  return std::find(subcommands.begin(), subcommands.end(), &sub) != subcommands.end();
}

bool Option::error(std::string_view message, std::string_view reportName) {
  std::string_view shown = reportName.empty() ? name : reportName;
  if (shown.empty())
    writeError(formatPositionalString(messages::namelessOptionError, helpText, message));
  else
    writeError(formatPositionalString(messages::optionError, registry().programName,
                                      dashesFor(shown), shown, message));
  ++registry().errorCount;
  return true;
}

bool Option::recordOccurrence(unsigned argIndex, std::string_view argName, std::string_view value,
                              bool multiValue) {
  // Saturate instead of wrapping: a wrapped count would make a Required
  // option look unseen after 65536 occurrences.
  if (!multiValue && occurrences != 0xFFFF)
    ++occurrences;
  return parseOccurrence(argIndex, argName, value);
}

// ---- Modifiers ----

void applyCommon(Option &o, const char *name) { o.setName(name); }
void applyCommon(Option &o, std::string_view name) { o.setName(name); }
void applyCommon(Option &o, HelpModifier m) { o.helpText = m.text; }
void applyCommon(Option &o, ValueNameModifier m) { o.valueName = m.text; }
void applyCommon(Option &o, OccurrenceRule rule) { o.setOccurrenceRule(rule); }
void applyCommon(Option &o, ValueExpectation expectation) { o.setValueExpectation(expectation); }
void applyCommon(Option &o, Visibility visibility) { o.setVisibility(visibility); }
void applyCommon(Option &o, FormattingRule rule) { o.setFormatting(rule); }
void applyCommon(Option &o, ExtraFlags flag) { o.addExtraFlag(flag); }
void applyCommon(Option &o, CategoryModifier m) { o.addCategory(m.category); }
void applyCommon(Option &o, SubCommandModifier m) { o.addSubCommand(m.sub); }

// ---- Alias ----

void alias::apply(const AliasTargetModifier &m) {
  if (aliased) {
    error(messages::secondAliasTarget);
    return;
  }
  aliased = &m.target;
}

void alias::complete() {
  if (name.empty())
    error(messages::aliasWithoutName);
  if (!aliased)
    error(messages::aliasWithoutTarget);
  if (!subcommands.empty())
    error(messages::aliasWithSubCommand);
  // Without a target there is nothing to forward to; registering it would
  // only turn its first use into a crash.
  if (!aliased)
    return;
  subcommands = aliased->subcommands;
  categories = aliased->categories;
  finishDeclaration();
}

bool alias::parseOccurrence(unsigned argIndex, std::string_view, std::string_view value) {
  return aliased->parseOccurrence(argIndex, aliased->name, value);
}

ValueExpectation alias::defaultValueExpectation() const { return aliased->valueExpectation(); }

void alias::resetToDefault() { aliased->resetToDefault(); }

bool alias::recordOccurrence(unsigned argIndex, std::string_view, std::string_view value,
                             bool multiValue) {
  return aliased->recordOccurrence(argIndex, aliased->name, value, multiValue);
}

HelpParagraph::HelpParagraph(std::string_view text) { registry().extraHelpTexts.push_back(text); }

} // namespace vetline::cl
