#include "support/regex/regex_engine.h"

namespace vetline::regex {

// Placeholder until the compiler lands: every pattern is rejected.
int compile(Handle &handle, const char *, int) {
  handle.magic = 0;
  handle.program = nullptr;
  return InternalError;
}

void free(Handle &handle) { handle.magic = 0; }

std::string dumpProgram(const Program &) { return ""; }

} // namespace vetline::regex
