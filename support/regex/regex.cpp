#include "support/regex/regex.h"

#include "support/regex/regex_engine.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vetline {
namespace regex {
namespace {

struct ErrorRow {
  int code;
  const char *name;
  const char *message;
};

static_assert(MaxNesting == 1000, "the nesting message names the limit");

const ErrorRow errorTable[] = {
    {NoMatch, "REG_NOMATCH", "orvane_regexec() failed to match"},
    {BadPattern, "REG_BADPAT", "invalid regular expression"},
    {BadCollatingElement, "REG_ECOLLATE", "invalid collating element"},
    {BadClass, "REG_ECTYPE", "invalid character class"},
    {TrailingBackslash, "REG_EESCAPE", "trailing backslash (\\)"},
    {BadBackReference, "REG_ESUBREG", "invalid backreference number"},
    {UnbalancedBrackets, "REG_EBRACK", "brackets ([ ]) not balanced"},
    {UnbalancedParentheses, "REG_EPAREN", "parentheses not balanced"},
    {UnbalancedBraces, "REG_EBRACE", "braces not balanced"},
    {BadRepetitionCount, "REG_BADBR", "invalid repetition count(s)"},
    {BadRange, "REG_ERANGE", "invalid character range"},
    {OutOfMemory, "REG_ESPACE", "out of memory"},
    {BadRepetitionOperand, "REG_BADRPT", "repetition-operator operand invalid"},
    {EmptyExpression, "REG_EMPTY", "empty (sub)expression"},
    {InternalError, "REG_ASSERT", "\"can't happen\" -- you found a bug"},
    {InvalidArgument, "REG_INVARG", "invalid argument to regex routine"},
    {NestedTooDeeply, "REG_ENESTING", "groups nested too deeply (more than 1000 levels)"},
    {0, "", "*** unknown regexp error code ***"},
};

} // namespace

const char *errorMessage(int code) {
  const ErrorRow *row = errorTable;
  while (row->code != 0 && row->code != code)
    ++row;
  return row->message;
}

size_t errorText(int code, const Handle *, char *buffer, size_t size) {
  const char *message = errorMessage(code);
  size_t length = std::strlen(message) + 1;
  if (size > 0) {
    size_t copied = length <= size ? length - 1 : size - 1;
    std::memcpy(buffer, message, copied);
    buffer[copied] = '\0';
  }
  return length;
}

} // namespace regex

Regex::Regex(std::string_view pattern, RegexOptions options) {
  program = new (std::nothrow) regex::Handle;
  if (program == nullptr) {
    errorCode = regex::OutOfMemory;
    return;
  }
  int flags = regex::PatternEnd;
  if (!hasOption(options, RegexOptions::BasicSyntax))
    flags |= regex::Extended;
  if (hasOption(options, RegexOptions::IgnoreCase))
    flags |= regex::IgnoreCase;
  if (hasOption(options, RegexOptions::Newline))
    flags |= regex::Newline;
  // An empty view may have no data; the compiler still needs a valid begin.
  const char *begin = pattern.data() != nullptr ? pattern.data() : "";
  program->patternEnd = begin + pattern.size();
  errorCode = regex::compile(*program, begin, flags);
}

Regex::~Regex() {
  if (program != nullptr) {
    regex::free(*program);
    delete program;
  }
}

Regex::Regex(Regex &&other) noexcept : program(other.program), errorCode(other.errorCode) {
  other.program = nullptr;
  other.errorCode = regex::InvalidArgument;
}

Regex &Regex::operator=(Regex &&other) noexcept {
  if (this != &other) {
    if (program != nullptr) {
      regex::free(*program);
      delete program;
    }
    program = other.program;
    errorCode = other.errorCode;
    other.program = nullptr;
    other.errorCode = regex::InvalidArgument;
  }
  return *this;
}

bool Regex::isValid(std::string &error) const {
  if (errorCode == 0)
    return true;
  error = regex::errorMessage(errorCode);
  return false;
}

unsigned Regex::subexpressionCount() const {
  if (errorCode != 0 || program == nullptr)
    return 0;
  return static_cast<unsigned>(program->groupCount);
}

