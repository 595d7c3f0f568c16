// Regex compiler: a single recursive-descent pass over the pattern that emits
// the operation list directly. Repetition operators wrap the atom's
// operations after the fact (by inserting the loop or alternation head in
// front of them), and bounded repetitions copy them. Post-passes find the
// literal run every match must contain and the depth of nested loops.
// Tested by regex_compiler_test.cpp.
#include "support/regex/regex_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vetline::regex {
namespace {

// Upper bound of a repetition count; Unbounded marks {m,}.
constexpr int MaxCount = 255;
constexpr int Unbounded = MaxCount + 1;

// Nested constructs (loops, alternations, optional parts) in the finished
// program; the dissection recurses once per level.
constexpr unsigned MaxStructureDepth = 4 * MaxNesting;

bool isLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(int c) { return c >= '0' && c <= '9'; }
bool isPunct(int c) {
  return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) ||
         (c >= 123 && c <= 126);
}

int otherCase(int c) {
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 'A';
  if (c >= 'A' && c <= 'Z')
    return c - 'A' + 'a';
  return c;
}

struct CharClass {
  const char *name;
  bool (*contains)(int c);
};

const CharClass charClasses[] = {
    {"alnum", [](int c) { return isLetter(c) || isDigit(c); }},
    {"alpha", [](int c) { return isLetter(c); }},
    {"blank", [](int c) { return c == ' ' || c == '\t'; }},
    {"cntrl", [](int c) { return (c >= 1 && c <= 31) || c == 127; }},
    {"digit", [](int c) { return isDigit(c); }},
    {"graph", [](int c) { return isLetter(c) || isDigit(c) || isPunct(c); }},
    {"lower", [](int c) { return c >= 'a' && c <= 'z'; }},
    {"print", [](int c) { return isLetter(c) || isDigit(c) || isPunct(c) || c == ' '; }},
    {"punct", [](int c) { return isPunct(c); }},
    {"space", [](int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }},
    {"upper", [](int c) { return c >= 'A' && c <= 'Z'; }},
    {"xdigit",
     [](int c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }},
};

struct CollatingName {
  const char *name;
  int code;
};

const CollatingName collatingNames[] = {
    {"NUL", 0},
    {"SOH", 1},
    {"STX", 2},
    {"ETX", 3},
    {"EOT", 4},
    {"ENQ", 5},
    {"ACK", 6},
    {"BEL", 7},
    {"alert", 7},
    {"BS", 8},
    {"backspace", 8},
    {"HT", 9},
    {"tab", 9},
    {"LF", 10},
    {"newline", 10},
    {"VT", 11},
    {"vertical-tab", 11},
    {"FF", 12},
    {"form-feed", 12},
    {"CR", 13},
    {"carriage-return", 13},
    {"SO", 14},
    {"SI", 15},
    {"DLE", 16},
    {"DC1", 17},
    {"DC2", 18},
    {"DC3", 19},
    {"DC4", 20},
    {"NAK", 21},
    {"SYN", 22},
    {"ETB", 23},
    {"CAN", 24},
    {"EM", 25},
    {"SUB", 26},
    {"ESC", 27},
    {"IS4", 28},
    {"FS", 28},
    {"IS3", 29},
    {"GS", 29},
    {"IS2", 30},
    {"RS", 30},
    {"IS1", 31},
    {"US", 31},
    {"space", 32},
    {"exclamation-mark", 33},
    {"quotation-mark", 34},
    {"number-sign", 35},
    {"dollar-sign", 36},
    {"percent-sign", 37},
    {"ampersand", 38},
    {"apostrophe", 39},
    {"left-parenthesis", 40},
    {"right-parenthesis", 41},
    {"asterisk", 42},
    {"plus-sign", 43},
    {"comma", 44},
    {"hyphen", 45},
    {"hyphen-minus", 45},
    {"period", 46},
    {"full-stop", 46},
    {"slash", 47},
    {"solidus", 47},
    {"zero", 48},
    {"one", 49},
    {"two", 50},
    {"three", 51},
    {"four", 52},
    {"five", 53},
    {"six", 54},
    {"seven", 55},
    {"eight", 56},
    {"nine", 57},
    {"colon", 58},
    {"semicolon", 59},
    {"less-than-sign", 60},
    {"equals-sign", 61},
    {"greater-than-sign", 62},
    {"question-mark", 63},
    {"commercial-at", 64},
    {"left-square-bracket", 91},
    {"backslash", 92},
    {"reverse-solidus", 92},
    {"right-square-bracket", 93},
    {"circumflex", 94},
    {"circumflex-accent", 94},
    {"underscore", 95},
    {"low-line", 95},
    {"grave-accent", 96},
    {"left-brace", 123},
    {"left-curly-bracket", 123},
    {"vertical-line", 124},
    {"right-brace", 125},
    {"right-curly-bracket", 125},
    {"tilde", 126},
    {"DEL", 127},
};

