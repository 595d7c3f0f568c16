// Regex matcher: leftmost-longest search by simulating the operation list as
// a set of active states (one bit per operation), in stages:
//   1. fast scan (regex_state_cache.cpp): states from every start position
//      at once, as a cached DFA, until the final state turns up; notes the
//      last position before which no thread survived (no match can start
//      earlier). Comparing the set with the fresh start set is not enough: a
//      thread that finished an alternative which can also match nothing, as
//      in (x*|.)+, sits in fresh states while its match is still under way;
//   2. start and end: one tagged pass from that cold position, each state
//      carrying the earliest start of its threads, gives the leftmost start
//      and its longest end;
//   3. dissection (regex_dissect.cpp, no back-references): splits the match
//      over the top-level constructs, each taking the longest span that lets
//      the rest match;
//   4. back-tracking (regex_backtrack.cpp, back-references): verifies each
//      candidate the state simulation (which over-approximates
//      back-references) finds.
// Cost without back-references: O(operations x scanned text) for stages 1
// and 2, and for stage 3 once per construct over the match's span; memory is
// bounded by the program size (the DFA cache is flushed at a fixed size),
// plus, while stage 3 runs, a bit per byte of the match.
// Programs that are one literal run are found with a substring search.
// Programs that cannot match a line feed and hold a literal run are first
// searched only in the lines that hold it: by a walk per start when they
// match deterministically (regex_chain.cpp), else by the tagged pass of
// stage 2 alone, within a budget per program, then by the stages above.
// Tested by regex_matcher_test.cpp and regex_differential_test.cpp.
#include "support/regex/regex_matcher_internal.h"
#include "support/text_search.h"

#include <algorithm>
#include <memory>
#include <new>

