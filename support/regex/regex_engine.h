// Regex engine: the compiler and matcher behind Regex, with a C-style
// interface of numeric flags and error codes (compile, execute, errorText,
// free). Only Regex and the tests use it directly.
//
// A pattern compiles to a flat operation list (64-bit entries: operation code
// in bits 27 to 31, operand in bits 0 to 26) plus a table of byte sets; the
// matcher simulates that list as a set of active states, so its cost is
// bounded by operations times the text scanned (the start search and each
// dissection span take one pass), except for the back-tracking pass that
// back-references need: its work budget grows with the text, and running out
// of it is reported as OutOfMemory, never as "no match". The matcher keeps a
// few per-thread state caches between calls (see regex_matcher_internal.h);
// they change no result.
//
// Resource limits (beyond them compilation fails with OutOfMemory, or
// NestedTooDeeply for nesting, rather than exhausting the machine or the
// stack): at most MaxOperations operations
// beyond two per pattern byte (so a long literal, such as a substituted
// value, costs nothing against the limit, while bounded repetitions such as
// (a{255}){255} still compile but a third level does not), never more than
// MaxTotalOperations, and at most MaxNesting levels of nested parentheses
// and repetitions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vetline::regex {

enum CompileFlag : int {
  Extended = 1,
  IgnoreCase = 2,
  NoSub = 4,
  Newline = 8,
  NoSpecial = 16,
  // The pattern ends at Handle::patternEnd instead of at its first NUL.
  PatternEnd = 32,
};

enum ExecFlag : int {
  NotBol = 1,
  NotEol = 2,
  // The searched range is given by entry 0 of the sub-match array instead of
  // ending at the first NUL.
  StartEnd = 4,
};

enum ErrorCode : int {
  Success = 0,
  NoMatch = 1,
  BadPattern = 2,
  BadCollatingElement = 3,
  BadClass = 4,
  TrailingBackslash = 5,
  BadBackReference = 6,
  UnbalancedBrackets = 7,
  UnbalancedParentheses = 8,
  UnbalancedBraces = 9,
  BadRepetitionCount = 10,
  BadRange = 11,
  OutOfMemory = 12,
  BadRepetitionOperand = 13,
  EmptyExpression = 14,
  InternalError = 15,
  InvalidArgument = 16,
  // Deeper nesting than MaxNesting: a limit of this library, not of memory.
  // Apart from the POSIX-like codes above, so those stay as callers know them.
  NestedTooDeeply = 64,
};

constexpr size_t MaxOperations = size_t(1) << 17;
constexpr size_t MaxTotalOperations = size_t(1) << 24;
constexpr unsigned MaxNesting = 1000;

// Validity marks: set only on a successfully compiled program.
constexpr unsigned HandleMagic = 62053;
constexpr unsigned ProgramMagic = 53829;

enum class Op : unsigned {
  End = 1,
  Char = 2,
  Bol = 3,
  Eol = 4,
  Any = 5,
  AnyOf = 6,
  BackRefStart = 7,
  BackRefEnd = 8,
  PlusStart = 9,
  PlusEnd = 10,
  QuestStart = 11,
  QuestEnd = 12,
  GroupOpen = 13,
  GroupClose = 14,
  AltStart = 15,
  AltFirst = 16,
  AltNext = 17,
  AltEnd = 18,
  WordStart = 19,
  WordEnd = 20,
};

using Instruction = uint64_t;

constexpr uint32_t OperandMask = (uint32_t(1) << 27) - 1;

constexpr Instruction makeInstruction(Op op, uint32_t operand) {
  return (Instruction(op) << 27) | (operand & OperandMask);
}
constexpr Op opOf(Instruction instruction) { return static_cast<Op>((instruction >> 27) & 31); }
constexpr uint32_t operandOf(Instruction instruction) {
  return static_cast<uint32_t>(instruction & OperandMask);
}

// A compiled pattern. Layout of the operation list:
//   a* = QuestStart PlusStart a PlusEnd QuestEnd (Start/End operands are the
//        distance to their partner, forward or back)
//   a|b|c = AltStart a AltFirst AltNext b AltFirst AltNext c AltEnd, where
//        AltStart and each AltNext point to the next AltNext (the last one
//        to AltEnd), every AltFirst forward to the AltEnd, and AltEnd back
//        to the AltStart;
//   a? = AltStart a AltFirst AltNext AltEnd (an alternation with nothing).
struct Program {
  unsigned magic = 0;
  // Unique per compilation in this process: the matcher's state caches are
  // keyed by it, as an address may be reused by a later program.
  uint64_t id = 0;
  Instruction *ops = nullptr;
  size_t opCount = 0;
  // Membership of byte c in set s: setBits[(s / 8) * 256 + c] & (1 << s % 8).
  uint8_t *setBits = nullptr;
  uint32_t *setHashes = nullptr;
  size_t setCount = 0;
  size_t groupCount = 0;
  bool hasBackRefs = false;
  bool bad = false;
  unsigned bolCount = 0;
  unsigned eolCount = 0;
  size_t firstState = 0;
  size_t lastState = 0;
  // Longest literal run every match contains; NUL-terminated, may be empty.
  char *mustText = nullptr;
  size_t mustLength = 0;
  // Index of the first operation of the must text's run.
  size_t mustStart = 0;
  unsigned plusNesting = 0;
  int flags = 0;

  bool inSet(size_t set, unsigned char c) const {
    return (setBits[(set / 8) * 256 + c] >> (set % 8)) & 1;
  }
};

struct Handle {
  unsigned magic = 0;
  size_t groupCount = 0;
  // With PatternEnd, one past the last pattern byte; set before compile.
  const char *patternEnd = nullptr;
  Program *program = nullptr;
};

// Offsets from the text pointer; (-1, -1) for a group without a match.
struct SubMatch {
  int64_t start;
  int64_t end;
};

// Returns Success or an error code; on error nothing stays allocated and the
// handle is not marked valid.
int compile(Handle &handle, const char *pattern, int flags);

// Returns Success, NoMatch, BadPattern (invalid program), OutOfMemory (also
// when the back-tracking budget is spent) or InvalidArgument (range end
// before its begin). On success matches[0] is the whole match and
// matches[1 .. count - 1] the groups.
int execute(const Handle &handle, const char *text, size_t count, SubMatch *matches, int flags);

// What a match can begin with, read from the program (regex_start.cpp).
struct StartSummary {
  // Bit b % 8 of firstBytes[b / 8]: byte b may begin a non-empty match.
  uint8_t firstBytes[32] = {};
  bool canBeEmpty = false;
  // An anchor or word boundary may be tested at a match's first byte.
  bool looksBehind = false;
};

// Fills `summary` for `program`, erring on the side of "may"; false, with
// nothing known, for a program with back-references.
bool summarizeStart(const Program &program, StartSummary &summary);

// Copies the message of `code` into `buffer` (truncated to size - 1 bytes,
// NUL-terminated; nothing when size is 0) and returns its full length + 1.
size_t errorText(int code, const Handle *handle, char *buffer, size_t size);

const char *errorMessage(int code);

// Releases the program when both validity marks are present.
void free(Handle &handle);

// One operation per line, for tests: "char a", "anyOf 0", "plusStart 2".
std::string dumpProgram(const Program &program);

} // namespace vetline::regex