// A set under construction: one bit per byte.
struct ByteSet {
  uint64_t words[4] = {};

  void add(int c) { words[(c & 255) / 64] |= uint64_t(1) << (c % 64); }
  void remove(int c) { words[(c & 255) / 64] &= ~(uint64_t(1) << (c % 64)); }
  void invert() {
    for (uint64_t &word : words)
      word = ~word;
  }
  unsigned size() const {
    unsigned n = 0;
    for (uint64_t word : words)
      n += static_cast<unsigned>(__builtin_popcountll(word));
    return n;
  }
  int first() const {
    for (int w = 0; w < 4; ++w)
      if (words[w] != 0)
        return w * 64 + __builtin_ctzll(words[w]);
    return -1;
  }
  // Calls f(c) for every member, in byte order.
  template <class F> void forEach(F f) const {
    for (int w = 0; w < 4; ++w)
      for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
        f(w * 64 + __builtin_ctzll(bits));
  }
  bool operator==(const ByteSet &other) const {
    return std::memcmp(words, other.words, sizeof(words)) == 0;
  }
};

class Compiler {
public:
  Compiler(const char *begin, const char *end, int flags) : cur(begin), end(end), flags(flags) {}
  ~Compiler() {
    std::free(ops);
    std::free(setBits);
    std::free(setHashes);
    std::free(setList);
  }

  int run(Handle &handle);

private:
  // Cursor.
  const char *cur;
  const char *end;
  int flags;
  int error = 0;
  unsigned depth = 0;

  // Output.
  Instruction *ops = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  size_t operationLimit = MaxOperations;
  uint8_t *setBits = nullptr;
  uint32_t *setHashes = nullptr;
  // The sets interned so far, to tell equal hashes apart.
  ByteSet *setList = nullptr;
  size_t setCount = 0;
  size_t setCapacity = 0;
  size_t groupCount = 0;
  // Positions of the GroupOpen and GroupClose of groups 1 to 9, for
  // back-references; groupEnd is 0 until the group is closed. A group whose
  // operations were removed by {0} is referenced as nothing.
  size_t groupBegin[10] = {};
  size_t groupEnd[10] = {};
  bool groupRemoved[10] = {};
  bool hasBackRefs = false;

  bool more() const { return cur < end; }
  bool more2() const { return end - cur >= 2; }
  int peek() const { return static_cast<unsigned char>(*cur); }
  int peek2() const { return static_cast<unsigned char>(cur[1]); }
  int next() { return static_cast<unsigned char>(*cur++); }
  bool see(int c) const { return more() && peek() == c; }
  bool seeTwo(int a, int b) const { return more2() && peek() == a && peek2() == b; }
  bool eat(int c) {
    if (!see(c))
      return false;
    ++cur;
    return true;
  }
  bool eatTwo(int a, int b) {
    if (!seeTwo(a, b))
      return false;
    cur += 2;
    return true;
  }

  // Only the first error counts; the parser then consumes nothing more.
  void setError(int code) {
    if (error == 0)
      error = code;
    cur = end;
  }

  bool reserve(size_t extra);
  void emit(Op op, uint32_t operand = 0);
  void insert(Op op, size_t pos);
  void patch(size_t pos, size_t operand) {
    ops[pos] = makeInstruction(opOf(ops[pos]), static_cast<uint32_t>(operand));
  }
  void copyOps(size_t from, size_t length);

  void parseExtended(int stop);
  void parseExtendedPiece();
  void parseRepetition(size_t pos, int c);
  bool parseBounds(int &low, int &high, bool basic);
  int parseCount();
  void parseBasic(bool inGroup);
  bool parseBasicPiece(bool starIsOrdinary);
  void parseGroup(bool basic);
  void parseBackReference(int group);
  void parseBracket();
  void parseBracketTerm(ByteSet &set);
  int parseBracketSymbol();
  int parseCollatingElement(int endChar);
  void parseClass(ByteSet &set);

  void ordinary(int c);
  void anyExceptNewline();
  void emitSet(ByteSet &set);
  size_t internSet(const ByteSet &set);

