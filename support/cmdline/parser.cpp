// The argument parser. One pass over the collected tokens (program name,
// environment variable, process arguments, response files expanded in
// place) matches each argument to an option by exact name, then by the
// longest prefix or grouped one-letter options, hands values out by each
// option's value expectation, and collects every error before ending the
// process. Positional values are handed out after the pass. The nearest-name
// suggestion visits the subcommand's name map in bucket order, so ties go to
// whichever name the map yields first. Tested by parser_test.cpp.
#include "support/cmdline/parser.h"

#include "support/cmdline/help.h"
#include "support/cmdline/library_options.h"
#include "support/cmdline/option.h"
#include "support/edit_distance.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <unordered_map>

namespace vetline::cl {

// ---- Value parsers ----

bool parseFlagValue(Option &option, std::string_view argName, std::string_view text,
                    bool &value) {
  if (text.empty() || text == "1" || text == "true" || text == "True" || text == "TRUE") {
    value = true;
    return false;
  }
  if (text == "0" || text == "false" || text == "False" || text == "FALSE") {
    value = false;
    return false;
  }
  return option.error(quotedMessage("'", text, "' is invalid value for boolean argument! Try 0 or 1"),
                      argName);
}

bool parseUnsignedValue(Option &o, std::string_view argName, std::string_view text,
                        uint64_t limit, std::string_view kindName, uint64_t &value) {
  uint64_t result = 0;
  if (!parseRadixNumber(text, result) || result > limit)
    return o.error(quotedMessage("'", text, "' value invalid for ").append(kindName).append(
                       " argument!"),
                   argName);
  value = result;
  return false;
}

// ---- Tokens ----

namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void pushToken(std::vector<std::string> &tokens, std::string &token) {
  if (!token.empty())
    tokens.push_back(std::move(token));
  token.clear();
}

} // namespace

void tokenizeCommandLine(std::string_view text, std::vector<std::string> &tokens) {
  std::string token;
  size_t i = 0;
  size_t size = text.size();
  while (i < size) {
    char c = text[i];
    if (isSeparator(c)) {
      pushToken(tokens, token);
      ++i;
    } else if (c == '\\' && i + 1 < size) {
      token.push_back(text[i + 1]);
      i += 2;
    } else if (c == '\'' || c == '"') {
      ++i;
      while (i < size && text[i] != c) {
        if (text[i] == '\\' && i + 1 < size) {
          token.push_back(text[i + 1]);
          i += 2;
        } else {
          token.push_back(text[i++]);
        }
      }
      // An unterminated quote ends the text: what was collected is the last token.
      if (i >= size)
        break;
      ++i;
    } else {
      token.push_back(c);
      ++i;
    }
  }
  pushToken(tokens, token);
}

namespace {

void appendUtf8(std::string &out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(char(code));
  } else if (code < 0x800) {
    out.push_back(char(0xC0 | (code >> 6)));
    out.push_back(char(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(char(0xE0 | (code >> 12)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(char(0x80 | (code & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (code >> 18)));
    out.push_back(char(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(char(0x80 | (code & 0x3F)));
  }
}

} // namespace

bool convertUtf16ToUtf8(std::string_view bytes, std::string &out) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0)
    return false;
  unsigned char b0 = bytes[0], b1 = bytes[1];
  bool little = b0 == 0xFF && b1 == 0xFE;
  if (!little && !(b0 == 0xFE && b1 == 0xFF))
    return false;
  auto unit = [&](size_t at) -> uint32_t {
    unsigned char lo = bytes[at], hi = bytes[at + 1];
    return little ? uint32_t(lo | (hi << 8)) : uint32_t(hi | (lo << 8));
  };
  out.clear();
  for (size_t at = 2; at < bytes.size(); at += 2) {
    uint32_t code = unit(at);
    if (code >= 0xDC00 && code <= 0xDFFF)
      return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (at + 2 >= bytes.size())
        return false;
      uint32_t low = unit(at + 2);
      if (low < 0xDC00 || low > 0xDFFF)
        return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      at += 2;
    }
    appendUtf8(out, code);
  }
  return true;
}

namespace {

struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity &other) const {
    return device == other.device && inode == other.inode;
  }
};

// Reads a whole response file. Only regular files and pipes: a device such
// as /dev/zero would never end. Reading stops soon after the text grows
// longer than `maxBytes`; the caller refuses such a file.
bool readResponseFile(const std::string &path, size_t maxBytes, FileIdentity &identity,
                      std::string &text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat status;
  if (::fstat(fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode))) {
    ::close(fd);
    return false;
  }
  identity = {status.st_dev, status.st_ino};
  text.clear();
  char block[65536];
  while (text.size() <= maxBytes) {
    ssize_t count = ::read(fd, block, sizeof block);
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0) {
      ::close(fd);
      return false;
    }
    if (count == 0)
      break;
    text.append(block, size_t(count));
  }
  ::close(fd);
  return true;
}

