#include "support/terminal_text.h"

#include "support/output_stream.h"

#include <algorithm>

namespace vetline {

namespace {

size_t findShownEscaped(std::string_view text, size_t from) {
  auto at = std::find_if(text.begin() + static_cast<ptrdiff_t>(from), text.end(), isShownEscaped);
  return at == text.end() ? std::string_view::npos : static_cast<size_t>(at - text.begin());
}

} // namespace

size_t findWideByte(std::string_view text, bool escapeControls) {
  if (!escapeControls)
    return text.find('\t');
  auto at = std::find_if(text.begin(), text.end(),
                         [](char byte) { return byte == '\t' || isShownEscaped(byte); });
  return at == text.end() ? std::string_view::npos : static_cast<size_t>(at - text.begin());
}

void writeEscaped(OutputStream &os, std::string_view text) {
  size_t runStart = 0;
  for (size_t at = findShownEscaped(text, 0); at != std::string_view::npos;
       at = findShownEscaped(text, runStart)) {
    os.write(text.data() + runStart, at - runStart);
    os << '^' << caretNotationOf(text[at]);
    runStart = at + 1;
  }
  os.write(text.data() + runStart, text.size() - runStart);
}

} // namespace vetline