  void star(size_t pos);
  void plus(size_t pos);
  void optional(size_t pos);
  void closeOptional(size_t start);
  void repeat(size_t pos, int low, int high);
  void removeGroupsFrom(size_t pos);
  void shiftGroupsFrom(size_t pos, size_t by);

  void finishAlternation(size_t start);
  bool findMustText(Program &program);
  bool computeNesting(Program &program);
};

bool Compiler::reserve(size_t extra) {
  if (error != 0)
    return false;
  if (count + extra > operationLimit) {
    setError(OutOfMemory);
    return false;
  }
  if (count + extra <= capacity)
    return true;
  size_t wanted = capacity;
  while (wanted < count + extra)
    wanted += wanted / 2 + 1;
  auto *grown = static_cast<Instruction *>(std::realloc(ops, wanted * sizeof(Instruction)));
  if (grown == nullptr) {
    setError(OutOfMemory);
    return false;
  }
  ops = grown;
  capacity = wanted;
  return true;
}

void Compiler::emit(Op op, uint32_t operand) {
  if (!reserve(1))
    return;
  ops[count++] = makeInstruction(op, operand);
}

void Compiler::insert(Op op, size_t pos) {
  if (!reserve(1))
    return;
  std::memmove(ops + pos + 1, ops + pos, (count - pos) * sizeof(Instruction));
  ops[pos] = makeInstruction(op, 0);
  ++count;
  shiftGroupsFrom(pos, 1);
}

void Compiler::copyOps(size_t from, size_t length) {
  if (!reserve(length))
    return;
  std::memcpy(ops + count, ops + from, length * sizeof(Instruction));
  count += length;
}

void Compiler::shiftGroupsFrom(size_t pos, size_t by) {
  for (int g = 1; g < 10; ++g) {
    if (groupBegin[g] >= pos && groupBegin[g] != 0)
      groupBegin[g] += by;
    if (groupEnd[g] >= pos && groupEnd[g] != 0)
      groupEnd[g] += by;
  }
}

void Compiler::removeGroupsFrom(size_t pos) {
  for (int g = 1; g < 10; ++g)
    if (groupEnd[g] != 0 && groupBegin[g] >= pos)
      groupRemoved[g] = true;
}

// Extended syntax: branches separated by '|', up to `stop` (')' inside a
// group, -1 at the top level).
void Compiler::parseExtended(int stop) {
  size_t start = count;
  bool alternation = false;
  size_t lastOpen = 0; // the AltStart or AltNext that opened this branch
  for (;;) {
    size_t branch = count;
    unsigned pieces = 0;
    while (more() && peek() != '|' && peek() != stop) {
      parseExtendedPiece();
      ++pieces;
    }
    if (pieces == 0) {
      setError(EmptyExpression);
      return;
    }
    if (!eat('|'))
      break;
    if (!alternation) {
      insert(Op::AltStart, branch);
      lastOpen = branch;
      alternation = true;
    }
    emit(Op::AltFirst); // forward operand set by finishAlternation
    size_t nextOpen = count;
    emit(Op::AltNext);
    if (error != 0)
      return;
    patch(lastOpen, nextOpen - lastOpen);
    lastOpen = nextOpen;
  }
  if (alternation && error == 0) {
    patch(lastOpen, count - lastOpen);
    emit(Op::AltEnd, static_cast<uint32_t>(count - start));
    finishAlternation(start);
  }
}

// Points every AltFirst of the alternation at `start` to its AltEnd, so the
// matcher leaves a finished alternative with one jump.
void Compiler::finishAlternation(size_t start) {
  if (error != 0)
    return;
  size_t pos = start + operandOf(ops[start]);
  while (opOf(ops[pos]) == Op::AltNext)
    pos += operandOf(ops[pos]);
  size_t altEnd = pos;
  pos = start + operandOf(ops[start]);
  while (opOf(ops[pos]) == Op::AltNext) {
    patch(pos - 1, altEnd - (pos - 1));
    pos += operandOf(ops[pos]);
  }
}