bool identityOf(const std::string &path, FileIdentity &identity) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0)
    return false;
  identity = {status.st_dev, status.st_ino};
  return true;
}

// The tokens of a response file's text, or false when it cannot be used.
bool responseFileTokens(std::string &text, std::vector<std::string> &tokens) {
  bool utf16 = text.size() >= 2 && (text.compare(0, 2, "\xFF\xFE") == 0 ||
                                     text.compare(0, 2, "\xFE\xFF") == 0);
  if (utf16) {
    std::string converted;
    if (!convertUtf16ToUtf8(text, converted))
      return false; // "Could not convert UTF16 to UTF8": the argument stays.
    text = std::move(converted);
  }
  std::string_view view = text;
  if (view.size() >= 3 && view.substr(0, 3) == "\xEF\xBB\xBF")
    view.remove_prefix(3);
  tokenizeCommandLine(view, tokens);
  return true;
}

// Whether a file being expanded (frame 0 is the argument list itself, not
// a file) is the file `identity`.
template <typename Frame>
bool isActive(const std::vector<Frame> &frames, const FileIdentity &identity) {
  return std::any_of(frames.begin() + 1, frames.end(),
                     [&](const Frame &f) { return f.identity == identity; });
}

// A response file as first read under one name. Later references to the
// name reuse it, so a file named a million times is read once.
struct ResponseFile {
  bool usable = false;
  FileIdentity identity{};
  size_t bytes = 0;
  std::vector<std::string> tokens;
};

void loadResponseFile(const std::string &path, size_t maxBytes, ResponseFile &file) {
  std::string text;
  if (!readResponseFile(path, maxBytes, file.identity, text))
    return;
  file.bytes = text.size();
  // Too long to expand: only its size matters now.
  file.usable = file.bytes > maxBytes || responseFileTokens(text, file.tokens);
}

} // namespace

// Walks the arguments with a stack of files being expanded and builds a new
// list, so that each token is moved once however many files there are (an
// in-place replacement would move the whole tail at every expansion).
bool expandResponseFiles(std::vector<std::string> &args, std::string *overLimit,
                         const ResponseFileLimits &limits) {
  struct Frame {
    std::vector<std::string> tokens;
    size_t next;
    FileIdentity identity;
  };
  std::vector<std::string> result;
  result.reserve(args.size());
  std::vector<Frame> frames;
  frames.push_back({std::move(args), 0, {}});
  std::unordered_map<std::string, ResponseFile> files;
  size_t arguments = 0, bytes = 0;
  while (!frames.empty()) {
    Frame &frame = frames.back();
    if (frame.next == frame.tokens.size()) {
      frames.pop_back();
      continue;
    }
    std::string &arg = frame.tokens[frame.next++];
    if (arg.empty() || arg[0] != '@') {
      result.push_back(std::move(arg));
      continue;
    }
    std::string path = arg.substr(1);
    auto [entry, isNew] = files.try_emplace(path);
    ResponseFile &file = entry->second;
    if (isNew) {
      // A file being expanded stays as it is, and is not read (a pipe
      // would lose what it holds).
      FileIdentity identity{};
      if (identityOf(path, identity) && isActive(frames, identity)) {
        files.erase(entry);
        result.push_back(std::move(arg));
        continue;
      }
      loadResponseFile(path, limits.bytes - bytes, file);
    }
    if (!file.usable || isActive(frames, file.identity)) {
      result.push_back(std::move(arg));
      continue;
    }
    bool tooManyBytes = file.bytes > limits.bytes - bytes;
    if (tooManyBytes || file.tokens.size() > limits.arguments - arguments) {
      if (overLimit)
        *overLimit = "Response file '" + path + "' expands the command line past " +
                     (tooManyBytes ? std::to_string(limits.bytes) + " bytes"
                                   : std::to_string(limits.arguments) + " arguments");
      result.push_back(std::move(arg));
      args = std::move(result);
      return false;
    }
    bytes += file.bytes;
    arguments += file.tokens.size();
    frames.push_back({file.tokens, 0, file.identity});
  }
  args = std::move(result);
  return true;
}

// ---- Nearest-name bound ----

namespace {

struct CharCounts {
  explicit CharCounts(std::string_view text) {
    for (char c : text)
      ++count[(unsigned char)c];
  }
  size_t count[256] = {};
};

// A cheap lower bound of the edit distance: the length difference, and the
// characters of the written name that the candidate lacks (none of them can
// be matched, so each costs an edit). It lets a huge misspelt argument skip
// most candidates.
size_t distanceLowerBound(const CharCounts &written, size_t writtenLength,
                          std::string_view candidate) {
  bool present[256] = {};
  size_t matchable = 0;
  for (char c : candidate) {
    unsigned char byte = (unsigned char)c;
    if (!present[byte]) {
      present[byte] = true;
      matchable += written.count[byte];
    }
  }
  size_t unmatched = writtenLength - matchable;
  size_t lengthGap = candidate.size() > writtenLength ? candidate.size() - writtenLength
                                                      : writtenLength - candidate.size();
  return std::max(unmatched, lengthGap);
}

} // namespace

