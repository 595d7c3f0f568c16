// Directive checking. Each directive costs one search from the end of the
// previous match (several for COUNT), plus one search per NOT pattern over
// the text it guards. Every DAG pattern searches from its group's start
// (again after each overlap; a fixed text seen earlier in the group, or a
// regex without variables whose last match has had nothing placed before it
// since, from the end of that match), and its match is placed among the
// group's earlier ones by binary search, never by walking them all.
// Tested by check_verifier_test.cpp and the end-to-end cases under check/.
#include "engine/check_verifier.h"

#include "engine/check_directive.h"
#include "engine/engine_errors.h"
#include "engine/match_report.h"
#include "engine/pattern_context.h"
#include "engine/pattern_match.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vetline {

namespace {

constexpr size_t none = std::numeric_limits<size_t>::max();

// Cuts clamp to the region, so an offset past the end gives an empty tail.
std::string_view tailFrom(std::string_view region, size_t offset) {
  return region.substr(std::min(offset, region.size()));
}

std::string_view cut(std::string_view region, size_t offset, size_t length) {
  return tailFrom(region, offset).substr(0, length);
}

// True when searching the same text again is bound to find the same match:
// the pattern's regex cannot change through values its own match defines.
bool searchRepeatsItself(const CheckPattern &pattern) {
  return pattern.substitutions().empty() ||
         (pattern.stringVarDefs().empty() &&
          (!pattern.numericVarDefs() || pattern.numericVarDefs()->empty()));
}

// Half-open offsets of an accepted DAG match within the region.
struct DagRange {
  size_t from;
  size_t to;
};

// The number of `ranges` (sorted and disjoint) that end before `offset`.
size_t rangesEndingBefore(const std::vector<DagRange> &ranges, size_t offset) {
  auto first = std::lower_bound(ranges.begin(), ranges.end(), offset,
                                [](const DagRange &range, size_t at) { return range.to < at; });
  return static_cast<size_t>(first - ranges.begin());
}

class DirectiveChecker {
public:
  DirectiveChecker(const SourceManager &sourceManager, const CheckRequest &request,
                   const std::vector<CheckPattern> &implicitNots, MatchDiagList *diags)
      : sourceManager(sourceManager), request(request), implicitNots(implicitNots),
        reporter(sourceManager, request, diags) {}

  size_t checkDirective(const CheckDirective &directive, std::string_view region, bool labelScan,
                        size_t &matchLength);

private:
  using NotList = std::vector<const CheckPattern *>;

  size_t matchDagGroups(const CheckDirective &directive, std::string_view region, NotList &notList);
  bool matchDag(const CheckDirective &directive, const CheckPattern &dag, std::string_view region,
                size_t start, std::vector<DagRange> &ranges);
  bool verifyLine(const CheckDirective &directive, std::string_view skipped,
                  std::string_view region, size_t first, size_t matchLength);
  bool verifyNotPatterns(const CheckDirective &directive, std::string_view region,
                         const NotList &notList);

  MatchOutcome search(const CheckPattern &pattern, std::string_view text) {
    return findPatternMatch(pattern, text, sourceManager, &cache);
  }

