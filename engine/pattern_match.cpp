// Matching one pattern against input text, and the fuzzy candidate search.
//
// Fixed text is found with findText (or a memchr-driven scan when case is
// ignored); regex patterns get their substituted values spliced in and run
// through the regex engine once over the whole text. The fuzzy search tries
// at most 4096 start offsets and computes each edit distance only up to the
// best distance that could still win, along diagonals shared between
// offsets (see CappedEditDistance in support/edit_distance.h).
// Tested by pattern_match_test.cpp.
#include "engine/pattern_match.h"

#include "engine/engine_errors.h"
#include "engine/pattern_context.h"
#include "support/edit_distance.h"
#include "support/format.h"
#include "support/text_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them. "{N}" stands for a value filled
// in by formatPositional.
namespace text {
constexpr std::string_view substitutionOverflow =
    "unable to substitute variable or numeric expression: overflow error";
constexpr std::string_view invalidRegex = "invalid regex: {0}";
constexpr std::string_view unsearchableRegex = "unable to search for regex: {0}";
} // namespace text

// Start offsets tried by the fuzzy search; bounds its cost on huge inputs.
constexpr size_t maxCandidateOffsets = 4096;
// A candidate needs fewer edits than this (line penalty included).
constexpr double maxCandidateQuality = 50.0;

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsFolded(const char *text, std::string_view foldedNeedle) {
  for (size_t i = 0; i < foldedNeedle.size(); ++i)
    if (foldAscii(text[i]) != foldedNeedle[i])
      return false;
  return true;
}

const char *findByte(const char *from, const char *end, char byte) {
  return static_cast<const char *>(std::memchr(from, byte, static_cast<size_t>(end - from)));
}

// Case-insensitive search: memchr finds the next candidate for each case of
// the first byte, and each of the two positions is only searched again once
// the scan has passed it, so the text is read a bounded number of times.
size_t findFolded(std::string_view haystack, std::string_view needle) {
  std::string folded(needle);
  for (char &c : folded)
    c = foldAscii(c);
  char lower = folded[0];
  char upper = lower >= 'a' && lower <= 'z' ? static_cast<char>(lower - 'a' + 'A') : lower;
  const char *start = haystack.data();
  // One past the last offset where the needle still fits.
  const char *end = start + (haystack.size() - needle.size()) + 1;
  const char *nextLower = findByte(start, end, lower);
  const char *nextUpper = upper == lower ? nullptr : findByte(start, end, upper);
  while (nextLower || nextUpper) {
    const char *candidate =
        !nextUpper || (nextLower && nextLower < nextUpper) ? nextLower : nextUpper;
    if (equalsFolded(candidate, folded))
      return static_cast<size_t>(candidate - start);
    if (candidate == nextLower)
      nextLower = findByte(candidate + 1, end, lower);
    else
      nextUpper = findByte(candidate + 1, end, upper);
  }
  return std::string_view::npos;
}

// The substitution's failure as errors located in the check file.
Error locateSubstitutionError(Error error, const CheckPattern &pattern,
                              const Substitution &substitution,
                              const SourceManager &sourceManager) {
  return dispatchErrors(
      std::move(error),
      [&](const ValueOverflowError &) -> Error {
        return makeLocatedError(sourceManager, pattern.inOwnText(substitution.fromText),
                                text::substitutionOverflow);
      },
      [&](const UndefinedVariableError &undefined) -> Error {
        return makeLocatedError(sourceManager, pattern.inOwnText(undefined.variableName()),
                                undefined.message());
      });
}

// Calls `insert` with each substitution (and its index) in pattern order;
// returns every failure it gives, located, in that order.
template <typename Insert>
Error insertValues(const CheckPattern &pattern, const SourceManager &sourceManager, Insert insert) {
  Error errors;
  std::span<Substitution *const> substitutions = pattern.substitutions();
  for (size_t i = 0; i < substitutions.size(); ++i) {
    Error failure = insert(i, *substitutions[i]);
    if (failure)
      errors = combineErrors(
          std::move(errors),
          locateSubstitutionError(std::move(failure), pattern, *substitutions[i], sourceManager));
  }
  return errors;
}

// The pattern's regex with every substituted value inserted; on failure,
// every substitution error, in pattern order.
Fallible<std::string> substituteValues(const CheckPattern &pattern,
                                       const SourceManager &sourceManager) {
  std::string working(pattern.regexText());
  size_t shift = 0;
  Error errors =
      insertValues(pattern, sourceManager, [&](size_t, const Substitution &substitution) {
        Fallible<std::string> value = substitution.valueText();
        if (!value)
          return value.extractError();
        working.insert(substitution.insertIndex + shift, *value);
        shift += value->size();
        return success();
      });
  if (errors)
    return errors;
  return working;
}

