// A small stand-in for the option library: it knows only the tool's own
// options and their value rules (one or two dashes, values after '=' or in
// the next argument, comma-separated lists, "-D" glued to its value), and
// reports errors in the option library's format. It does not read
// VETLINE_OPTS, response files or grouped one-letter options, and prints no
// help. Replace it with the real parser; the driver calls only
// parseArguments.
#include "tool/arguments.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace vetline {
namespace {

enum class ValueKind { Flag, Text, TextList, CommaList, Mode, Filter, Context };

struct OptionSpec {
  const char *name;
  ValueKind kind;
};

const OptionSpec optionSpecs[] = {
    {"input-file", ValueKind::Text},
    {"check-prefix", ValueKind::TextList},
    {"check-prefixes", ValueKind::CommaList},
    {"comment-prefixes", ValueKind::CommaList},
    {"strict-whitespace", ValueKind::Flag},
    {"ignore-case", ValueKind::Flag},
    {"implicit-check-not", ValueKind::TextList},
    {"allow-empty", ValueKind::Flag},
    {"allow-unused-prefixes", ValueKind::Flag},
    {"match-full-lines", ValueKind::Flag},
    {"enable-var-scope", ValueKind::Flag},
    {"allow-deprecated-dag-overlap", ValueKind::Flag},
    {"v", ValueKind::Flag},
    {"vv", ValueKind::Flag},
    {"dump-input", ValueKind::Mode},
    {"dump-input-filter", ValueKind::Filter},
    {"dump-input-context", ValueKind::Context},
};

class StandInParser {
public:
  StandInParser(int argc, char **argv, DriverArguments &out) : argc(argc), argv(argv), out(out) {
    const char *slash = std::strrchr(argv[0], '/');
    programName = slash ? slash + 1 : argv[0];
  }

  bool run();

private:
  void optionError(std::string_view name, const std::string &message);
  void handleOption(std::string_view arg, int &index);
  void deliver(const OptionSpec &spec, std::string_view value);
  bool *flagFor(std::string_view name);
  void positional(std::string_view arg);

  int argc;
  char **argv;
  DriverArguments &out;
  std::string_view programName;
  bool failed = false;
  bool positionalSeen = false;
  bool tooManyPositionals = false;
};

void StandInParser::optionError(std::string_view name, const std::string &message) {
  std::fprintf(stderr, "%.*s: for the %s%.*s option: %s\n", int(programName.size()),
               programName.data(), name.size() == 1 ? "-" : "--", int(name.size()), name.data(),
               message.c_str());
  failed = true;
}

bool *StandInParser::flagFor(std::string_view name) {
  if (name == "strict-whitespace")
    return &out.strictWhitespace;
  if (name == "ignore-case")
    return &out.ignoreCase;
  if (name == "allow-empty")
    return &out.allowEmpty;
  if (name == "allow-unused-prefixes")
    return &out.allowUnusedPrefixes;
  if (name == "match-full-lines")
    return &out.matchFullLines;
  if (name == "enable-var-scope")
    return &out.enableVarScope;
  if (name == "allow-deprecated-dag-overlap")
    return &out.allowDeprecatedDagOverlap;
  if (name == "v")
    return &out.verbose;
  return &out.veryVerbose;
}

// Unsigned 32-bit number with the option library's radix prefixes.
bool parseUnsigned(std::string_view text, uint32_t &value) {
  unsigned base = 10;
  if (text.size() >= 2 && text[0] == '0') {
    char c = text[1];
    if (c == 'x' || c == 'X') {
      base = 16;
      text.remove_prefix(2);
    } else if (c == 'b' || c == 'B') {
      base = 2;
      text.remove_prefix(2);
    } else if (c == 'o') {
      base = 8;
      text.remove_prefix(2);
    } else if (c >= '0' && c <= '9') {
      base = 8;
      text.remove_prefix(1);
    }
  }
  if (text.empty())
    return false;
  uint64_t result = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = unsigned(c - '0');
    else if (c >= 'a' && c <= 'z')
      digit = unsigned(c - 'a') + 10;
    else if (c >= 'A' && c <= 'Z')
      digit = unsigned(c - 'A') + 10;
    else
      return false;
    if (digit >= base)
      return false;
    result = result * base + digit;
    if (result > UINT32_MAX)
      return false;
  }
  value = uint32_t(result);
  return true;
}

