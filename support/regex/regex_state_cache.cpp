// Regex matcher, state sets and fast scan: one bit per operation, advanced
// over one symbol by a walk in operation order (regex_matcher.cpp has the
// overview). The fast scan caches state sets as a lazily built DFA whose
// states also remember the kind of the byte before (line feed, word
// character, other, out of text), so the context steps of anchors and word
// boundaries fold into its transitions; the cache lives in the StateCache
// and survives the search. The tagged scan runs the same walk with one
// position per active state, which finds a match's start in one pass:
// O(operations x scanned bytes).
// Tested by regex_matcher_test.cpp and regex_differential_test.cpp.
#include "support/regex/regex_matcher_internal.h"
#include "support/text_search.h"

namespace vetline::regex::detail {
namespace {

// Bytes of DFA tables one cache may hold before it is flushed; the state
// count limit keeps small programs' tables small as well.
constexpr size_t DfaMemoryLimit = size_t(8) << 20;
constexpr size_t MaxDfaStates = 2048;
constexpr size_t MaxDfaOperations = size_t(1) << 18;

// Splits the bytes into classes that every Char and AnyOf operation, and the
// context steps, treat alike: bytes with the same signature (own class when
// some Char names them, membership in each set, word character, line feed)
// share a class.
void computeClasses(StateCache &c, const Program &g) {
  bool isChar[256] = {};
  for (size_t pc = 0; pc < g.opCount; ++pc)
    if (opOf(g.ops[pc]) == Op::Char)
      isChar[operandOf(g.ops[pc]) & 255] = true;
  if (c.hasContextOps)
    isChar[static_cast<unsigned char>('\n')] = true;
  size_t columns = (g.setCount + 7) / 8;
  // One byte standing for each class that bytes may share.
  int shared[256];
  size_t sharedCount = 0;
  size_t classCount = 0;
  for (int b = 0; b < 256; ++b) {
    int same = -1;
    for (size_t k = 0; k < sharedCount && same < 0 && !isChar[b]; ++k) {
      int other = shared[k];
      bool alike = !c.hasContextOps || isWordChar(other) == isWordChar(b);
      for (size_t column = 0; column < columns && alike; ++column)
        alike = g.setBits[column * 256 + b] == g.setBits[column * 256 + other];
      if (alike)
        same = other;
    }
    if (same >= 0) {
      c.classOf[b] = c.classOf[same];
      continue;
    }
    if (!isChar[b])
      shared[sharedCount++] = b;
    c.classOf[b] = static_cast<uint8_t>(classCount++);
  }
  c.classCount = classCount;
  for (int b = 255; b >= 0; --b)
    c.representative[c.classOf[b]] = static_cast<uint8_t>(b);
}

uint64_t hashSet(const uint64_t *states, size_t words, int kind) {
  uint64_t hash = 14695981039346656037ull ^ static_cast<uint64_t>(kind);
  for (size_t i = 0; i < words; ++i)
    hash = (hash ^ states[i]) * 1099511628211ull;
  return hash ^ (hash >> 29);
}

void flushDfa(StateCache &c) {
  std::memset(c.dfaHash.data(), -1, c.dfaHash.capacity * sizeof(int32_t));
  c.dfaCount = 0;
  for (int32_t &state : c.freshStates)
    state = -1;
}

} // namespace

bool prepareCache(StateCache &c, const Program &g, int eflags) {
  c.programId = 0;
  c.eflags = eflags;
  c.hasWordOps = false;
  c.isLiteral = g.mustLength > 0;
  c.isLineBound = true;
  for (size_t pc = g.firstState; pc < g.lastState; ++pc) {
    Op op = opOf(g.ops[pc]);
    c.hasWordOps = c.hasWordOps || op == Op::WordStart || op == Op::WordEnd;
    c.isLiteral = c.isLiteral && (op == Op::Char || op == Op::GroupOpen || op == Op::GroupClose);
    uint32_t operand = operandOf(g.ops[pc]);
    if (op == Op::Any || (op == Op::Char && operand == '\n') ||
        (op == Op::AnyOf && g.inSet(operand, '\n')))
      c.isLineBound = false;
  }
  c.hasContextOps = c.hasWordOps || g.bolCount > 0 || g.eolCount > 0;
  c.isChain = false;
  if (c.isLineBound && g.mustLength > 0 && !g.hasBackRefs)
    analyzeChain(c, g);
  c.mustPrefix = -1;
  if (g.mustLength > 0) {
    c.mustPrefix = 0;
    for (size_t pc = g.firstState; pc < g.mustStart && c.mustPrefix >= 0; ++pc) {
      Op op = opOf(g.ops[pc]);
      if (op == Op::Char || op == Op::Any || op == Op::AnyOf)
        ++c.mustPrefix;
      else if (op == Op::PlusStart || op == Op::BackRefStart)
        c.mustPrefix = -1;
    }
  }
  c.words = (g.opCount + 63) / 64;
  c.hasClasses = false;
  // A cache that served a much larger program gives its memory back.
  if (c.sets.capacity > 64 * 4 * c.words + 1024) {
    c.sets.release();
    c.tags.release();
    c.dfaSets.release();
    c.dfaNext.release();
  }
  // While a long literal run matches, every byte makes a new DFA state,
  // which costs more to build than the step it saves: large programs made
  // mostly of one literal (a long substituted value) are stepped directly.
  c.useDfa = g.opCount <= MaxDfaOperations && (g.opCount <= 8192 || g.mustLength * 2 < g.opCount);
  c.hasBackRefEnds = false;
  c.hasPreds = false;
  if (!c.sets.reserve(4 * c.words) || !c.fresh.reserve(c.words) ||
      !c.groups.reserve(g.groupCount + 1) || !c.loopPositions.reserve(g.plusNesting + 1) ||
      !c.dfaHash.reserve(64))
    return false;
  c.dfaHash.size = c.dfaHash.capacity;
  flushDfa(c);
  c.programId = g.id;
  return true;
}

Matcher::Matcher(const Program &program, StateCache &cache, int eflags, const char *base,
                 const char *begin, const char *end)
    : g(program), c(cache), ops(program.ops), eflags(eflags), base(base), begin(begin), end(end),
      words(cache.words) {
  st = c.sets.data();
  tmp = st + words;
  context = st + 2 * words;
  saved = st + 3 * words;
  groups = c.groups.data();
}

bool Matcher::reserveTags() {
  if (!c.tags.reserve(2 * g.opCount))
    return false;
  stTags = c.tags.data();
  tmpTags = stTags + g.opCount;
  return true;
}

// Advances the states `before` over `symbol` into `after` (which may be the
// same set for pseudo-symbols): consuming operations read `before`, the
// empty moves read `after`, so one walk in operation order closes every
// forward move; a loop end that activates its loop start walks back.
void Matcher::step(size_t startOp, size_t stopOp, const uint64_t *before, int symbol,
                   uint64_t *after) const {
  for (size_t pc = startOp; pc < stopOp; ++pc) {
    // A block of 64 operations with none active does nothing: bits in it are
    // set only by active operations at or before it. Long literal runs cost
    // a word per 64 bytes of pattern this way.
    if (pc % 64 == 0 && (before[pc / 64] | after[pc / 64]) == 0) {
      pc += 63;
      continue;
    }
    Instruction s = ops[pc];
    uint32_t operand = operandOf(s);
    switch (opOf(s)) {
    case Op::End:
      break;
    case Op::Char:
      if (symbol == static_cast<int>(operand) && test(before, pc))
        set(after, pc + 1);
      break;
    case Op::Any:
      if (symbol < OutOfText && test(before, pc))
        set(after, pc + 1);
      break;
    case Op::AnyOf:
      if (symbol < OutOfText && test(before, pc) && inRange(operand, symbol))
        set(after, pc + 1);
      break;
    case Op::Bol:
      if ((symbol == BeginLine || symbol == BeginEndLine) && test(before, pc))
        set(after, pc + 1);
      break;
    case Op::Eol:
      if ((symbol == EndLine || symbol == BeginEndLine) && test(before, pc))
        set(after, pc + 1);
      break;
    case Op::WordStart:
      if (symbol == BeginWord && test(before, pc))
        set(after, pc + 1);
      break;
    case Op::WordEnd:
      if (symbol == EndWord && test(before, pc))
        set(after, pc + 1);
      break;
    case Op::BackRefStart:
    case Op::BackRefEnd:
    case Op::PlusStart:
    case Op::QuestEnd:
    case Op::GroupOpen:
    case Op::GroupClose:
    case Op::AltEnd:
      if (test(after, pc))
        set(after, pc + 1);
      break;
    case Op::PlusEnd:
      if (test(after, pc)) {
        set(after, pc + 1);
        size_t loopStart = pc - operand;
        if (!test(after, loopStart)) {
          set(after, loopStart);
          pc = loopStart - 1; // re-walk the loop body
        }
      }
      break;
    case Op::QuestStart:
    case Op::AltStart:
      if (test(after, pc)) {
        set(after, pc + 1);
        set(after, pc + operand);
      }
      break;
    case Op::AltFirst:
      if (test(after, pc))
        set(after, pc + operand);
      break;
    case Op::AltNext:
      if (test(after, pc)) {
        set(after, pc + 1);
        if (opOf(ops[pc + operand]) != Op::AltEnd)
          set(after, pc + operand);
      }
      break;
    }
  }
}

// The boundaries between `previous` and `current` (bytes, or OutOfText at
// the range ends): the line flag with how many line steps it takes, and
// the word flag, if any. Both the plain and the tagged context steps use it.
Matcher::Boundary Matcher::boundaryBetween(int previous, int current) const {
  Boundary b;
  bool newline = (g.flags & Newline) != 0;
  if ((previous == '\n' && newline) || (previous == OutOfText && !(eflags & NotBol))) {
    b.lineFlag = BeginLine;
    b.lineSteps = g.bolCount;
  }
  if ((current == '\n' && newline) || (current == OutOfText && !(eflags & NotEol))) {
    b.lineFlag = b.lineFlag == BeginLine ? BeginEndLine : EndLine;
    b.lineSteps += g.eolCount;
  }
  if (c.hasWordOps) {
    int flag = b.lineFlag;
    if ((flag == BeginLine || (previous != OutOfText && !isWordChar(previous))) &&
        (current != OutOfText && isWordChar(current)))
      flag = BeginWord;
    if ((previous != OutOfText && isWordChar(previous)) &&
        (flag == EndLine || (current != OutOfText && !isWordChar(current))))
      flag = EndWord;
    if (flag == BeginWord || flag == EndWord)
      b.wordFlag = flag;
  }
  return b;
}

// Steps over the line and word boundaries between `previous` and `current`
// (bytes, or OutOfText at the range ends): `stepOver(symbol)` steps the
// states over one pseudo-symbol. Line steps come before the word step, so a
// word boundary followed by an anchor ("[[:<:]]^") needs another round:
// `snapshot()` saves the states and `unchanged()` tells whether a round
// left them as saved.
template <class StepOver, class Snapshot, class Unchanged>
void Matcher::contextSteps(int previous, int current, StepOver stepOver, Snapshot snapshot,
                           Unchanged unchanged) {
  Boundary b = boundaryBetween(previous, current);
  bool rounds = b.wordFlag != 0 && b.lineSteps > 0;
  for (;;) {
    if (rounds)
      snapshot();
    for (unsigned i = 0; i < b.lineSteps; ++i)
      stepOver(b.lineFlag);
    if (b.wordFlag != 0)
      stepOver(b.wordFlag);
    if (!rounds || unchanged())
      return;
  }
}

void Matcher::applyContext(uint64_t *states, int previous, int current, size_t startOp,
                           size_t stopOp) {
  if (!c.hasContextOps)
    return;
  contextSteps(
      previous, current, [&](int symbol) { step(startOp, stopOp, states, symbol, states); },
      [&] { assign(context, states); }, [&] { return equal(context, states); });
}

void Matcher::computeFresh() {
  uint64_t *fresh = c.fresh.data();
  clear(fresh);
  set(fresh, g.firstState);
  step(g.firstState, g.lastState, fresh, Nothing, fresh);
}

// False when the DFA is not used for this program.
bool Matcher::prepareDfa() {
  if (!c.useDfa)
    return false;
  if (!c.hasClasses) {
    computeClasses(c, g);
    size_t perState = c.words * sizeof(uint64_t) + c.classCount * sizeof(int32_t) + 1;
    c.maxDfaStates = std::min(MaxDfaStates, std::max<size_t>(16, DfaMemoryLimit / perState));
    c.hasClasses = true;
  }
  return true;
}

const char *Matcher::fast(const char *start) {
  if (prepareDfa())
    return fastDfa(start);
  return fastNfa(start);
}

// At a cold position p no match can start before p, and every match holds
// the must text at most mustPrefix bytes after its start: the search may
// resume at the next occurrence minus that distance. Returns where to go on,
// or null when the must text does not occur again.
const char *Matcher::skipCold(const char *p) {
  if (nextMust < p) {
    const char *found = findText(p, end, g.mustText, g.mustLength);
    if (found == nullptr)
      return nullptr;
    nextMust = found;
  }
  if (nextMust - p <= c.mustPrefix)
    return p;
  return nextMust - c.mustPrefix;
}

// Returns the position where the final state became active, or null. Used
// when the DFA cannot hold even one state.
const char *Matcher::fastNfa(const char *start) {
  int current = start == begin ? OutOfText : byteAt(start - 1);
  const char *p = start;
  assign(st, c.fresh.data());
  coldStart = start;
  for (;;) {
    int previous = current;
    current = p == end ? OutOfText : byteAt(p);
    applyContext(st, previous, current, g.firstState, g.lastState);
    if (test(st, g.lastState))
      return p;
    if (p == end)
      return nullptr;
    assign(tmp, st);
    clear(st);
    ++p;
    step(g.firstState, g.lastState, tmp, current, st);
    bool cold = isEmpty(st);
    merge(st, c.fresh.data());
    if (!cold)
      continue;
    coldStart = p;
    if (c.mustPrefix < 0 || p == end)
      continue;
    const char *target = skipCold(p);
    if (target == nullptr)
      return nullptr;
    if (target > p) {
      p = coldStart = target;
      current = byteAt(p - 1);
    }
  }
}

// What the context steps need to know of the byte before a position:
// out of text, a line feed, a word character or another byte. Programs
// without anchors or word boundaries do not need it at all.
int Matcher::previousKind(const char *p) const {
  if (!c.hasContextOps)
    return 0;
  if (p == begin)
    return 3;
  int ch = byteAt(p - 1);
  return ch == '\n' ? 1 : isWordChar(ch) ? 2 : 0;
}

namespace {

// A byte standing for each kind (without the Anchored bit), as the context
// steps see it.
int previousSymbol(int kind) {
  static const int symbols[] = {' ', '\n', 'a', OutOfText};
  return symbols[kind];
}

} // namespace

// `kind` may carry the Anchored bit: the state of a scan from one fixed
// start, which never adds fresh threads.
int32_t Matcher::freshState(int kind) {
  if (c.freshStates[kind] < 0)
    c.freshStates[kind] = dfaState(c.fresh.data(), kind);
  return c.freshStates[kind];
}

// The hot loop: one table load per byte. A DFA state is a state set
// together with the kind of the byte before it; its transition on a byte
// applies the context steps between the two bytes, notes whether the final
// state is then active (the match ends before the byte), and steps over the
// byte. Transitions are encoded as the target's row offset (state *
// classCount) times 4, plus 2 when the final state was active before the
// byte, plus 1 when the position after the byte is cold.
const char *Matcher::fastDfa(const char *start) {
  int32_t state = freshState(previousKind(start));
  if (state < 0)
    return fastNfa(start);
  size_t classCount = c.classCount;
  size_t row = size_t(state) * classCount;
  const int32_t *table = c.dfaNext.data();
  const char *cold = start;
  bool skipping = c.mustPrefix >= 0;
  for (const char *p = start; p != end;) {
    if (skipping && p == cold) {
      const char *target = skipCold(p);
      if (target == nullptr)
        return nullptr;
      if (target != p) {
        p = cold = target;
        if ((state = freshState(previousKind(p))) < 0)
          return nullptr;
        row = size_t(state) * classCount;
        table = c.dfaNext.data();
        if (p == end)
          break;
      }
    }
    unsigned byteClass = c.classOf[byteAt(p)];
    int32_t next = table[row + byteClass];
    if (next < 0) {
      next = dfaTransition(static_cast<int32_t>(row / classCount), byteClass);
      if (next < 0) {
        // The cache was flushed; carry on from the set just computed.
        int32_t to = dfaState(st, dfaTargetKind);
        if (to < 0)
          return nullptr;
        next = static_cast<int32_t>(size_t(to) * classCount * 4) + dfaFlags;
      }
      table = c.dfaNext.data();
    }
    if (next & 2) {
      coldStart = cold;
      return p;
    }
    ++p;
    // A select rather than a branch: cold positions come and go with the
    // text, so a branch would be mispredicted often.
    cold = (next & 1) ? p : cold;
    row = static_cast<size_t>(next >> 2);
  }
  coldStart = cold;
  size_t id = row / classCount;
  assign(tmp, c.dfaSets.data() + id * words);
  applyContext(tmp, previousSymbol(c.dfaKinds[id]), OutOfText, g.firstState, g.lastState);
  return test(tmp, g.lastState) ? end : nullptr;
}

// slow() over the whole program through the DFA: from `start` alone, the
// end of the longest match or null.
const char *Matcher::anchoredDfa(const char *start) {
  int32_t state = prepareDfa() ? freshState(previousKind(start) | Anchored) : -1;
  if (state < 0)
    return slow(start, end, g.firstState, g.lastState);
  size_t classCount = c.classCount;
  size_t row = size_t(state) * classCount;
  const char *found = nullptr;
  for (const char *p = start; p != end; ++p) {
    unsigned byteClass = c.classOf[byteAt(p)];
    int32_t next = c.dfaNext[row + byteClass];
    if (next < 0) {
      next = dfaTransition(static_cast<int32_t>(row / classCount), byteClass);
      if (next < 0) {
        int32_t to = dfaState(st, dfaTargetKind);
        if (to < 0)
          return slow(start, end, g.firstState, g.lastState);
        next = static_cast<int32_t>(size_t(to) * classCount * 4) + dfaFlags;
      }
    }
    if (next & 2)
      found = p;
    // For an anchored state the cold flag means no thread is left.
    if (next & 1)
      return found;
    row = static_cast<size_t>(next >> 2);
  }
  size_t id = row / classCount;
  assign(tmp, c.dfaSets.data() + id * words);
  applyContext(tmp, previousSymbol(c.dfaKinds[id] & 3), OutOfText, g.firstState, g.lastState);
  return test(tmp, g.lastState) ? end : found;
}

// Finds or adds the DFA state of `states` after a byte of `kind`; -1 when the
// cache is full (it is then flushed, so the caller re-adds what it needs) or
// memory ran out.
int32_t Matcher::dfaState(const uint64_t *states, int kind) {
  if (c.dfaCount * 2 >= c.dfaHash.capacity && c.dfaHash.capacity < 2 * c.maxDfaStates) {
    // Grow the hash and re-insert every state.
    if (!c.dfaHash.reserve(c.dfaHash.capacity * 2))
      return -1;
    std::memset(c.dfaHash.data(), -1, c.dfaHash.capacity * sizeof(int32_t));
    for (size_t id = 0; id < c.dfaCount; ++id) {
      size_t slot =
          hashSet(c.dfaSets.data() + id * words, words, c.dfaKinds[id]) % c.dfaHash.capacity;
      while (c.dfaHash[slot] >= 0)
        slot = (slot + 1) % c.dfaHash.capacity;
      c.dfaHash[slot] = static_cast<int32_t>(id);
    }
  }
  size_t hashSize = c.dfaHash.capacity;
  size_t slot = hashSet(states, words, kind) % hashSize;
  while (c.dfaHash[slot] >= 0) {
    int32_t id = c.dfaHash[slot];
    if (c.dfaKinds[id] == kind && equal(c.dfaSets.data() + size_t(id) * words, states))
      return id;
    slot = (slot + 1) % hashSize;
  }
  size_t id = c.dfaCount;
  if (id == c.maxDfaStates || id * 2 >= hashSize || !c.dfaSets.reserve((id + 1) * words) ||
      !c.dfaNext.reserve((id + 1) * c.classCount) || !c.dfaKinds.reserve(id + 1)) {
    flushDfa(c);
    return -1;
  }
  ++c.dfaCount;
  assign(c.dfaSets.data() + id * words, states);
  std::memset(c.dfaNext.data() + id * c.classCount, -1, c.classCount * sizeof(int32_t));
  c.dfaKinds[id] = static_cast<uint8_t>(kind);
  c.dfaHash[slot] = static_cast<int32_t>(id);
  return static_cast<int32_t>(id);
}

// Leaves the computed set in `st`, its kind in dfaTargetKind and the flag
// bits in dfaFlags, in case the cache had to be flushed.
int32_t Matcher::dfaTransition(int32_t from, unsigned byteClass) {
  int ch = c.representative[byteClass];
  int anchored = c.dfaKinds[from] & Anchored;
  assign(tmp, c.dfaSets.data() + size_t(from) * words);
  applyContext(tmp, previousSymbol(c.dfaKinds[from] & 3), ch, g.firstState, g.lastState);
  bool acceptsBefore = test(tmp, g.lastState);
  clear(st);
  step(g.firstState, g.lastState, tmp, ch, st);
  bool cold = isEmpty(st);
  if (!anchored)
    merge(st, c.fresh.data());
  dfaFlags = (acceptsBefore ? 2 : 0) + (cold ? 1 : 0);
  dfaTargetKind = (!c.hasContextOps ? 0 : ch == '\n' ? 1 : isWordChar(ch) ? 2 : 0) | anchored;
  int32_t to = dfaState(st, dfaTargetKind);
  if (to < 0)
    return -1;
  int32_t encoded = static_cast<int32_t>(size_t(to) * c.classCount * 4) + dfaFlags;
  c.dfaNext[size_t(from) * c.classCount + byteClass] = encoded;
  return encoded;
}

// From one fixed start: the end of the longest match of the operations
// [startOp, stopOp) within [start, stop], or null. With `ends`, also sets
// bit (e - start) for every end e of a match.
const char *Matcher::slow(const char *start, const char *stop, size_t startOp, size_t stopOp,
                          uint64_t *ends) {
  clear(st);
  set(st, startOp);
  step(startOp, stopOp, st, Nothing, st);
  int current = start == begin ? OutOfText : byteAt(start - 1);
  const char *found = nullptr;
  for (const char *p = start;; ++p) {
    int previous = current;
    current = p == end ? OutOfText : byteAt(p);
    applyContext(st, previous, current, startOp, stopOp);
    if (test(st, stopOp)) {
      found = p;
      if (ends != nullptr)
        set(ends, static_cast<size_t>(p - start));
    }
    if (p == stop || isEmpty(st))
      return found;
    assign(tmp, st);
    clear(st);
    step(startOp, stopOp, tmp, current, st);
  }
}

// step() with a position per active state: the earliest start of its
// threads. A state reached by several threads keeps the lowest: its future
// is the same whichever thread got there. A state reached with a lower
// position after it was walked is walked again, like a loop start.
void Matcher::stepTagged(size_t startOp, size_t stopOp, const uint64_t *before,
                         const int64_t *beforeTags, int symbol, uint64_t *after,
                         int64_t *afterTags) const {
  size_t pc = startOp;
  auto reach = [&](size_t to, int64_t tag) {
    if (!test(after, to)) {
      set(after, to);
      afterTags[to] = tag;
      return true;
    }
    if (tag < afterTags[to]) {
      afterTags[to] = tag;
      return true;
    }
    return false;
  };
  for (; pc < stopOp; ++pc) {
    if (pc % 64 == 0 && (before[pc / 64] | after[pc / 64]) == 0) {
      pc += 63;
      continue;
    }
    Instruction s = ops[pc];
    uint32_t operand = operandOf(s);
    bool consumes = false;
    switch (opOf(s)) {
    case Op::End:
      break;
    case Op::Char:
      consumes = symbol == static_cast<int>(operand);
      break;
    case Op::Any:
      consumes = symbol < OutOfText;
      break;
    case Op::AnyOf:
      consumes = symbol < OutOfText && inRange(operand, symbol);
      break;
    case Op::Bol:
      consumes = symbol == BeginLine || symbol == BeginEndLine;
      break;
    case Op::Eol:
      consumes = symbol == EndLine || symbol == BeginEndLine;
      break;
    case Op::WordStart:
      consumes = symbol == BeginWord;
      break;
    case Op::WordEnd:
      consumes = symbol == EndWord;
      break;
    case Op::BackRefStart:
    case Op::BackRefEnd:
    case Op::PlusStart:
    case Op::QuestEnd:
    case Op::GroupOpen:
    case Op::GroupClose:
    case Op::AltEnd:
      if (test(after, pc))
        reach(pc + 1, afterTags[pc]);
      break;
    case Op::PlusEnd:
      if (test(after, pc)) {
        int64_t tag = afterTags[pc];
        reach(pc + 1, tag);
        size_t loopStart = pc - operand;
        if (reach(loopStart, tag))
          pc = loopStart - 1; // re-walk the loop body
      }
      break;
    case Op::QuestStart:
    case Op::AltStart:
      if (test(after, pc)) {
        int64_t tag = afterTags[pc];
        reach(pc + 1, tag);
        reach(pc + operand, tag);
      }
      break;
    case Op::AltFirst:
      if (test(after, pc))
        reach(pc + operand, afterTags[pc]);
      break;
    case Op::AltNext:
      if (test(after, pc)) {
        int64_t tag = afterTags[pc];
        reach(pc + 1, tag);
        if (opOf(ops[pc + operand]) != Op::AltEnd)
          reach(pc + operand, tag);
      }
      break;
    }
    if (consumes && test(before, pc))
      reach(pc + 1, beforeTags[pc]);
  }
}

// applyContext() on `st` and its tags.
void Matcher::applyContextTagged(int previous, int current, size_t startOp, size_t stopOp) {
  if (!c.hasContextOps)
    return;
  size_t tagBytes = g.opCount * sizeof(int64_t);
  contextSteps(
      previous, current,
      [&](int symbol) { stepTagged(startOp, stopOp, st, stTags, symbol, st, stTags); },
      [&] {
        assign(context, st);
        std::memcpy(tmpTags, stTags, tagBytes);
      },
      [&] { return equal(context, st) && std::memcmp(tmpTags, stTags, tagBytes) == 0; });
}

// Steps `st` and its tags over `symbol` (a byte), through `tmp`.
void Matcher::advanceTagged(size_t startOp, size_t stopOp, int symbol) {
  clear(tmp);
  stepTagged(startOp, stopOp, st, stTags, symbol, tmp, tmpTags);
  std::swap(st, tmp);
  std::swap(stTags, tmpTags);
}

// Removes from `st` the states tagged above `tag`.
void Matcher::dropTagsAbove(int64_t tag) {
  for (size_t w = 0; w < words; ++w)
    for (uint64_t bits = st[w]; bits != 0; bits &= bits - 1) {
      size_t i = w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
      if (stTags[i] > tag)
        reset(st, i);
    }
}

// Adds the states of `states` that `st` lacks, tagged `tag`. A state that
// `st` already holds keeps its earlier tag, and so do the states it leads
// to, as `st` is closed.
void Matcher::joinTagged(const uint64_t *states, int64_t tag) {
  for (size_t w = 0; w < words; ++w) {
    uint64_t joining = states[w] & ~st[w];
    st[w] |= joining;
    for (; joining != 0; joining &= joining - 1)
      stTags[w * 64 + static_cast<size_t>(__builtin_ctzll(joining))] = tag;
  }
}

// The leftmost-longest match at or after `from` (a cold position before
// which no match starts) in one pass: every state carries the earliest start
// of the threads in it (a later start in the same state can do no better),
// fresh threads join until a match is known, and the pass ends when no
// thread that could still win is left. Same result as trying every start in
// turn with slow(), without rescanning the text from each of them.
bool Matcher::leftmostLongest(const char *from, const char *&matchStart, const char *&matchEnd) {
  // Most matches start at the cold position itself: one DFA scan from there
  // settles it. Otherwise no match starts there, and the tagged pass takes
  // over one byte later.
  if (const char *longest = anchoredDfa(from)) {
    matchStart = from;
    matchEnd = longest;
    return true;
  }
  return from != end && taggedSearch(from + 1, end, matchStart, matchEnd);
}

// The tagged pass of leftmostLongest(): the leftmost-longest match that
// starts in [from, stop] and ends by `stop`, where no thread that started
// before `from` is alive. Scans no further than `stop`.
bool Matcher::taggedSearch(const char *from, const char *stop, const char *&matchStart,
                           const char *&matchEnd) {
  size_t first = g.firstState, last = g.lastState;
  const uint64_t *fresh = c.fresh.data();
  clear(st);
  joinTagged(fresh, from - base);
  int current = from == begin ? OutOfText : byteAt(from - 1);
  bool found = false;
  int64_t bestStart = 0;
  for (const char *p = from;; ++p) {
    int previous = current;
    current = p == end ? OutOfText : byteAt(p);
    applyContextTagged(previous, current, first, last);
    if (test(st, last)) {
      int64_t start = stTags[last];
      // Ends only grow, so an equal start means a longer match.
      if (!found || start <= bestStart) {
        found = true;
        bestStart = start;
        matchEnd = p;
      }
    }
    if (p == stop)
      break;
    advanceTagged(first, last, current);
    if (!found) {
      joinTagged(fresh, p + 1 - base);
      continue;
    }
    // Threads that started after the best start cannot win any more.
    dropTagsAbove(bestStart);
    if (isEmpty(st))
      break;
  }
  if (found)
    matchStart = base + bestStart;
  return found;
}

} // namespace vetline::regex::detail
