// The argument parser. One pass over the collected tokens (program name,
// environment variable, process arguments, response files expanded in
// place) matches each argument to an option by exact name, then by the
// longest prefix or grouped one-letter options, hands values out by each
// option's value expectation, and collects every error before ending the
// process. Positional values are handed out after the pass. Tested by
// parser_test.cpp.
#include "support/cmdline/parser.h"

#include "support/cmdline/help.h"
#include "support/cmdline/library_options.h"
#include "support/cmdline/messages.h"
#include "support/cmdline/option.h"
#include "support/cmdline/response_file.h"
#include "support/cmdline/suggestion.h"
#include "support/cmdline/tokenizer.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace vetline::cl {

namespace {

struct ParseContext {
  OutputStream *output = nullptr;
  bool mayExit = true;
  int exitCode = -1;
};

ParseContext *currentParse = nullptr;

// The token texts of the last parse; options copy what they keep.
std::vector<std::string> *lastTokens = nullptr;

class ArgumentParser {
public:
  ArgumentParser(const std::vector<std::string> &args, const ParseSettings &settings,
                 ParseContext &context)
      : args(args), settings(settings), context(context),
        err(settings.errors ? *settings.errors : standardError()) {}

  bool run();
  bool namesPositional() const { return positionalNamed; }
  std::string_view stoppedBy() const { return stoppingArgument; }

private:
  using Value = std::optional<std::string_view>;

  void chooseSubCommand();
  void checkPositionals();
  void parseArgument();
  void handlePositionalArgument(std::string_view arg);
  Option *lookup(std::string_view name, bool doubleDash, Value &value) const;
  Option *prefixOrGroup(std::string_view name, std::string_view &argName, Value &value,
                        bool acting = true);
  bool restNamesPositional();
  size_t valuesTaken(const Option &o, Value value) const;
  Option *findPrefixed(std::string_view name, bool groupingOnly, size_t &length) const;
  void unrecognised(std::string_view arg, const std::optional<std::string> &suggestion);
  void giveValue(Option &o, unsigned argIndex, std::string_view argName, Value value);
  void deliver(Option &o, unsigned argIndex, std::string_view argName, std::string_view value,
               bool multiValue);
  void handOutPositionals();
  void handOutWithConsumeAfter();
  void finalChecks();
  bool stopped() const { return context.exitCode >= 0; }