// The text a pattern of literal pieces matches: the pieces with the values
// between them, built in one buffer kept across searches, as every line of
// a check file like `line [[#@LINE]]:` makes one. Valid until the next call.
Fallible<std::string_view> substituteLiteral(const CheckPattern &pattern,
                                             const SourceManager &sourceManager) {
  static std::string needle;
  std::span<const std::string_view> pieces = pattern.literalPieces();
  needle.assign(pieces[0]);
  Error errors =
      insertValues(pattern, sourceManager, [&](size_t i, const Substitution &substitution) {
        Error failure = substitution.appendValue(needle);
        needle += pieces[i + 1];
        return failure;
      });
  if (errors)
    return errors;
  return std::string_view(needle);
}

Error regexError(const CheckPattern &pattern, const SourceManager &sourceManager,
                 std::string_view message) {
  return makeLocatedError(sourceManager, pattern.location, message,
                          SourceRange{pattern.location, pattern.location});
}

// A capture group that took no part in the match has no data; keep the
// variable's value inside the input so that later reports can locate it.
std::string_view captureOf(const std::vector<std::string_view> &groups, uint32_t group) {
  if (group < groups.size() && groups[group].data())
    return groups[group];
  return std::string_view(groups[0].data(), 0);
}

void recordStringCaptures(const CheckPattern &pattern,
                          const std::vector<std::string_view> &groups) {
  PatternContext &context = *pattern.context;
  for (const auto &[name, group] : pattern.stringVarDefs())
    context.setStringValue(name, captureOf(groups, group));
}

// Reads each numeric capture into its variable. The first text that does
// not convert is the error: the match stands, and that variable and those
// not reached yet keep their previous values.
Error convertNumericCaptures(const CheckPattern &pattern,
                             const std::vector<std::string_view> &groups,
                             const SourceManager &sourceManager) {
  if (!pattern.numericVarDefs())
    return success();
  PatternContext &context = *pattern.context;
  for (const auto &entry : *pattern.numericVarDefs()) {
    NumericVar *variable = entry.value.variable;
    std::string_view text = captureOf(groups, entry.value.group);
    Fallible<ExprValue> value = variable->format.valueFromText(text, sourceManager);
    if (!value)
      return value.extractError();
    context.setNumericValue(variable, *value, text);
  }
  return success();
}

MatchOutcome matchRegex(const CheckPattern &pattern, const Regex &regex, std::string_view text,
                        const SourceManager &sourceManager) {
  std::string problem;
  if (!regex.isValid(problem))
    return MatchOutcome::failed(
        regexError(pattern, sourceManager, formatPositionalString(text::invalidRegex, problem)));
  std::vector<std::string_view> groups;
  if (!regex.match(text, &groups, &problem)) {
    if (!problem.empty())
      return MatchOutcome::failed(regexError(
          pattern, sourceManager, formatPositionalString(text::unsearchableRegex, problem)));
    return MatchOutcome::failed(newError<NoMatchError>());
  }
  recordStringCaptures(pattern, groups);
  size_t position = static_cast<size_t>(groups[0].data() - text.data());
  size_t length = groups[0].size();
  // The empty-line regex starts with the line feed that ends the previous
  // line; the match itself is the empty line after it.
  size_t skip = pattern.type.kind == DirectiveKind::Empty ? std::min<size_t>(1, length) : 0;
  MatchOutcome outcome = MatchOutcome::found(position + skip, length - skip);
  outcome.error = convertNumericCaptures(pattern, groups, sourceManager);
  return outcome;
}

} // namespace

const Regex &RegexCache::compiledFor(std::string_view text, RegexOptions options) {
  // A power of two: the slot is the hash's low bits.
  constexpr size_t slotCount = 256;
  if (slots.empty())
    slots.resize(slotCount);
  Slot &slot =
      slots[(std::hash<std::string_view>()(text) + static_cast<size_t>(options)) & (slotCount - 1)];
  if (!slot.regex || slot.options != options || slot.text != text) {
    slot.text.assign(text);
    slot.options = options;
    slot.regex.emplace(text, options);
  }
  return *slot.regex;
}

size_t findFixedText(std::string_view haystack, std::string_view needle, bool ignoreCase) {
  if (needle.empty())
    return 0;
  if (needle.size() > haystack.size())
    return std::string_view::npos;
  if (ignoreCase)
    return findFolded(haystack, needle);
  return findText(haystack, needle);
}

