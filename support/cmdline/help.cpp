#include "support/cmdline/help.h"

#include "support/cmdline/messages.h"
#include "support/cmdline/option.h"
#include "support/cmdline/parser.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <algorithm>
#include <map>

namespace vetline::cl {

// ---- Entry layout ----

size_t prefixWidth(std::string_view name) { return name.size() == 1 ? 7 : name.size() + 7; }

void writeDashedName(std::string &out, std::string_view name) {
  out.append("  ");
  out.append(dashesFor(name));
  out.append(name);
}

namespace {

void spaces(std::string &out, size_t count) { out.append(count, ' '); }

size_t gap(size_t globalWidth, size_t used) { return globalWidth > used ? globalWidth - used : 0; }

// Lines after the first, each after `indent` spaces; a final line feed adds
// no empty line.
void writeFurtherLines(std::string &out, std::string_view rest, size_t indent) {
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    spaces(out, indent);
    out.append(line);
    out.push_back('\n');
    if (end == std::string_view::npos)
      break;
    rest.remove_prefix(end + 1);
  }
}

std::string_view firstLine(std::string_view text, std::string_view &rest) {
  size_t end = text.find('\n');
  rest = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return text.substr(0, end);
}

} // namespace

void writeDescription(std::string &out, std::string_view help, size_t globalWidth,
                      size_t ownWidth) {
  std::string_view rest;
  std::string_view first = firstLine(help, rest);
  spaces(out, gap(globalWidth, ownWidth));
  out.append(" - ");
  out.append(first);
  out.push_back('\n');
  writeFurtherLines(out, rest, globalWidth);
}

size_t flagHelpWidth(const Option &option) { return prefixWidth(option.name); }

void printFlagEntry(std::string &out, const Option &option, size_t globalWidth) {
  writeDashedName(out, option.name);
  writeDescription(out, option.helpText, globalWidth, flagHelpWidth(option));
}

namespace {

std::string_view shownValueName(const Option &option, std::string_view kindValueName) {
  return option.valueName.empty() ? kindValueName : option.valueName;
}

} // namespace

size_t valueHelpWidth(const Option &option, std::string_view kindValueName) {
  size_t extra = option.hasExtraFlag(ConsumesPositionals) ? 6 : 3;
  return prefixWidth(option.name) + shownValueName(option, kindValueName).size() + extra;
}

void printValueEntry(std::string &out, const Option &option, std::string_view kindValueName,
                     size_t globalWidth) {
  std::string_view value = shownValueName(option, kindValueName);
  writeDashedName(out, option.name);
  if (option.hasExtraFlag(ConsumesPositionals)) {
    out.append(" <").append(value).append(">...");
  } else if (option.valueExpectation() == ValueOptional) {
    out.append("[=<").append(value).append(">]");
  } else {
    out.append("=<").append(value).append(">");
  }
  writeDescription(out, option.helpText, globalWidth, valueHelpWidth(option, kindValueName));
}

void printValueLine(std::string &out, const Option &option, std::string_view value,
                    const std::string *defaultText, size_t globalWidth) {
  writeDashedName(out, option.name);
  spaces(out, gap(globalWidth, option.name.size()));
  out.append("= ").append(value);
  spaces(out, gap(8, value.size()));
  out.append(" (default: ");
  out.append(defaultText ? std::string_view(*defaultText) : messages::noDefault);
  out.append(")\n");
}

// ---- Enumerated options ----

namespace {

size_t entryWidth(const EnumValueEntry &entry) {
  return entry.name.empty() ? 15 : entry.name.size() + 8;
}

bool hasEmptyName(const std::vector<EnumValueEntry> &entries) {
  for (const EnumValueEntry &entry : entries)
    if (entry.name.empty())
      return true;
  return false;
}

} // namespace

size_t EnumTable::helpWidth(const Option &o) const {
  if (o.name.empty()) {
    size_t width = 0;
    for (const EnumValueEntry &entry : entries)
      width = std::max(width, entry.name.size() + 8);
    return width;
  }
  size_t width = prefixWidth(o.name) + 8;
  for (const EnumValueEntry &entry : entries)
    width = std::max(width, entryWidth(entry));
  return width;
}

void EnumTable::printHelpEntry(std::string &out, const Option &o, size_t globalWidth) const {
  if (o.name.empty()) {
    if (!o.helpText.empty())
      out.append("  ").append(o.helpText).append("\n");
    for (const EnumValueEntry &entry : entries) {
      out.append("    ");
      writeDashedName(out, entry.name);
      writeDescription(out, entry.help, globalWidth, entry.name.size() + 8);
    }
    return;
  }
  bool optional = o.valueExpectation() == ValueOptional;
  writeDashedName(out, o.name);
  if (optional && hasEmptyName(entries)) {
    writeDescription(out, o.helpText, globalWidth, prefixWidth(o.name));
  } else {
    out.append("=<value>");
    writeDescription(out, o.helpText, globalWidth, prefixWidth(o.name) + 8);
  }
  for (const EnumValueEntry &entry : entries) {
    if (optional && entry.name.empty() && entry.help.empty())
      continue;
    out.append("    =");
    out.append(entry.name.empty() ? messages::emptyValueName : entry.name);
    if (entry.help.empty()) {
      out.push_back('\n');
      continue;
    }
    std::string_view rest;
    std::string_view first = firstLine(entry.help, rest);
    spaces(out, gap(globalWidth, entryWidth(entry)));
    out.append(" -   ").append(first).append("\n");
    writeFurtherLines(out, rest, globalWidth + 2);
  }
}

