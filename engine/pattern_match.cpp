// Matching one pattern against input text, and the fuzzy candidate search.
//
// Fixed text is found with memmem (or a memchr-driven scan when case is
// ignored); regex patterns get their substituted values spliced in and run
// through the regex engine once over the whole text. The fuzzy search tries
// at most 4096 start offsets and computes each edit distance only up to the
// best distance that could still win, along diagonals shared between
// offsets (see CappedEditDistance).
// Tested by pattern_match_test.cpp.
#include "engine/pattern_match.h"

#include "engine/engine_errors.h"
#include "engine/pattern_context.h"
#include "support/format.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
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
Error locateSubstitutionError(Error error, const Substitution &substitution,
                              const SourceManager &sourceManager) {
  return dispatchErrors(
      std::move(error),
      [&](const ValueOverflowError &) -> Error {
        return makeLocatedError(sourceManager, substitution.fromText, text::substitutionOverflow);
      },
      [&](const UndefinedVariableError &undefined) -> Error {
        return makeLocatedError(sourceManager, undefined.variableName(), undefined.message());
      });
}

// The pattern's regex with every substituted value inserted; on failure,
// every substitution error, in pattern order.
Fallible<std::string> substituteValues(const CheckPattern &pattern,
                                       const SourceManager &sourceManager) {
  std::string working = pattern.regexText;
  Error errors;
  size_t shift = 0;
  for (const Substitution *substitution : pattern.substitutions) {
    Fallible<std::string> value = substitution->valueText();
    if (!value) {
      errors =
          combineErrors(std::move(errors), locateSubstitutionError(value.extractError(),
                                                                   *substitution, sourceManager));
      continue;
    }
    working.insert(substitution->insertIndex + shift, *value);
    shift += value->size();
  }
  if (errors)
    return errors;
  return working;
}

bool isEscapable(char c) { return c == '\0' || std::strchr("()^$|*+?.[]\\{}", c) != nullptr; }

// The text matched by a regex made only of escaped literal bytes (as
// substituted values and escaped pattern text are); none when the regex
// holds any operator.
std::optional<std::string> literalOf(std::string_view regex) {
  std::string literal;
  literal.reserve(regex.size());
  for (size_t i = 0; i < regex.size(); ++i) {
    char c = regex[i];
    if (c == '\\') {
      if (i + 1 == regex.size() || !isEscapable(regex[i + 1]))
        return std::nullopt;
      literal += regex[++i];
    } else if (isEscapable(c)) {
      return std::nullopt;
    } else {
      literal += c;
    }
  }
  return literal;
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
  for (const auto &[name, group] : pattern.stringVarDefs)
    context.setStringValue(name, captureOf(groups, group));
}

