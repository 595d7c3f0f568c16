// Reading a check file. Each check or comment prefix is found as plain text
// from the reading position onwards, and the next occurrence of each is kept
// until reading passes it, so the text is scanned once per prefix (the same
// leftmost-longest choice the prefix regex would make, without a regex search
// per directive); line numbers are counted over the bytes that the reading
// position passes. A first pass only counts the directives, so that the list
// is allocated once instead of growing and moving. Tested by
// check_reader_test.cpp and the e2e cases under tests/e2e/cases/reader/.
#include "engine/check_reader.h"

#include "engine/check_directive.h"
#include "engine/pattern_context.h"
#include "support/format.h"
#include "support/output_stream.h"
#include "support/text_buffer.h"
#include "support/text_search.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them. "{N}" stands for a value filled
// in by formatPositional.
namespace text {
// Each "-implicit-check-not" value gets a buffer of its own, holding the
// option as written between the lead and the trail, so that errors can
// point into it.
constexpr std::string_view implicitBufferName = "command line";
constexpr std::string_view implicitCheckNotLead = "-implicit-check-not='";
constexpr std::string_view implicitCheckNotTrail = "'";
// The prefix that errors in an implicit pattern name.
constexpr std::string_view implicitPrefix = "IMPLICIT-CHECK";
constexpr std::string_view invalidCount = "invalid count in -COUNT specification on prefix '{0}'";
constexpr std::string_view unsupportedNotCombo = "unsupported -NOT combo on prefix '{0}'";
// {0} the prefix, {1} the suffix word.
constexpr std::string_view withoutPrevious = "found '{0}-{1}' without previous '{0}: line";
constexpr std::string_view labelWithVariable = "found '{0}-LABEL:' with variable definition or use";
// Followed by the unseen prefixes, each as listedPrefix, separated by
// prefixSeparator.
constexpr std::string_view noCheckStringsOne = "error: no check strings found with prefix ";
constexpr std::string_view noCheckStringsMany = "error: no check strings found with prefixes ";
constexpr std::string_view listedPrefix = "'{0}:'";
constexpr std::string_view prefixSeparator = ", ";
} // namespace text

bool isWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool isModifierBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t countLineFeeds(std::string_view text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Offset of the first line break at or after `at`, or the size of `text`.
// A plain scan: find_first_of would search its set once for every byte.
size_t lineEndFrom(std::string_view text, size_t at) {
  if (at >= text.size())
    return text.size();
  auto isBreak = [](char c) { return c == '\n' || c == '\r'; };
  return static_cast<size_t>(
      std::find_if(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), isBreak) -
      text.begin());
}

// The modifier block starting at the '{' at `at`: one or more LITERAL words
// separated by commas, blanks (line breaks included) around them, closed by
// "}:".
DirectiveSuffix parseModifierBlock(std::string_view text, size_t at, DirectiveType type) {
  size_t i = at;
  for (;;) {
    ++i; // the '{' or the ','
    while (i < text.size() && isModifierBlank(text[i]))
      ++i;
    if (text.substr(i, literalModifierWord.size()) != literalModifierWord)
      return {};
    i += literalModifierWord.size();
    while (i < text.size() && isModifierBlank(text[i]))
      ++i;
    if (i < text.size() && text[i] == ',')
      continue;
    if (text.substr(i, 2) != "}:")
      return {};
    type.modifiers |= LiteralModifier;
    return {type, i + 2};
  }
}

// What may follow the suffix word (or the count, or the bare prefix): a
// ':' or a modifier block.
DirectiveSuffix parseSuffixEnd(std::string_view text, size_t at, DirectiveType type) {
  if (at < text.size() && text[at] == ':')
    return {type, at + 1};
  if (at < text.size() && text[at] == '{')
    return parseModifierBlock(text, at, type);
  return {};
}