  const std::vector<std::string> &args;
  const ParseSettings &settings;
  ParseContext &context;
  OutputStream &err;
  std::string_view programName;
  SubCommand *sub = nullptr;
  size_t index = 1;
  Option *activePositional = nullptr;
  bool dashDashSeen = false;
  std::vector<std::pair<std::string_view, unsigned>> positionalValues;
  size_t requiredPositionals = 0;
  size_t longestName = 0;
  bool unbounded = false;
  bool failed = false;
  bool positionalNamed = false;
  std::string_view stoppingArgument;
};

bool isRequiredRule(OccurrenceRule rule) { return rule == Required || rule == OneOrMore; }

void ArgumentParser::chooseSubCommand() {
  OptionRegistry &r = registry();
  sub = &r.mainSub;
  index = 1;
  if (args.size() >= 2 && !args[1].empty() && args[1][0] != '-') {
    for (SubCommand *s : r.subcommands) {
      if (s != &r.mainSub && s != &r.everySub && s->name == args[1]) {
        sub = s;
        index = 2;
        break;
      }
    }
  }
  r.activeSubCommand = sub;
  std::vector<Option *> deferred;
  deferred.swap(r.defaultOptions);
  for (Option *o : deferred)
    r.addOption(*o, true);
}

void ArgumentParser::checkPositionals() {
  bool hasUnbounded = false;
  for (Option *o : sub->positionals) {
    OccurrenceRule rule = o->occurrenceRule();
    if (isRequiredRule(rule)) {
      ++requiredPositionals;
    } else if (sub->consumeAfter && sub->positionals.size() > 1) {
      if (!settings.errors)
        o->error(messages::neverMatchedAfterConsumeAfter);
      failed = true;
    } else if (hasUnbounded && o->name.empty()) {
      if (!settings.errors)
        o->error(messages::neverMatchedAfterUnbounded);
      err << formatPositionalString(messages::positionalMessedUp, programName, o->name,
                                    sub->positionals.size());
      failed = true;
    }
    if (rule == ZeroOrMore || rule == OneOrMore)
      hasUnbounded = true;
  }
  unbounded = hasUnbounded || sub->consumeAfter;
}

bool ArgumentParser::run() {
  OptionRegistry &r = registry();
  programName = r.programName;
  unsigned errorsBefore = r.errorCount;
  chooseSubCommand();
  sub->forEachEntry(
      [&](std::string_view name, Option *) { longestName = std::max(longestName, name.size()); });
  checkPositionals();
  while (index < args.size() && !stopped()) {
    parseArgument();
    ++index;
  }
  positionalNamed = std::any_of(positionalValues.begin(), positionalValues.end(),
                                [](const auto &value) { return !value.first.empty(); });
  if (stopped()) {
    stoppingArgument = args[index - 1];
    positionalNamed = positionalNamed || restNamesPositional();
    return true;
  }
  handOutPositionals();
  finalChecks();
  r.extraHelpTexts.clear();
  return !failed && r.errorCount == errorsBefore;
}

void ArgumentParser::handlePositionalArgument(std::string_view arg) {
  if (activePositional) {
    giveValue(*activePositional, unsigned(index), activePositional->name, arg);
    return;
  }
  if (sub->positionals.empty()) {
    unrecognised(arg, std::nullopt);
    return;
  }
  positionalValues.emplace_back(arg, unsigned(index));
  if (positionalValues.size() >= requiredPositionals && sub->consumeAfter) {
    for (++index; index < args.size(); ++index)
      positionalValues.emplace_back(args[index], unsigned(index));
  }
}

void ArgumentParser::parseArgument() {
  std::string_view arg = args[index];
  if (arg.empty() || arg[0] != '-' || arg == "-" || dashDashSeen) {
    handlePositionalArgument(arg);
    return;
  }
  if (arg == "--") {
    dashDashSeen = true;
    return;
  }
  std::string_view name = arg.substr(1);
  bool doubleDash = false;
  if (!name.empty() && name[0] == '-') {
    name.remove_prefix(1);
    doubleDash = true;
  }
  Value value;
  Option *o = lookup(name, doubleDash, value);
  std::string_view argName = name.substr(0, name.find('='));
  if (activePositional && activePositional->hasExtraFlag(ConsumesPositionals) &&
      !(o && o->formatting() == Positional)) {
    giveValue(*activePositional, unsigned(index), activePositional->name, arg);
    return;
  }
  if (!o && !(doubleDash && settings.longOptionsUseDoubleDash))
    o = prefixOrGroup(name, argName, value);
  if (!o) {
    std::optional<std::string> suggestion;
    if (sub->sinks.empty())
      suggestion = nearestOptionName(*sub, name);
    unrecognised(arg, suggestion);
    return;
  }
  if (o->formatting() == Positional) {
    activePositional = o;
    if (o->hasExtraFlag(ConsumesPositionals) && value) {
      OptionRegistry &r = registry();
      OutputStream *saved = r.errorStream;
      if (settings.errors)
        r.errorStream = settings.errors;
      o->error(messages::consumesPositionals, argName);
      r.errorStream = saved;
    }
    return;
  }
  giveValue(*o, unsigned(index), argName, value);
}

Option *ArgumentParser::lookup(std::string_view name, bool doubleDash, Value &value) const {
  if (name.empty())
    return nullptr;
  Option *o = nullptr;
  size_t equals = name.find('=');
  if (equals != std::string_view::npos) {
    o = sub->find(name.substr(0, equals));
    if (!o || o->formatting() == GluedValueOnly)
      return nullptr;
    value = name.substr(equals + 1);
  } else {
    o = sub->find(name);
  }
  if (o && settings.longOptionsUseDoubleDash && !doubleDash && !o->hasExtraFlag(Grouping)) {
    value.reset();
    return nullptr;
  }
  return o;
}

Option *ArgumentParser::findPrefixed(std::string_view name, bool groupingOnly,
                                     size_t &length) const {
  // No name is longer than the longest registered one: starting there keeps
  // a huge argument from costing a hash of every one of its prefixes.
  for (length = std::min(name.size(), longestName); length >= 1; --length) {
    Option *o = sub->find(name.substr(0, length));
    if (!o)
      continue;
    FormattingRule rule = o->formatting();
    if (o->hasExtraFlag(Grouping) || (!groupingOnly && (rule == Prefix || rule == GluedValueOnly)))
      return o;
  }
  return nullptr;
}

// With `acting` false nothing is printed or recorded: the argument is
// only classified.
Option *ArgumentParser::prefixOrGroup(std::string_view name, std::string_view &argName,
                                      Value &value, bool acting) {
  if (name.size() < 2)
    return nullptr;
  bool groupingOnly = false;
  for (;;) {
    size_t length = 0;
    Option *o = findPrefixed(name, groupingOnly, length);
    if (!o)
      return nullptr;
    argName = name.substr(0, length);
    std::string_view rest = name.substr(length);
    FormattingRule rule = o->formatting();
    value.reset();
    if (rest.empty())
      return o;
    if (rule == GluedValueOnly || (rule == Prefix && rest[0] != '=')) {
      value = rest;
      return o;
    }
    if (rest[0] == '=') {
      value = rest.substr(1);
      return o;
    }
    if (o->valueExpectation() == ValueRequired) {
      if (acting)
        o->error(messages::withinGroup, argName);
      return nullptr;
    }
    if (acting)
      giveValue(*o, unsigned(index), argName, std::nullopt);
    name = rest;
    groupingOnly = true;
  }
}

// After a help or version request ended the parse: whether the arguments
// after it would have given a positional option a value. They are only
// classified; nothing is printed or recorded.
bool ArgumentParser::restNamesPositional() {
  bool dashDash = dashDashSeen;
  for (size_t i = index; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.empty() || arg[0] != '-' || arg == "-" || dashDash) {
      if (!arg.empty())
        return true;
      continue;
    }
    if (arg == "--") {
      dashDash = true;
      continue;
    }
    std::string_view name = arg.substr(1);
    bool doubleDash = !name.empty() && name[0] == '-';
    if (doubleDash)
      name.remove_prefix(1);
    Value value;
    Option *o = lookup(name, doubleDash, value);
    std::string_view argName;
    if (!o && !(doubleDash && settings.longOptionsUseDoubleDash))
      o = prefixOrGroup(name, argName, value, false);
    if (o)
      i += valuesTaken(*o, value);
  }
  return false;
}

