// Regex start summary: what a match can begin with, read from the operation
// list without searching. The empty moves from the first state are closed
// exactly as the matcher's step closes them, except that every anchor and
// word boundary is taken to hold: the bytes the reached operations take are
// a superset of the first bytes of any match, and reaching the end means
// some match may be empty. One pass over the operations, each visited once.
// Tested by regex_test.cpp and regex_differential_test.cpp.
#include "support/regex/regex_engine.h"

#include <vector>

namespace vetline::regex {

bool summarizeStart(const Program &program, StartSummary &summary) {
  summary = StartSummary();
  if (program.hasBackRefs)
    return false;
  const Instruction *ops = program.ops;
  std::vector<bool> reached(program.opCount, false);
  std::vector<size_t> pending;
  auto reach = [&](size_t pc) {
    if (pc < program.opCount && !reached[pc]) {
      reached[pc] = true;
      pending.push_back(pc);
    }
  };
  auto addByte = [&](unsigned byte) { summary.firstBytes[byte / 8] |= uint8_t(1u << (byte % 8)); };
  reach(program.firstState);
  while (!pending.empty()) {
    size_t pc = pending.back();
    pending.pop_back();
    if (pc == program.lastState) {
      summary.canBeEmpty = true;
      continue;
    }
    uint32_t operand = operandOf(ops[pc]);
    switch (opOf(ops[pc])) {
    case Op::End:
      break;
    case Op::Char:
      addByte(operand);
      break;
    case Op::Any:
      for (unsigned byte = 0; byte < 256; ++byte)
        addByte(byte);
      break;
    case Op::AnyOf:
      for (unsigned byte = 0; byte < 256; ++byte)
        if (program.inSet(operand, static_cast<unsigned char>(byte)))
          addByte(byte);
      break;
    case Op::Bol:
    case Op::WordStart:
    case Op::WordEnd:
      // Held at the match's first byte, they read the byte before it.
      summary.looksBehind = true;
      reach(pc + 1);
      break;
    case Op::Eol:
    case Op::BackRefStart:
    case Op::BackRefEnd:
    case Op::PlusStart:
    case Op::QuestEnd:
    case Op::GroupOpen:
    case Op::GroupClose:
    case Op::AltEnd:
      reach(pc + 1);
      break;
    case Op::PlusEnd:
      reach(pc + 1);
      reach(pc - operand);
      break;
    case Op::QuestStart:
    case Op::AltStart:
      reach(pc + 1);
      reach(pc + operand);
      break;
    case Op::AltFirst:
      reach(pc + operand);
      break;
    case Op::AltNext:
      reach(pc + 1);
      if (opOf(ops[pc + operand]) != Op::AltEnd)
        reach(pc + operand);
      break;
    }
  }
  return true;
}

} // namespace vetline::regex
