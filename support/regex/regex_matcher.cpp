// Regex matcher: leftmost-longest search by simulating the operation list as
// a set of active states (one bit per operation), in four stages:
//   1. fast scan: states from every start position at once, until the final
//      state turns up; notes the last position before which no thread
//      survived (no match can start earlier). Comparing the set with the
//      fresh start set is not enough: a thread that finished an alternative
//      which can also match nothing, as in (x*|.)+, sits in fresh states
//      while its match is still under way;
//   2. slow scan: states from one fixed start, giving the longest end; tried
//      from that cold position on until a start matches;
//   3. dissection (no back-references): splits the match over the top-level
//      constructs, each taking the longest span that lets the rest match;
//   4. back-tracking (back-references): a depth-first search with an
//      explicit choice stack that must end exactly at the found end; the
//      state simulation only over-approximates back-references.
// The fast scan caches state sets as a lazily built DFA whose states also
// remember the kind of the byte before (line feed, word character, other, out
// of text), so the context steps of anchors and word boundaries fold into its
// transitions. Cost: O(operations x text) for stages 1 and 2; the
// dissection is polynomial; the back-tracking pass is exponential in the
// worst case and therefore has a work budget (OutOfMemory when spent).
// Tested by regex_matcher_test.cpp and regex_differential_test.cpp.
#include "support/regex/regex_engine.h"

#include <cstdlib>
#include <cstring>

namespace vetline::regex {
namespace {

// Pseudo-symbols beside the 256 byte values.
enum Symbol : int {
  OutOfText = 256,
  BeginLine = 257,
  EndLine = 258,
  BeginEndLine = 259,
  Nothing = 260,
  BeginWord = 261,
  EndWord = 262,
};

// Beyond this many back-reference checks of an empty group along one path
// the path fails.
constexpr unsigned MaxEmptyBackRefs = 100;

// Work and memory limits of the back-tracking pass. The work budget of one
// search grows with the text, so back-references over large inputs still
// work while exponential patterns give up after a bounded time.
constexpr uint64_t BacktrackBaseBudget = uint64_t(1) << 20;
constexpr uint64_t BacktrackBudgetPerByte = 256;
constexpr size_t MaxChoices = size_t(1) << 20;
constexpr size_t MaxTrail = size_t(1) << 21;

// Lazily built DFA of the fast scan; flushed when it grows beyond this.
constexpr size_t MaxDfaStates = 2048;
constexpr size_t DfaHashSize = 2 * MaxDfaStates;

bool isWordChar(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_';
}

// Growable array of trivially copyable values on malloc, so running out of
// memory is an error code rather than an abort.
template <class T> class Stack {
public:
  ~Stack() { std::free(items); }
  bool push(const T &item) {
    if (size == capacity) {
      size_t wanted = capacity == 0 ? 64 : capacity * 2;
      auto *grown = static_cast<T *>(std::realloc(items, wanted * sizeof(T)));
      if (grown == nullptr)
        return false;
      items = grown;
      capacity = wanted;
    }
    items[size++] = item;
    return true;
  }
  T pop() { return items[--size]; }
  size_t size = 0;

private:
  T *items = nullptr;
  size_t capacity = 0;
};

class Matcher {
public:
  Matcher(const Program &program, int eflags, const char *base, const char *begin,
          const char *end)
      : g(program), ops(program.ops), eflags(eflags), base(base), begin(begin), end(end),
        words((program.opCount + 63) / 64),
        budget(BacktrackBaseBudget + BacktrackBudgetPerByte * uint64_t(end - begin)) {}
  ~Matcher();

  int run(size_t count, SubMatch *matches);

private:
  const Program &g;
  const Instruction *ops;
  int eflags;
  const char *base;
  const char *begin;
  const char *end;
  size_t words;
  bool hasContextOps = false;
  bool hasWordOps = false;

  // Scratch state sets of `words` words each, in one block.
  uint64_t *block = nullptr;
  uint64_t *st = nullptr;
  uint64_t *fresh = nullptr;
  uint64_t *tmp = nullptr;
  uint64_t *context = nullptr;
  const char *coldStart = nullptr;

  SubMatch *groups = nullptr;
  int64_t *loopPositions = nullptr;
  size_t *backRefEnds = nullptr;
  bool exhausted = false;
  // Back-tracking steps of this call, across every attempted start and end.
  uint64_t work = 0;
  uint64_t budget = 0;