// How many of the following arguments giveValue would take as values.
size_t ArgumentParser::valuesTaken(const Option &o, Value value) const {
  if (o.formatting() == Positional)
    return 0;
  size_t taken = 0;
  switch (o.valueExpectation()) {
  case ValueRequired:
    if (!value) {
      if (o.formatting() == GluedValueOnly)
        return 0;
      taken = 1;
      value = std::string_view();
    }
    break;
  case ValueDisallowed:
    return 0;
  default:
    break;
  }
  if (o.additionalValues > 0)
    taken += size_t(o.additionalValues) + (value ? 0 : 1);
  return taken;
}

void ArgumentParser::unrecognised(std::string_view arg,
                                  const std::optional<std::string> &suggestion) {
  if (!sub->sinks.empty()) {
    for (Option *sink : sub->sinks)
      sink->recordOccurrence(unsigned(index), "", arg, false);
    return;
  }
  std::string text = formatPositionalString(messages::unknownArgument, programName, arg, args[0]);
  if (suggestion)
    text += formatPositionalString(messages::didYouMean, programName, dashesFor(*suggestion),
                                   *suggestion);
  err << text;
  failed = true;
}

void ArgumentParser::deliver(Option &o, unsigned argIndex, std::string_view argName,
                             std::string_view value, bool multiValue) {
  if (!o.hasExtraFlag(CommaSeparated)) {
    if (o.recordOccurrence(argIndex, argName, value, multiValue))
      failed = true;
    return;
  }
  for (;;) {
    size_t comma = value.find(',');
    if (o.recordOccurrence(argIndex, argName, value.substr(0, comma), multiValue)) {
      failed = true;
      return;
    }
    if (comma == std::string_view::npos)
      return;
    value.remove_prefix(comma + 1);
  }
}

