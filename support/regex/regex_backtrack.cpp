// Regex matcher, back-tracking pass: for patterns with back-references the
// state simulation only over-approximates (a back-reference runs as a copy
// of its group's operations), so each candidate match it finds is verified
// by a depth-first search with an explicit choice stack that must end
// exactly at a given end, back-references compared byte for byte.
// Alternatives are tried in order, optional parts and loops taken before
// skipped, so groups get the values of the first path found.
//
// Cost: a candidate's search is exponential in the worst case, so the pass
// has a work budget. Each candidate may take a number of steps linear in its
// span for free; only the steps beyond that are charged, so searches that
// merely try many candidates (quadratic at worst) never spend it, while a
// genuinely exponential one does. Running out of the budget, or of choice
// or trail memory, is OutOfMemory, never "no match".
// Tested by regex_matcher_test.cpp.
#include "support/regex/regex_matcher_internal.h"

namespace vetline::regex::detail {
namespace {

// Beyond this many back-reference checks of an empty group along one path
// the path fails.
constexpr unsigned MaxEmptyBackRefs = 100;

// The work budget of one search grows with the text, so back-references over
// large inputs still work while exponential patterns give up after a bounded
// time. Steps within a candidate's free allowance are not charged.
constexpr uint64_t BacktrackBaseBudget = uint64_t(1) << 20;
constexpr uint64_t BacktrackBudgetPerByte = 256;
constexpr uint64_t FreeStepsPerByte = 64;
constexpr uint64_t FreeStepsPerCandidate = 256;
constexpr size_t MaxChoices = size_t(1) << 20;
constexpr size_t MaxTrail = size_t(1) << 21;

} // namespace

bool Matcher::beginsLine(const char *sp) const {
  if (sp == begin)
    return !(eflags & NotBol);
  return sp[-1] == '\n' && (g.flags & Newline);
}

bool Matcher::endsLine(const char *sp) const {
  if (sp == end)
    return !(eflags & NotEol);
  return *sp == '\n' && (g.flags & Newline);
}

bool Matcher::contextHolds(Op op, const char *sp) const {
  bool previousWord = sp > begin && isWordChar(byteAt(sp - 1));
  bool currentWord = sp < end && isWordChar(byteAt(sp));
  switch (op) {
  case Op::Bol:
    return beginsLine(sp);
  case Op::Eol:
    return endsLine(sp);
  case Op::WordStart:
    return currentWord && (beginsLine(sp) || (sp > begin && !previousWord));
  case Op::WordEnd:
    return previousWord && (endsLine(sp) || (sp < end && !currentWord));
  default:
    return false;
  }
}

// Pairs every BackRefStart with its BackRefEnd (copies nest, so a stack).
bool Matcher::findBackRefEnds() {
  if (c.hasBackRefEnds)
    return true;
  if (!c.backRefEnds.reserve(g.opCount))
    return false;
  ScratchArray<size_t> open;
  for (size_t pc = 0; pc < g.opCount; ++pc) {
    if (opOf(ops[pc]) == Op::BackRefStart && !open.push(pc))
      return false;
    if (opOf(ops[pc]) == Op::BackRefEnd && open.size > 0)
      c.backRefEnds[open.pop()] = pc;
  }
  c.hasBackRefEnds = true;
  return true;
}

// Depth-first search for the paths through the program from `start` that
// end by `stop` (the longest end the state simulation allows). Returns the
// end of the longest match, null when there is none, and leaves the groups
// of the first path found to that end. One search serves every end: the
// paths to a given end come in the same order as in a search that must end
// there, and a search for the longest end that fails has already walked
// all of them. Stops early at `stop` itself. Sets `exhausted` when the work
// or memory budget runs out.
const char *Matcher::backtrack(const char *start, const char *stop) {
  ScratchArray<Choice> &choices = c.choices;
  ScratchArray<TrailEntry> &trail = c.trail;
  choices.size = 0;
  trail.size = 0;
  int64_t *loopPositions = c.loopPositions.data();
  const size_t *backRefEnds = c.backRefEnds.data();
  size_t pc = g.firstState;
  const char *sp = start;
  unsigned level = 0;
  unsigned emptyRefs = 0;
  const char *best = nullptr;
  SubMatch *bestGroups = c.bestGroups.data();
  uint64_t steps = 0;
  uint64_t allowance = FreeStepsPerCandidate + FreeStepsPerByte * uint64_t(stop - start);
  // Running out of choice or trail room ends the search as exhausted: failing
  // the path instead would turn a match into a false "no match".
  auto record = [&](int64_t *slot, int64_t value) {
    if (trail.size >= MaxTrail || !trail.push({slot, *slot})) {
      exhausted = true;
      return false;
    }
    *slot = value;
    return true;
  };
  auto choose = [&](size_t resumeAt, unsigned resumeLevel) {
    if (choices.size >= MaxChoices ||
        !choices.push({resumeAt, sp, resumeLevel, emptyRefs, trail.size})) {
      exhausted = true;
      return false;
    }
    return true;
  };
  for (;;) {
    if (++steps > allowance && ++charged > budget) {
      exhausted = true;
      return nullptr;
    }
    Instruction s = ops[pc];
    uint32_t operand = operandOf(s);
    bool ok = true;
    switch (opOf(s)) {
    case Op::End:
      ok = false;
      if (pc != g.lastState || (best != nullptr && sp <= best))
        break;
      best = sp;
      std::memcpy(bestGroups, groups, (g.groupCount + 1) * sizeof(SubMatch));
      if (sp == stop)
        return best;
      break;
    case Op::Char:
      ok = sp < stop && byteAt(sp) == static_cast<int>(operand);
      sp += ok;
      ++pc;
      break;
    case Op::Any:
      ok = sp < stop;
      sp += ok;
      ++pc;
      break;
    case Op::AnyOf:
      ok = sp < stop && inRange(operand, byteAt(sp));
      sp += ok;
      ++pc;
      break;
    case Op::Bol:
    case Op::Eol:
    case Op::WordStart:
    case Op::WordEnd:
      ok = contextHolds(opOf(s), sp);
      ++pc;
      break;
    case Op::BackRefStart: {
      const SubMatch &group = groups[operand];
      if (group.start < 0 || group.end < group.start) {
        ok = false;
        break;
      }
      size_t length = static_cast<size_t>(group.end - group.start);
      if (length == 0 && ++emptyRefs > MaxEmptyBackRefs) {
        ok = false;
        break;
      }
      if (static_cast<size_t>(stop - sp) < length ||
          std::memcmp(base + group.start, sp, length) != 0) {
        ok = false;
        break;
      }
      sp += length;
      pc = backRefEnds[pc] + 1;
      break;
    }
    case Op::PlusStart:
      ++level;
      ok = record(&loopPositions[level], sp - base);
      ++pc;
      break;
    case Op::PlusEnd:
      if (sp - base == loopPositions[level]) {
        // The last iteration took nothing: another one would loop forever.
        --level;
        ++pc;
        break;
      }
      ok = choose(pc + 1, level - 1) && record(&loopPositions[level], sp - base);
      pc = pc - operand + 1;
      break;
    case Op::QuestStart:
      ok = choose(pc + operand + 1, level);
      ++pc;
      break;
    case Op::AltStart:
    case Op::AltNext:
      // Entering an alternative leaves a choice for the next one. Only a
      // resumed choice executes an AltNext: a finished alternative jumps from
      // its AltFirst (or falls into the AltEnd) instead.
      if (opOf(ops[pc + operand]) == Op::AltNext)
        ok = choose(pc + operand, level);
      ++pc;
      break;
    case Op::AltFirst:
      pc += operand;
      break;
    case Op::GroupOpen:
      ok = record(&groups[operand].start, sp - base);
      ++pc;
      break;
    case Op::GroupClose:
      ok = record(&groups[operand].end, sp - base);
      ++pc;
      break;
    case Op::BackRefEnd:
    case Op::QuestEnd:
    case Op::AltEnd:
      ++pc;
      break;
    }
    if (ok)
      continue;
    if (exhausted)
      return nullptr;
    if (choices.size == 0)
      break;
    Choice choice = choices.pop();
    while (trail.size > choice.trail) {
      TrailEntry entry = trail.pop();
      *entry.slot = entry.old;
    }
    pc = choice.pc;
    sp = choice.sp;
    level = choice.level;
    emptyRefs = choice.emptyRefs;
  }
  if (best != nullptr)
    std::memcpy(groups, bestGroups, (g.groupCount + 1) * sizeof(SubMatch));
  return best;
}

// Verifies the candidate starting at `start` (the leftmost start the state
// simulation allows, with `longest` its longest end there). Sets `retry`
// when no path holds, so the search resumes one byte later.
int Matcher::verifyBackRefs(size_t count, SubMatch *matches, const char *start, const char *longest,
                            bool &retry) {
  retry = false;
  if (budget == 0)
    budget = BacktrackBaseBudget + BacktrackBudgetPerByte * uint64_t(end - begin);
  if (!findBackRefEnds())
    return OutOfMemory;
  for (size_t i = 0; i <= g.plusNesting; ++i)
    c.loopPositions[i] = -1;
  if (!c.bestGroups.reserve(g.groupCount + 1))
    return OutOfMemory;
  for (size_t i = 0; i <= g.groupCount; ++i)
    groups[i] = {-1, -1};
  if (const char *matchEnd = backtrack(start, longest))
    return finish(count, matches, start, matchEnd);
  if (exhausted)
    return OutOfMemory;
  retry = true;
  return NoMatch;
}

} // namespace vetline::regex::detail