  // DFA cache of the fast scan: sets, their transitions (-1 unknown) and
  // whether they hold the final state.
  uint64_t *dfaSets = nullptr;
  int32_t *dfaNext = nullptr;
  uint8_t *dfaKinds = nullptr;
  int32_t *dfaHash = nullptr;
  size_t dfaCount = 0;
  size_t dfaCapacity = 0;
  uint8_t classOf[256] = {};
  uint8_t representative[256] = {};
  size_t classCount = 1;

  // Bytes a match may consume before its must text; -1 when unbounded or
  // there is no must text. nextMust caches the next occurrence.
  int64_t mustPrefix = -1;
  const char *nextMust = nullptr;
  int dfaFlags = 0;
  int dfaTargetKind = 0;

  static bool test(const uint64_t *s, size_t i) { return (s[i / 64] >> (i % 64)) & 1; }
  static void set(uint64_t *s, size_t i) { s[i / 64] |= uint64_t(1) << (i % 64); }
  void clear(uint64_t *s) const { std::memset(s, 0, words * sizeof(uint64_t)); }
  void assign(uint64_t *to, const uint64_t *from) const {
    std::memcpy(to, from, words * sizeof(uint64_t));
  }
  bool equal(const uint64_t *a, const uint64_t *b) const {
    return std::memcmp(a, b, words * sizeof(uint64_t)) == 0;
  }
  void merge(uint64_t *to, const uint64_t *from) const {
    for (size_t i = 0; i < words; ++i)
      to[i] |= from[i];
  }
  bool isEmpty(const uint64_t *s) const {
    for (size_t i = 0; i < words; ++i)
      if (s[i] != 0)
        return false;
    return true;
  }

  int byteAt(const char *p) const { return static_cast<unsigned char>(*p); }
  bool inRange(size_t set, int c) const { return g.inSet(set, static_cast<unsigned char>(c)); }

  void step(size_t startOp, size_t stopOp, const uint64_t *before, int symbol,
            uint64_t *after) const;
  void applyContext(uint64_t *states, int previous, int current, size_t startOp,
                    size_t stopOp);
  const char *fast(const char *start);
  const char *fastNfa(const char *start);
  const char *fastDfa(const char *start);
  // With `ends`, also collects every end, shortest first.
  const char *slow(const char *start, const char *stop, size_t startOp, size_t stopOp,
                   Stack<const char *> *ends = nullptr);
  size_t constructEnd(size_t pc) const;
  const char *span(const char *sp, const char *stop, size_t startOp, size_t endOp,
                   size_t stopOp);
  const char *dissect(const char *sp, const char *stop, size_t startOp, size_t stopOp);
  bool dissectLoop(const char *sp, const char *rest, size_t startOp, size_t endOp);
  bool dissectAlternation(const char *sp, const char *rest, size_t startOp);

  bool beginsLine(const char *sp) const;
  bool endsLine(const char *sp) const;
  bool contextHolds(Op op, const char *sp) const;
  bool findBackRefEnds();
  bool backtrack(const char *start, const char *stop);

