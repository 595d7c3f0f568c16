#include "engine/check_engine.h"

#include "support/output_stream.h"

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

namespace vetline {
namespace {

// Made on first use and kept until the process ends; the regex engine keeps
// no state between searches, so sharing it is safe.
const Regex &prefixCharacterRegex() {
  static const Regex regex(std::string_view("^[a-zA-Z0-9_-]*$"), RegexOptions::None);
  return regex;
}

bool isValidPrefix(std::string_view prefix, const char *kind, std::set<std::string_view> &seen) {
  OutputStream &errors = standardError();
  if (prefix.empty()) {
    errors << "error: supplied " << kind << " prefix must not be the empty string\n";
    return false;
  }
  if (!prefixCharacterRegex().match(prefix)) {
    errors << "error: supplied " << kind
           << " prefix must start with a letter and contain only alphanumeric characters, "
              "hyphens, and underscores: '"
           << prefix << "'\n";
    return false;
  }
  if (!seen.insert(prefix).second) {
    errors << "error: supplied " << kind
           << " prefix must be unique among check and comment prefixes: '" << prefix << "'\n";
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

bool CheckEngine::validatePrefixes() const {
  std::set<std::string_view> seen;
  if (req.checkPrefixes.empty())
    seen.insert("CHECK");
  if (req.commentPrefixes.empty()) {
    seen.insert("COM");
    seen.insert("RUN");
  }
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
    req.checkPrefixes.push_back("CHECK");
    req.isDefaultCheckPrefix = true;
  }
  if (req.commentPrefixes.empty()) {
    req.commentPrefixes.push_back("COM");
    req.commentPrefixes.push_back("RUN");
  }
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

std::string_view CheckEngine::canonicalizeInPlace(TextBuffer &buffer) const {
  char *bytes = buffer.writableBytes();
  assert(bytes && "only an owned buffer can be rewritten");
  char *out = canonicalizeBytes(bytes, bytes + buffer.size(), bytes, !req.strictWhitespace);
  buffer.shrinkTo(size_t(out - bytes));
  return buffer.text();
}

} // namespace vetline
