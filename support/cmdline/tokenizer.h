// The shell-like splitter of the option library: the value of the
// environment variable and the text of a response file become argument
// tokens. Blanks (space, tab, line feed, carriage return) separate, single
// or double quotes group, a backslash escapes the next byte inside or
// outside quotes; empty tokens are dropped, and an unterminated quote runs
// to the end of the text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vetline::cl {

// Appends the tokens of `text` to `tokens`.
void tokenizeCommandLine(std::string_view text, std::vector<std::string> &tokens);

} // namespace vetline::cl