MatchOutcome findPatternMatch(const CheckPattern &pattern, std::string_view text,
                              const SourceManager &sourceManager, RegexCache *cache) {
  if (pattern.type.kind == DirectiveKind::EndOfFile)
    return MatchOutcome::found(text.size(), 0);
  if (!pattern.fixedText.empty()) {
    size_t position = findFixedText(text, pattern.fixedText, pattern.ignoreCase);
    if (position == std::string_view::npos)
      return MatchOutcome::failed(newError<NoMatchError>());
    return MatchOutcome::found(position, pattern.fixedText.size());
  }
  if (!pattern.substitutions().empty()) {
    PatternContext &context = *pattern.context;
    if (pattern.lineNumber && context.lineVariable())
      context.setNumericValue(context.lineVariable(), ExprValue::fromUnsigned(*pattern.lineNumber),
                              std::nullopt);
    // Most substituted patterns are plain text around the values: find them
    // like fixed text instead of compiling a regex for every search. The
    // first occurrence is what the regex would match; an empty text is left
    // to the regex engine, which refuses it.
    if (!pattern.literalPieces().empty()) {
      Fallible<std::string_view> literal = substituteLiteral(pattern, sourceManager);
      if (!literal)
        return MatchOutcome::failed(literal.extractError());
      if (!literal->empty()) {
        size_t position = findFixedText(text, *literal, pattern.ignoreCase);
        if (position == std::string_view::npos)
          return MatchOutcome::failed(newError<NoMatchError>());
        return MatchOutcome::found(position, literal->size());
      }
    }
    Fallible<std::string> regexText = substituteValues(pattern, sourceManager);
    if (!regexText)
      return MatchOutcome::failed(regexText.extractError());
    if (cache)
      return matchRegex(pattern, cache->compiledFor(*regexText, regexOptionsOf(pattern)), text,
                        sourceManager);
    Regex regex(*regexText, regexOptionsOf(pattern));
    return matchRegex(pattern, regex, text, sourceManager);
  }
  if (cache)
    return matchRegex(pattern, cache->regexFor(pattern), text, sourceManager);
  Regex regex(pattern.regexText(), regexOptionsOf(pattern));
  return matchRegex(pattern, regex, text, sourceManager);
}

MatchOutcome CheckPattern::findMatch(std::string_view text,
                                     const SourceManager &sourceManager) const {
  return findPatternMatch(*this, text, sourceManager, nullptr);
}

std::optional<size_t> closestCandidateIn(std::string_view text, std::string_view example) {
  size_t offsets = std::min(maxCandidateOffsets, text.size());
  std::optional<size_t> best;
  double bestQuality = 0.0;
  unsigned lineCount = 0;
  constexpr uint32_t maxLimit = static_cast<uint32_t>(maxCandidateQuality);
  CappedEditDistance capped(text, example, offsets, maxLimit);
  for (size_t i = 0; i < offsets; ++i) {
    char c = text[i];
    if (c == '\n')
      ++lineCount;
    if (c == ' ' || c == '\t')
      continue;
    std::string_view candidate = text.substr(i, example.size());
    size_t lineEnd = candidate.find('\n');
    if (lineEnd != std::string_view::npos)
      candidate = candidate.substr(0, lineEnd);
    // Only a distance that keeps the quality below both the best so far and
    // the acceptance limit can change the result, so larger ones may be
    // capped: a capped candidate is either beaten later or rejected at the
    // end anyway. The line count only grows, so `room` is an integer or at
    // least a hundredth below one, far beyond rounding errors.
    double room = (best ? std::min(bestQuality, maxCandidateQuality) : maxCandidateQuality) -
                  lineCount / 100.0;
    if (best && room <= 0)
      continue;
    uint32_t limit = static_cast<uint32_t>(std::ceil(room)) - 1;
    uint32_t distance = capped.distance(i, candidate.size(), std::min(limit, maxLimit));
    double quality = distance + lineCount / 100.0;
    if (!best || quality < bestQuality) {
      best = i;
      bestQuality = quality;
    }
  }
  if (!best || *best == 0 || !(bestQuality < maxCandidateQuality))
    return std::nullopt;
  return best;
}

std::optional<size_t> CheckPattern::closestCandidate(std::string_view text) const {
  return closestCandidateIn(text, fixedText.empty() ? std::string_view(regexText()) : fixedText);
}

} // namespace vetline
