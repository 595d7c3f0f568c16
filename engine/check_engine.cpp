#include "engine/check_engine.h"

#include "engine/check_verifier.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <bit>
#include <cassert>
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

// 0x80 in every byte of `word` equal to the byte repeated in `pattern`,
// and nothing else: no byte is flagged because of its neighbours.
uint64_t bytesEqual(uint64_t word, uint64_t pattern) {
  constexpr uint64_t lows = 0x7F7F7F7F7F7F7F7Fu;
  uint64_t x = word ^ pattern;
  return ~(((x & lows) + lows) | x | lows);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Where the first change of canonicalisation starts in [from, end), or
// `end`: a CR (lone ones stay, but they are rare), and, when blanks are
// folded, a tab or a space followed by a blank, backed up to the space that
// starts its run. A single space between other bytes, by far the most common
// blank in compiler output, needs no change, so eight bytes are tested at a
// time for these pairs only. The byte before `from` must not be a space
// that would start a run.
const char *findChange(const char *from, const char *end, bool foldBlanks) {
  if (!foldBlanks) {
    const void *found = std::memchr(from, '\r', size_t(end - from));
    return found ? static_cast<const char *>(found) : end;
  }
  constexpr uint64_t ones = 0x0101010101010101u;
  const char *pos = from;
  // 0x80 in the lowest byte when the byte before the current word is a space.
  uint64_t spaceBefore = 0;
  const char *found = end;
  for (; end - pos >= 8; pos += 8) {
    uint64_t word;
    std::memcpy(&word, pos, 8);
    if constexpr (std::endian::native == std::endian::big)
      word = __builtin_bswap64(word);
    uint64_t spaces = bytesEqual(word, ones * ' ');
    uint64_t tabs = bytesEqual(word, ones * '\t');
    uint64_t changes =
        tabs | bytesEqual(word, ones * '\r') | (spaces & ((spaces << 8) | spaceBefore));
    if (changes) {
      found = pos + (std::countr_zero(changes) >> 3);
      break;
    }
    spaceBefore = spaces >> 56;
  }
  if (found == end) {
    bool afterSpace = spaceBefore != 0;
    for (; pos < end; ++pos) {
      if (*pos == '\t' || *pos == '\r' || (afterSpace && *pos == ' ')) {
        found = pos;
        break;
      }
      afterSpace = *pos == ' ';
    }
  }
  // A run's first byte is a space only when the byte flagged is its second.
  if (found != end && isBlank(*found) && found > from && found[-1] == ' ')
    --found;
  return found;
}

// Writes the canonical form of [pos, end) to `out`, which is either `pos`
// itself (the text never grows, so rewriting in place is safe) or room of
// the text's size elsewhere; returns the end of what was written. Bytes that
// stay as they are and stay in place are not written at all.
char *canonicalizeBytes(const char *pos, const char *end, char *out, bool foldBlanks) {
  for (;;) {
    const char *special = findChange(pos, end, foldBlanks);
    size_t plain = size_t(special - pos);
    if (out != pos && plain > 0)
      std::memmove(out, pos, plain);
    out += plain;
    if (special == end)
      return out;
    pos = special + 1;
    if (*special == '\r') {
      // The LF of a CR LF is kept with the next run of ordinary bytes.
      if (pos == end || *pos != '\n')
        *out++ = '\r';
      continue;
    }
    *out++ = ' ';
    while (pos < end && isBlank(*pos))
      ++pos;
  }
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
  // The text never grows, so the whole copy and its NUL fit in room taken
  // once. The surplus is cut off at the end.
  storage.clear();
  storage.resize(buffer.size() + 1);
  char *out = canonicalizeBytes(buffer.bufferStart(), buffer.bufferEnd(), storage.data(),
                                !req.strictWhitespace);
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
  return readDirectives(req, context, directiveList, implicitNotList, sourceManager, checkText,
                        directiveListener, implicitBufferRange);
}

bool CheckEngine::verifyInput(SourceManager &sourceManager, std::string_view inputText,
                              MatchDiagList *diags) {
  return verifyDirectives(directiveList, implicitNotList, context, req, sourceManager, inputText,
                          diags);
}

std::string_view CheckEngine::canonicalizeInPlace(TextBuffer &buffer) const {
  char *bytes = buffer.writableBytes();
  assert(bytes && "only an owned buffer can be rewritten");
  char *out = canonicalizeBytes(bytes, bytes + buffer.size(), bytes, !req.strictWhitespace);
  buffer.shrinkTo(size_t(out - bytes));
  return buffer.text();
}

} // namespace vetline
