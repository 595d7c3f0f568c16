// Directive checking. Each directive costs one search from the end of the
// previous match (several for COUNT), plus one search per NOT pattern over
// the text it guards. Every DAG pattern searches from its group's start
// (again after each overlap; a fixed text seen earlier in the group, or a
// regex without variables whose last match has had nothing placed before it
// since, from the end of that match), and its match is placed among the
// group's earlier ones by binary search, never by walking them all. A
// pattern that cannot begin a match on a blank or a line break passes each
// run of accepted matches that only such bytes separate in one step, so k
// patterns that all match k lines in a row cost O(k) searches, not O(k^2).
// Tested by check_verifier_test.cpp and the end-to-end cases under check/.
#include "engine/check_verifier.h"

#include "engine/check_directive.h"
#include "engine/engine_errors.h"
#include "engine/match_report.h"
#include "engine/pattern_context.h"
#include "engine/pattern_match.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
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

// Half-open offsets of an accepted DAG match within the region, and its
// number in its group's DagRuns.
struct DagRange {
  size_t from;
  size_t to;
  size_t id = 0;
};

// The number of `ranges` (sorted and disjoint) that end before `offset`.
size_t rangesEndingBefore(const std::vector<DagRange> &ranges, size_t offset) {
  auto first = std::lower_bound(ranges.begin(), ranges.end(), offset,
                                [](const DagRange &range, size_t at) { return range.to < at; });
  return static_cast<size_t>(first - ranges.begin());
}

// The first of `ranges` from `cursor` on that ends after `offset`. Ranges
// are sorted and disjoint, so their ends are sorted too.
size_t firstEndingAfter(const std::vector<DagRange> &ranges, size_t cursor, size_t offset) {
  auto found =
      std::upper_bound(ranges.begin() + static_cast<std::ptrdiff_t>(cursor), ranges.end(), offset,
                       [](size_t at, const DagRange &range) { return at < range.to; });
  return static_cast<size_t>(found - ranges.begin());
}

// What separates accepted matches that lie in a run: line ends and the
// blanks of indentation or between two matches on a line.
constexpr std::string_view gapBytes = " \t\r\n";

bool isGapByte(char c) { return gapBytes.find(c) != std::string_view::npos; }

// Longer stretches of gap bytes are taken for text: checking them costs
// their length each time, and matches are rarely that far apart.
constexpr size_t maxGapLength = 256;

// True when [from, to) of `region` is short and holds nothing but gap bytes.
bool isGap(std::string_view region, size_t from, size_t to) {
  if (to < from || to - from > maxGapLength)
    return false;
  std::string_view gap = cut(region, from, to - from);
  return std::all_of(gap.begin(), gap.end(), isGapByte);
}

// The accepted matches of one DAG group that only gap bytes separate, joined
// into runs (a union-find over their DagRange ids, by size, halving paths).
// Runs only ever merge: a match placed in a gap of gap bytes leaves gaps of
// gap bytes on both sides.
class DagRuns {
public:
  void clear() {
    parent.clear();
    size.clear();
    end.clear();
  }
  // A run of one range ending at `to`; returns the range's id.
  size_t add(size_t to) {
    parent.push_back(parent.size());
    size.push_back(1);
    end.push_back(to);
    return parent.size() - 1;
  }
  void join(size_t a, size_t b) {
    a = find(a);
    b = find(b);
    if (a == b)
      return;
    if (size[a] < size[b])
      std::swap(a, b);
    parent[b] = a;
    size[a] += size[b];
    end[a] = std::max(end[a], end[b]);
  }
  // The end of the last range of the run that holds range `id`.
  size_t endOf(size_t id) { return end[find(id)]; }

private:
  size_t find(size_t id) {
    while (parent[id] != id) {
      parent[id] = parent[parent[id]];
      id = parent[id];
    }
    return id;
  }

  std::vector<size_t> parent;
  std::vector<size_t> size;
  std::vector<size_t> end;
};