void Compiler::parseExtendedPiece() {
  size_t pos = count;
  bool wasCaret = false;
  int c = next();
  switch (c) {
  case '(':
    parseGroup(false);
    break;
  case ')':
    // Only reached without an open group: inside one, ')' ends the branch.
    setError(UnbalancedParentheses);
    return;
  case '*':
  case '+':
  case '?':
    setError(BadRepetitionOperand);
    return;
  case '{':
    if (more() && isDigit(peek())) {
      setError(BadRepetitionOperand);
      return;
    }
    ordinary(c);
    break;
  case '^':
    emit(Op::Bol);
    wasCaret = true;
    break;
  case '$':
    emit(Op::Eol);
    break;
  case '.':
    if (flags & Newline)
      anyExceptNewline();
    else
      emit(Op::Any);
    break;
  case '[':
    parseBracket();
    break;
  case '\\':
    if (!more()) {
      setError(TrailingBackslash);
      return;
    }
    c = next();
    if (c >= '1' && c <= '9')
      parseBackReference(c - '0');
    else
      ordinary(c);
    break;
  default:
    ordinary(c);
    break;
  }
  if (!more())
    return;
  c = peek();
  if (!(c == '*' || c == '+' || c == '?' || (c == '{' && more2() && isDigit(peek2()))))
    return;
  next();
  if (wasCaret) {
    setError(BadRepetitionOperand);
    return;
  }
  parseRepetition(pos, c);
  if (!more())
    return;
  c = peek();
  if (c == '*' || c == '+' || c == '?' || (c == '{' && more2() && isDigit(peek2())))
    setError(BadRepetitionOperand);
}

void Compiler::parseRepetition(size_t pos, int c) {
  switch (c) {
  case '*':
    star(pos);
    return;
  case '+':
    plus(pos);
    return;
  case '?':
    optional(pos);
    return;
  default: {
    int low = 0, high = 0;
    if (parseBounds(low, high, false))
      repeat(pos, low, high);
    return;
  }
  }
}

// After the opening brace: "m", "m," or "m,n" and the closing brace ("\}" in
// basic syntax). The closing brace is checked before anything is copied.
bool Compiler::parseBounds(int &low, int &high, bool basic) {
  low = parseCount();
  if (eat(',')) {
    if (more() && isDigit(peek())) {
      high = parseCount();
      if (low > high)
        setError(BadRepetitionCount);
    } else {
      high = Unbounded;
    }
  } else {
    high = low;
  }
  bool closed = basic ? eatTwo('\\', '}') : eat('}');
  if (!closed) {
    while (more() && !(basic ? seeTwo('\\', '}') : see('}')))
      next();
    setError(more() ? BadRepetitionCount : UnbalancedBraces);
  }
  return error == 0;
}

int Compiler::parseCount() {
  int value = 0;
  int digits = 0;
  // Stop reading once above the limit so long digit runs cannot overflow.
  while (more() && isDigit(peek()) && value <= MaxCount) {
    value = value * 10 + (next() - '0');
    ++digits;
  }
  if (digits == 0 || value > MaxCount)
    setError(BadRepetitionCount);
  return value;
}

void Compiler::parseGroup(bool basic) {
  if (!more()) {
    setError(UnbalancedParentheses);
    return;
  }
  if (++depth > MaxNesting) {
    setError(NestedTooDeeply);
    return;
  }
  size_t group = ++groupCount;
  if (group < 10)
    groupBegin[group] = count;
  emit(Op::GroupOpen, static_cast<uint32_t>(group));
  if (basic) {
    if (more() && !seeTwo('\\', ')'))
      parseBasic(true);
  } else if (!see(')')) {
    parseExtended(')');
  }
  if (group < 10)
    groupEnd[group] = count;
  emit(Op::GroupClose, static_cast<uint32_t>(group));
  --depth;
  if (!(basic ? eatTwo('\\', ')') : eat(')')))
    setError(UnbalancedParentheses);
}

// The referenced group's operations are copied in, so the state simulation
// accepts a superset of the real matches; the back-tracking pass decides.
void Compiler::parseBackReference(int group) {
  if (static_cast<size_t>(group) > groupCount || groupEnd[group] == 0) {
    setError(BadBackReference);
    return;
  }
  emit(Op::BackRefStart, group);
  size_t copyStart = count;
  if (!groupRemoved[group])
    copyOps(groupBegin[group] + 1, groupEnd[group] - groupBegin[group] - 1);
  // The referenced text matches wherever it occurs: anchors and word
  // boundaries of the group do not apply to the copy, so they become empty
  // moves ("groupOpen 0"); otherwise the simulation would reject matches.
  for (size_t pc = copyStart; pc < count && error == 0; ++pc) {
    Op op = opOf(ops[pc]);
    if (op == Op::Bol || op == Op::Eol || op == Op::WordStart || op == Op::WordEnd)
      ops[pc] = makeInstruction(Op::GroupOpen, 0);
  }
  emit(Op::BackRefEnd, group);
  hasBackRefs = true;
}

void Compiler::ordinary(int c) {
  if ((flags & IgnoreCase) && otherCase(c) != c) {
    ByteSet set;
    set.add(c);
    set.add(otherCase(c));
    size_t index = internSet(set);
    if (error == 0)
      emit(Op::AnyOf, static_cast<uint32_t>(index));
    return;
  }
  emit(Op::Char, static_cast<uint32_t>(c));
}