void StandInParser::deliver(const OptionSpec &spec, std::string_view value) {
  std::string_view name = spec.name;
  switch (spec.kind) {
  case ValueKind::Flag:
    if (value.empty() || value == "1" || value == "true" || value == "True" || value == "TRUE")
      *flagFor(name) = true;
    else if (value == "0" || value == "false" || value == "False" || value == "FALSE")
      *flagFor(name) = false;
    else
      optionError(name, "'" + std::string(value) + "' is invalid value for boolean argument! Try 0 or 1");
    return;
  case ValueKind::Text:
    out.inputFile = value;
    return;
  case ValueKind::TextList:
    (name == "check-prefix" ? out.checkPrefixes : out.implicitCheckNot).push_back(value);
    return;
  case ValueKind::CommaList: {
    auto &list = name == "comment-prefixes" ? out.commentPrefixes : out.checkPrefixes;
    for (;;) {
      size_t comma = value.find(',');
      list.push_back(value.substr(0, comma));
      if (comma == std::string_view::npos)
        return;
      value.remove_prefix(comma + 1);
    }
  }
  case ValueKind::Mode: {
    static const std::pair<const char *, DumpMode> modes[] = {{"help", DumpMode::Help},
                                                              {"always", DumpMode::Always},
                                                              {"fail", DumpMode::Fail},
                                                              {"never", DumpMode::Never}};
    for (const auto &[text, mode] : modes)
      if (value == text)
        return out.dumpModes.push_back(mode);
    optionError(name, "Cannot find option named '" + std::string(value) + "'!");
    return;
  }
  case ValueKind::Filter: {
    static const std::pair<const char *, DumpFilter> filters[] = {
        {"all", DumpFilter::All},
        {"annotation-full", DumpFilter::AnnotationFull},
        {"annotation", DumpFilter::Annotation},
        {"error", DumpFilter::Error}};
    for (const auto &[text, filter] : filters)
      if (value == text)
        return out.dumpFilters.push_back(filter);
    optionError(name, "Cannot find option named '" + std::string(value) + "'!");
    return;
  }
  case ValueKind::Context: {
    uint32_t number;
    if (parseUnsigned(value, number))
      out.dumpContexts.push_back(number);
    else
      optionError(name, "'" + std::string(value) + "' value invalid for uint argument!");
    return;
  }
  }
}

void StandInParser::handleOption(std::string_view arg, int &index) {
  std::string_view name = arg.substr(arg.size() > 1 && arg[1] == '-' ? 2 : 1);
  // "-D" takes the whole rest of the argument, '=' included, as its value.
  if (!name.empty() && name[0] == 'D') {
    if (name.size() == 1)
      return optionError("D", "requires a value!");
    out.defines.push_back(name.substr(1));
    return;
  }
  size_t equals = name.find('=');
  bool hasValue = equals != std::string_view::npos;
  std::string_view key = name.substr(0, equals);
  std::string_view value = hasValue ? name.substr(equals + 1) : std::string_view();
  for (const OptionSpec &spec : optionSpecs) {
    if (key != spec.name)
      continue;
    if (!hasValue && spec.kind != ValueKind::Flag) {
      if (index + 1 >= argc)
        return optionError(key, "requires a value!");
      value = argv[++index];
    }
    return deliver(spec, value);
  }
  std::fprintf(stderr, "%.*s: Unknown command line argument '%.*s'.  Try: '%s --help'\n",
               int(programName.size()), programName.data(), int(arg.size()), arg.data(), argv[0]);
  failed = true;
}

void StandInParser::positional(std::string_view arg) {
  if (positionalSeen)
    tooManyPositionals = true;
  else
    out.checkFile = arg;
  positionalSeen = true;
}

bool StandInParser::run() {
  bool dashDashSeen = false;
  for (int index = 1; index < argc; ++index) {
    std::string_view arg = argv[index];
    if (dashDashSeen || arg.empty() || arg[0] != '-' || arg == "-")
      positional(arg);
    else if (arg == "--")
      dashDashSeen = true;
    else
      handleOption(arg, index);
  }
  if (tooManyPositionals) {
    std::fprintf(stderr,
                 "%.*s: Too many positional arguments specified!\n"
                 "Can specify at most 1 positional arguments: See: %s --help\n",
                 int(programName.size()), programName.data(), argv[0]);
    failed = true;
  }
  return !failed;
}

} // namespace

bool parseArguments(int argc, char **argv, DriverArguments &out) {
  out = DriverArguments();
  if (argc < 1)
    return true;
  return StandInParser(argc, argv, out).run();
}

} // namespace vetline