// The number of DAG patterns of the group that begins at `first`.
size_t dagGroupSize(const std::vector<CheckPattern> &patterns, size_t first) {
  size_t end = first;
  while (end < patterns.size() && patterns[end].type.kind != DirectiveKind::Not)
    ++end;
  return end - first;
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
  size_t dagWalkStart(const CheckPattern &dag, size_t start, const std::vector<DagRange> &ranges);
  std::optional<size_t> walkDag(const ReportSubject &subject, std::string_view region, size_t pos,
                                const std::vector<DagRange> &ranges, DagRange &match);
  bool skipsRuns(const CheckPattern &dag);
  std::optional<size_t> walkOverRuns(const CheckPattern &dag, std::string_view region, size_t pos,
                                     const std::vector<DagRange> &ranges, DagRange &match);
  size_t pastRuns(std::string_view region, size_t pos, const std::vector<DagRange> &ranges,
                  size_t &cursor);
  void acceptDag(const CheckPattern &dag, std::string_view region, std::vector<DagRange> &ranges,
                 size_t place, DagRange match);
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
  // The runs of the current DAG group's accepted matches.
  DagRuns runs;
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
    // empty match: only -v shows them, and its records keep them as one.
    // A pattern that both uses variables and defines them may search for
    // something else next time.
    if (position == 0 && length == 0 && searchRepeatsItself(pattern)) {
      reporter.reportRepeats(subject, searched, pattern.type.count - repetition);
      break;
    }
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
  runs.clear();
  for (size_t index = 0; index < patterns.size(); ++index) {
    const CheckPattern &pattern = patterns[index];
    if (pattern.type.kind == DirectiveKind::Not) {
      notList.push_back(&pattern);
      continue;
    }
    if (ranges.empty())
      reporter.startDagGroup(dagGroupSize(patterns, index));
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
    runs.clear();
  }
  return start;
}

// Finds one DAG pattern of the current group, searching from the group's
// start and past every earlier match of the group it would overlap, and
// adds the accepted match to `ranges`. False after a reported failure.
bool DirectiveChecker::matchDag(const CheckDirective &directive, const CheckPattern &dag,
                                std::string_view region, size_t start,
                                std::vector<DagRange> &ranges) {
  ReportSubject subject{dag, directive.prefix, dag.location, 1};
  size_t pos = dagWalkStart(dag, start, ranges);
  DagRange match{0, 0};
  std::optional<size_t> place;
  // -vv shows each step of the walk, so it takes them all.
  if (!request.veryVerbose && !request.allowDeprecatedDagOverlap && !ranges.empty() &&
      skipsRuns(dag))
    place = walkOverRuns(dag, region, pos, ranges, match);
  // A failure is reported from the walk's own steps: where its last search
  // began is what the user is told.
  if (!place) {
    place = walkDag(subject, region, pos, ranges, match);
    reporter.endDagWalk();
  }
  if (!place)
    return false;
  acceptDag(dag, region, ranges, *place, match);
  if (!request.veryVerbose)
    discardError(reporter.reportOutcome(true, subject, region,
                                        MatchOutcome::found(match.from, match.to - match.from)));
  return true;
}

// Where the walk of `dag` may begin: the group's `start`, or later when an
// earlier identical pattern of the group shows that every search before
// some point would meet an accepted match.
size_t DirectiveChecker::dagWalkStart(const CheckPattern &dag, size_t start,
                                      const std::vector<DagRange> &ranges) {
  size_t pos = start;
  // A fixed text's matches all have its length, so every occurrence the
  // walk passes over overlaps an accepted match, and it accepts the first
  // occurrence that overlaps none. An earlier pattern of the group with the
  // same text accepted the first such occurrence of its time; ranges only
  // grow, so nothing before the end of that match can be accepted now, and
  // the walk from the group's start would pass through that end anyway.
  // Repeated lines would otherwise walk over every earlier match again. -vv
  // shows each step of the walk, so it takes them all.
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
  if (skipsRepeats && !isFixed && !dag.hasVariables()) {
    auto earlier = regexDagEnds.find(dag.regexText());
    if (earlier != regexDagEnds.end() &&
        rangesEndingBefore(ranges, earlier->second.end) == earlier->second.rangesBefore)
      pos = std::max(pos, earlier->second.end);
  }
  return pos;
}

// The walk of a DAG pattern from `pos`: each search that overlaps an
// accepted match is discarded and the next one starts after that match.
// Returns where the accepted `match` goes in `ranges` (always 0 when
// overlaps are allowed), or nothing after a reported failure.
std::optional<size_t> DirectiveChecker::walkDag(const ReportSubject &subject,
                                                std::string_view region, size_t pos,
                                                const std::vector<DagRange> &ranges,
                                                DagRange &match) {
  size_t cursor = 0;
  for (;;) {
    std::string_view searched = tailFrom(region, pos);
    MatchOutcome outcome = search(subject.pattern, searched);
    // No match, or a match with an error: a failure either way.
    if (outcome.error) {
      discardError(reporter.reportOutcome(true, subject, searched, std::move(outcome)));
      return std::nullopt;
    }
    pos = static_cast<size_t>(searched.data() - region.data()) + outcome.position;
    match = {pos, pos + outcome.length};
    if (!request.allowDeprecatedDagOverlap) {
      cursor = firstEndingAfter(ranges, cursor, match.from);
      if (cursor < ranges.size() && ranges[cursor].from < match.to) {
        const DagRange &earlier = ranges[cursor];
        reporter.reportDiscarded(subject, searched, std::move(outcome),
                                 cut(region, earlier.from, earlier.to - earlier.from));
        pos = earlier.to;
        ++cursor;
        continue;
      }
    }
    if (request.veryVerbose)
      discardError(reporter.reportOutcome(true, subject, searched, std::move(outcome)));
    return request.allowDeprecatedDagOverlap ? 0 : cursor;
  }
}

