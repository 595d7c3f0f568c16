// Regex matcher internals: what the matcher's stages share. The stages live
// in their own files:
//   regex_state_cache.cpp  state sets, the cached DFA of the fast scan and the
//                          tagged scan that finds a match's start;
//   regex_dissect.cpp      sub-match dissection (no back-references), with
//                          backward scans over the empty moves reversed;
//   regex_backtrack.cpp    the back-tracking pass (back-references);
//   regex_chain.cpp        the walk of programs that match deterministically;
//   regex_matcher.cpp      the search driver behind execute().
// A StateCache outlives one search: byte classes, the fresh state set and the
// DFA built so far belong to the program, so repeated searches with the same
// program (the check-file reader searches for the prefixes thousands of
// times) pay their set-up once. Caches sit in a small per-thread pool keyed
// by program identity, so the engine stays reentrant and memory stays
// bounded however many programs exist.
#pragma once

#include "support/regex/regex_engine.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vetline::regex::detail {

// Jump distances and group numbers are operands; every operation index of
// the largest program must fit, or a jump would wrap silently.
static_assert(MaxOperations <= OperandMask, "operation count exceeds the operand bits");
static_assert(MaxTotalOperations <= OperandMask, "operation count exceeds the operand bits");
// Byte operands (Char) and the 20 operation codes fit their fields.
static_assert(OperandMask >= 255, "a byte must fit the operand");
static_assert(static_cast<unsigned>(Op::WordEnd) < 32, "operation codes use 5 bits");

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

// DFA state kinds: the kind of the byte before (0 other, 1 line feed, 2 word
// character, 3 out of text), plus this bit for the states of a scan from one
// fixed start.
constexpr int Anchored = 4;

// Operations that take one byte, and those that take none but must hold.
inline bool isByteOp(Op op) { return op == Op::Char || op == Op::Any || op == Op::AnyOf; }
inline bool isContextOp(Op op) {
  return op == Op::Bol || op == Op::Eol || op == Op::WordStart || op == Op::WordEnd;
}