// `text` starts with "-COUNT-".
DirectiveSuffix parseCount(std::string_view text) {
  const size_t digitsAt = 1 + countSuffixWord.size() + 1;
  size_t i = digitsAt;
  bool isNegative = i < text.size() && text[i] == '-';
  if (isNegative)
    ++i;
  size_t firstDigit = i;
  // Saturate: any value above the largest count is as bad as an overflow.
  uint64_t value = 0;
  while (i < text.size() && isDigit(text[i])) {
    value =
        std::min<uint64_t>(value * 10 + static_cast<uint64_t>(text[i] - '0'), UINT64_C(1) << 40);
    ++i;
  }
  DirectiveType bad{DirectiveKind::BadCount, 1, 0};
  if (i == firstDigit)
    return {bad, digitsAt};
  if (isNegative || value < 1 || value > INT32_MAX)
    return {bad, i};
  if (i >= text.size() || (text[i] != ':' && text[i] != '{'))
    return {bad, i};
  return parseSuffixEnd(text, i, {DirectiveKind::Plain, static_cast<int32_t>(value), 0});
}

constexpr std::string_view badNotCombinations[] = {
    "DAG-NOT:",  "NOT-DAG:",  "NEXT-NOT:",  "NOT-NEXT:",
    "SAME-NOT:", "NOT-SAME:", "EMPTY-NOT:", "NOT-EMPTY:",
};

// "COUNT-": a count follows.
bool startsCount(std::string_view suffix) {
  return suffix.starts_with(countSuffixWord) &&
         suffix.substr(countSuffixWord.size()).starts_with('-');
}

// `text` starts with '-'.
DirectiveSuffix parseDashSuffix(std::string_view text) {
  std::string_view suffix = text.substr(1);
  if (startsCount(suffix))
    return parseCount(text);
  for (std::string_view combination : badNotCombinations)
    if (suffix.starts_with(combination))
      return {{DirectiveKind::BadNot, 1, 0}, 1};
  // No suffix word begins another, so the first that fits is the one.
  for (const DirectiveKindNames &names : directiveKindNames)
    if (!names.suffixWord.empty() && suffix.starts_with(names.suffixWord))
      return parseSuffixEnd(text, 1 + names.suffixWord.size(), {names.kind, 1, 0});
  return {};
}

} // namespace

DirectiveSuffix parseDirectiveSuffix(std::string_view afterPrefix, bool isCommentPrefix) {
  if (afterPrefix.empty())
    return {};
  if (isCommentPrefix) {
    if (afterPrefix[0] == ':')
      return {{DirectiveKind::Comment, 1, 0}, 1};
    return {};
  }
  switch (afterPrefix[0]) {
  case ':':
  case '{':
    return parseSuffixEnd(afterPrefix, 0, {DirectiveKind::Plain, 1, 0});
  case '-':
    return parseDashSuffix(afterPrefix);
  default:
    return {};
  }
}

namespace {

// One prefix occurrence that is a directive.
struct FoundDirective {
  std::string_view prefix; // a view into the check text
  DirectiveSuffix suffix;
};

// Finds the check and comment prefixes in the check text as plain text:
// the next occurrence of each prefix is remembered until the search passes
// it, so each prefix costs one scan of the text in all.
class PrefixFinder {
public:
  PrefixFinder(std::string_view text, const CheckRequest &request) : text(text) {
    for (std::string_view prefix : request.checkPrefixes)
      prefixes.push_back({prefix, 0, false});
    for (std::string_view prefix : request.commentPrefixes)
      prefixes.push_back({prefix, 0, false});
  }

  // The leftmost occurrence of any prefix at or after `from`, the longest
  // one where several start there; empty with null data when there is none.
  std::string_view find(size_t from) {
    const Candidate *best = nullptr;
    for (Candidate &candidate : prefixes) {
      if (!candidate.isKnown || candidate.next < from) {
        candidate.next = nextOccurrence(candidate.prefix, from);
        candidate.isKnown = true;
      }
      if (candidate.next == std::string_view::npos)
        continue;
      if (!best || candidate.next < best->next ||
          (candidate.next == best->next && candidate.prefix.size() > best->prefix.size()))
        best = &candidate;
    }
    if (!best)
      return {};
    return text.substr(best->next, best->prefix.size());
  }

private:
  struct Candidate {
    std::string_view prefix;
    size_t next;
    bool isKnown;
  };

