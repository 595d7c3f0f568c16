// Death tests match what the dying process wrote to standard error against
// a POSIX extended regular expression; this turns an exact expected text
// into one that matches that text and nothing else.
#pragma once

#include <string>
#include <string_view>

namespace vetline::testing {

inline std::string exactly(std::string_view text) {
  std::string pattern = "^";
  for (char c : text) {
    if (std::string_view(".[]()*+?{}|^$\\").find(c) != std::string_view::npos)
      pattern += '\\';
    pattern += c;
  }
  pattern += '$';
  return pattern;
}

} // namespace vetline::testing