namespace vetline::regex {
namespace detail {
namespace {

// Searches alternate between a few programs (the prefix search and the
// pattern of the current directive): that many caches per thread, the least
// recently used one reused for a new program.
constexpr size_t CacheSlots = 4;

// Bytes of candidate lines that a program's searches scan with the tagged
// pass, or walk without a match, before the DFA takes over: by then the
// program has proved to be searched often enough, or over enough text, for
// its DFA to pay.
constexpr size_t LineSearchBytes = 4096;

struct CachePool {
  std::unique_ptr<StateCache> slots[CacheSlots];
  uint64_t lastUse[CacheSlots] = {};
  uint64_t clock = 0;
};

// Null when memory runs out.
StateCache *cacheFor(const Program &program, int eflags, bool &prepared) {
  thread_local CachePool pool;
  size_t victim = 0;
  prepared = false;
  for (size_t i = 0; i < CacheSlots; ++i) {
    StateCache *slot = pool.slots[i].get();
    if (slot != nullptr && slot->programId == program.id && slot->eflags == eflags) {
      pool.lastUse[i] = ++pool.clock;
      return slot;
    }
    if (pool.lastUse[i] < pool.lastUse[victim])
      victim = i;
  }
  if (pool.slots[victim] == nullptr) {
    pool.slots[victim].reset(new (std::nothrow) StateCache);
    if (pool.slots[victim] == nullptr)
      return nullptr;
  }
  pool.lastUse[victim] = ++pool.clock;
  StateCache *cache = pool.slots[victim].get();
  if (!prepareCache(*cache, program, eflags))
    return nullptr;
  cache->lineBudget = LineSearchBytes;
  prepared = true;
  return cache;
}

} // namespace

// Entry 0 and the groups, relative to the text pointer.
int Matcher::finish(size_t count, SubMatch *matches, const char *matchStart, const char *matchEnd) {
  if (count > 0)
    matches[0] = {matchStart - base, matchEnd - base};
  for (size_t i = 1; i < count; ++i)
    matches[i] = i <= g.groupCount ? groups[i] : SubMatch{-1, -1};
  return Success;
}

// The program is one literal run (groups around parts of it at most): the
// leftmost match is the first occurrence, and every group sits at a fixed
// offset in it.
int Matcher::matchLiteral(size_t count, SubMatch *matches) {
  const char *at = nextMust;
  for (size_t i = 0; i <= g.groupCount; ++i)
    groups[i] = {-1, -1};
  const char *sp = at;
  for (size_t pc = g.firstState; pc < g.lastState; ++pc) {
    Instruction s = ops[pc];
    if (opOf(s) == Op::Char)
      ++sp;
    else if (opOf(s) == Op::GroupOpen)
      groups[operandOf(s)].start = sp - base;
    else
      groups[operandOf(s)].end = sp - base;
  }
  return finish(count, matches, at, sp);
}

// Every match lies within one line and holds the must text, so the leftmost
// one is in the first line that both holds an occurrence of the must text
// and a match. Those lines are searched by walking the chain (when the
// program is one) or with the tagged pass alone: a program searched once (a
// pattern with substituted values) would spend more on building DFA states
// than on the few lines it scans. The program's line budget pays for the
// lines the tagged pass scans and for the lines walked without finding a
// match; once it is spent, the DFA takes over from `start`, where no match
// can start earlier.
Matcher::LineSearch Matcher::searchLines(const char *&start, const char *&matchStart,
                                         const char *&matchEnd) {
  size_t &budget = c.lineBudget;
  for (;;) {
    const void *lineFeed = memrchr(start, '\n', static_cast<size_t>(nextMust - start));
    const char *from = lineFeed ? static_cast<const char *>(lineFeed) + 1 : start;
    lineFeed = std::memchr(nextMust, '\n', static_cast<size_t>(end - nextMust));
    const char *lineEnd = lineFeed ? static_cast<const char *>(lineFeed) : end;
    LineSearch result = LineSearch::Undecided;
    if (c.isChain) {
      size_t length = static_cast<size_t>(lineEnd - from);
      result = walkLine(from, lineEnd, matchStart, matchEnd);
      groupsWalked = result == LineSearch::Found;
      if (groupsWalked)
        return result;
      budget -= std::min(budget, length);
    }
    if (result == LineSearch::Undecided) {
      size_t length = static_cast<size_t>(lineEnd - from);
      if (length > budget) {
        start = from;
        return LineSearch::Undecided;
      }
      budget -= length;
      if (taggedSearch(from, lineEnd, matchStart, matchEnd))
        return LineSearch::Found;
    }
    if (lineEnd == end)
      return LineSearch::Absent;
    start = lineEnd + 1;
    if (budget == 0)
      return LineSearch::Undecided;
    const char *found = findText(start, end, g.mustText, g.mustLength);
    if (found == nullptr)
      return LineSearch::Absent;
    nextMust = found;
  }
}

int Matcher::run(size_t count, SubMatch *matches) {
  if (g.mustLength > 0) {
    const char *found = findText(begin, end, g.mustText, g.mustLength);
    if (found == nullptr)
      return NoMatch;
    nextMust = found;
    if (c.isLiteral)
      return matchLiteral(count, matches);
  }
  bool byLines = c.isLineBound && g.mustLength > 0 && !g.hasBackRefs && c.lineBudget > 0;
  if ((count > 0 || g.hasBackRefs || byLines) && !reserveTags())
    return OutOfMemory;
  const char *start = begin;
  if (byLines) {
    const char *matchStart = nullptr;
    const char *matchEnd = nullptr;
    switch (searchLines(start, matchStart, matchEnd)) {
    case LineSearch::Found:
      return report(count, matches, matchStart, matchEnd);
    case LineSearch::Absent:
      return NoMatch;
    case LineSearch::Undecided:
      break;
    }
  }
  for (;;) {
    if (fast(start) == nullptr)
      return NoMatch;
    if (count == 0 && !g.hasBackRefs)
      return Success;
    const char *matchStart = nullptr;
    const char *matchEnd = nullptr;
    if (g.hasBackRefs) {
      if (!leftmostLongest(coldStart, matchStart, matchEnd))
        return InternalError;
      bool retry = false;
      int result = verifyBackRefs(count, matches, matchStart, matchEnd, retry);
      if (!retry)
        return result;
      // The state simulation over-approximated the back-references: no
      // match starts here after all.
      if (matchStart >= end)
        return NoMatch;
      start = matchStart + 1;
      continue;
    }
    if (!leftmostLongest(coldStart, matchStart, matchEnd))
      return InternalError;
    return report(count, matches, matchStart, matchEnd);
  }
}

// The match found, with its groups when they are wanted (no back-references).
int Matcher::report(size_t count, SubMatch *matches, const char *matchStart, const char *matchEnd) {
  if (count <= 1 || groupsWalked)
    return finish(count, matches, matchStart, matchEnd);
  int result = dissectMatch(matchStart, matchEnd);
  if (result != Success)
    return result;
  return finish(count, matches, matchStart, matchEnd);
}

} // namespace detail

int execute(const Handle &handle, const char *text, size_t count, SubMatch *matches, int flags) {
  if (handle.magic != HandleMagic || handle.program == nullptr)
    return BadPattern;
  const Program &program = *handle.program;
  if (program.magic != ProgramMagic || program.bad)
    return BadPattern;
  const char *begin = text;
  const char *end;
  if (flags & StartEnd) {
    if (matches == nullptr || matches[0].start < 0 || matches[0].end < matches[0].start)
      return InvalidArgument;
    begin = text + matches[0].start;
    end = text + matches[0].end;
  } else {
    end = text + std::strlen(text);
  }
  if (program.flags & NoSub)
    count = 0;
  bool prepared = false;
  detail::StateCache *cache = detail::cacheFor(program, flags, prepared);
  if (cache == nullptr)
    return OutOfMemory;
  detail::Matcher matcher(program, *cache, flags, text, begin, end);
  if (prepared)
    matcher.computeFresh();
  return matcher.run(count, matches);
}

} // namespace vetline::regex
