// A string stream that says it is a terminal, as standard error on a user's
// screen does, so tests see what a terminal is sent without one.
#pragma once

#include "support/output_stream.h"

namespace vetline::testing {

class TerminalStringStream final : public StringOutputStream {
public:
  using StringOutputStream::StringOutputStream;
  bool isTerminal() const override { return true; }
};

} // namespace vetline::testing
