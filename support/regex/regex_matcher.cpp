#include "support/regex/regex_engine.h"

namespace vetline::regex {

// Placeholder until the matcher lands.
int execute(const Handle &, const char *, size_t, SubMatch *, int) {
  return BadPattern;
}

} // namespace vetline::regex