  const SourceManager &sourceManager;
  const CheckRequest &request;
  // Checked before the NOT patterns of every directive.
  const std::vector<CheckPattern> &implicitNots;
  MatchReporter reporter;
  RegexCache cache;
  // For each fixed text of the current DAG group, the end of the match that
  // the last DAG pattern with that text accepted.
  std::unordered_map<std::string_view, size_t> fixedDagEnds;
  // The same for each regex without variables, with the number of ranges
  // that came before that match when it was accepted.
  struct RegexDagEnd {
    size_t end;
    size_t rangesBefore;
  };
  std::unordered_map<std::string_view, RegexDagEnd> regexDagEnds;
};

size_t DirectiveChecker::checkDirective(const CheckDirective &directive, std::string_view region,
                                        bool labelScan, size_t &matchLength) {
  const CheckPattern &pattern = directive.pattern;
  NotList notList;
  size_t lastPos = 0;
  if (!labelScan) {
    lastPos = matchDagGroups(directive, region, notList);
    if (lastPos == none)
      return none;
  }
  size_t first = 0;
  size_t end = lastPos;
  for (int repetition = 1; repetition <= pattern.type.count; ++repetition) {
    std::string_view searched = tailFrom(region, end);
    MatchOutcome outcome = search(pattern, searched);
    size_t position = outcome.position;
    size_t length = outcome.length;
    ReportSubject subject{pattern, directive.prefix, directive.location, repetition};
    if (reporter.reportOutcome(true, subject, searched, std::move(outcome)))
      return none;
    if (repetition == 1)
      first = lastPos + position;
    end += position + length;
    // An empty match right where the search began leaves the next search
    // the same text, so every remaining repetition would find the same
    // empty match; only -v shows them. A pattern that both uses variables
    // and defines them may search for something else next time.
    if (position == 0 && length == 0 && !request.verbose && searchRepeatsItself(pattern))
      break;
  }
  matchLength = end - first;
  if (labelScan)
    return first;

  std::string_view skipped = cut(region, lastPos, first > lastPos ? first - lastPos : 0);
  if (verifyLine(directive, skipped, region, first, matchLength))
    return none;
  if (verifyNotPatterns(directive, skipped, notList))
    return none;
  return first;
}

size_t DirectiveChecker::matchDagGroups(const CheckDirective &directive, std::string_view region,
                                        NotList &notList) {
  const std::vector<CheckPattern> &patterns = directive.notDagPatterns;
  for (const CheckPattern &implicitNot : implicitNots)
    notList.push_back(&implicitNot);
  size_t start = 0;
  std::vector<DagRange> ranges;
  fixedDagEnds.clear();
  regexDagEnds.clear();
  for (size_t index = 0; index < patterns.size(); ++index) {
    const CheckPattern &pattern = patterns[index];
    if (pattern.type.kind == DirectiveKind::Not) {
      notList.push_back(&pattern);
      continue;
    }
    if (!matchDag(directive, pattern, region, start, ranges))
      return none;
    bool groupEnds =
        index + 1 == patterns.size() || patterns[index + 1].type.kind == DirectiveKind::Not;
    if (!groupEnds)
      continue;
    if (!notList.empty()) {
      size_t leftmost = ranges.front().from;
      std::string_view skipped = cut(region, start, leftmost > start ? leftmost - start : 0);
      if (verifyNotPatterns(directive, skipped, notList))
        return none;
      notList.clear();
    }
    start = ranges.back().to;
    ranges.clear();
    fixedDagEnds.clear();
    regexDagEnds.clear();
  }
  return start;
}

// Finds one DAG pattern of the current group, searching from the group's
// start and past every earlier match of the group it would overlap, and
// adds the accepted match to `ranges`. False after a reported failure.
bool DirectiveChecker::matchDag(const CheckDirective &directive, const CheckPattern &dag,
                                std::string_view region, size_t start,
                                std::vector<DagRange> &ranges) {
  size_t pos = start;
  size_t len = 0;
  size_t cursor = 0;
  ReportSubject subject{dag, directive.prefix, dag.location, 1};
  // A fixed text's matches all have its length, so every occurrence the
  // walk below passes over overlaps an accepted match, and it accepts the
  // first occurrence that overlaps none. An earlier pattern of the group
  // with the same text accepted the first such occurrence of its time;
  // ranges only grow, so nothing before the end of that match can be
  // accepted now, and the walk from the group's start would pass through
  // that end anyway. Repeated lines would otherwise walk over every earlier
  // match again. -vv shows each step of the walk, so it takes them all.
  bool skipsRepeats = !request.veryVerbose && !request.allowDeprecatedDagOverlap;
  bool isFixed = !dag.fixedText.empty();
  if (skipsRepeats && isFixed) {
    auto earlier = fixedDagEnds.find(dag.fixedText);
    if (earlier != fixedDagEnds.end())
      pos = std::max(pos, earlier->second);
  }
  // A regex's matches differ in length, and where a search starts can
  // change what it finds ('^' holds there), so that argument fails. But a
  // walk is a function of the ranges it meets: while no range has been
  // accepted before an earlier identical pattern's match since, this walk
  // repeats that one's searches step by step, meets that match, and goes on
  // from its end, where it can start at once.
  bool resumesRegex = skipsRepeats && !isFixed && !dag.hasVariables();
  if (resumesRegex) {
    auto earlier = regexDagEnds.find(dag.regexText());
    if (earlier != regexDagEnds.end() &&
        rangesEndingBefore(ranges, earlier->second.end) == earlier->second.rangesBefore)
      pos = std::max(pos, earlier->second.end);
  }
  for (;;) {
    std::string_view searched = tailFrom(region, pos);
    MatchOutcome outcome = search(dag, searched);
    size_t position = outcome.position;
    len = outcome.length;
    if (outcome.error || request.veryVerbose) {
      if (reporter.reportOutcome(true, subject, searched, std::move(outcome)))
        return false;
    }
    pos = static_cast<size_t>(searched.data() - region.data()) + position;
    DagRange match{pos, pos + len};
    if (request.allowDeprecatedDagOverlap) {
      if (ranges.empty())
        ranges.push_back(match);
      else
        ranges[0] = {std::min(ranges[0].from, match.from), std::max(ranges[0].to, match.to)};
      break;
    }
    // Ranges are sorted and disjoint, so their ends are sorted too.
    auto firstAfter = std::upper_bound(
        ranges.begin() + static_cast<std::ptrdiff_t>(cursor), ranges.end(), match.from,
        [](size_t from, const DagRange &range) { return from < range.to; });
    cursor = static_cast<size_t>(firstAfter - ranges.begin());
    if (cursor == ranges.size() || ranges[cursor].from >= match.to) {
      ranges.insert(ranges.begin() + static_cast<std::ptrdiff_t>(cursor), match);
      break;
    }
    const DagRange &earlier = ranges[cursor];
    reporter.reportDiscarded(subject, cut(region, earlier.from, earlier.to - earlier.from), region,
                             pos, len);
    pos = ranges[cursor].to;
    ++cursor;
  }
  if (skipsRepeats && isFixed)
    fixedDagEnds[dag.fixedText] = pos + len;
  // An empty match shares its end with its neighbours, so the count of
  // ranges before it does not tell whether one came before it since.
  if (resumesRegex && len > 0)
    regexDagEnds[dag.regexText()] = {pos + len, rangesEndingBefore(ranges, pos + len)};
  if (!request.veryVerbose) {
    ReportSubject accepted{dag, directive.prefix, dag.location, 1};
    discardError(reporter.reportOutcome(true, accepted, region, MatchOutcome::found(pos, len)));
  }
  return true;
}

// True, after reporting it, when the match at `first` in `region` breaks
// the line rule of a NEXT, SAME or EMPTY directive; `skipped` is the input
// from the end of the previous match to `first`.
bool DirectiveChecker::verifyLine(const CheckDirective &directive, std::string_view skipped,
                                  std::string_view region, size_t first, size_t matchLength) {
  DirectiveKind kind = directive.pattern.type.kind;
  if (kind != DirectiveKind::Next && kind != DirectiveKind::Empty && kind != DirectiveKind::Same)
    return false;
  LineBreaks breaks = countLineBreaks(skipped);
  WrongLine problem;
  if (kind == DirectiveKind::Same) {
    if (breaks.count == 0)
      return false;
    problem = WrongLine::NotSameAsPrevious;
  } else {
    if (breaks.count == 1)
      return false;
    problem = breaks.count == 0 ? WrongLine::SameAsPrevious : WrongLine::NotAfterPrevious;
  }
  ReportSubject subject{directive.pattern, directive.prefix, directive.location, 1};
  reporter.reportWrongLine(subject, problem, skipped, breaks.afterFirst, region, first,
                           matchLength);
  return true;
}

// Every NOT pattern is searched and reported, even after one has failed,
// so that all offenders show.
bool DirectiveChecker::verifyNotPatterns(const CheckDirective &directive, std::string_view region,
                                         const NotList &notList) {
  bool failed = false;
  for (const CheckPattern *pattern : notList) {
    ReportSubject subject{*pattern, directive.prefix, pattern->location, 1};
    if (reporter.reportOutcome(false, subject, region, search(*pattern, region)))
      failed = true;
  }
  return failed;
}

bool isLineBreak(char c) { return c == '\n' || c == '\r'; }

} // namespace

