// The configuration is read with toml++ in its header-only form without
// exceptions: the shared library Debian ships is built with them, and a
// parse error must come back as a value, never as a throw through our code.
#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "suite/config.h"

#include "support/format.h"
#include "support/text_buffer.h"

#include <algorithm>
#include <cmath>

namespace vetline::suite {
namespace {

// Every text this component shows. They are interface (test suites compare
// them byte for byte): never reword them.
namespace text {
// {0} the file, {1} the line, {2} the column, {3} the message.
constexpr std::string_view located = "{0}:{1}:{2}: error: {3}";
constexpr std::string_view unreadable = "{0}: error: cannot read the configuration: {1}";
// {0} the key.
constexpr std::string_view unknownKey =
    "unknown key '{0}' (the keys are name, suffixes, features, timeout, substitutions, "
    "environment, pass-environment and exclude)";
constexpr std::string_view notText = "'{0}' must be a text";
constexpr std::string_view notTextList = "'{0}' must be a list of texts";
constexpr std::string_view notTable = "'{0}' must be a table of texts";
constexpr std::string_view badTimeout = "'timeout' must be a number of seconds, 0 or more";
constexpr std::string_view emptySuffix = "a suffix must not be empty";
constexpr std::string_view noSuffixes =
    "no 'suffixes' key: name the endings of the test files, such as suffixes = [\".test\"]";
constexpr std::string_view badPlaceholder =
    "'{0}' cannot name a placeholder (a letter or '_', then letters, digits, '_' or '-')";
constexpr std::string_view builtInPlaceholder = "'{0}' is a built-in placeholder";
constexpr std::string_view badVariable = "'{0}' cannot name an environment variable";
constexpr std::string_view badFeature = "a feature must be a word without ',' or blanks";
constexpr std::string_view badExclude = "'{0}' is not a path below the configuration's folder";
} // namespace text

Error locatedError(const std::string &path, const toml::source_region &where,
                   std::string_view message) {
  return makeMessageError(
      inconvertibleErrorCode(),
      formatPositionalString(text::located, path, where.begin.line, where.begin.column, message));
}

bool isVariableName(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9'))
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

bool isFeatureWord(std::string_view word) {
  return !word.empty() && std::none_of(word.begin(), word.end(), [](char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
  });
}

// The message format for a bad substitution name ({0} the name), or empty.
std::string_view checkPlaceholderName(std::string_view name) {
  if (!isPlaceholderName(name))
    return text::badPlaceholder;
  if (std::find(std::begin(builtInPlaceholders), std::end(builtInPlaceholders), name) !=
      std::end(builtInPlaceholders))
    return text::builtInPlaceholder;
  return {};
}

std::string_view checkVariableName(std::string_view name) {
  return isVariableName(name) ? std::string_view() : text::badVariable;
}

// Reads one key of the file into `config`.
class KeyReader {
public:
  KeyReader(const std::string &path, SuiteConfig &config) : path(path), config(config) {}

  Error read(const toml::key &key, const toml::node &value);

private:
  using NameCheck = std::string_view (*)(std::string_view name);

  Error readText(std::string_view key, const toml::node &value, std::string &into);
  Error readList(std::string_view key, const toml::node &value, std::vector<std::string> &into);
  Error readWords(std::string_view key, const toml::node &value, std::vector<std::string> &into,
                  bool (*isGood)(std::string_view), std::string_view badFormat);
  Error readTable(std::string_view key, const toml::node &value, NameCheck check,
                  std::vector<std::pair<std::string, std::string>> &into);
  Error readTimeout(const toml::node &value);
  Error fail(const toml::source_region &where, std::string_view message) {
    return locatedError(path, where, message);
  }

  const std::string &path;
  SuiteConfig &config;
};

bool isSuffix(std::string_view suffix) { return !suffix.empty(); }

bool isRelativePath(std::string_view path) {
  return !path.empty() && !path.starts_with('/') && path != "." && path != ".." &&
         !path.starts_with("../") && path.find("/../") == std::string_view::npos;
}

Error KeyReader::read(const toml::key &key, const toml::node &value) {
  std::string_view name = key.str();
  if (name == "name")
    return readText(name, value, config.name);
  if (name == "suffixes")
    return readWords(name, value, config.suffixes, isSuffix, text::emptySuffix);
  if (name == "features")
    return readWords(name, value, config.features, isFeatureWord, text::badFeature);
  if (name == "timeout")
    return readTimeout(value);
  if (name == "substitutions")
    return readTable(name, value, checkPlaceholderName, config.substitutions);
  if (name == "environment")
    return readTable(name, value, checkVariableName, config.environment);
  if (name == "exclude")
    return readWords(name, value, config.exclude, isRelativePath, text::badExclude);
  if (name == "pass-environment")
    return readWords(name, value, config.passEnvironment, isVariableName, text::badVariable);
  return fail(key.source(), formatPositionalString(text::unknownKey, name));
}

Error KeyReader::readText(std::string_view key, const toml::node &value, std::string &into) {
  const toml::value<std::string> *given = value.as_string();
  if (!given)
    return fail(value.source(), formatPositionalString(text::notText, key));
  into = given->get();
  return success();
}

Error KeyReader::readList(std::string_view key, const toml::node &value,
                          std::vector<std::string> &into) {
  const toml::array *list = value.as_array();
  if (!list)
    return fail(value.source(), formatPositionalString(text::notTextList, key));
  into.clear();
  for (const toml::node &element : *list) {
    const toml::value<std::string> *given = element.as_string();
    if (!given)
      return fail(element.source(), formatPositionalString(text::notTextList, key));
    into.push_back(given->get());
  }
  return success();
}

// A list of texts each of which `isGood` accepts; `badFormat` ({0} the
// text) points at the first it refuses.
Error KeyReader::readWords(std::string_view key, const toml::node &value,
                           std::vector<std::string> &into, bool (*isGood)(std::string_view),
                           std::string_view badFormat) {
  if (Error error = readList(key, value, into))
    return error;
  for (size_t i = 0; i < into.size(); ++i)
    if (!isGood(into[i]))
      return fail(value.as_array()->get(i)->source(), formatPositionalString(badFormat, into[i]));
  return success();
}

Error KeyReader::readTable(std::string_view key, const toml::node &value, NameCheck check,
                           std::vector<std::pair<std::string, std::string>> &into) {
  const toml::table *table = value.as_table();
  if (!table)
    return fail(value.source(), formatPositionalString(text::notTable, key));
  into.clear();
  for (const auto &[name, entry] : *table) {
    std::string_view bad = check(name.str());
    if (!bad.empty())
      return fail(name.source(), formatPositionalString(bad, name.str()));
    const toml::value<std::string> *given = entry.as_string();
    if (!given)
      return fail(entry.source(), formatPositionalString(text::notTable, key));
    into.emplace_back(std::string(name.str()), given->get());
  }
  return success();
}

Error KeyReader::readTimeout(const toml::node &value) {
  std::optional<double> seconds = value.is_number() ? value.value<double>() : std::nullopt;
  if (!seconds || !std::isfinite(*seconds) || *seconds < 0)
    return fail(value.source(), text::badTimeout);
  config.timeout = *seconds;
  return success();
}

std::string_view lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

bool SuiteConfig::hasFeature(std::string_view feature) const {
  return std::find(features.begin(), features.end(), feature) != features.end();
}

bool SuiteConfig::isExcluded(std::string_view path) const {
  if (exclude.empty() || !path.starts_with(root))
    return false;
  std::string_view below = path.substr(root.size());
  while (below.starts_with('/'))
    below.remove_prefix(1);
  for (std::string_view excluded : exclude) {
    while (excluded.ends_with('/'))
      excluded.remove_suffix(1);
    if (below.starts_with(excluded) &&
        (below.size() == excluded.size() || below[excluded.size()] == '/'))
      return true;
  }
  return false;
}

const std::string *SuiteConfig::substitution(std::string_view name) const {
  for (const auto &[key, value] : substitutions)
    if (key == name)
      return &value;
  return nullptr;
}

bool isPlaceholderName(std::string_view name) {
  if (name.empty())
    return false;
  auto isLetter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (!isLetter(name[0]))
    return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return isLetter(c) || (c >= '0' && c <= '9') || c == '-'; });
}

Fallible<SuiteConfig> parseConfig(std::string_view fileText, const std::string &path) {
  toml::parse_result parsed = toml::parse(fileText, std::string_view(path));
  if (!parsed) {
    const toml::parse_error &error = parsed.error();
    return locatedError(path, error.source(), error.description());
  }
  SuiteConfig config;
  config.path = path;
  size_t slash = path.find_last_of('/');
  config.root = slash == 0 ? std::string("/") : path.substr(0, slash);
  config.name = std::string(lastComponent(config.root));
  KeyReader reader(path, config);
  bool hasSuffixes = false;
  for (const auto &[key, value] : parsed.table()) {
    if (Error error = reader.read(key, value))
      return error;
    hasSuffixes |= key.str() == "suffixes";
  }
  if (!hasSuffixes)
    return locatedError(path, toml::source_region{{1, 1}, {1, 1}, nullptr}, text::noSuffixes);
  return config;
}

Fallible<SuiteConfig> readConfig(const std::string &path) {
  BufferOrError file = readWritableFileOrStdin(path);
  if (!file)
    return makeMessageError(inconvertibleErrorCode(),
                            formatPositionalString(text::unreadable, path, file.error().message()));
  return parseConfig(file->text(), path);
}

} // namespace vetline::suite