void Compiler::anyExceptNewline() {
  ByteSet set;
  set.add('\n');
  set.invert();
  emitSet(set);
}

void Compiler::emitSet(ByteSet &set) {
  if (set.size() == 1) {
    ordinary(set.first());
    return;
  }
  size_t index = internSet(set);
  if (error == 0)
    emit(Op::AnyOf, static_cast<uint32_t>(index));
}

size_t Compiler::internSet(const ByteSet &set) {
  uint32_t hash = 0;
  set.forEach([&](int c) { hash += static_cast<uint32_t>(c); });
  for (size_t s = 0; s < setCount; ++s)
    if (setHashes[s] == hash && setList[s] == set)
      return s;
  if (setCount >= OperandMask) {
    setError(OutOfMemory);
    return 0;
  }
  size_t s = setCount;
  if (s == setCapacity) {
    size_t grown = setCapacity == 0 ? 4 : setCapacity * 2;
    auto *hashes = static_cast<uint32_t *>(std::realloc(setHashes, grown * sizeof(uint32_t)));
    if (hashes != nullptr)
      setHashes = hashes;
    auto *list = static_cast<ByteSet *>(std::realloc(setList, grown * sizeof(ByteSet)));
    if (list != nullptr)
      setList = list;
    if (hashes == nullptr || list == nullptr) {
      setError(OutOfMemory);
      return 0;
    }
    setCapacity = grown;
  }
  setList[s] = set;
  if (s % 8 == 0) {
    auto *bits = static_cast<uint8_t *>(std::realloc(setBits, (s / 8 + 1) * 256));
    if (bits == nullptr) {
      setError(OutOfMemory);
      return 0;
    }
    setBits = bits;
    std::memset(setBits + (s / 8) * 256, 0, 256);
  }
  set.forEach([&](int c) { setBits[(s / 8) * 256 + c] |= static_cast<uint8_t>(1u << (s % 8)); });
  setHashes[s] = hash;
  ++setCount;
  return s;
}

void Compiler::parseBracket() {
  if (end - cur >= 6 && std::memcmp(cur, "[:<:]]", 6) == 0) {
    cur += 6;
    emit(Op::WordStart);
    return;
  }
  if (end - cur >= 6 && std::memcmp(cur, "[:>:]]", 6) == 0) {
    cur += 6;
    emit(Op::WordEnd);
    return;
  }
  ByteSet set;
  bool negated = eat('^');
  if (eat(']'))
    set.add(']');
  else if (eat('-'))
    set.add('-');
  while (more() && peek() != ']' && !seeTwo('-', ']'))
    parseBracketTerm(set);
  if (eat('-'))
    set.add('-');
  if (!eat(']'))
    setError(UnbalancedBrackets);
  if (error != 0)
    return;
  if (flags & IgnoreCase) {
    ByteSet members = set;
    members.forEach([&](int c) { set.add(otherCase(c)); });
  }
  if (negated) {
    set.invert();
    if (flags & Newline)
      set.remove('\n');
  }
  emitSet(set);
}

void Compiler::parseBracketTerm(ByteSet &set) {
  if (seeTwo('[', ':')) {
    cur += 2;
    if (!more()) {
      setError(UnbalancedBrackets);
      return;
    }
    if (peek() == '-' || peek() == ']') {
      setError(BadClass);
      return;
    }
    parseClass(set);
    if (!more())
      setError(UnbalancedBrackets);
    else if (!eatTwo(':', ']'))
      setError(BadClass);
    return;
  }
  if (seeTwo('[', '=')) {
    cur += 2;
    if (!more()) {
      setError(UnbalancedBrackets);
      return;
    }
    if (peek() == '-' || peek() == ']') {
      setError(BadCollatingElement);
      return;
    }
    int c = parseCollatingElement('=');
    if (error != 0)
      return;
    set.add(c);
    if (!eatTwo('=', ']'))
      setError(BadCollatingElement);
    return;
  }
  if (peek() == '-') {
    setError(BadRange);
    return;
  }
  int first = parseBracketSymbol();
  int last = first;
  if (see('-') && more2() && peek2() != ']') {
    next();
    last = eat('-') ? '-' : parseBracketSymbol();
  }
  if (error != 0)
    return;
  if (first > last) {
    setError(BadRange);
    return;
  }
  for (int c = first; c <= last; ++c)
    set.add(c);
}