// True when no match of `dag` can begin on a gap byte or be empty, and
// every match a search finds is the one a search begun anywhere before it
// finds (no '^' or word boundary where it begins, no variables). Then a
// walk from `pos` that only gap bytes separate from an accepted range
// meets that range, or finds what a search from its end finds: either way
// it goes on from the end of that range, and so from the end of its run.
bool DirectiveChecker::skipsRuns(const CheckPattern &dag) {
  if (dag.hasVariables())
    return false;
  if (!dag.fixedText.empty())
    return !isGapByte(dag.fixedText[0]);
  std::optional<RegexStart> start = cache.regexFor(dag).start();
  if (!start || start->canBeEmpty || start->looksBehind)
    return false;
  return std::none_of(gapBytes.begin(), gapBytes.end(),
                      [&](char c) { return start->firstBytes[static_cast<unsigned char>(c)]; });
}

// walkDag without its reports for a pattern that skipsRuns, passing each
// run of accepted matches in one step. Nothing when the search fails:
// walkDag then walks again to report it.
std::optional<size_t> DirectiveChecker::walkOverRuns(const CheckPattern &dag,
                                                     std::string_view region, size_t pos,
                                                     const std::vector<DagRange> &ranges,
                                                     DagRange &match) {
  size_t cursor = 0;
  for (;;) {
    pos = pastRuns(region, pos, ranges, cursor);
    std::string_view searched = tailFrom(region, pos);
    MatchOutcome outcome = search(dag, searched);
    if (!outcome.hasMatch || outcome.error) {
      discardError(std::move(outcome.error));
      return std::nullopt;
    }
    pos = static_cast<size_t>(searched.data() - region.data()) + outcome.position;
    match = {pos, pos + outcome.length};
    cursor = firstEndingAfter(ranges, cursor, match.from);
    if (cursor == ranges.size() || ranges[cursor].from >= match.to)
      return cursor;
    pos = ranges[cursor].to;
    ++cursor;
  }
}

// Where a walk from `pos` may search instead: past the run of the next
// accepted range, when only gap bytes lead to it, and so on.
size_t DirectiveChecker::pastRuns(std::string_view region, size_t pos,
                                  const std::vector<DagRange> &ranges, size_t &cursor) {
  for (;;) {
    cursor = firstEndingAfter(ranges, cursor, pos);
    if (cursor == ranges.size() || ranges[cursor].from < pos ||
        !isGap(region, pos, ranges[cursor].from))
      return pos;
    pos = runs.endOf(ranges[cursor].id);
  }
}

// Places `match` at `place` in `ranges` (or merges it into the one range
// kept when overlaps are allowed), joins it to the runs of its neighbours,
// and remembers where it ends for later identical patterns.
void DirectiveChecker::acceptDag(const CheckPattern &dag, std::string_view region,
                                 std::vector<DagRange> &ranges, size_t place, DagRange match) {
  if (request.allowDeprecatedDagOverlap) {
    if (ranges.empty())
      ranges.push_back(match);
    else
      ranges[0] = {std::min(ranges[0].from, match.from), std::max(ranges[0].to, match.to)};
    return;
  }
  match.id = runs.add(match.to);
  ranges.insert(ranges.begin() + static_cast<std::ptrdiff_t>(place), match);
  if (place > 0 && isGap(region, ranges[place - 1].to, match.from))
    runs.join(ranges[place - 1].id, match.id);
  if (place + 1 < ranges.size() && isGap(region, match.to, ranges[place + 1].from))
    runs.join(match.id, ranges[place + 1].id);
  if (request.veryVerbose)
    return;
  if (!dag.fixedText.empty())
    fixedDagEnds[dag.fixedText] = match.to;
  // An empty match shares its end with its neighbours, so the count of
  // ranges before it does not tell whether one came before it since.
  else if (!dag.hasVariables() && match.to > match.from)
    regexDagEnds[dag.regexText()] = {match.to, rangesEndingBefore(ranges, match.to)};
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