void ArgumentParser::giveValue(Option &o, unsigned argIndex, std::string_view argName,
                               Value value) {
  switch (o.valueExpectation()) {
  case ValueRequired:
    if (!value) {
      if (index + 1 >= args.size() || o.formatting() == GluedValueOnly) {
        o.error(messages::requiresValue, argName);
        failed = true;
        return;
      }
      value = args[++index];
    }
    break;
  case ValueDisallowed:
    if (o.additionalValues > 0) {
      o.error(messages::valueDisallowedWithValues, argName);
      failed = true;
      return;
    }
    if (value) {
      o.error(formatPositionalString(messages::valueNotAllowed, *value), argName);
      failed = true;
      return;
    }
    break;
  default:
    break;
  }
  if (o.additionalValues == 0) {
    deliver(o, argIndex, argName, value.value_or(std::string_view()), false);
    return;
  }
  unsigned remaining = unsigned(o.additionalValues) + 1;
  bool multiValue = false;
  if (value) {
    deliver(o, argIndex, argName, *value, false);
    --remaining;
    multiValue = true;
  }
  while (remaining > 0) {
    if (index + 1 >= args.size()) {
      o.error(messages::notEnoughValues, argName);
      failed = true;
      return;
    }
    deliver(o, argIndex, argName, args[++index], multiValue);
    multiValue = true;
    --remaining;
  }
}

void ArgumentParser::handOutPositionals() {
  size_t count = positionalValues.size();
  if (count < requiredPositionals) {
    err << formatPositionalString(messages::notEnoughPositionals, programName, requiredPositionals,
                                  requiredPositionals >= 2 ? "s" : "", args[0]);
    failed = true;
    return;
  }
  if (!unbounded && !sub->consumeAfter && count > sub->positionals.size()) {
    err << formatPositionalString(messages::tooManyPositionals, programName,
                                  sub->positionals.size(), args[0]);
    failed = true;
    return;
  }
  if (sub->consumeAfter) {
    handOutWithConsumeAfter();
    return;
  }
  size_t next = 0;
  size_t requiredLeft = requiredPositionals;
  for (Option *o : sub->positionals) {
    OccurrenceRule rule = o->occurrenceRule();
    if (isRequiredRule(rule)) {
      --requiredLeft;
      if (next < count) {
        giveValue(*o, positionalValues[next].second, o->name, positionalValues[next].first);
        ++next;
      }
    }
    while (count - next > requiredLeft) {
      if (rule == Required)
        break;
      giveValue(*o, positionalValues[next].second, o->name, positionalValues[next].first);
      ++next;
      if (rule == Optional)
        break;
    }
  }
}

void ArgumentParser::handOutWithConsumeAfter() {
  size_t next = 0;
  size_t count = positionalValues.size();
  for (Option *o : sub->positionals) {
    if (isRequiredRule(o->occurrenceRule()) && next < count) {
      giveValue(*o, positionalValues[next].second, o->name, positionalValues[next].first);
      ++next;
    }
  }
  if (sub->positionals.size() == 1 && next == 0 && count > 0) {
    Option *o = sub->positionals.front();
    giveValue(*o, positionalValues[0].second, o->name, positionalValues[0].first);
    next = 1;
  }
  for (; next < count; ++next)
    giveValue(*sub->consumeAfter, positionalValues[next].second, sub->consumeAfter->name,
              positionalValues[next].first);
}