inline bool isWordChar(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Growable array of trivially copyable values on malloc, freed with its
// owner; growth failure is reported (OutOfMemory), never an abort.
template <class T> class ScratchArray {
public:
  ScratchArray() = default;
  ~ScratchArray() { std::free(items); }
  ScratchArray(const ScratchArray &) = delete;
  ScratchArray &operator=(const ScratchArray &) = delete;

  // Room for `wanted` items; contents up to the old capacity are kept.
  bool reserve(size_t wanted) {
    if (wanted <= capacity)
      return true;
    size_t grown = capacity == 0 ? 16 : capacity * 2;
    if (grown < wanted)
      grown = wanted;
    auto *moved = static_cast<T *>(std::realloc(items, grown * sizeof(T)));
    if (moved == nullptr)
      return false;
    items = moved;
    capacity = grown;
    return true;
  }
  bool push(const T &item) {
    if (size == capacity && !reserve(size + 1))
      return false;
    items[size++] = item;
    return true;
  }
  T pop() { return items[--size]; }
  T *data() { return items; }
  const T *data() const { return items; }
  T &operator[](size_t i) { return items[i]; }
  const T &operator[](size_t i) const { return items[i]; }
  // Gives the storage back: a cache that held a much larger program, or
  // scratch sized by a long match.
  void release() {
    std::free(items);
    items = nullptr;
    capacity = 0;
    size = 0;
  }
  size_t size = 0;
  size_t capacity = 0;

private:
  T *items = nullptr;
};

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

// Everything a search with one program (and one set of execution flags)
// can reuse from the previous search.
struct StateCache {
  uint64_t programId = 0;
  int eflags = -1;
  bool hasContextOps = false;
  bool hasWordOps = false;
  // The program is a run of Char operations, possibly with groups around
  // parts of it: a match is the first occurrence of the must text.
  bool isLiteral = false;
  // Bytes a match may consume before its must text; -1 when unbounded or
  // there is no must text.
  int64_t mustPrefix = -1;
  // No operation consumes a line feed: every match lies within one line.
  bool isLineBound = false;
  // Bytes of lines that searches may still scan with the tagged pass, or
  // walk without a match, before the DFA takes over (see searchLines).
  size_t lineBudget = 0;
  // The program is a chain (see regex_chain.cpp); chainLead is the
  // operation after its first item that must take a byte.
  bool isChain = false;
  size_t chainLead = 0;
  size_t words = 0;

  // The byte classes and the DFA limits that depend on them, computed when
  // the DFA is first needed: a program searched once may never need it.
  bool hasClasses = false;
  uint8_t classOf[256] = {};
  uint8_t representative[256] = {};
  size_t classCount = 1;

  // The first state and its closure.
  ScratchArray<uint64_t> fresh;
  // Lazily built DFA: state sets, transitions (-1 unknown; see fastDfa for
  // the encoding), the kind of the byte before each state, an open-addressed
  // hash of the sets.
  ScratchArray<uint64_t> dfaSets;
  ScratchArray<int32_t> dfaNext;
  ScratchArray<uint8_t> dfaKinds;
  ScratchArray<int32_t> dfaHash;
  size_t dfaCount = 0;
  size_t maxDfaStates = 0;
  bool useDfa = true;
  // The DFA state of the fresh set after each kind of byte, unanchored and
  // anchored, -1 unknown.
  int32_t freshStates[8] = {-1, -1, -1, -1, -1, -1, -1, -1};

  // Per-search scratch, reused: four state sets, two tag arrays, groups,
  // loop positions, back-reference ends, the back-tracking stacks.
  ScratchArray<uint64_t> sets;
  ScratchArray<int64_t> tags;
  ScratchArray<SubMatch> groups;
  ScratchArray<SubMatch> bestGroups;
  ScratchArray<int64_t> loopPositions;
  ScratchArray<size_t> backRefEnds;
  bool hasBackRefEnds = false;
  ScratchArray<Choice> choices;
  ScratchArray<TrailEntry> trail;

  // Dissection: the empty moves reversed (the operations with a move to
  // operation v are preds[predStart[v] .. predStart[v + 1]]), built on first
  // use; a work stack and a bit per text position of one span.
  bool hasPreds = false;
  ScratchArray<uint32_t> predStart;
  ScratchArray<uint32_t> preds;
  ScratchArray<uint32_t> work;
  ScratchArray<uint64_t> spanBits;
};

// Prepares `cache` for `program` searched with `eflags`: byte classes,
// fresh set, empty DFA. False when memory runs out.
bool prepareCache(StateCache &cache, const Program &program, int eflags);

// Sets isChain and chainLead of `cache` for `program`.
void analyzeChain(StateCache &cache, const Program &program);

class Matcher {
public:
  Matcher(const Program &program, StateCache &cache, int eflags, const char *base,
          const char *begin, const char *end);

  int run(size_t count, SubMatch *matches);
  // Fills the cache's fresh set; once per prepareCache().
  void computeFresh();

private:
  // The tag arrays of the tagged scans; false when memory runs out.
  bool reserveTags();

  const Program &g;
  StateCache &c;
  const Instruction *ops;
  int eflags;
  const char *base;
  const char *begin;
  const char *end;
  size_t words;

  uint64_t *st = nullptr;
  uint64_t *tmp = nullptr;
  uint64_t *context = nullptr;
  uint64_t *saved = nullptr;
  int64_t *stTags = nullptr;
  int64_t *tmpTags = nullptr;
  const char *coldStart = nullptr;
  const char *nextMust = nullptr;
  int dfaFlags = 0;
  int dfaTargetKind = 0;

  SubMatch *groups = nullptr;
  // The groups were recorded by a chain walk: no dissection needed.
  bool groupsWalked = false;
  bool exhausted = false;
  // Dissection ran out of memory: the search reports OutOfMemory.
  bool outOfMemory = false;
  // Back-tracking steps charged against the budget: only steps beyond a
  // linear allowance per candidate count.
  uint64_t charged = 0;
  uint64_t budget = 0;

  static bool test(const uint64_t *s, size_t i) { return (s[i / 64] >> (i % 64)) & 1; }
  static void set(uint64_t *s, size_t i) { s[i / 64] |= uint64_t(1) << (i % 64); }
  static void reset(uint64_t *s, size_t i) { s[i / 64] &= ~(uint64_t(1) << (i % 64)); }
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
  bool inRange(size_t set, int ch) const { return g.inSet(set, static_cast<unsigned char>(ch)); }
  // Whether the byte operation at `pc` takes byte `ch`; inline, as the
  // back-tracking pass and the walks call it for every byte.
  bool consumes(size_t pc, int ch) const {
    Instruction s = ops[pc];
    switch (opOf(s)) {
    case Op::Char:
      return static_cast<int>(operandOf(s)) == ch;
    case Op::Any:
      return true;
    case Op::AnyOf:
      return inRange(operandOf(s), ch);
    default:
      return false;
    }
  }

  // regex_state_cache.cpp
  void step(size_t startOp, size_t stopOp, const uint64_t *before, int symbol,
            uint64_t *after) const;
  struct Boundary {
    int lineFlag = 0;
    unsigned lineSteps = 0;
    int wordFlag = 0; // BeginWord, EndWord or 0
  };
  Boundary boundaryBetween(int previous, int current) const;
  template <class StepOver, class Snapshot, class Unchanged>
  void contextSteps(int previous, int current, StepOver stepOver, Snapshot snapshot,
                    Unchanged unchanged);
  void applyContext(uint64_t *states, int previous, int current, size_t startOp, size_t stopOp);
  bool prepareDfa();
  const char *fast(const char *start);
  const char *fastNfa(const char *start);
  const char *fastDfa(const char *start);
  const char *anchoredDfa(const char *start);
  const char *skipCold(const char *p);
  int32_t dfaState(const uint64_t *states, int kind);
  int32_t freshState(int kind);
  int32_t dfaTransition(int32_t from, unsigned byteClass);
  int previousKind(const char *p) const;
  const char *slow(const char *start, const char *stop, size_t startOp, size_t stopOp,
                   uint64_t *ends = nullptr);
  void stepTagged(size_t startOp, size_t stopOp, const uint64_t *before, const int64_t *beforeTags,
                  int symbol, uint64_t *after, int64_t *afterTags) const;
  void applyContextTagged(int previous, int current, size_t startOp, size_t stopOp);
  void advanceTagged(size_t startOp, size_t stopOp, int symbol);
  void dropTagsAbove(int64_t tag);
  void joinTagged(const uint64_t *states, int64_t tag);
  bool taggedSearch(const char *from, const char *stop, const char *&matchStart,
                    const char *&matchEnd);
  bool leftmostLongest(const char *from, const char *&matchStart, const char *&matchEnd);

  // regex_dissect.cpp
  size_t constructEnd(size_t pc) const;
  int64_t fixedLength(size_t startOp, size_t stopOp) const;
  size_t emptyMoves(size_t u, size_t *targets) const;
  bool buildPreds();
  unsigned contextMask(const char *p) const;

  void closeBackward(uint64_t *states, int64_t *tags, size_t startOp, size_t stopOp,
                     unsigned context, int64_t tag, size_t depth);
  size_t seedBackward(const uint64_t *after, uint64_t *now, const char *p, size_t startOp,
                      size_t stopOp);
  size_t singleByteLoop(size_t startOp, size_t endOp, size_t &least) const;
  const char *runEnd(const char *sp, const char *stop, size_t body) const;
  bool markEnds(const char *sp, const char *stop, size_t startOp, size_t endOp);
  const char *runExit(const char *sp, const char *stop, size_t startOp, size_t endOp,
                      size_t stopOp) const;
  const char *matchesToStop(const char *lo, const char *stop, size_t startOp, size_t stopOp,
                            const uint64_t *allowed, bool lowest);
  const char *greedyLastIteration(const char *sp, const char *rest, size_t bodyStart,
                                  size_t bodyEnd);
  const char *lastIteration(const char *sp, const char *rest, size_t startOp, size_t endOp);
  const char *latestExit(const char *sp, const char *stop, size_t startOp, size_t endOp,
                         size_t stopOp);
  int dissectMatch(const char *matchStart, const char *matchEnd);
  const char *dissect(const char *sp, const char *stop, size_t startOp, size_t stopOp);
  bool dissectLoop(const char *sp, const char *rest, size_t startOp, size_t endOp);
  bool dissectAlternation(const char *sp, const char *rest, size_t startOp);

  // regex_backtrack.cpp
  bool beginsLine(const char *sp) const;
  bool endsLine(const char *sp) const;
  bool contextHolds(Op op, const char *sp) const;
  bool findBackRefEnds();
  const char *backtrack(const char *start, const char *stop);
  int verifyBackRefs(size_t count, SubMatch *matches, const char *start, const char *longest,
                     bool &retry);

  // regex_chain.cpp
  enum class LineSearch { Found, Absent, Undecided };
  bool takes(size_t pc, const char *&sp, const char *stop) const;
  bool mayStartChain(int ch) const;
  const char *walkChain(const char *sp, const char *stop, size_t &allowance);
  LineSearch walkLine(const char *&from, const char *lineEnd, const char *&matchStart,
                      const char *&matchEnd);

  // regex_matcher.cpp
  LineSearch searchLines(const char *&start, const char *&matchStart, const char *&matchEnd);
  int matchLiteral(size_t count, SubMatch *matches);
  int report(size_t count, SubMatch *matches, const char *matchStart, const char *matchEnd);
  int finish(size_t count, SubMatch *matches, const char *matchStart, const char *matchEnd);
};

} // namespace vetline::regex::detail
