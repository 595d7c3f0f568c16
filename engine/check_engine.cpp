#include "engine/check_engine.h"

#include "support/output_stream.h"

#include <algorithm>
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

// The next occurrence of `c` at or after `from`, or `end`. `cached` holds the
// previous answer, so over one pass each byte is scanned at most once per
// character searched for.
const char *nextOf(char c, const char *from, const char *end, const char *&cached) {
  if (!cached || cached < from) {
    const void *found = std::memchr(from, c, size_t(end - from));
    cached = found ? static_cast<const char *>(found) : end;
  }
  return cached;
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
  const char *pos = buffer.bufferStart();
  const char *end = buffer.bufferEnd();
  storage.clear();
  // The text never grows: the room for the whole copy and its NUL is taken
  // once, so appends below never reallocate.
  storage.reserve(size_t(end - pos) + 1);
  // Only these bytes change; everything between them is copied in bulk.
  const char *nextCR = nullptr, *nextSpace = nullptr, *nextTab = nullptr;
  bool foldBlanks = !req.strictWhitespace;
  while (pos < end) {
    const char *special = nextOf('\r', pos, end, nextCR);
    if (foldBlanks)
      special = std::min({special, nextOf(' ', pos, end, nextSpace), nextOf('\t', pos, end, nextTab)});
    storage.append(pos, special);
    if (special == end)
      break;
    pos = special + 1;
    if (*special == '\r') {
      // The LF of a CR LF is copied with the next run of ordinary bytes.
      if (pos == end || *pos != '\n')
        storage.push_back('\r');
      continue;
    }
    storage.push_back(' ');
    while (pos < end && (*pos == ' ' || *pos == '\t'))
      ++pos;
  }
  size_t length = storage.size();
  storage.push_back('\0');
  return std::string_view(storage.data(), length);
}

} // namespace vetline