  size_t nextOccurrence(std::string_view prefix, size_t from) const {
    if (prefix.empty() || from > text.size())
      return std::string_view::npos;
    size_t found = findText(text.substr(from), prefix);
    return found == std::string_view::npos ? found : from + found;
  }

  std::string_view text;
  std::vector<Candidate> prefixes;
};

bool isCommentPrefix(std::string_view prefix, const std::vector<std::string_view> &comments) {
  return std::find(comments.begin(), comments.end(), prefix) != comments.end();
}

// Moves `position` (the reading position in `text`) to the next prefix
// occurrence that is a directive and returns it; nothing when there is none
// left. An occurrence inside a word, or one that no suffix makes a
// directive, is skipped together with the rest of its word.
std::optional<FoundDirective> scanToDirective(std::string_view text, PrefixFinder &finder,
                                              size_t &position,
                                              const std::vector<std::string_view> &comments) {
  auto skipWord = [&](size_t prefixLength) {
    position += prefixLength;
    while (position < text.size() && isWordByte(text[position]))
      ++position;
  };
  while (position < text.size()) {
    std::string_view prefix = finder.find(position);
    if (prefix.data() == nullptr)
      return std::nullopt;
    size_t start = static_cast<size_t>(prefix.data() - text.data());
    bool hasSkipped = start > position;
    position = start;
    // An empty match would never advance; validated prefixes cannot give one.
    if (prefix.empty()) {
      ++position;
      continue;
    }
    if (hasSkipped && isWordByte(text[start - 1])) {
      skipWord(prefix.size());
      continue;
    }
    DirectiveSuffix suffix =
        parseDirectiveSuffix(text.substr(start + prefix.size()), isCommentPrefix(prefix, comments));
    if (suffix.type.kind != DirectiveKind::None)
      return FoundDirective{prefix, suffix};
    skipWord(prefix.size());
  }
  return std::nullopt;
}

class CheckReader {
public:
  CheckReader(const CheckRequest &request, PatternContext &context,
              std::vector<CheckDirective> &directives,
              std::vector<CheckPattern> &implicitNotPatterns, SourceManager &sourceManager,
              std::string_view checkText, const DirectiveListener &listener)
      : request(request), context(context), directives(directives),
        implicitNotPatterns(implicitNotPatterns), sourceManager(sourceManager), text(checkText),
        prefixFinder(checkText, request), listener(listener) {}

  bool run(ImplicitBufferRange *implicitBufferRange);

private:
  bool readImplicitPatterns(ImplicitBufferRange *implicitBufferRange);
  std::optional<FoundDirective> findNextDirective();
  size_t patternStart(const FoundDirective &found) const;
  bool readDirective(const FoundDirective &found);
  bool fileDirective(CheckPattern pattern, std::string_view prefix, std::string_view patternText);
  bool acceptEnd();
  void reportError(const char *at, const std::string &message) const {
    sourceManager.emitDiagnostic(SourceLocation::fromPointer(at), DiagKind::Error, message);
  }

  const CheckRequest &request;
  PatternContext &context;
  std::vector<CheckDirective> &directives;
  std::vector<CheckPattern> &implicitNotPatterns;
  SourceManager &sourceManager;
  std::string_view text;
  PrefixFinder prefixFinder;
  const DirectiveListener &listener;

  // Offset of the reading position in `text`.
  size_t position = 0;
  size_t lineNumber = 1;
  std::vector<CheckPattern> pendingNotDag;
  // std::string_view orders byte-wise, a prefix of a string before it.
  std::set<std::string_view> unseenPrefixes;
};

bool CheckReader::run(ImplicitBufferRange *implicitBufferRange) {
  if (implicitBufferRange)
    *implicitBufferRange = ImplicitBufferRange();
  if (Error error = context.defineCommandLineVariables(request.globalDefines, sourceManager)) {
    printAllErrors(std::move(error), standardError(), "");
    return true;
  }
  context.makeLineVariable();
  if (readImplicitPatterns(implicitBufferRange))
    return true;
  unseenPrefixes.insert(request.checkPrefixes.begin(), request.checkPrefixes.end());
  // Room for every directive and the end-of-file one, taken once: a
  // directive's pattern ends at a line break, and the next one starts after
  // it, so there are at most as many directives as line breaks plus one.
  // Room that no directive takes (other lines, comments, NOT and DAG
  // patterns) is never touched and costs no memory.
  size_t breaks = static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }));
  directives.reserve(directives.size() + breaks + 2);
  adviseHugePages(directives.data() + directives.size(),
                  (directives.capacity() - directives.size()) * sizeof(CheckDirective));
  while (std::optional<FoundDirective> found = findNextDirective())
    if (readDirective(*found))
      return true;
  return !acceptEnd();
}

