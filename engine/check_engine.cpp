#include "engine/check_engine.h"

#include "engine/check_verifier.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>
#include <string>

namespace vetline {
namespace {

// Every text this file shows. They are interface (test suites compare them
// byte for byte): never reword them. "{N}" stands for a value filled in by
// formatPositional; {0} of the prefix texts is "check" or "comment".
namespace text {
constexpr std::string_view emptyPrefix =
    "error: supplied {0} prefix must not be the empty string\n";
constexpr std::string_view badPrefixCharacter =
    "error: supplied {0} prefix must start with a letter and contain only alphanumeric "
    "characters, hyphens, and underscores: '{1}'\n";
constexpr std::string_view repeatedPrefix =
    "error: supplied {0} prefix must be unique among check and comment prefixes: '{1}'\n";
constexpr std::string_view missingEqualSign =
    "Missing equal sign in command-line definition '-D{0}'\n";
constexpr std::string_view missingVariableName =
    "Missing variable name in command-line definition '-D{0}'\n";
constexpr std::string_view uncombinablePrefixes =
    "Unable to combine check-prefix strings into a prefix regular expression! This is likely a "
    "bug in Vetline's verification of the check-prefix strings. Regular expression parsing "
    "failed with the following error: {0}\n";
} // namespace text

// Made on first use and kept until the process ends; the regex engine keeps
// no state between searches, so sharing it is safe.
const Regex &prefixCharacterRegex() {
  static const Regex regex(std::string_view("^[a-zA-Z0-9_-]*$"), RegexOptions::None);
  return regex;
}

bool isValidPrefix(std::string_view prefix, const char *kind, std::set<std::string_view> &seen) {
  OutputStream &errors = standardError();
  if (prefix.empty()) {
    errors << formatPositionalString(text::emptyPrefix, kind);
    return false;
  }
  if (!prefixCharacterRegex().match(prefix)) {
    errors << formatPositionalString(text::badPrefixCharacter, kind, prefix);
    return false;
  }
  if (!seen.insert(prefix).second) {
    errors << formatPositionalString(text::repeatedPrefix, kind, prefix);
    return false;
  }
  return true;
}

// The first space, tab or CR in [from, end), or `end`. Eight bytes are tested
// at a time, as a word-wise memchr does; blanks are frequent in compiler
// output, so one pass for all three bytes beats a memchr for each.
const char *findBlankOrCR(const char *from, const char *end) {
  constexpr uint64_t ones = 0x0101010101010101u;
  constexpr uint64_t highs = 0x8080808080808080u;
  // Flags the lowest byte of `word` equal to the repeated byte in `pattern`
  // exactly; bytes above a flagged one may be flagged wrongly, which does not
  // matter as only the lowest flag is used.
  auto hasByte = [](uint64_t word, uint64_t pattern) {
    uint64_t x = word ^ pattern;
    return (x - ones) & ~x & highs;
  };
  const char *pos = from;
  for (; end - pos >= 8; pos += 8) {
    uint64_t word;
    std::memcpy(&word, pos, 8);
    if constexpr (std::endian::native == std::endian::big)
      word = __builtin_bswap64(word);
    uint64_t found = hasByte(word, ones * ' ') | hasByte(word, ones * '\t') |
                     hasByte(word, ones * '\r');
    if (found)
      return pos + (std::countr_zero(found) >> 3);
  }
  for (; pos < end; ++pos)
    if (*pos == ' ' || *pos == '\t' || *pos == '\r')
      return pos;
  return end;
}

const char *findCR(const char *from, const char *end) {
  const void *found = std::memchr(from, '\r', size_t(end - from));
  return found ? static_cast<const char *>(found) : end;
}

} // namespace

CheckEngine::CheckEngine(const CheckRequest &request) : req(request) {}

CheckEngine::~CheckEngine() = default;

bool CheckEngine::validateDefines() const {
  OutputStream &errors = standardError();
  bool allGood = true;
  for (std::string_view define : req.globalDefines) {
    size_t equals = define.find('=');
    if (equals == std::string_view::npos) {
      errors << formatPositionalString(text::missingEqualSign, define);
      allGood = false;
    } else if (equals == 0) {
      errors << formatPositionalString(text::missingVariableName, define);
      allGood = false;
    }
  }
  return allGood;
}

bool CheckEngine::validatePrefixes() const {
  std::set<std::string_view> seen;
  if (req.checkPrefixes.empty())
    seen.insert(std::begin(defaultCheckPrefixes), std::end(defaultCheckPrefixes));
  if (req.commentPrefixes.empty())
    seen.insert(std::begin(defaultCommentPrefixes), std::end(defaultCommentPrefixes));
  for (std::string_view prefix : req.checkPrefixes)
    if (!isValidPrefix(prefix, "check", seen))
      return false;
  for (std::string_view prefix : req.commentPrefixes)
    if (!isValidPrefix(prefix, "comment", seen))
      return false;
  return true;
}

Regex CheckEngine::buildPrefixRegex() {
  if (req.checkPrefixes.empty()) {
    req.checkPrefixes.assign(std::begin(defaultCheckPrefixes), std::end(defaultCheckPrefixes));
    req.isDefaultCheckPrefix = true;
  }
  if (req.commentPrefixes.empty())
    req.commentPrefixes.assign(std::begin(defaultCommentPrefixes),
                               std::end(defaultCommentPrefixes));
  std::string text;
  for (std::string_view prefix : req.checkPrefixes) {
    if (!text.empty())
      text += '|';
    text += prefix;
  }
  for (std::string_view prefix : req.commentPrefixes) {
    text += '|';
    text += prefix;
  }
  return Regex(std::string_view(text), RegexOptions::None);
}

std::optional<Regex> CheckEngine::preparePrefixRegex() {
  if (!validatePrefixes())
    return std::nullopt;
  Regex prefixRegex = buildPrefixRegex();
  std::string regexError;
  if (prefixRegex.isValid(regexError))
    return prefixRegex;
  standardError() << formatPositionalString(text::uncombinablePrefixes, regexError);
  return std::nullopt;
}

std::string_view CheckEngine::canonicalizeBuffer(const TextBuffer &buffer,
                                                 SmallVectorImpl<char> &storage) const {
  const char *pos = buffer.bufferStart();
  const char *end = buffer.bufferEnd();
  // The text never grows, so the whole copy and its NUL fit in room taken
  // once; writing through a plain pointer keeps the short runs between blanks
  // cheap. The surplus is cut off at the end.
  storage.clear();
  storage.resize(size_t(end - pos) + 1);
  char *out = storage.data();
  // Only blanks and CRs change; the bytes between them are copied in bulk.
  bool foldBlanks = !req.strictWhitespace;
  while (pos < end) {
    const char *special = foldBlanks ? findBlankOrCR(pos, end) : findCR(pos, end);
    std::memcpy(out, pos, size_t(special - pos));
    out += special - pos;
    if (special == end)
      break;
    pos = special + 1;
    if (*special == '\r') {
      // The LF of a CR LF is copied with the next run of ordinary bytes.
      if (pos == end || *pos != '\n')
        *out++ = '\r';
      continue;
    }
    *out++ = ' ';
    while (pos < end && (*pos == ' ' || *pos == '\t'))
      ++pos;
  }
  *out = '\0';
  size_t length = size_t(out - storage.data());
  storage.resize(length + 1);
  return std::string_view(storage.data(), length);
}

bool CheckEngine::loadDirectives(SourceManager &sourceManager, std::string_view checkText,
                                 const Regex &prefixRegex,
                                 ImplicitBufferRange *implicitBufferRange) {
  // The prefixes are found as plain text; the regex built from them only
  // proves that they combine.
  (void)prefixRegex;
  return readDirectives(req, context, directiveList, sourceManager, checkText, directiveListener,
                        implicitBufferRange);
}

bool CheckEngine::verifyInput(SourceManager &sourceManager, std::string_view inputText,
                              MatchDiagList *diags) {
  return verifyDirectives(directiveList, context, req, sourceManager, inputText, diags);
}

} // namespace vetline
