#include "engine/check_engine.h"

#include "engine/canonical_text.h"
#include "engine/check_verifier.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <cassert>
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
                              MatchDiagList *diags, VerifyCounts *counts) {
  return verifyDirectives(directiveList, implicitNotList, context, req, sourceManager, inputText,
                          diags, counts);
}

std::string_view CheckEngine::canonicalizeInPlace(TextBuffer &buffer) const {
  char *bytes = buffer.writableBytes();
  assert(bytes && "only an owned buffer can be rewritten");
  char *out = canonicalizeBytes(bytes, bytes + buffer.size(), bytes, !req.strictWhitespace);
  buffer.shrinkTo(size_t(out - bytes));
  return buffer.text();
}

} // namespace vetline