void EnumTable::printEnumValue(std::string &out, const Option &o, int value, bool hasDefault,
                               int defaultValue, size_t globalWidth) const {
  out.append("  ");
  writeDashedName(out, o.name);
  spaces(out, gap(globalWidth, o.name.size()));
  const EnumValueEntry *current = findNumber(value);
  if (!current) {
    out.append(messages::unknownValue);
    return;
  }
  out.append("= ").append(current->name);
  spaces(out, gap(8, current->name.size()));
  out.append(" (default: ");
  if (hasDefault)
    if (const EnumValueEntry *entry = findNumber(defaultValue))
      out.append(entry->name);
  out.append(")\n");
}

// ---- Help text ----

namespace {

using NamedOption = std::pair<std::string_view, Option *>;

std::vector<NamedOption> listedOptions(const SubCommand &sub, bool showHidden) {
  std::vector<NamedOption> listed;
  std::vector<const Option *> seen;
  sub.forEachEntry([&](std::string_view name, Option *o) {
    if (o->visibility() == Unlisted || (o->visibility() == Hidden && !showHidden))
      return;
    if (std::find(seen.begin(), seen.end(), o) != seen.end())
      return;
    seen.push_back(o);
    listed.emplace_back(name, o);
  });
  std::sort(listed.begin(), listed.end(),
            [](const NamedOption &a, const NamedOption &b) { return a.first < b.first; });
  return listed;
}

void formatUsage(std::string &out, const SubCommand &sub, const std::vector<SubCommand *> &named) {
  OptionRegistry &r = registry();
  if (&sub == &r.mainSub) {
    out.append(formatPositionalString(messages::usage, r.programName));
    if (named.size() >= 3)
      out.append(messages::usageSubCommand);
    out.append(messages::usageOptions);
  } else {
    if (!sub.description.empty())
      out.append(formatPositionalString(messages::subCommandHeading, sub.name, sub.description));
    out.append(formatPositionalString(messages::subCommandUsage, r.programName, sub.name));
  }
  for (const Option *o : sub.positionals) {
    if (!o->name.empty())
      out.append(" --").append(o->name);
    out.append(" ").append(o->helpText);
  }
  if (sub.consumeAfter)
    out.append(" ").append(sub.consumeAfter->helpText);
  if (&sub != &r.mainSub || named.empty())
    return;
  out.append(messages::subCommandsHeading);
  size_t longest = 0;
  for (const SubCommand *s : named)
    longest = std::max(longest, s->name.size());
  for (const SubCommand *s : named) {
    out.append("  ").append(s->name);
    if (!s->description.empty()) {
      spaces(out, longest - s->name.size());
      out.append(" - ").append(s->description);
    }
    out.push_back('\n');
  }
  out.append(formatPositionalString(messages::subCommandHint, r.programName));
}

void formatCategorized(std::string &out, const std::vector<NamedOption> &listed, size_t globalWidth,
                       bool showHidden) {
  std::vector<OptionCategory *> sorted = registry().categories;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](OptionCategory *a, OptionCategory *b) { return a->name < b->name; });
  std::map<const OptionCategory *, std::vector<const Option *>> members;
  for (const NamedOption &entry : listed)
    for (const OptionCategory *category : entry.second->categories)
      members[category].push_back(entry.second);
  for (const OptionCategory *category : sorted) {
    auto found = members.find(category);
    bool empty = found == members.end();
    if (empty && !showHidden)
      continue;
    out.append("\n").append(category->name).append(":\n");
    if (!category->description.empty())
      out.append(category->description).append("\n\n");
    else
      out.append("\n");
    if (empty) {
      out.append(messages::emptyCategory);
      continue;
    }
    for (const Option *o : found->second)
      o->printHelpEntry(out, globalWidth);
  }
}

} // namespace

std::string formatHelp(bool showHidden, bool categorized) {
  OptionRegistry &r = registry();
  const SubCommand &sub = *r.activeSubCommand;
  std::vector<NamedOption> listed = listedOptions(sub, showHidden);
  std::vector<SubCommand *> named;
  for (SubCommand *s : r.subcommands)
    if (s != &r.mainSub && s != &r.everySub)
      named.push_back(s);
  std::stable_sort(named.begin(), named.end(),
                   [](SubCommand *a, SubCommand *b) { return a->name < b->name; });

  std::string out;
  if (!r.overview.empty())
    out.append(formatPositionalString(messages::overview, r.overview));
  formatUsage(out, sub, named);
  out.append(messages::optionsHeading);
  size_t globalWidth = 0;
  for (const NamedOption &entry : listed)
    globalWidth = std::max(globalWidth, entry.second->helpWidth());
  if (categorized) {
    formatCategorized(out, listed, globalWidth, showHidden);
  } else {
    for (const NamedOption &entry : listed)
      entry.second->printHelpEntry(out, globalWidth);
  }
  for (std::string_view text : r.extraHelpTexts)
    out.append(text);
  r.extraHelpTexts.clear();
  return out;
}