// ---- The parse ----

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
  std::optional<std::string> suggest(std::string_view written) const;
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
        o->error("error - this positional option will never be matched, because it does not "
                 "Require a value, and a cl::ConsumeAfter option is active!");
      failed = true;
    } else if (hasUnbounded && o->name.empty()) {
      if (!settings.errors)
        o->error("error - option can never match, because another positional argument will "
                 "match an unbounded number of values, and this option does not require a "
                 "value!");
      err << programName << ": CommandLine Error: Option '" << o->name
          << "' is all messed up!\n"
          << std::to_string(sub->positionals.size());
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
  sub->forEachEntry([&](std::string_view name, Option *) {
    longestName = std::max(longestName, name.size());
  });
  checkPositionals();
  while (index < args.size() && !stopped()) {
    parseArgument();
    ++index;
  }
  positionalNamed = std::any_of(positionalValues.begin(), positionalValues.end(),
                                [](const auto &value) { return !value.first.empty(); });
  if (stopped()) {
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
      suggestion = suggest(name);
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
      o->error("This argument does not take a value.\n\tInstead, it consumes any positional "
               "arguments until the next recognized option.",
               argName);
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
    if (o->hasExtraFlag(Grouping) ||
        (!groupingOnly && (rule == Prefix || rule == GluedValueOnly)))
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
        o->error("may not occur within a group!", argName);
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

std::optional<std::string> ArgumentParser::suggest(std::string_view written) const {
  size_t equals = written.find('=');
  std::string_view left = written.substr(0, equals);
  std::string_view rest = equals == std::string_view::npos ? std::string_view()
                                                           : written.substr(equals + 1);
  CharCounts leftCounts(left), writtenCounts(written);
  const Option *best = nullptr;
  std::string_view bestName;
  size_t bestDistance = 0;
  std::vector<std::string_view> candidates;
  sub->forEachEntry([&](std::string_view, Option *o) {
    if (o->visibility() == Unlisted)
      return;
    candidates.clear();
    o->extraNames(candidates);
    if (!o->name.empty())
      candidates.push_back(o->name);
    bool allowsValue = o->valueExpectation() != ValueDisallowed;
    std::string_view compared = allowsValue ? left : written;
    const CharCounts &counts = allowsValue ? leftCounts : writtenCounts;
    for (std::string_view candidate : candidates) {
      if (best && distanceLowerBound(counts, compared.size(), candidate) >= bestDistance)
        continue;
      size_t distance = editDistance(compared, candidate);
      if (!best || distance < bestDistance) {
        best = o;
        bestName = candidate;
        bestDistance = distance;
      }
    }
  });
  if (!best)
    return std::nullopt;
  std::string suggestion(bestName);
  if (!rest.empty() && best->valueExpectation() != ValueDisallowed)
    suggestion.append("=").append(rest);
  return suggestion;
}

void ArgumentParser::unrecognised(std::string_view arg,
                                  const std::optional<std::string> &suggestion) {
  if (!sub->sinks.empty()) {
    for (Option *sink : sub->sinks)
      sink->recordOccurrence(unsigned(index), "", arg, false);
    return;
  }
  std::string text;
  text.append(programName).append(": Unknown command line argument '").append(arg);
  text.append("'.  Try: '").append(args[0]).append(" --help'\n");
  if (suggestion) {
    text.append(programName).append(": Did you mean '").append(dashesFor(*suggestion));
    text.append(*suggestion).append("'?\n");
  }
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
        o.error("requires a value!", argName);
        failed = true;
        return;
      }
      value = args[++index];
    }
    break;
  case ValueDisallowed:
    if (o.additionalValues > 0) {
      o.error("multi-valued option specified with ValueDisallowed modifier!", argName);
      failed = true;
      return;
    }
    if (value) {
      o.error(quotedMessage("does not allow a value! '", *value, "' specified."), argName);
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
      o.error("not enough values!", argName);
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
    err << programName << ": Not enough positional command line arguments specified!\n"
        << "Must specify at least " << std::to_string(requiredPositionals)
        << " positional argument" << (requiredPositionals >= 2 ? "s" : "") << ": See: "
        << args[0] << " --help\n";
    failed = true;
    return;
  }
  if (!unbounded && !sub->consumeAfter && count > sub->positionals.size()) {
    err << programName << ": Too many positional arguments specified!\n"
        << "Can specify at most " << std::to_string(sub->positionals.size())
        << " positional arguments: See: " << args[0] << " --help\n";
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
    o->error("must be specified at least once!");
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
    err << r.programName << ": " << overLimit << "\n";
    return finishParse(ParseResult{false, -1}, settings);
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
