// Regex matcher, sub-match dissection: assigns the groups of a match whose
// start and end are known, for programs without back-references, walking
// the top-level operations. Each optional part, loop or alternation takes
// the longest span that still lets the rest of the program match exactly to
// the end; an optional part or alternative is then dissected inside its
// span, a loop's span is split into iterations, each as long as possible,
// and only the last one is dissected, so groups report their last
// iteration. Alternatives are tried in pattern order.
//
// Spans come from two passes that never rescan: a forward scan marks where
// the construct can end, a backward scan of the rest from the end (the
// operations' empty moves reversed) finds the latest of those marks from
// which the rest reaches the end. A rest of fixed length needs neither. A
// loop's iterations come from one forward pass that runs every iteration
// under way at once. Cost: O(operations x span) per construct and nesting
// level; memory: a bit per byte of the span.
// Tested by regex_matcher_test.cpp and regex_differential_test.cpp.
#include "support/regex/regex_matcher_internal.h"

#include <algorithm>
#include <functional>

namespace vetline::regex::detail {
namespace {

// Context bits of contextMask(): which conditional empty moves may be taken.
constexpr unsigned AllowBol = 1;
constexpr unsigned AllowEol = 2;
constexpr unsigned AllowWordStart = 4;
constexpr unsigned AllowWordEnd = 8;

bool moveAllowed(Op op, unsigned context) {
  switch (op) {
  case Op::Bol:
    return context & AllowBol;
  case Op::Eol:
    return context & AllowEol;
  case Op::WordStart:
    return context & AllowWordStart;
  case Op::WordEnd:
    return context & AllowWordEnd;
  default:
    return true;
  }
}

// Span-sized scratch beyond this many bytes is not kept for later searches.
constexpr size_t KeptSpanScratch = size_t(1) << 20;

void setBits(uint64_t *bits, size_t from, size_t to) {
  for (size_t i = from; i <= to; ++i)
    bits[i / 64] |= uint64_t(1) << (i % 64);
}

} // namespace

size_t Matcher::constructEnd(size_t pc) const {
  if (opOf(ops[pc]) != Op::AltStart)
    return pc + operandOf(ops[pc]);
  do
    pc += operandOf(ops[pc]);
  while (opOf(ops[pc]) == Op::AltNext);
  return pc;
}

// The bytes every match of [startOp, stopOp) takes, or -1 when that varies
// (any optional part, loop or alternation).
int64_t Matcher::fixedLength(size_t startOp, size_t stopOp) const {
  int64_t length = 0;
  for (size_t pc = startOp; pc < stopOp; ++pc) {
    switch (opOf(ops[pc])) {
    case Op::Char:
    case Op::Any:
    case Op::AnyOf:
      ++length;
      break;
    case Op::Bol:
    case Op::Eol:
    case Op::WordStart:
    case Op::WordEnd:
    case Op::GroupOpen:
    case Op::GroupClose:
      break;
    default:
      return -1;
    }
  }
  return length;
}

// The targets of the empty moves that step() takes from operation `u` (the
// conditional ones of anchors and word boundaries included); returns how
// many, at most two.
size_t Matcher::emptyMoves(size_t u, size_t *targets) const {
  Instruction s = ops[u];
  size_t operand = operandOf(s);
  switch (opOf(s)) {
  case Op::End:
  case Op::Char:
  case Op::Any:
  case Op::AnyOf:
    return 0;
  case Op::PlusEnd:
    targets[0] = u + 1;
    targets[1] = u - operand;
    return 2;
  case Op::QuestStart:
  case Op::AltStart:
    targets[0] = u + 1;
    targets[1] = u + operand;
    return 2;
  case Op::AltFirst:
    targets[0] = u + operand;
    return 1;
  case Op::AltNext:
    targets[0] = u + 1;
    targets[1] = u + operand;
    return opOf(ops[u + operand]) != Op::AltEnd ? 2 : 1;
  default:
    targets[0] = u + 1;
    return 1;
  }
}

// The empty moves reversed, once per program: preds[predStart[v] ..
// predStart[v + 1]] are the operations with a move to v.
bool Matcher::buildPreds() {
  if (c.hasPreds)
    return true;
  size_t n = g.opCount;
  if (!c.predStart.reserve(n + 2) || !c.work.reserve(n + 1))
    return false;
  uint32_t *start = c.predStart.data();
  std::memset(start, 0, (n + 2) * sizeof(uint32_t));
  size_t targets[2];
  size_t edges = 0;
  for (size_t u = 0; u < n; ++u)
    for (size_t k = emptyMoves(u, targets); k > 0; --k, ++edges)
      ++start[targets[k - 1] + 2];
  for (size_t v = 2; v < n + 2; ++v)
    start[v] += start[v - 1];
  if (!c.preds.reserve(edges + 1))
    return false;
  for (size_t u = 0; u < n; ++u)
    for (size_t k = emptyMoves(u, targets); k > 0; --k)
      c.preds[start[targets[k - 1] + 1]++] = static_cast<uint32_t>(u);
  c.hasPreds = true;
  return true;
}

// The conditional empty moves that applyContext() allows before the byte at
// `p`.
unsigned Matcher::contextMask(const char *p) const {
  if (!c.hasContextOps)
    return 0;
  int previous = p == begin ? OutOfText : byteAt(p - 1);
  int current = p == end ? OutOfText : byteAt(p);
  bool newline = (g.flags & Newline) != 0;
  bool beginLine = (previous == '\n' && newline) || (previous == OutOfText && !(eflags & NotBol));
  bool endLine = (current == '\n' && newline) || (current == OutOfText && !(eflags & NotEol));
  unsigned mask = (beginLine ? AllowBol : 0) | (endLine ? AllowEol : 0);
  if (c.hasWordOps) {
    bool previousWord = previous != OutOfText && isWordChar(previous);
    bool currentWord = current != OutOfText && isWordChar(current);
    if ((beginLine || (previous != OutOfText && !previousWord)) && currentWord)
      mask |= AllowWordStart;
    if (previousWord && (endLine || (current != OutOfText && !currentWord)))
      mask |= AllowWordEnd;
  }
  return mask;
}

// Adds to `states` every operation of [startOp, stopOp) with a path of
// empty moves allowed by `context` to an operation on the work stack (which
// holds `depth` entries already in `states`); new ones get `tag` when tags
// are kept.
void Matcher::closeBackward(uint64_t *states, int64_t *tags, size_t startOp, size_t stopOp,
                            unsigned context, int64_t tag, size_t depth) {
  uint32_t *stack = c.work.data();
  const uint32_t *start = c.predStart.data();
  const uint32_t *preds = c.preds.data();
  while (depth > 0) {
    size_t v = stack[--depth];
    for (uint32_t k = start[v]; k < start[v + 1]; ++k) {
      size_t u = preds[k];
      if (u < startOp || u >= stopOp || test(states, u) || !moveAllowed(opOf(ops[u]), context))
        continue;
      set(states, u);
      if (tags != nullptr)
        tags[u] = tag;
      stack[depth++] = static_cast<uint32_t>(u);
    }
  }
}

// Puts into `now` (and on the work stack) the operations of [startOp,
// stopOp) that consume the byte at `p` into a state of `after`; returns how
// many.
size_t Matcher::seedBackward(const uint64_t *after, uint64_t *now, const char *p, size_t startOp,
                             size_t stopOp) {
  int ch = byteAt(p);
  size_t depth = 0;
  for (size_t w = 0; w < words; ++w)
    for (uint64_t bits = after[w]; bits != 0; bits &= bits - 1) {
      size_t v = w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
      if (v <= startOp || v > stopOp || !consumes(v - 1, ch))
        continue;
      set(now, v - 1);
      c.work[depth++] = static_cast<uint32_t>(v - 1);
    }
  return depth;
}

// The highest (or, with `lowest`, the lowest) position x in [lo, stop] for
// which [startOp, stopOp) matches [x, stop) exactly and bit (x - lo) of
// `allowed` is set (any x without `allowed`); null when there is none. One
// backward pass from `stop`, ending at the first answer when the highest is
// wanted.
const char *Matcher::matchesToStop(const char *lo, const char *stop, size_t startOp, size_t stopOp,
                                   const uint64_t *allowed, bool lowest) {
  if (!buildPreds()) {
    outOfMemory = true;
    return nullptr;
  }
  uint64_t *now = st;
  uint64_t *after = tmp;
  clear(now);
  set(now, stopOp);
  c.work[0] = static_cast<uint32_t>(stopOp);
  closeBackward(now, nullptr, startOp, stopOp, contextMask(stop), 0, 1);
  const char *found = nullptr;
  for (const char *x = stop;;) {
    if (test(now, startOp) && (allowed == nullptr || test(allowed, size_t(x - lo)))) {
      found = x;
      if (!lowest)
        return x;
    }
    if (x == lo || isEmpty(now))
      return found;
    --x;
    std::swap(now, after);
    clear(now);
    size_t depth = seedBackward(after, now, x, startOp, stopOp);
    closeBackward(now, nullptr, startOp, stopOp, contextMask(x), 0, depth);
  }
}

// The byte operation of the construct [startOp, endOp) when it is a loop or
// optional loop over one (`.*`, `[0-9]+`), setting `least` to the bytes it
// takes at least; SIZE_MAX otherwise. Such a loop matches a run of bytes.
size_t Matcher::singleByteLoop(size_t startOp, size_t endOp, size_t &least) const {
  size_t body = SIZE_MAX;
  least = 1;
  if (endOp - startOp == 5 && opOf(ops[startOp]) == Op::QuestStart &&
      opOf(ops[startOp + 1]) == Op::PlusStart) {
    body = startOp + 2;
    least = 0;
  } else if (endOp - startOp == 3 && opOf(ops[startOp]) == Op::PlusStart) {
    body = startOp + 1;
  }
  Op bodyOp = body == SIZE_MAX ? Op::End : opOf(ops[body]);
  return bodyOp == Op::Char || bodyOp == Op::Any || bodyOp == Op::AnyOf ? body : SIZE_MAX;
}

// The end of the run of bytes from `sp` (up to `stop`) that operation
// `body` takes.
const char *Matcher::runEnd(const char *sp, const char *stop, size_t body) const {
  const char *p = sp;
  while (p < stop && consumes(body, byteAt(p)))
    ++p;
  return p;
}

// Sets bit (e - sp) of the span bits for every end e in [sp, stop] of a
// match of the construct [startOp, endOp) from sp.
bool Matcher::markEnds(const char *sp, const char *stop, size_t startOp, size_t endOp) {
  size_t span = static_cast<size_t>(stop - sp) + 1;
  if (!c.spanBits.reserve(span / 64 + 1)) {
    outOfMemory = true;
    return false;
  }
  uint64_t *bits = c.spanBits.data();
  std::memset(bits, 0, (span / 64 + 1) * sizeof(uint64_t));
  size_t least = 0;
  size_t body = singleByteLoop(startOp, endOp, least);
  if (body == SIZE_MAX) {
    slow(sp, stop, startOp, endOp, bits);
    return true;
  }
  size_t run = static_cast<size_t>(runEnd(sp, stop, body) - sp);
  if (run >= least)
    setBits(bits, least, run);
  return true;
}

// A loop over one byte operation whose rest takes first a byte the loop does
// not (`[0-9]+ = `, `[a-z]+,`): the loop can end only where its run of
// bytes does, and as the match is known, it ends there. Null when the
// construct or its rest is of another kind.
const char *Matcher::runExit(const char *sp, const char *stop, size_t startOp, size_t endOp,
                             size_t stopOp) const {
  size_t least = 0;
  size_t body = singleByteLoop(startOp, endOp, least);
  if (body == SIZE_MAX)
    return nullptr;
  size_t pc = endOp;
  while (pc < stopOp && fixedLength(pc, pc + 1) == 0)
    ++pc;
  if (pc == stopOp || opOf(ops[pc]) != Op::Char ||
      consumes(body, static_cast<int>(operandOf(ops[pc]))))
    return nullptr;
  return runEnd(sp, stop, body);
}

// The start of the last iteration when the loop body [bodyStart, bodyEnd)
// splits [sp, rest) into iterations each as long as possible, or null when
// they stop short of rest. One forward pass runs every iteration still under
// way at once, each state tagged with the start of its iteration: an
// iteration that ends at x starts the next one at x and ends every later
// one, as a longer iteration supersedes them. A state reached by several
// iterations keeps the earliest: whatever a later one could still do from
// there, the earlier one does at the same moment, ending the later.
const char *Matcher::greedyLastIteration(const char *sp, const char *rest, size_t bodyStart,
                                         size_t bodyEnd) {
  const char *top = sp;
  const char *below = nullptr;
  // The states of a fresh iteration.
  uint64_t *fresh = saved;
  clear(fresh);
  set(fresh, bodyStart);
  step(bodyStart, bodyEnd, fresh, Nothing, fresh);
  clear(st);
  int current = sp == begin ? OutOfText : byteAt(sp - 1);
  for (const char *x = sp;; ++x) {
    int previous = current;
    current = x == end ? OutOfText : byteAt(x);
    int64_t here = x - base;
    if (x == sp)
      joinTagged(fresh, here);
    applyContextTagged(previous, current, bodyStart, bodyEnd);
    if (test(st, bodyEnd) && stTags[bodyEnd] < here) {
      // The iteration from `ended` reaches further: the next one starts
      // here instead, and the ones after the old end give way.
      int64_t ended = stTags[bodyEnd];
      below = base + ended;
      top = x;
      dropTagsAbove(ended);
      joinTagged(fresh, here);
      applyContextTagged(previous, current, bodyStart, bodyEnd);
    }
    if (x == rest)
      break;
    advanceTagged(bodyStart, bodyEnd, current);
    if (isEmpty(st))
      break;
  }
  return top == rest ? below : nullptr;
}

// The span of the construct [startOp, endOp) from `sp` in a dissection of
// [startOp, stopOp) over [sp, stop): the latest end of the construct from
// which the rest [endOp, stopOp) matches exactly up to `stop`, or null.
const char *Matcher::latestExit(const char *sp, const char *stop, size_t startOp, size_t endOp,
                                size_t stopOp) {
  int64_t restLength = fixedLength(endOp, stopOp);
  if (restLength >= 0)
    return stop - sp >= restLength ? stop - restLength : nullptr;
  if (const char *exit = runExit(sp, stop, startOp, endOp, stopOp))
    return exit;
  if (!markEnds(sp, stop, startOp, endOp))
    return nullptr;
  return matchesToStop(sp, stop, endOp, stopOp, c.spanBits.data(), false);
}

// Assigns every group of the match [matchStart, matchEnd).
int Matcher::dissectMatch(const char *matchStart, const char *matchEnd) {
  for (size_t i = 0; i <= g.groupCount; ++i)
    groups[i] = {-1, -1};
  bool consistent = dissect(matchStart, matchEnd, g.firstState, g.lastState) == matchEnd;
  if (c.spanBits.capacity * sizeof(uint64_t) > KeptSpanScratch)
    c.spanBits.release();
  if (consistent)
    return Success;
  return outOfMemory ? OutOfMemory : InternalError;
}

// Assigns the groups of the operations [startOp, stopOp), known to match
// [sp, stop) exactly. Returns the end reached (stop unless inconsistent).
const char *Matcher::dissect(const char *sp, const char *stop, size_t startOp, size_t stopOp) {
  for (size_t pc = startOp; pc < stopOp;) {
    Instruction s = ops[pc];
    // The match is known: a byte operation takes the next byte, and an
    // anchor or word boundary holds.
    if (isByteOp(opOf(s)) || isContextOp(opOf(s))) {
      sp += isByteOp(opOf(s));
      ++pc;
      continue;
    }
    switch (opOf(s)) {
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

// The start of the last iteration of the loop [startOp, endOp) over [sp,
// rest), rest > sp: iterations as long as possible, or, when those strand a
// tail ("ab" then "c" for (ab|a|bc)+ over "abc"), the earliest last
// iteration that the loop can precede.
const char *Matcher::lastIteration(const char *sp, const char *rest, size_t startOp, size_t endOp) {
  size_t bodyStart = startOp + 1, bodyEnd = endOp - 1;
  // Iterations of one length split the span evenly.
  int64_t length = fixedLength(bodyStart, bodyEnd);
  if (length > 0)
    return rest - sp >= length ? rest - length : nullptr;
  if (const char *last = greedyLastIteration(sp, rest, bodyStart, bodyEnd))
    return last;
  if (!markEnds(sp, rest, startOp, endOp))
    return nullptr;
  setBits(c.spanBits.data(), 0, 0);
  const char *q = matchesToStop(sp, rest, bodyStart, bodyEnd, c.spanBits.data(), true);
  return q == rest ? nullptr : q;
}

// Dissects the last iteration of the loop [startOp, endOp) over [sp, rest),
// so groups report their last iteration.
bool Matcher::dissectLoop(const char *sp, const char *rest, size_t startOp, size_t endOp) {
  size_t bodyStart = startOp + 1, bodyEnd = endOp - 1;
  if (rest == sp)
    return dissect(sp, sp, bodyStart, bodyEnd) == sp;
  const char *last = lastIteration(sp, rest, startOp, endOp);
  return last != nullptr && dissect(last, rest, bodyStart, bodyEnd) == rest;
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
