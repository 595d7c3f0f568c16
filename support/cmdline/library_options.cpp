#include "support/cmdline/library_options.h"

#include "support/cmdline/messages.h"
#include "support/cmdline/option.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <algorithm>
#include <map>
#include <vector>

namespace vetline::cl {

namespace {

void setColorPolicy(const TriState &value) {
  setColorOptionPolicy(value == TriState::True    ? ColorPolicy::Force
                       : value == TriState::False ? ColorPolicy::Suppress
                                                  : ColorPolicy::Detect);
}

// The named counters a "debug-counter" value may refer to. Nothing in this
// tool registers one, so every well-formed value names an unknown counter.
std::map<std::string, int64_t, std::less<>> &debugCounters() {
  static auto *counters = new std::map<std::string, int64_t, std::less<>>;
  return *counters;
}

struct LibraryOptions {
  OptionCategory colorCategory{"Color Options"};
  SingleOption<TriState> color{"color", help("Use colors in output (default=autodetect)"),
                               cat(colorCategory), callback(setColorPolicy)};
  SingleOption<bool> stats{
      "stats", help("Enable statistics output from program (available with Asserts)"), Hidden};
  SingleOption<bool> statsJson{"stats-json", help("Display statistics as json data"), Hidden};
  SingleOption<bool> trackMemory{
      "track-memory", help("Enable -time-passes memory tracking (this may be slow)"), Hidden};
  SingleOption<std::string> infoOutputFile{"info-output-file", valueName("filename"),
                                           help("File to append -stats and -timer output to"),
                                           Hidden};
  SingleOption<bool> sortTimers{
      "sort-timers", help("In the report, sort the timers in each group in wall clock time order"),
      Hidden};
  SingleOption<uint64_t> rngSeed{"rng-seed", valueName("seed"),
                                 help("Seed for the random number generator"), Hidden};
  ListOption<std::string> debugCounter{"debug-counter",
                                       help("Comma separated list of debug counter skip and count"),
                                       CommaSeparated, Hidden, callback(checkDebugCounterValue)};
  SingleOption<bool> printDebugCounter{
      "print-debug-counter", help("Print out debug counter info after all counters accumulated"),
      Hidden};
  SingleOption<bool> disableSymbolication{"disable-symbolication",
                                          help("Disable symbolizing crash backtraces."), Hidden};
  SingleOption<std::string> crashDiagnosticsDir{"crash-diagnostics-dir", valueName("directory"),
                                                help("Directory for crash diagnostic files."),
                                                Hidden};
  SingleOption<bool> scalableFixedAsWarning{
      "treat-scalable-fixed-error-as-warning",
      help("Treat issues where a fixed-width property is requested from a scalable type as a "
           "warning, instead of an error."),
      ZeroOrMore, Hidden};
};

LibraryOptions *libraryOptions = nullptr;

void writeDebugCounterError(std::string_view subject, std::string_view problem) {
  OutputStream *stream = registry().errorStream;
  OutputStream &os = stream ? *stream : standardError();
  os << formatPositionalString(messages::debugCounterError, subject, problem);
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

} // namespace

void ensureLibraryOptions() {
  if (!libraryOptions)
    libraryOptions = new LibraryOptions;
}

bool symbolicationDisabled() { return libraryOptions && libraryOptions->disableSymbolication; }

std::string_view crashDiagnosticsDirectory() {
  if (!libraryOptions)
    return {};
  return libraryOptions->crashDiagnosticsDir.getValue();
}

// The unsigned value parser's radix rules, with an optional leading '-'.
bool parseSignedAutoBase(std::string_view text, int64_t &value) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative)
    text.remove_prefix(1);
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
  if (!parseRadixNumber(text, magnitude) || magnitude > limit)
    return false;
  value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return true;
}

void checkDebugCounterValue(std::string_view value) {
  if (value.empty())
    return;
  size_t equals = value.find('=');
  if (equals == std::string_view::npos || equals + 1 == value.size()) {
    writeDebugCounterError(value, messages::debugCounterWithoutEquals);
    return;
  }
  std::string_view number = value.substr(equals + 1);
  int64_t count = 0;
  if (!parseSignedAutoBase(number, count)) {
    writeDebugCounterError(number, messages::debugCounterNotANumber);
    return;
  }
  std::string_view name = value.substr(0, equals);
  std::string_view counter;
  if (endsWith(name, "-skip"))
    counter = name.substr(0, name.size() - 5);
  else if (endsWith(name, "-count"))
    counter = name.substr(0, name.size() - 6);
  else {
    writeDebugCounterError(name, messages::debugCounterBadSuffix);
    return;
  }
  auto found = debugCounters().find(counter);
  if (found == debugCounters().end()) {
    writeDebugCounterError(counter, messages::debugCounterUnknown);
    return;
  }
  found->second = count;
}

void resetAllOptions() {
  std::vector<Option *> all;
  auto remember = [&](Option *o) {
    if (std::find(all.begin(), all.end(), o) == all.end())
      all.push_back(o);
  };
  for (SubCommand *sub : registry().subcommands) {
    sub->forEachEntry([&](std::string_view, Option *o) { remember(o); });
    for (Option *o : sub->positionals)
      remember(o);
    for (Option *o : sub->sinks)
      remember(o);
    if (sub->consumeAfter)
      remember(sub->consumeAfter);
  }
  for (Option *o : all) {
    o->occurrences = 0;
    o->position = 0;
    o->resetToDefault();
  }
  setColorOptionPolicy(ColorPolicy::Detect);
}

} // namespace vetline::cl