void ArgumentParser::finalChecks() {
  std::vector<Option *> missing;
  sub->forEachEntry([&](std::string_view, Option *o) {
    if (isRequiredRule(o->occurrenceRule()) && o->occurrences == 0 &&
        std::find(missing.begin(), missing.end(), o) == missing.end())
      missing.push_back(o);
  });
  for (Option *o : missing) {
    o->error(messages::mustBeSpecified);
    failed = true;
  }
}

std::string_view fileNamePart(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

OutputStream &programOutput() {
  if (currentParse && currentParse->output)
    return *currentParse->output;
  return standardOutput();
}

void requestExit(int code) {
  if (!currentParse || currentParse->mayExit) {
    standardOutput().flush();
    std::exit(code);
  }
  if (currentParse->exitCode < 0)
    currentParse->exitCode = code;
}

namespace {

ParseResult finishParse(const ParseResult &result, const ParseSettings &settings) {
  if (!result.ok && settings.mayExit && !settings.errors) {
    standardOutput().flush();
    std::exit(1);
  }
  return result;
}

} // namespace

ParseResult parseArguments(const std::vector<std::string> &processArgs,
                           const ParseSettings &settings) {
  ensureHelpOptions();
  ensureLibraryOptions();
  auto *tokens = new std::vector<std::string>;
  tokens->reserve(processArgs.size());
  tokens->push_back(processArgs.empty() ? std::string() : processArgs[0]);
  if (settings.environmentValue)
    tokenizeCommandLine(settings.environmentValue, *tokens);
  for (size_t i = 1; i < processArgs.size(); ++i)
    tokens->push_back(processArgs[i]);
  std::string overLimit;
  bool expanded = expandResponseFiles(*tokens, &overLimit);
  // Keep this parse's tokens until the next one; the previous ones go now.
  delete lastTokens;
  lastTokens = tokens;

  OptionRegistry &r = registry();
  r.programName = std::string(fileNamePart((*tokens)[0]));
  r.overview = settings.overview;
  if (!expanded) {
    // What was expanded is cut off somewhere: none of it is parsed.
    OutputStream &err = settings.errors ? *settings.errors : standardError();
    err << formatPositionalString(messages::commandLineError, r.programName, overLimit);
    return finishParse(ParseResult{false, -1, false, {}}, settings);
  }

  ParseContext context;
  context.output = settings.output;
  context.mayExit = settings.mayExit;
  ParseContext *outer = currentParse;
  currentParse = &context;
  ArgumentParser parser(*tokens, settings, context);
  bool ok = parser.run();
  currentParse = outer;

  ParseResult result;
  result.ok = ok;
  result.exitCode = context.exitCode;
  result.namesPositional = parser.namesPositional();
  result.stoppedBy = parser.stoppedBy();
  return finishParse(result, settings);
}

bool parseCommandLine(int argc, const char *const *argv, std::string_view overview,
                      OutputStream *errors, const char *environmentVariable,
                      bool longOptionsUseDoubleDash) {
  std::vector<std::string> args;
  args.reserve(size_t(argc > 0 ? argc : 1));
  for (int i = 0; i < argc; ++i)
    args.emplace_back(argv[i] ? argv[i] : "");
  ParseSettings settings;
  settings.overview = overview;
  settings.errors = errors;
  settings.environmentValue = environmentVariable ? std::getenv(environmentVariable) : nullptr;
  settings.longOptionsUseDoubleDash = longOptionsUseDoubleDash;
  return parseArguments(args, settings).ok;
}

} // namespace vetline::cl
