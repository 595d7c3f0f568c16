#include "suite/test_script.h"

#include "engine/check_reader.h"
#include "suite/config.h"
#include "support/format.h"

#include <algorithm>

namespace vetline::suite {
namespace {

// Every text this component shows. They are interface: never reword them.
namespace text {
constexpr std::string_view runWord = "RUN";
constexpr std::string_view needsWord = "NEEDS";
constexpr std::string_view expectFailWord = "EXPECT-FAIL";
constexpr std::string_view noRunLine = "no RUN: line: the test does not say how to run it";
// {0} the line of the RUN: line.
constexpr std::string_view danglingContinuation =
    "line {0}: the RUN: line ends in '\\' but no RUN: line follows";
constexpr std::string_view nulInCommand = "line {0}: a RUN: line holds a NUL byte";
constexpr std::string_view emptyNeeds = "line {0}: NEEDS: names no feature";
// {0} the placeholder's name.
constexpr std::string_view unknownPlaceholder = "unknown placeholder '{{{0}}'";
} // namespace text

std::string_view trimBlanks(std::string_view text) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

Error lineError(std::string_view format, size_t line) {
  return makeMessageError(inconvertibleErrorCode(), formatPositionalString(format, line));
}

// Adds the comma-separated features of one NEEDS: line.
bool addNeeds(std::string_view list, std::vector<std::string> &needs) {
  bool hasAny = false;
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view feature = trimBlanks(list.substr(0, comma));
    if (!feature.empty()) {
      needs.emplace_back(feature);
      hasAny = true;
    }
    if (comma == std::string_view::npos)
      break;
    list.remove_prefix(comma + 1);
  }
  return hasAny;
}

bool isNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool needsNoQuotes(char c) {
  return isNameByte(c) || c == '/' || c == '.' || c == ',' || c == ':' || c == '+' || c == '=' ||
         c == '@' || c == '%';
}

} // namespace

Fallible<TestScript> parseTestScript(std::string_view fileText) {
  TestScript script;
  std::vector<std::string_view> words = {text::runWord, text::needsWord, text::expectFailWord};
  bool isContinued = false;
  size_t continuedFrom = 0;
  for (const CommentSighting &found : findCommentDirectives(fileText, words)) {
    std::string_view body = trimBlanks(found.text);
    if (found.prefix == text::needsWord) {
      if (!addNeeds(body, script.needs))
        return lineError(text::emptyNeeds, found.line);
      continue;
    }
    if (found.prefix == text::expectFailWord) {
      script.expectFail = std::string(body);
      continue;
    }
    if (body.find('\0') != std::string_view::npos)
      return lineError(text::nulInCommand, found.line);
    bool continues = body.ends_with('\\');
    if (continues)
      body = trimBlanks(body.substr(0, body.size() - 1));
    if (isContinued) {
      std::string &command = script.commands.back().text;
      if (!command.empty() && !body.empty())
        command += ' ';
      command += body;
    } else {
      script.commands.push_back({std::string(body), found.line});
      continuedFrom = found.line;
    }
    isContinued = continues;
  }
  if (isContinued)
    return lineError(text::danglingContinuation, continuedFrom);
  if (script.commands.empty())
    return makeMessageError(inconvertibleErrorCode(), text::noRunLine);
  return script;
}

Fallible<std::string> expandPlaceholders(std::string_view command,
                                         const PlaceholderLookup &lookup) {
  std::string expanded;
  expanded.reserve(command.size());
  size_t i = 0;
  while (i < command.size()) {
    char c = command[i];
    if (c != '{' || (i > 0 && command[i - 1] == '$')) {
      expanded += c;
      ++i;
      continue;
    }
    if (i + 1 < command.size() && command[i + 1] == '{') {
      expanded += '{';
      i += 2;
      continue;
    }
    size_t end = i + 1;
    while (end < command.size() && isNameByte(command[end]))
      ++end;
    std::string_view name = command.substr(i + 1, end - i - 1);
    if (end == command.size() || command[end] != '}' || !isPlaceholderName(name)) {
      expanded += c;
      ++i;
      continue;
    }
    const std::string *value = lookup(name);
    if (!value)
      return makeMessageError(inconvertibleErrorCode(),
                              formatPositionalString(text::unknownPlaceholder, name));
    expanded += *value;
    i = end + 1;
  }
  return expanded;
}

std::string shellQuote(std::string_view text) {
  if (!text.empty() && std::all_of(text.begin(), text.end(), needsNoQuotes))
    return std::string(text);
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

} // namespace vetline::suite