static_assert(Regex::guaranteedOperations <= regex::MaxOperations);

size_t Regex::operationCount() const {
  if (errorCode != 0 || program == nullptr || program->program == nullptr)
    return 0;
  return program->program->opCount;
}

std::optional<RegexStart> Regex::start() const {
  if (errorCode != 0 || program == nullptr || program->program == nullptr)
    return std::nullopt;
  regex::StartSummary summary;
  if (!regex::summarizeStart(*program->program, summary))
    return std::nullopt;
  RegexStart start;
  for (size_t byte = 0; byte < 256; ++byte)
    start.firstBytes[byte] = (summary.firstBytes[byte / 8] >> (byte % 8)) & 1;
  start.canBeEmpty = summary.canBeEmpty;
  start.looksBehind = summary.looksBehind;
  return start;
}

bool Regex::match(std::string_view text, std::vector<std::string_view> *matches,
                  std::string *error) const {
  if (error != nullptr)
    error->clear();
  if (errorCode != 0) {
    if (error != nullptr)
      *error = regex::errorMessage(errorCode);
    return false;
  }
  size_t wanted = matches != nullptr ? subexpressionCount() + 1 : 0;
  // Most patterns have few groups; only larger ones pay for heap storage.
  regex::SubMatch inlinePairs[8];
  regex::SubMatch *pairs = inlinePairs;
  if (wanted > 8) {
    pairs = new (std::nothrow) regex::SubMatch[wanted];
    if (pairs == nullptr) {
      if (error != nullptr)
        *error = regex::errorMessage(regex::OutOfMemory);
      return false;
    }
  }
  size_t prepared = wanted > 0 ? wanted : 1;
  for (size_t i = 0; i < prepared; ++i)
    pairs[i] = {0, 0};
  pairs[0].end = static_cast<int64_t>(text.size());
  const char *base = text.data() != nullptr ? text.data() : "";
  int code = regex::execute(*program, base, wanted, pairs, regex::StartEnd);
  bool found = code == regex::Success;
  if (code != regex::Success && code != regex::NoMatch && error != nullptr)
    *error = regex::errorMessage(code);
  if (found && matches != nullptr) {
    matches->clear();
    for (size_t i = 0; i < wanted; ++i) {
      // A text without data is empty: every view of it is empty without
      // data, whether or not its group took part.
      if (pairs[i].start < 0 || text.data() == nullptr)
        matches->emplace_back();
      else
        matches->emplace_back(text.data() + pairs[i].start,
                              static_cast<size_t>(pairs[i].end - pairs[i].start));
    }
  }
  if (pairs != inlinePairs)
    delete[] pairs;
  return found;
}

namespace {

// The bytes that escape prefixes with a backslash and unescape accepts
// after one: every metacharacter of either syntax, and NUL. A table, as
// both run once per byte of every substituted value.
constexpr std::array<bool, 256> metacharacters = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : std::string_view("()^$|*+?.[]\\{}"))
    table[c] = true;
  table[0] = true;
  return table;
}();

bool isMetacharacter(char c) { return metacharacters[static_cast<unsigned char>(c)]; }

} // namespace

// Both copy the runs of plain bytes between metacharacters in one piece.
std::string Regex::escape(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!isMetacharacter(text[i]))
      continue;
    result.append(text.substr(runStart, i - runStart));
    result.push_back('\\');
    runStart = i;
  }
  result.append(text.substr(runStart));
  return result;
}

std::optional<std::string> Regex::unescape(std::string_view pattern) {
  std::string literal;
  literal.reserve(pattern.size());
  size_t runStart = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (!isMetacharacter(pattern[i]))
      continue;
    if (pattern[i] != '\\' || i + 1 == pattern.size() || !isMetacharacter(pattern[i + 1]))
      return std::nullopt;
    literal.append(pattern.substr(runStart, i - runStart));
    ++i;
    runStart = i;
  }
  literal.append(pattern.substr(runStart));
  return literal;
}

} // namespace vetline
