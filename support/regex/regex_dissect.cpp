// Regex matcher, sub-match dissection: assigns the groups of a match whose
// start and end are known, for programs without back-references, walking
// the top-level operations. Each optional part, loop or alternation takes
// the longest span that still lets the rest of the program match exactly to
// the end (one tagged pass, latestExit); an optional part or alternative is
// then dissected inside its span, a loop's span is split into iterations,
// each as long as possible, and only the last one is dissected, so groups
// report their last iteration. Alternatives are tried in pattern order.
// Tested by regex_matcher_test.cpp and regex_differential_test.cpp.
#include "support/regex/regex_matcher_internal.h"

namespace vetline::regex::detail {

size_t Matcher::constructEnd(size_t pc) const {
  if (opOf(ops[pc]) != Op::AltStart)
    return pc + operandOf(ops[pc]);
  do
    pc += operandOf(ops[pc]);
  while (opOf(ops[pc]) == Op::AltNext);
  return pc;
}

// Assigns the groups of the operations [startOp, stopOp), known to match
// [sp, stop) exactly. Returns the end reached (stop unless inconsistent).
const char *Matcher::dissect(const char *sp, const char *stop, size_t startOp,
                             size_t stopOp) {
  for (size_t pc = startOp; pc < stopOp;) {
    Instruction s = ops[pc];
    switch (opOf(s)) {
    case Op::Char:
    case Op::Any:
    case Op::AnyOf:
      ++sp;
      ++pc;
      break;
    case Op::Bol:
    case Op::Eol:
    case Op::WordStart:
    case Op::WordEnd:
      ++pc;
      break;
    case Op::GroupOpen:
      groups[operandOf(s)].start = sp - base;
      ++pc;
      break;
    case Op::GroupClose:
      groups[operandOf(s)].end = sp - base;
      ++pc;
      break;
    case Op::QuestStart:
    case Op::PlusStart:
    case Op::AltStart: {
      size_t endOp = constructEnd(pc) + 1;
      const char *rest = latestExit(sp, stop, pc, endOp, stopOp);
      if (rest == nullptr)
        return nullptr;
      bool ok = true;
      if (opOf(s) == Op::QuestStart) {
        // The optional part counts only when it took some text.
        if (rest != sp)
          ok = dissect(sp, rest, pc + 1, endOp - 1) == rest;
      } else if (opOf(s) == Op::PlusStart) {
        ok = dissectLoop(sp, rest, pc, endOp);
      } else {
        ok = dissectAlternation(sp, rest, pc);
      }
      if (!ok)
        return nullptr;
      sp = rest;
      pc = endOp;
      break;
    }
    default:
      return nullptr;
    }
  }
  return sp;
}

// Splits [sp, rest) into iterations of the loop [startOp, endOp), each as
// long as possible, and dissects the last one, so groups report their last
// iteration.
bool Matcher::dissectLoop(const char *sp, const char *rest, size_t startOp, size_t endOp) {
  size_t bodyStart = startOp + 1, bodyEnd = endOp - 1;
  if (rest == sp)
    return dissect(sp, sp, bodyStart, bodyEnd) == sp;
  const char *last = nullptr;
  const char *p = sp;
  while (p < rest) {
    const char *e = slow(p, rest, bodyStart, bodyEnd);
    if (e == nullptr || e == p)
      break;
    last = p;
    p = e;
  }
  if (p == rest && last != nullptr)
    return dissect(last, rest, bodyStart, bodyEnd) == rest;
  // Greedy iterations can strand a tail ("ab" then "c" for (ab|a|bc)+ over
  // "abc"); take the earliest last iteration that the loop can precede.
  for (const char *q = sp; q < rest; ++q) {
    if (slow(q, rest, bodyStart, bodyEnd) != rest)
      continue;
    if (q == sp || slow(sp, q, startOp, endOp) == q)
      return dissect(q, rest, bodyStart, bodyEnd) == rest;
  }
  return false;
}

// Dissects the first alternative, in pattern order, that matches [sp, rest).
bool Matcher::dissectAlternation(const char *sp, const char *rest, size_t startOp) {
  size_t open = startOp + operandOf(ops[startOp]);
  size_t first = startOp + 1, last = open - 1;
  for (;;) {
    if (slow(sp, rest, first, last) == rest)
      return dissect(sp, rest, first, last) == rest;
    if (opOf(ops[open]) != Op::AltNext)
      return false;
    size_t next = open + operandOf(ops[open]);
    first = open + 1;
    last = opOf(ops[next]) == Op::AltNext ? next - 1 : next;
    open = next;
  }
}

} // namespace vetline::regex::detail