std::string formatOptionValues(bool force) {
  std::vector<NamedOption> listed = listedOptions(*registry().activeSubCommand, true);
  size_t globalWidth = 0;
  for (const NamedOption &entry : listed)
    globalWidth = std::max(globalWidth, entry.second->helpWidth());
  std::string out;
  for (const NamedOption &entry : listed)
    entry.second->printValue(out, globalWidth, force);
  return out;
}

// ---- Version ----

namespace {

// This build's own name for its target; the normalisation of target names
// leaves a well-formed name like this one unchanged.
constexpr std::string_view defaultTargetName = "x86_64-unknown-linux-gnu";
constexpr std::string_view homePage = "https://vetline.dev/";

std::function<void(OutputStream &)> &versionPrinter() {
  static std::function<void(OutputStream &)> printer;
  return printer;
}

std::vector<std::function<void(OutputStream &)>> &extraVersionPrinters() {
  static std::vector<std::function<void(OutputStream &)>> printers;
  return printers;
}

// The processor name the host reports; this host never names one.
std::string_view hostCpuName() { return "generic"; }

} // namespace

void setVersionPrinter(std::function<void(OutputStream &)> printer) {
  versionPrinter() = std::move(printer);
}

void addExtraVersionPrinter(std::function<void(OutputStream &)> printer) {
  extraVersionPrinters().push_back(std::move(printer));
}

std::string formatVersion() {
  std::string_view cpu = hostCpuName();
  return formatPositionalString(messages::versionBanner, homePage, defaultTargetName,
                                cpu == "generic" ? messages::unknownCpu : cpu);
}

namespace {

void printVersion() {
  OutputStream &os = programOutput();
  if (versionPrinter()) {
    versionPrinter()(os);
  } else {
    os << formatVersion();
    for (auto &printer : extraVersionPrinters()) {
      os << '\n';
      printer(os);
    }
  }
  requestExit(0);
}

// ---- Built-in options ----

struct HelpOptions {
  OptionCategory generic{"Generic Options"};
  SingleOption<bool> helpList{
      "help-list",
      help("Display list of available options (--help-list-hidden for more)"),
      ValueDisallowed,
      Hidden,
      cat(generic),
      sub(everySubCommand()),
      callback([](const bool &value) { showHelp(value, false, false); })};
  SingleOption<bool> helpListHidden{
      "help-list-hidden",
      help("Display list of all available options"),
      ValueDisallowed,
      Hidden,
      cat(generic),
      sub(everySubCommand()),
      callback([](const bool &value) { showHelp(value, true, false); })};
  SingleOption<bool> helpOption{"help",
                                help("Display available options (--help-hidden for more)"),
                                ValueDisallowed,
                                cat(generic),
                                sub(everySubCommand()),
                                callback([](const bool &value) { showHelp(value, false, true); })};
  alias helpShort{"h", help("Alias for --help"), aliasopt(helpOption), DefaultOption};
  SingleOption<bool> helpHidden{"help-hidden",
                                help("Display all available options"),
                                ValueDisallowed,
                                Hidden,
                                cat(generic),
                                sub(everySubCommand()),
                                callback([](const bool &value) { showHelp(value, true, true); })};
  SingleOption<bool> printOptions{
      "print-options", help("Print non-default options after command line parsing"),
      init(false),     Hidden,
      cat(generic),    sub(everySubCommand())};
  SingleOption<bool> printAllOptions{
      "print-all-options", help("Print all option values after command line parsing"),
      init(false),         Hidden,
      cat(generic),        sub(everySubCommand())};
  SingleOption<bool> version{"version",
                             help("Display the version of this program"),
                             ValueDisallowed,
                             cat(generic),
                             sub(everySubCommand()),
                             callback([](const bool &value) {
                               if (value)
                                 printVersion();
                             })};

  static void showHelp(bool value, bool showHidden, bool mayCategorize);
};

HelpOptions *helpOptions = nullptr;

void HelpOptions::showHelp(bool value, bool showHidden, bool mayCategorize) {
  if (!value)
    return;
  bool categorized = mayCategorize && registry().categories.size() >= 2;
  if (categorized)
    helpOptions->helpList.setVisibility(Listed);
  programOutput() << formatHelp(showHidden, categorized);
  requestExit(0);
}

} // namespace

void ensureHelpOptions() {
  if (!helpOptions)
    helpOptions = new HelpOptions;
}

} // namespace vetline::cl