bool CheckReader::readImplicitPatterns(ImplicitBufferRange *implicitBufferRange) {
  for (std::string_view given : request.implicitCheckNot) {
    std::string line(text::implicitCheckNotLead);
    line += given;
    line += text::implicitCheckNotTrail;
    unsigned number = sourceManager.addBuffer(makeTextBufferCopy(line, text::implicitBufferName));
    if (implicitBufferRange) {
      if (implicitBufferRange->first == implicitBufferRange->end)
        *implicitBufferRange = {number, number + 1};
      else
        ++implicitBufferRange->end;
    }
    std::string_view patternText =
        sourceManager.buffer(number).text().substr(text::implicitCheckNotLead.size(), given.size());
    CheckPattern pattern({DirectiveKind::Not, 1, 0}, std::nullopt, &context);
    if (pattern.compilePattern(patternText, text::implicitPrefix, sourceManager, request))
      return true;
    implicitNotPatterns.push_back(std::move(pattern));
  }
  return false;
}

std::optional<FoundDirective> CheckReader::findNextDirective() {
  size_t from = position;
  std::optional<FoundDirective> found =
      scanToDirective(text, prefixFinder, position, request.commentPrefixes);
  // Skipped words hold no line feeds, so counting over the whole stretch
  // gives the same number as counting piece by piece.
  lineNumber += countLineFeeds(text.substr(from, position - from));
  return found;
}

// Offset of the pattern text of the directive found at the reading
// position: after its suffix and, unless blanks are significant there, after
// the blanks that follow. A directive that ends the text has an empty
// pattern at the end of the text; moving back to just after the prefix would
// turn its own ':' into the pattern.
size_t CheckReader::patternStart(const FoundDirective &found) const {
  size_t at = position + found.prefix.size() + found.suffix.end;
  if (!(request.strictWhitespace && request.matchFullLines))
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
      ++at;
  return at;
}

bool CheckReader::readDirective(const FoundDirective &found) {
  std::string_view prefix = found.prefix;
  DirectiveKind kind = found.suffix.type.kind;
  if (kind != DirectiveKind::Comment)
    unseenPrefixes.erase(prefix);
  size_t afterPrefix = position + prefix.size();
  size_t at = afterPrefix + found.suffix.end;
  if (kind == DirectiveKind::BadCount || kind == DirectiveKind::BadNot) {
    // At the very end of the text, point just after the prefix instead.
    const char *where = text.data() + (at >= text.size() ? afterPrefix : at);
    if (kind == DirectiveKind::BadCount)
      reportError(where, formatPositionalString(text::invalidCount, prefix));
    else
      reportError(where, formatPositionalString(text::unsupportedNotCombo, prefix));
    return true;
  }
  at = patternStart(found);
  size_t lineEnd = lineEndFrom(text, at);
  std::string_view patternText = text.substr(at, lineEnd - at);
  // A modifier block may span lines; count them once the directive is filed
  // under the line of its prefix.
  size_t blockLines = countLineFeeds(text.substr(position, at - position));
  position = lineEnd;
  if (listener)
    listener({prefix, found.suffix.type, patternText});
  if (kind != DirectiveKind::Comment) {
    CheckPattern pattern(found.suffix.type, lineNumber, &context);
    if (pattern.compilePattern(patternText, prefix, sourceManager, request))
      return true;
    if (fileDirective(std::move(pattern), prefix, patternText))
      return true;
  }
  lineNumber += blockLines;
  return false;
}

