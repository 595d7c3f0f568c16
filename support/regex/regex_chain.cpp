// Regex matcher, chain walk: programs that are a plain sequence of bytes,
// sets, groups, anchors and loops over one byte operation (`[0-9]+`,
// `[a-z]*`), where every loop is followed by bytes it does not take (or by
// the end), match deterministically: each loop must take its whole run of
// bytes, as nothing after it could take the next one, and the longest match
// from a start takes it too. A match from a given start is then one walk
// over its bytes, with every group found on the way, instead of a state
// simulation and a dissection. Most patterns of a check file with their
// values substituted are such chains (`%(v[0-9]+) = add i32 %x, [0-9]+`).
//
// An anchor or word boundary right after a loop could hold where the loop
// stops early, so it ends the chain. The walks of one line are bounded by a
// number of bytes linear in the line (and in the program's line budget);
// beyond it the tagged pass or the DFA takes over.
// Tested by regex_matcher_test.cpp and regex_differential_test.cpp.
#include "support/regex/regex_matcher_internal.h"

#include <algorithm>

namespace vetline::regex::detail {
namespace {

// Bytes the walks of one line may cover, per byte of the line (or of the
// program's line budget, if that is less), before the tagged pass or the
// DFA takes over; a slack for short lines.
constexpr size_t WalkBytesPerByte = 4;
constexpr size_t WalkSlack = 64;

// True when no byte is taken by both byte operations a and b.
bool disjoint(const Program &g, Instruction a, Instruction b) {
  if (opOf(a) == Op::Any || opOf(b) == Op::Any)
    return false;
  if (opOf(a) == Op::Char && opOf(b) == Op::Char)
    return operandOf(a) != operandOf(b);
  if (opOf(a) == Op::Char)
    return !g.inSet(operandOf(b), static_cast<unsigned char>(operandOf(a)));
  if (opOf(b) == Op::Char)
    return !g.inSet(operandOf(a), static_cast<unsigned char>(operandOf(b)));
  for (int ch = 0; ch < 256; ++ch)
    if (g.inSet(operandOf(a), static_cast<unsigned char>(ch)) &&
        g.inSet(operandOf(b), static_cast<unsigned char>(ch)))
      return false;
  return true;
}

// The chain item at `pc`: its byte operation and the operation after it, or
// none for a group or anchor (zero width). `least` is 0 for a loop that may
// take nothing, else 1; `isLoop` tells a loop from a single byte.
struct Item {
  size_t body = SIZE_MAX;
  size_t next = 0;
  unsigned least = 1;
  bool isLoop = false;
};

// The item at `pc`, or false when the program is not a chain there.
bool itemAt(const Program &g, size_t pc, Item &item) {
  const Instruction *ops = g.ops;
  Op op = opOf(ops[pc]);
  item = Item{};
  if (isByteOp(op)) {
    item.body = pc;
    item.next = pc + 1;
  } else if (op == Op::GroupOpen || op == Op::GroupClose || isContextOp(op)) {
    item.next = pc + 1;
  } else if (op == Op::PlusStart && pc + 2 < g.lastState && isByteOp(opOf(ops[pc + 1])) &&
             opOf(ops[pc + 2]) == Op::PlusEnd) {
    item = {pc + 1, pc + 3, 1, true};
  } else if (op == Op::QuestStart && pc + 4 < g.lastState && opOf(ops[pc + 1]) == Op::PlusStart &&
             isByteOp(opOf(ops[pc + 2])) && opOf(ops[pc + 3]) == Op::PlusEnd &&
             opOf(ops[pc + 4]) == Op::QuestEnd) {
    item = {pc + 2, pc + 5, 0, true};
  } else {
    return false;
  }
  return true;
}

// True when every byte that the items from `pc` on may take first is
// outside what operation `body` takes.
bool followIsDisjoint(const Program &g, size_t body, size_t pc) {
  Item item;
  for (; pc < g.lastState; pc = item.next) {
    if (!itemAt(g, pc, item))
      return false;
    if (item.body == SIZE_MAX) {
      if (isContextOp(opOf(g.ops[pc])))
        return false;
      continue;
    }
    if (!disjoint(g, g.ops[body], g.ops[item.body]))
      return false;
    if (item.least > 0)
      return true;
  }
  return true;
}

} // namespace

void analyzeChain(StateCache &c, const Program &g) {
  c.isChain = false;
  c.chainLead = SIZE_MAX;
  Item item;
  for (size_t pc = g.firstState; pc < g.lastState; pc = item.next) {
    if (!itemAt(g, pc, item))
      return;
    if (item.isLoop && !followIsDisjoint(g, item.body, item.next))
      return;
    if (item.body != SIZE_MAX && item.least > 0 && c.chainLead == SIZE_MAX)
      c.chainLead = item.next;
  }
  c.isChain = c.chainLead != SIZE_MAX;
}

// Whether the byte operation, anchor or word boundary at `pc` holds at `sp`
// (a byte before `stop`); sp then moves past the byte taken.
bool Matcher::takes(size_t pc, const char *&sp, const char *stop) const {
  Op op = opOf(ops[pc]);
  if (isContextOp(op))
    return contextHolds(op, sp);
  if (sp == stop || !consumes(pc, byteAt(sp)))
    return false;
  ++sp;
  return true;
}

// True when a match may start with `ch`: one of the items up to the first
// that must take a byte takes it.
bool Matcher::mayStartChain(int ch) const {
  Item item;
  for (size_t pc = g.firstState; pc < c.chainLead; pc = item.next) {
    itemAt(g, pc, item);
    if (item.body != SIZE_MAX && consumes(item.body, ch))
      return true;
  }
  return false;
}

// The end of the match from `sp`, with its groups recorded, or null. Covers
// no more than `allowance` bytes, which it reduces; null when that runs out
// (then `allowance` is 0).
const char *Matcher::walkChain(const char *sp, const char *stop, size_t &allowance) {
  const char *from = sp;
  Item item;
  for (size_t pc = g.firstState; pc < g.lastState; pc = item.next) {
    itemAt(g, pc, item);
    Op op = opOf(ops[pc]);
    if (op == Op::GroupOpen) {
      groups[operandOf(ops[pc])].start = sp - base;
    } else if (op == Op::GroupClose) {
      groups[operandOf(ops[pc])].end = sp - base;
    } else if (!item.isLoop) {
      if (!takes(pc, sp, stop))
        break;
    } else {
      const char *run = runEnd(sp, stop, item.body);
      if (run == sp && item.least > 0)
        break;
      sp = run;
    }
    if (static_cast<size_t>(sp - from) >= allowance) {
      allowance = 0;
      return nullptr;
    }
    if (item.next == g.lastState) {
      allowance -= static_cast<size_t>(sp - from);
      return sp;
    }
  }
  allowance -= static_cast<size_t>(sp - from) + 1;
  return nullptr;
}

// The leftmost match that starts in [from, lineEnd): the first start from
// which the walk succeeds. Undecided, with `from` at the first start not
// tried, when the walks run out of their allowance.
Matcher::LineSearch Matcher::walkLine(const char *&from, const char *lineEnd,
                                      const char *&matchStart, const char *&matchEnd) {
  // A line longer than the line budget is left to the DFA soon.
  size_t length = std::min(static_cast<size_t>(lineEnd - from), c.lineBudget);
  size_t allowance = WalkBytesPerByte * length + WalkSlack;
  bool byFirstByte = c.chainLead == g.firstState + 1 && opOf(ops[g.firstState]) == Op::Char;
  int first = static_cast<int>(operandOf(ops[g.firstState]));
  for (const char *s = from; s < lineEnd; ++s) {
    if (byFirstByte) {
      s = static_cast<const char *>(std::memchr(s, first, static_cast<size_t>(lineEnd - s)));
      if (s == nullptr)
        break;
    } else if (!mayStartChain(byteAt(s))) {
      continue;
    }
    if (const char *e = walkChain(s, lineEnd, allowance)) {
      matchStart = s;
      matchEnd = e;
      return LineSearch::Found;
    }
    if (allowance == 0) {
      from = s;
      return LineSearch::Undecided;
    }
  }
  return LineSearch::Absent;
}

} // namespace vetline::regex::detail