// Reads each numeric capture into its variable. The first text that does
// not convert is the error: the match stands, and that variable and those
// not reached yet keep their previous values.
Error convertNumericCaptures(const CheckPattern &pattern,
                             const std::vector<std::string_view> &groups,
                             const SourceManager &sourceManager) {
  if (!pattern.numericVarDefs)
    return success();
  PatternContext &context = *pattern.context;
  for (const auto &entry : *pattern.numericVarDefs) {
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

// Edit distances between the example and candidates that all lie in one
// text, each capped at a limit: min(distance, limit + 1). The distance is
// found along diagonals (Ukkonen's furthest-reaching points), so a
// candidate costs O(limit^2) slides instead of O(limit * length) cells,
// and each slide compares eight bytes at a time. Candidates at nearby
// offsets share diagonals of the text, so the last run of equal bytes found
// on each diagonal is kept and answers later slides that start inside it:
// periodic text, where every offset is a near miss, is compared only once.
class CappedEditDistance {
public:
  CappedEditDistance(std::string_view text, std::string_view example, size_t offsets,
                     uint32_t maxLimit)
      : text(text), example(example), margin(size_t{maxLimit} + 1),
        runs(offsets + 2 * margin + 1) {}

  // min(distance(example, text.substr(offset, length)), limit + 1);
  // limit at most the constructor's maxLimit.
  uint32_t distance(size_t offset, size_t length, uint32_t limit) {
    size_t m = example.size();
    size_t n = length;
    uint32_t beyond = limit + 1;
    if ((m > n ? m - n : n - m) > limit)
      return beyond;
    // furthest[d + limit + 1]: the furthest example position reached on
    // diagonal d (candidate position minus example position) with the
    // current number of edits; `unreached` where none has been yet.
    furthest.assign(2 * size_t{limit} + 3, unreached);
    ptrdiff_t target = static_cast<ptrdiff_t>(n) - static_cast<ptrdiff_t>(m);
    ptrdiff_t k = static_cast<ptrdiff_t>(limit);
    auto at = [&](ptrdiff_t d) -> ptrdiff_t & { return furthest[static_cast<size_t>(d + k + 1)]; };
    previous = furthest;
    for (ptrdiff_t edits = 0; edits <= k; ++edits) {
      ptrdiff_t low = std::max<ptrdiff_t>(-edits, -static_cast<ptrdiff_t>(m));
      ptrdiff_t high = std::min<ptrdiff_t>(edits, static_cast<ptrdiff_t>(n));
      for (ptrdiff_t d = low; d <= high; ++d) {
        ptrdiff_t i;
        if (edits == 0) {
          i = 0;
        } else {
          auto before = [&](ptrdiff_t diagonal) {
            return previous[static_cast<size_t>(diagonal + k + 1)];
          };
          i = unreached;
          if (before(d) != unreached)
            i = std::max(i, before(d) + 1); // replace
          if (d - 1 >= -k && before(d - 1) != unreached)
            i = std::max(i, before(d - 1)); // insert into the example
          if (d + 1 <= k && before(d + 1) != unreached)
            i = std::max(i, before(d + 1) + 1); // delete from the example
          if (i == unreached)
            continue;
        }
        i = std::max<ptrdiff_t>(i, -d);
        i = std::min<ptrdiff_t>(i, std::min<ptrdiff_t>(static_cast<ptrdiff_t>(m),
                                                       static_cast<ptrdiff_t>(n) - d));
        at(d) = slide(offset, n, static_cast<size_t>(i), d);
      }
      if (target >= low && target <= high && at(target) != unreached &&
          at(target) >= static_cast<ptrdiff_t>(m))
        return static_cast<uint32_t>(edits);
      previous = furthest;
    }
    return beyond;
  }

private:
  static constexpr ptrdiff_t unreached = std::numeric_limits<ptrdiff_t>::min() / 4;

  struct Run {
    size_t from = 1;
    size_t to = 0; // from > to: nothing known yet
  };

  // The first example position at or after `i` where the example and the
  // candidate at `offset` (of length n) differ on diagonal d, or the end of
  // either.
  ptrdiff_t slide(size_t offset, size_t n, size_t i, ptrdiff_t d) {
    size_t limitInCandidate = static_cast<size_t>(static_cast<ptrdiff_t>(n) - d);
    if (i >= limitInCandidate || i >= example.size())
      return static_cast<ptrdiff_t>(i);
    // The text position of example position 0 on this diagonal (negative
    // before the text starts; positions compared are never before it).
    ptrdiff_t base = static_cast<ptrdiff_t>(offset) + d;
    Run &run = runs[static_cast<size_t>(base + static_cast<ptrdiff_t>(margin))];
    size_t end;
    if (run.from <= i && i <= run.to) {
      end = run.to;
    } else {
      end = equalRunEnd(i, base);
      run = {i, end};
    }
    return static_cast<ptrdiff_t>(std::min(end, limitInCandidate));
  }

  // The first position p >= i with example[p] != text[p + base], bounded by
  // the example's and the text's ends.
  size_t equalRunEnd(size_t i, ptrdiff_t base) const {
    size_t end = std::min(example.size(),
                          static_cast<size_t>(static_cast<ptrdiff_t>(text.size()) - base));
    const char *shifted = text.data() + (base + static_cast<ptrdiff_t>(i));
    while (i + 8 <= end) {
      uint64_t a;
      uint64_t b;
      std::memcpy(&a, example.data() + i, 8);
      std::memcpy(&b, shifted, 8);
      if (a != b) {
        if constexpr (std::endian::native == std::endian::little)
          return i + static_cast<size_t>(std::countr_zero(a ^ b) / 8);
        else
          return i + static_cast<size_t>(std::countl_zero(a ^ b) / 8);
      }
      i += 8;
      shifted += 8;
    }
    while (i < end && example[i] == *shifted) {
      ++i;
      ++shifted;
    }
    return i;
  }

  std::string_view text;
  std::string_view example;
  size_t margin;
  std::vector<Run> runs;
  std::vector<ptrdiff_t> furthest;
  std::vector<ptrdiff_t> previous;
};

} // namespace

const Regex &RegexCache::regexFor(const CheckPattern &pattern) {
  RegexOptions options = regexOptionsOf(pattern);
  std::string key = pattern.regexText;
  key += static_cast<char>('0' + static_cast<unsigned>(options));
  // Most regexes of a long check file are searched once and never again;
  // keeping every one of them would cost about a kilobyte per directive.
  // Starting over now and then bounds that, while the few regexes that
  // really repeat are compiled again only once per round.
  constexpr size_t maxCompiled = 4096;
  if (compiled.size() >= maxCompiled && !compiled.contains(key))
    compiled.clear();
  std::unique_ptr<Regex> &slot = compiled[key];
  if (!slot)
    slot = std::make_unique<Regex>(pattern.regexText, options);
  return *slot;
}

size_t findFixedText(std::string_view haystack, std::string_view needle, bool ignoreCase) {
  if (needle.empty())
    return 0;
  if (needle.size() > haystack.size())
    return std::string_view::npos;
  if (ignoreCase)
    return findFolded(haystack, needle);
  const void *found = memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
  return found ? static_cast<size_t>(static_cast<const char *>(found) - haystack.data())
               : std::string_view::npos;
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
  if (!pattern.substitutions.empty()) {
    PatternContext &context = *pattern.context;
    if (pattern.lineNumber && context.lineVariable())
      context.setNumericValue(context.lineVariable(), ExprValue::fromUnsigned(*pattern.lineNumber),
                              std::nullopt);
    Fallible<std::string> regexText = substituteValues(pattern, sourceManager);
    if (!regexText)
      return MatchOutcome::failed(regexText.extractError());
    // Most substituted patterns are plain text around escaped values: find
    // them like fixed text instead of compiling a regex for every search.
    // The first occurrence is what the regex would match; an empty text is
    // left to the regex engine, which refuses it.
    std::optional<std::string> literal = literalOf(*regexText);
    if (literal && !literal->empty()) {
      size_t position = findFixedText(text, *literal, pattern.ignoreCase);
      if (position == std::string_view::npos)
        return MatchOutcome::failed(newError<NoMatchError>());
      return MatchOutcome::found(position, literal->size());
    }
    Regex regex(*regexText, regexOptionsOf(pattern));
    return matchRegex(pattern, regex, text, sourceManager);
  }
  if (cache)
    return matchRegex(pattern, cache->regexFor(pattern), text, sourceManager);
  Regex regex(pattern.regexText, regexOptionsOf(pattern));
  return matchRegex(pattern, regex, text, sourceManager);
}

MatchOutcome CheckPattern::findMatch(std::string_view text,
                                     const SourceManager &sourceManager) const {
  return findPatternMatch(*this, text, sourceManager, nullptr);
}

uint32_t editDistance(std::string_view from, std::string_view to) {
  std::vector<uint32_t> row(to.size() + 1);
  for (size_t j = 0; j <= to.size(); ++j)
    row[j] = static_cast<uint32_t>(j);
  for (size_t i = 1; i <= from.size(); ++i) {
    uint32_t diagonal = row[0];
    row[0] = static_cast<uint32_t>(i);
    for (size_t j = 1; j <= to.size(); ++j) {
      uint32_t cost = diagonal + (from[i - 1] == to[j - 1] ? 0 : 1);
      cost = std::min(cost, std::min(row[j], row[j - 1]) + 1);
      diagonal = row[j];
      row[j] = cost;
    }
  }
  return row[to.size()];
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
  return closestCandidateIn(text, fixedText.empty() ? std::string_view(regexText) : fixedText);
}

} // namespace vetline