int Compiler::parseBracketSymbol() {
  if (!more()) {
    setError(UnbalancedBrackets);
    return 0;
  }
  if (!eatTwo('[', '.'))
    return next();
  if (!more()) {
    setError(UnbalancedBrackets);
    return 0;
  }
  int c = parseCollatingElement('.');
  if (error == 0 && !eatTwo('.', ']'))
    setError(BadCollatingElement);
  return c;
}

// The text up to ".]" or "=]": a single byte or a name from the table.
int Compiler::parseCollatingElement(int endChar) {
  const char *start = cur;
  while (more() && !seeTwo(endChar, ']'))
    next();
  if (!more()) {
    setError(UnbalancedBrackets);
    return 0;
  }
  size_t length = static_cast<size_t>(cur - start);
  for (const CollatingName &entry : collatingNames)
    if (std::strlen(entry.name) == length && std::memcmp(entry.name, start, length) == 0)
      return entry.code;
  if (length == 1)
    return static_cast<unsigned char>(*start);
  setError(BadCollatingElement);
  return 0;
}

void Compiler::parseClass(ByteSet &set) {
  const char *start = cur;
  while (more() && isLetter(peek()))
    next();
  size_t length = static_cast<size_t>(cur - start);
  for (const CharClass &entry : charClasses) {
    if (std::strlen(entry.name) == length && std::memcmp(entry.name, start, length) == 0) {
      for (int c = 0; c < 256; ++c)
        if (entry.contains(c))
          set.add(c);
      return;
    }
  }
  setError(BadClass);
}

// Basic syntax: no alternation; `inGroup` ends the expression at "\)".
void Compiler::parseBasic(bool inGroup) {
  unsigned pieces = 0;
  if (eat('^')) {
    emit(Op::Bol);
    ++pieces;
  }
  bool wasDollar = false;
  bool first = true;
  while (more() && !(inGroup && seeTwo('\\', ')'))) {
    wasDollar = parseBasicPiece(first);
    first = false;
    ++pieces;
  }
  if (wasDollar && error == 0) {
    // The trailing '$' was emitted as a character; it is an anchor after all.
    --count;
    emit(Op::Eol);
  }
  if (pieces == 0)
    setError(EmptyExpression);
}

// Returns true when the piece was an unrepeated '$', which is an anchor only
// at the end of the expression.
bool Compiler::parseBasicPiece(bool starIsOrdinary) {
  size_t pos = count;
  int c = next();
  bool escaped = false;
  if (c == '\\') {
    if (!more()) {
      setError(TrailingBackslash);
      return false;
    }
    c = next();
    escaped = true;
  }
  if (escaped) {
    if (c == '{') {
      setError(BadRepetitionOperand);
      return false;
    }
    if (c == ')') {
      setError(UnbalancedParentheses);
      return false;
    }
    if (c == '}') {
      setError(UnbalancedBraces);
      return false;
    }
    if (c == '(')
      parseGroup(true);
    else if (c >= '1' && c <= '9')
      parseBackReference(c - '0');
    else
      ordinary(c);
  } else if (c == '.') {
    if (flags & Newline)
      anyExceptNewline();
    else
      emit(Op::Any);
  } else if (c == '[') {
    parseBracket();
  } else if (c == '*' && !starIsOrdinary) {
    setError(BadRepetitionOperand);
    return false;
  } else {
    ordinary(c);
  }
  if (eat('*')) {
    star(pos);
  } else if (eatTwo('\\', '{')) {
    int low = 0, high = 0;
    if (parseBounds(low, high, true))
      repeat(pos, low, high);
  } else if (!escaped && c == '$') {
    return true;
  }
  return false;
}

void Compiler::star(size_t pos) {
  plus(pos);
  insert(Op::QuestStart, pos);
  emit(Op::QuestEnd, static_cast<uint32_t>(count - pos));
  if (error == 0)
    patch(pos, count - 1 - pos);
}

void Compiler::plus(size_t pos) {
  insert(Op::PlusStart, pos);
  emit(Op::PlusEnd, static_cast<uint32_t>(count - pos));
  if (error == 0)
    patch(pos, count - 1 - pos);
}

// An alternation of the atom and nothing, so the dissection tries the atom
// first and reports its groups when it matched.
void Compiler::optional(size_t pos) {
  insert(Op::AltStart, pos);
  closeOptional(pos);
}

void Compiler::closeOptional(size_t start) {
  emit(Op::AltFirst, 2); // to the AltEnd
  size_t next = count;
  emit(Op::AltNext, 1);
  emit(Op::AltEnd, static_cast<uint32_t>(count - start));
  if (error == 0)
    patch(start, next - start);
}