  const char *skipCold(const char *p);
  bool initDfa();
  bool growDfa();
  int32_t dfaState(const uint64_t *states, int kind);
  int previousKind(const char *p) const;
  static int previousSymbol(int kind);
  int32_t dfaTransition(int32_t from, unsigned byteClass);
  void computeClasses();
};

Matcher::~Matcher() {
  std::free(block);
  std::free(groups);
  std::free(loopPositions);
  std::free(backRefEnds);
  std::free(dfaSets);
  std::free(dfaNext);
  std::free(dfaKinds);
  std::free(dfaHash);
}

// Advances the states `before` over `symbol` into `after` (which may be the
// same set for pseudo-symbols): consuming operations read `before`, the
// empty moves read `after`, so one walk in operation order closes every
// forward move; a loop end that activates its loop start walks back.
void Matcher::step(size_t startOp, size_t stopOp, const uint64_t *before, int symbol,
                   uint64_t *after) const {
  for (size_t pc = startOp; pc < stopOp; ++pc) {
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

// Steps over the line and word boundaries between `previous` and `current`
// (bytes, or OutOfText at the range ends).
void Matcher::applyContext(uint64_t *states, int previous, int current, size_t startOp,
                           size_t stopOp) {
  if (!hasContextOps)
    return;
  int flag = 0;
  unsigned repeat = 0;
  uint64_t *tmp = context;
  bool newline = (g.flags & Newline) != 0;
  if ((previous == '\n' && newline) || (previous == OutOfText && !(eflags & NotBol))) {
    flag = BeginLine;
    repeat = g.bolCount;
  }
  if ((current == '\n' && newline) || (current == OutOfText && !(eflags & NotEol))) {
    flag = flag == BeginLine ? BeginEndLine : EndLine;
    repeat += g.eolCount;
  }
  int lineFlag = flag;
  if (hasWordOps) {
    if ((flag == BeginLine || (previous != OutOfText && !isWordChar(previous))) &&
        (current != OutOfText && isWordChar(current)))
      flag = BeginWord;
    if ((previous != OutOfText && isWordChar(previous)) &&
        (flag == EndLine || (current != OutOfText && !isWordChar(current))))
      flag = EndWord;
  }
  bool word = flag == BeginWord || flag == EndWord;
  // Line steps come before the word step, so a word boundary followed by an
  // anchor ("[[:<:]]^") needs another round; repeat until nothing changes.
  bool rounds = word && repeat > 0;
  for (;;) {
    if (rounds)
      assign(tmp, states);
    for (unsigned i = 0; i < repeat; ++i)
      step(startOp, stopOp, states, lineFlag, states);
    if (word)
      step(startOp, stopOp, states, flag, states);
    if (!rounds || equal(tmp, states))
      return;
  }
}

const char *Matcher::fast(const char *start) {
  clear(st);
  set(st, g.firstState);
  step(g.firstState, g.lastState, st, Nothing, st);
  assign(fresh, st);
  if (dfaHash != nullptr || initDfa())
    return fastDfa(start);
  return fastNfa(start);
}

// At a cold position p no match can start before p, and every match holds
// the must text at most mustPrefix bytes after its start: the search may
// resume at the next occurrence minus that distance. Returns where to go on,
// or null when the must text does not occur again.
const char *Matcher::skipCold(const char *p) {
  if (nextMust < p) {
    const void *found = memmem(p, static_cast<size_t>(end - p), g.mustText, g.mustLength);
    if (found == nullptr)
      return nullptr;
    nextMust = static_cast<const char *>(found);
  }
  if (nextMust - p <= mustPrefix)
    return p;
  return nextMust - mustPrefix;
}

// Returns the position where the final state became active, or null.
const char *Matcher::fastNfa(const char *start) {
  int current = start == begin ? OutOfText : byteAt(start - 1);
  const char *p = start;
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
    merge(st, fresh);
    if (!cold)
      continue;
    coldStart = p;
    if (mustPrefix < 0 || p == end)
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
  if (!hasContextOps)
    return 0;
  if (p == begin)
    return 3;
  int c = byteAt(p - 1);
  return c == '\n' ? 1 : isWordChar(c) ? 2 : 0;
}

// A byte standing for each kind, as the context steps see it.
int Matcher::previousSymbol(int kind) {
  static const int symbols[] = {' ', '\n', 'a', OutOfText};
  return symbols[kind];
}

// The hot loop: one table load per byte. Bytes that no operation (nor the
// context) tells apart share a class, which keeps the table small enough for
// the cache. A DFA state is a state set together with the kind of the byte
// before it; its transition on a byte applies the context steps between the
// two bytes, notes whether the final state is then active (the match ends
// before the byte), and steps over the byte. Transitions are encoded as the
// target's row offset (state * classCount) times 4, plus 2 when the final
// state was active before the byte, plus 1 when the position after the byte
// is cold.
const char *Matcher::fastDfa(const char *start) {
  int32_t state = dfaState(fresh, previousKind(start));
  if (state < 0)
    return fastNfa(start);
  size_t row = size_t(state) * classCount;
  const int32_t *table = dfaNext;
  const char *cold = start;
  bool skipping = mustPrefix >= 0;
  for (const char *p = start; p != end;) {
    if (skipping && p == cold) {
      const char *target = skipCold(p);
      if (target == nullptr)
        return nullptr;
      if (target != p) {
        p = cold = target;
        if ((state = dfaState(fresh, previousKind(p))) < 0)
          return nullptr;
        row = size_t(state) * classCount;
        table = dfaNext;
        if (p == end)
          break;
      }
    }
    unsigned byteClass = classOf[byteAt(p)];
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
      table = dfaNext;
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
  assign(tmp, dfaSets + id * words);
  applyContext(tmp, previousSymbol(dfaKinds[id]), OutOfText, g.firstState, g.lastState);
  return test(tmp, g.lastState) ? end : nullptr;
}

// Splits the bytes into classes that every Char and AnyOf operation, and the
// context steps, treat alike.
void Matcher::computeClasses() {
  bool isChar[256] = {};
  std::memset(classOf, 0, sizeof classOf);
  classCount = 1;
  auto split = [&](auto &&member) {
    int remap[2 * 256];
    std::memset(remap, -1, sizeof remap);
    unsigned count = 0;
    for (int c = 0; c < 256; ++c) {
      int key = classOf[c] * 2 + (member(c) ? 1 : 0);
      if (remap[key] < 0)
        remap[key] = static_cast<int>(count++);
      classOf[c] = static_cast<uint8_t>(remap[key]);
    }
    classCount = count;
  };
  for (size_t pc = 0; pc < g.opCount; ++pc)
    if (opOf(ops[pc]) == Op::Char)
      isChar[operandOf(ops[pc]) & 255] = true;
  if (hasContextOps) {
    isChar[static_cast<unsigned char>('\n')] = true;
    split([](int b) { return isWordChar(b); });
  }
  for (int c = 0; c < 256; ++c)
    if (isChar[c])
      split([c](int b) { return b == c; });
  for (size_t set = 0; set < g.setCount; ++set)
    split([&](int b) { return g.inSet(set, static_cast<unsigned char>(b)); });
  for (int c = 255; c >= 0; --c)
    representative[classOf[c]] = static_cast<uint8_t>(c);
}

bool Matcher::initDfa() {
  dfaHash = static_cast<int32_t *>(std::malloc(DfaHashSize * sizeof(int32_t)));
  if (dfaHash == nullptr)
    return false;
  std::memset(dfaHash, -1, DfaHashSize * sizeof(int32_t));
  dfaCount = 0;
  computeClasses();
  return true;
}

bool Matcher::growDfa() {
  size_t wanted = dfaCapacity == 0 ? 16 : dfaCapacity * 2;
  auto *sets = static_cast<uint64_t *>(std::realloc(dfaSets, wanted * words * sizeof(uint64_t)));
  if (sets == nullptr)
    return false;
  dfaSets = sets;
  auto *next =
      static_cast<int32_t *>(std::realloc(dfaNext, wanted * classCount * sizeof(int32_t)));
  if (next == nullptr)
    return false;
  dfaNext = next;
  auto *kinds = static_cast<uint8_t *>(std::realloc(dfaKinds, wanted));
  if (kinds == nullptr)
    return false;
  dfaKinds = kinds;
  dfaCapacity = wanted;
  return true;
}

// Finds or adds the DFA state of `states` after a byte of `kind`; -1 when the
// cache is full (it is then flushed, so the caller re-adds what it needs).
int32_t Matcher::dfaState(const uint64_t *states, int kind) {
  uint64_t hash = 14695981039346656037ull ^ static_cast<uint64_t>(kind);
  for (size_t i = 0; i < words; ++i)
    hash = (hash ^ states[i]) * 1099511628211ull;
  size_t slot = static_cast<size_t>(hash ^ (hash >> 29)) % DfaHashSize;
  while (dfaHash[slot] >= 0) {
    int32_t id = dfaHash[slot];
    if (dfaKinds[id] == kind && equal(dfaSets + size_t(id) * words, states))
      return id;
    slot = (slot + 1) % DfaHashSize;
  }
  if (dfaCount == MaxDfaStates || (dfaCount == dfaCapacity && !growDfa())) {
    std::memset(dfaHash, -1, DfaHashSize * sizeof(int32_t));
    dfaCount = 0;
    return -1;
  }
  int32_t id = static_cast<int32_t>(dfaCount++);
  assign(dfaSets + size_t(id) * words, states);
  std::memset(dfaNext + size_t(id) * classCount, -1, classCount * sizeof(int32_t));
  dfaKinds[id] = static_cast<uint8_t>(kind);
  dfaHash[slot] = id;
  return id;
}

// Leaves the computed set in `st`, its kind in dfaTargetKind and the flag
// bits in dfaFlags, in case the cache had to be flushed.
int32_t Matcher::dfaTransition(int32_t from, unsigned byteClass) {
  int c = representative[byteClass];
  assign(tmp, dfaSets + size_t(from) * words);
  applyContext(tmp, previousSymbol(dfaKinds[from]), c, g.firstState, g.lastState);
  bool acceptsBefore = test(tmp, g.lastState);
  clear(st);
  step(g.firstState, g.lastState, tmp, c, st);
  bool cold = isEmpty(st);
  merge(st, fresh);
  dfaFlags = (acceptsBefore ? 2 : 0) + (cold ? 1 : 0);
  dfaTargetKind = !hasContextOps ? 0 : c == '\n' ? 1 : isWordChar(c) ? 2 : 0;
  int32_t to = dfaState(st, dfaTargetKind);
  if (to < 0)
    return -1;
  int32_t encoded = static_cast<int32_t>(size_t(to) * classCount * 4) + dfaFlags;
  dfaNext[size_t(from) * classCount + byteClass] = encoded;
  return encoded;
}

// From one fixed start: the end of the longest match of the operations
// [startOp, stopOp) within [start, stop], or null.
const char *Matcher::slow(const char *start, const char *stop, size_t startOp,
                          size_t stopOp, Stack<const char *> *ends) {
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
      if (ends != nullptr && !ends->push(p))
        exhausted = true;
    }
    if (p == stop || isEmpty(st))
      return found;
    assign(tmp, st);
    clear(st);
    step(startOp, stopOp, tmp, current, st);
  }
}

size_t Matcher::constructEnd(size_t pc) const {
  if (opOf(ops[pc]) != Op::AltStart)
    return pc + operandOf(ops[pc]);
  do
    pc += operandOf(ops[pc]);
  while (opOf(ops[pc]) == Op::AltNext);
  return pc;
}

// The longest end for the construct [startOp, endOp) from `sp` after which
// the operations [endOp, stopOp) match exactly up to `stop`.
const char *Matcher::span(const char *sp, const char *stop, size_t startOp, size_t endOp,
                          size_t stopOp) {
  const char *limit = stop;
  for (;;) {
    const char *rest = slow(sp, limit, startOp, endOp);
    if (rest == nullptr)
      return nullptr;
    if (slow(rest, stop, endOp, stopOp) == stop)
      return rest;
    if (rest == sp)
      return nullptr;
    limit = rest - 1;
  }
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
      const char *rest = span(sp, stop, pc, endOp, stopOp);
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

struct Choice {
  size_t pc;
  const char *sp;
  unsigned level;
  unsigned emptyRefs;
  size_t trail;
};

struct TrailEntry {
  int64_t *slot;
  int64_t old;
};

// Depth-first search for a path through the program that matches exactly
// [start, stop), back-references compared byte for byte. Alternatives are
// tried in order, optional parts and loops taken before skipped, so groups
// get the values of the first path found. Sets `exhausted` when the work or
// memory budget runs out.
// Pairs every BackRefStart with its BackRefEnd (copies nest, so a stack).
bool Matcher::findBackRefEnds() {
  backRefEnds = static_cast<size_t *>(std::malloc(g.opCount * sizeof(size_t)));
  if (backRefEnds == nullptr)
    return false;
  Stack<size_t> open;
  for (size_t pc = 0; pc < g.opCount; ++pc) {
    if (opOf(ops[pc]) == Op::BackRefStart && !open.push(pc))
      return false;
    if (opOf(ops[pc]) == Op::BackRefEnd && open.size > 0)
      backRefEnds[open.pop()] = pc;
  }
  return true;
}

bool Matcher::backtrack(const char *start, const char *stop) {
  Stack<Choice> choices;
  Stack<TrailEntry> trail;
  size_t pc = g.firstState;
  const char *sp = start;
  unsigned level = 0;
  unsigned emptyRefs = 0;
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
    if (++work > budget) {
      exhausted = true;
      return false;
    }
    Instruction s = ops[pc];
    uint32_t operand = operandOf(s);
    bool ok = true;
    switch (opOf(s)) {
    case Op::End:
      if (pc == g.lastState && sp == stop)
        return true;
      ok = false;
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
    if (exhausted || choices.size == 0)
      return false;
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
}

int Matcher::run(size_t count, SubMatch *matches) {
  if (g.mustLength > 0) {
    const void *found = memmem(begin, static_cast<size_t>(end - begin), g.mustText, g.mustLength);
    if (found == nullptr)
      return NoMatch;
    nextMust = static_cast<const char *>(found);
    mustPrefix = 0;
    for (size_t pc = g.firstState; pc < g.mustStart && mustPrefix >= 0; ++pc) {
      Op op = opOf(ops[pc]);
      if (op == Op::Char || op == Op::Any || op == Op::AnyOf)
        ++mustPrefix;
      else if (op == Op::PlusStart || op == Op::BackRefStart)
        mustPrefix = -1;
    }
  }
  for (size_t pc = 0; pc < g.opCount; ++pc) {
    Op op = opOf(ops[pc]);
    if (op == Op::WordStart || op == Op::WordEnd)
      hasWordOps = true;
  }
  hasContextOps = hasWordOps || g.bolCount > 0 || g.eolCount > 0;
  block = static_cast<uint64_t *>(std::malloc(4 * words * sizeof(uint64_t)));
  if (block == nullptr)
    return OutOfMemory;
  st = block;
  fresh = block + words;
  tmp = block + 2 * words;
  context = block + 3 * words;

  const char *start = begin;
  for (;;) {
    const char *stop = fast(start);
    if (stop == nullptr)
      return NoMatch;
    if (count == 0 && !g.hasBackRefs)
      return Success;
    const char *matchEnd = nullptr;
    for (;;) {
      matchEnd = slow(coldStart, end, g.firstState, g.lastState);
      if (matchEnd != nullptr)
        break;
      if (coldStart >= end)
        return InternalError;
      ++coldStart;
    }
    if (count <= 1 && !g.hasBackRefs) {
      if (count == 1)
        matches[0] = {coldStart - base, matchEnd - base};
      return Success;
    }
    if (groups == nullptr) {
      groups = static_cast<SubMatch *>(std::malloc((g.groupCount + 1) * sizeof(SubMatch)));
      if (groups == nullptr)
        return OutOfMemory;
    }
    for (size_t i = 0; i <= g.groupCount; ++i)
      groups[i] = {-1, -1};
    bool found;
    if (!g.hasBackRefs) {
      found = dissect(coldStart, matchEnd, g.firstState, g.lastState) == matchEnd;
      if (!found)
        return InternalError;
    } else {
      if (loopPositions == nullptr) {
        loopPositions =
            static_cast<int64_t *>(std::malloc((g.plusNesting + 1) * sizeof(int64_t)));
        if (loopPositions == nullptr)
          return OutOfMemory;
      }
      if (backRefEnds == nullptr && !findBackRefEnds())
        return OutOfMemory;
      for (size_t i = 0; i <= g.plusNesting; ++i)
        loopPositions[i] = -1;
      // Every end the state simulation allows from this start, longest
      // first: one scan instead of one per shorter end.
      Stack<const char *> ends;
      slow(coldStart, end, g.firstState, g.lastState, &ends);
      found = false;
      while (!found && !exhausted && ends.size > 0) {
        matchEnd = ends.pop();
        found = backtrack(coldStart, matchEnd);
      }
      if (exhausted)
        return OutOfMemory;
      if (!found) {
        // The state simulation over-approximated the back-references: no
        // match starts here after all.
        if (coldStart >= end)
          return NoMatch;
        start = coldStart + 1;
        continue;
      }
    }
    if (count > 0)
      matches[0] = {coldStart - base, matchEnd - base};
    for (size_t i = 1; i < count; ++i)
      matches[i] = i <= g.groupCount ? groups[i] : SubMatch{-1, -1};
    return Success;
  }
}

} // namespace

int execute(const Handle &handle, const char *text, size_t count, SubMatch *matches,
            int flags) {
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
  Matcher matcher(program, flags, text, begin, end);
  return matcher.run(count, matches);
}

} // namespace vetline::regex