bool CheckReader::fileDirective(CheckPattern pattern, std::string_view prefix,
                                std::string_view patternText) {
  DirectiveKind kind = pattern.type.kind;
  if ((kind == DirectiveKind::Next || kind == DirectiveKind::Same ||
       kind == DirectiveKind::Empty) &&
      directives.empty()) {
    std::string_view word = directiveKindNames[static_cast<size_t>(kind)].suffixWord;
    reportError(prefix.data(), formatPositionalString(text::withoutPrevious, prefix, word));
    return true;
  }
  if (kind == DirectiveKind::Not || kind == DirectiveKind::Dag) {
    pendingNotDag.push_back(std::move(pattern));
    return false;
  }
  if (kind == DirectiveKind::Label && pattern.hasVariables()) {
    reportError(prefix.data(), formatPositionalString(text::labelWithVariable, prefix));
    return true;
  }
  directives.push_back({std::move(pattern), prefix, SourceLocation::fromPointer(patternText.data()),
                        std::move(pendingNotDag)});
  pendingNotDag.clear();
  return false;
}

// True when the check file is acceptable; prints the unused-prefix error
// otherwise.
bool CheckReader::acceptEnd() {
  std::set<std::string_view> distinct(request.checkPrefixes.begin(), request.checkPrefixes.end());
  size_t unseen = unseenPrefixes.size();
  bool isAccepted = (unseen < distinct.size() && (unseen == 0 || request.allowUnusedPrefixes)) ||
                    (!implicitNotPatterns.empty() && request.isDefaultCheckPrefix);
  if (!isAccepted) {
    OutputStream &os = standardError();
    os << (unseen > 1 ? text::noCheckStringsMany : text::noCheckStringsOne);
    bool isFirst = true;
    for (std::string_view prefix : unseenPrefixes) {
      if (!isFirst)
        os << text::prefixSeparator;
      isFirst = false;
      formatPositional(os, text::listedPrefix, prefix);
    }
    os << "\n";
    return false;
  }
  if (pendingNotDag.empty() && implicitNotPatterns.empty())
    return true;
  SourceLocation end = SourceLocation::fromPointer(text.data() + position);
  CheckPattern pattern({DirectiveKind::EndOfFile, 1, 0}, lineNumber + 1, &context);
  pattern.location = end;
  // The prefix lists are never empty once buildPrefixRegex has run.
  std::string_view prefix =
      request.checkPrefixes.empty() ? defaultCheckPrefixes[0] : request.checkPrefixes.front();
  directives.push_back({std::move(pattern), prefix, end, std::move(pendingNotDag)});
  pendingNotDag.clear();
  return true;
}

} // namespace

bool readDirectives(const CheckRequest &request, PatternContext &context,
                    std::vector<CheckDirective> &directives,
                    std::vector<CheckPattern> &implicitNots, SourceManager &sourceManager,
                    std::string_view checkText, const DirectiveListener &listener,
                    ImplicitBufferRange *implicitBufferRange) {
  CheckReader reader(request, context, directives, implicitNots, sourceManager, checkText,
                     listener);
  return reader.run(implicitBufferRange);
}

std::vector<CommentSighting> findCommentDirectives(std::string_view text,
                                                   const std::vector<std::string_view> &prefixes) {
  CheckRequest request;
  request.commentPrefixes = prefixes;
  PrefixFinder finder(text, request);
  std::vector<CommentSighting> found;
  size_t position = 0;
  size_t line = 1;
  size_t counted = 0;
  while (std::optional<FoundDirective> directive =
             scanToDirective(text, finder, position, request.commentPrefixes)) {
    line += countLineFeeds(text.substr(counted, position - counted));
    size_t at = position + directive->prefix.size() + directive->suffix.end;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
      ++at;
    size_t lineEnd = lineEndFrom(text, at);
    found.push_back({directive->prefix, line, text.substr(at, lineEnd - at)});
    counted = position;
    position = lineEnd;
  }
  return found;
}

} // namespace vetline