// x{m,n}: m copies of x, then n - m nested optional copies; x{m,}: m - 1
// copies followed by x+.
void Compiler::repeat(size_t pos, int low, int high) {
  size_t length = count - pos;
  if (low == 1 && high == 1)
    return;
  if (low == 0 && high == 0) {
    removeGroupsFrom(pos);
    count = pos;
    return;
  }
  if (high == Unbounded) {
    if (low == 0) {
      star(pos);
      return;
    }
    if (!reserve(length * (low - 1) + 2))
      return;
    for (int i = 1; i < low; ++i)
      copyOps(pos, length);
    plus(count - length);
    return;
  }
  int optionalCopies = high - low;
  size_t copies = static_cast<size_t>(high > 0 ? high - 1 : 0);
  if (!reserve(length * copies + 4 * static_cast<size_t>(optionalCopies)))
    return;
  size_t source = pos;
  size_t opened[MaxCount];
  int openCount = 0;
  if (low == 0) {
    // The atom itself becomes the outermost optional copy.
    insert(Op::AltStart, pos);
    opened[openCount++] = pos;
    source = pos + 1;
  } else {
    for (int i = 1; i < low; ++i)
      copyOps(source, length);
  }
  while (openCount < optionalCopies) {
    opened[openCount++] = count;
    emit(Op::AltStart);
    copyOps(source, length);
  }
  while (openCount > 0)
    closeOptional(opened[--openCount]);
}

// Every match contains the longest run of Char operations that no optional
// part, alternation or loop end interrupts.
bool Compiler::findMustText(Program &program) {
  size_t bestStart = 0, bestLength = 0;
  size_t runStart = 0, runLength = 0;
  for (size_t pc = 1; pc < count;) {
    Op op = opOf(ops[pc]);
    if (op == Op::Char) {
      if (runLength == 0)
        runStart = pc;
      ++runLength;
      ++pc;
      continue;
    }
    if (op == Op::PlusStart || op == Op::GroupOpen || op == Op::GroupClose) {
      ++pc;
      continue;
    }
    if (runLength > bestLength) {
      bestStart = runStart;
      bestLength = runLength;
    }
    runLength = 0;
    if (op == Op::QuestStart || op == Op::AltStart) {
      Op closing = op == Op::QuestStart ? Op::QuestEnd : Op::AltEnd;
      size_t pos = pc;
      for (;;) {
        uint32_t distance = operandOf(ops[pos]);
        pos += distance;
        if (distance == 0 || pos >= count) {
          program.bad = true;
          return true;
        }
        if (opOf(ops[pos]) == closing)
          break;
        if (opOf(ops[pos]) != Op::AltNext) {
          program.bad = true;
          return true;
        }
      }
      pc = pos;
    }
    ++pc;
  }
  if (bestLength == 0)
    return true;
  char *text = static_cast<char *>(std::malloc(bestLength + 1));
  if (text == nullptr)
    return true; // the search then runs without the shortcut
  size_t length = 0;
  for (size_t pc = bestStart; length < bestLength; ++pc)
    if (opOf(ops[pc]) == Op::Char)
      text[length++] = static_cast<char>(operandOf(ops[pc]));
  text[length] = '\0';
  program.mustText = text;
  program.mustLength = length;
  program.mustStart = bestStart;
  return true;
}

// Loop nesting sizes the back-tracking pass's loop memory; the nesting of all
// constructs bounds the dissection's recursion.
bool Compiler::computeNesting(Program &program) {
  int plusDepth = 0, maxPlus = 0;
  unsigned structure = 0, maxStructure = 0;
  for (size_t pc = 0; pc < count; ++pc) {
    switch (opOf(ops[pc])) {
    case Op::PlusStart:
      maxPlus = std::max(maxPlus, ++plusDepth);
      [[fallthrough]];
    case Op::QuestStart:
    case Op::AltStart:
      maxStructure = std::max(maxStructure, ++structure);
      break;
    case Op::PlusEnd:
      --plusDepth;
      [[fallthrough]];
    case Op::QuestEnd:
    case Op::AltEnd:
      --structure;
      break;
    default:
      break;
    }
  }
  if (plusDepth != 0)
    program.bad = true;
  program.plusNesting = static_cast<unsigned>(maxPlus);
  return maxStructure <= MaxStructureDepth;
}