LineBreaks countLineBreaks(std::string_view text) {
  LineBreaks result;
  size_t i = 0;
  while (i < text.size()) {
    const char *found = std::find_if(text.data() + i, text.data() + text.size(), isLineBreak);
    if (found == text.data() + text.size())
      break;
    i = static_cast<size_t>(found - text.data());
    ++result.count;
    bool isPair = i + 1 < text.size() && isLineBreak(text[i + 1]) && text[i + 1] != text[i];
    i += isPair ? 2 : 1;
    if (result.count == 1)
      result.afterFirst = i;
  }
  return result;
}

bool verifyDirectives(const std::vector<CheckDirective> &directives,
                      const std::vector<CheckPattern> &implicitNots, PatternContext &context,
                      const CheckRequest &request, SourceManager &sourceManager,
                      std::string_view inputText, MatchDiagList *diags, VerifyCounts *counts) {
  DirectiveChecker checker(sourceManager, request, implicitNots, diags);
  auto reached = [&](const CheckDirective &directive) {
    if (!counts)
      return;
    bool isWritten = directive.pattern.type.kind != DirectiveKind::EndOfFile;
    counts->checked += directive.notDagPatterns.size() + (isWritten ? 1 : 0);
  };
  size_t count = directives.size();
  std::string_view rest = inputText;
  size_t first = 0;
  bool failed = false;
  for (;;) {
    size_t blockEnd = first;
    while (blockEnd < count && directives[blockEnd].pattern.type.kind != DirectiveKind::Label)
      ++blockEnd;
    std::string_view block = rest;
    if (blockEnd < count) {
      size_t labelLength = 0;
      reached(directives[blockEnd]);
      size_t labelPos = checker.checkDirective(directives[blockEnd], rest, true, labelLength);
      // Without its label a block has no end, and nothing after it can be
      // placed: stop here.
      if (labelPos == none)
        return false;
      block = rest.substr(0, labelPos + labelLength);
      rest = tailFrom(rest, labelPos + labelLength);
      ++blockEnd;
    }
    if (first != 0 && request.enableVarScope)
      context.clearLocalVariables();
    std::string_view region = block;
    for (size_t index = first; index < blockEnd; ++index) {
      size_t matchLength = 0;
      // A label was counted when its block was cut.
      if (directives[index].pattern.type.kind != DirectiveKind::Label)
        reached(directives[index]);
      size_t position = checker.checkDirective(directives[index], region, false, matchLength);
      if (position == none) {
        failed = true;
        break;
      }
      region = tailFrom(region, position + matchLength);
    }
    if (blockEnd == count)
      return !failed;
    first = blockEnd;
  }
}

} // namespace vetline