int Compiler::run(Handle &handle) {
  size_t length = static_cast<size_t>(end - cur);
  operationLimit = std::min(MaxTotalOperations, MaxOperations + 2 * length);
  capacity = length / 2 * 3 + 1;
  ops = static_cast<Instruction *>(std::malloc(capacity * sizeof(Instruction)));
  if (ops == nullptr)
    return OutOfMemory;
  emit(Op::End);
  if (flags & NoSpecial) {
    if (!more())
      setError(EmptyExpression);
    while (more())
      ordinary(next());
  } else if (flags & Extended) {
    parseExtended(-1);
  } else {
    parseBasic(false);
  }
  emit(Op::End);
  if (error != 0)
    return error;

  auto *program = new (std::nothrow) Program;
  if (program == nullptr)
    return OutOfMemory;
  auto *shrunk = static_cast<Instruction *>(std::realloc(ops, count * sizeof(Instruction)));
  if (shrunk != nullptr)
    ops = shrunk;
  findMustText(*program);
  bool bounded = computeNesting(*program);
  program->ops = ops;
  program->opCount = count;
  program->setBits = setBits;
  program->setHashes = setHashes;
  program->setCount = setCount;
  ops = nullptr;
  setBits = nullptr;
  setHashes = nullptr;
  program->groupCount = groupCount;
  program->hasBackRefs = hasBackRefs;
  // Count the anchors of the final list: bounded repetitions copy them.
  program->bolCount = 0;
  program->eolCount = 0;
  for (size_t pc = 0; pc < count; ++pc) {
    program->bolCount += opOf(program->ops[pc]) == Op::Bol;
    program->eolCount += opOf(program->ops[pc]) == Op::Eol;
  }
  static std::atomic<uint64_t> lastId{0};
  program->id = ++lastId;
  program->firstState = 1;
  program->lastState = count - 1;
  program->flags = flags;
  int result = !bounded ? NestedTooDeeply : program->bad ? InternalError : Success;
  if (result != Success) {
    handle.program = program;
    program->magic = ProgramMagic;
    handle.magic = HandleMagic;
    free(handle);
    return result;
  }
  program->magic = ProgramMagic;
  handle.program = program;
  handle.groupCount = groupCount;
  handle.magic = HandleMagic;
  return Success;
}

} // namespace

int compile(Handle &handle, const char *pattern, int flags) {
  handle.magic = 0;
  handle.program = nullptr;
  handle.groupCount = 0;
  if ((flags & Extended) && (flags & NoSpecial))
    return InvalidArgument;
  const char *end;
  if (flags & PatternEnd) {
    if (handle.patternEnd == nullptr || handle.patternEnd < pattern)
      return InvalidArgument;
    end = handle.patternEnd;
  } else {
    end = pattern + std::strlen(pattern);
  }
  Compiler compiler(pattern, end, flags);
  return compiler.run(handle);
}

void free(Handle &handle) {
  if (handle.magic != HandleMagic || handle.program == nullptr ||
      handle.program->magic != ProgramMagic)
    return;
  Program *program = handle.program;
  program->magic = 0;
  handle.magic = 0;
  handle.program = nullptr;
  std::free(program->ops);
  std::free(program->setBits);
  std::free(program->setHashes);
  std::free(program->mustText);
  delete program;
}

namespace {

const char *opName(Op op) {
  static const char *const names[] = {
      "?",        "end",          "char",       "bol",       "eol",      "any",
      "anyOf",    "backRefStart", "backRefEnd", "plusStart", "plusEnd",  "questStart",
      "questEnd", "groupOpen",    "groupClose", "altStart",  "altFirst", "altNext",
      "altEnd",   "wordStart",    "wordEnd"};
  unsigned index = static_cast<unsigned>(op);
  return index < sizeof(names) / sizeof(names[0]) ? names[index] : "?";
}

} // namespace

std::string dumpProgram(const Program &program) {
  std::string out;
  for (size_t pc = 0; pc < program.opCount; ++pc) {
    Op op = opOf(program.ops[pc]);
    uint32_t operand = operandOf(program.ops[pc]);
    out += opName(op);
    switch (op) {
    case Op::End:
    case Op::Bol:
    case Op::Eol:
    case Op::Any:
    case Op::WordStart:
    case Op::WordEnd:
      break;
    case Op::Char:
      if (operand > 32 && operand < 127) {
        out += ' ';
        out += static_cast<char>(operand);
      } else {
        out += " \\x";
        out += "0123456789abcdef"[operand >> 4];
        out += "0123456789abcdef"[operand & 15];
      }
      break;
    default:
      out += ' ';
      out += std::to_string(operand);
      break;
    }
    out += '\n';
  }
  return out;
}

} // namespace vetline::regex
