// Compiles arbitrary bytes as a pattern and searches arbitrary text with it.
// Input layout: byte 0 selects the options (bits 0 to 2: IgnoreCase, Newline,
// BasicSyntax), byte 1 the pattern length; the pattern follows, then the text
// (cut to 256 bytes so that polynomial but slow searches do not dominate).
// Besides crashes, checks that the search with and without sub-matches
// agrees, that every group lies inside the whole match, and that the match
// agrees with the start summary (Regex::start): it begins with one of the
// first bytes or is empty only when that is allowed, and without a test
// of the byte before it, a search begun at the match finds it again.
#include "support/regex/regex.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2)
    return 0;
  auto options = static_cast<vetline::RegexOptions>(data[0] & 7);
  size_t patternLength = data[1];
  data += 2;
  size -= 2;
  if (patternLength > size)
    patternLength = size;
  std::string_view pattern(reinterpret_cast<const char *>(data), patternLength);
  size_t textLength = size - patternLength;
  if (textLength > 256)
    textLength = 256;
  // A copy of exactly the text's size, so reads past its end are caught.
  std::vector<char> text(data + patternLength, data + patternLength + textLength);
  std::string_view view(text.data(), text.size());

  vetline::Regex regex(pattern, options);
  std::string error;
  if (!regex.isValid(error)) {
    if (error.empty())
      std::abort();
    return 0;
  }
  std::vector<std::string_view> matches;
  bool found = regex.match(view, &matches, &error);
  std::string plainError;
  bool foundPlain = regex.match(view, nullptr, &plainError);
  // The back-tracking budget may run out on one path and not the other.
  if (error.empty() && plainError.empty() && found != foundPlain)
    std::abort();
  if (!found)
    return 0;
  if (matches.size() != regex.subexpressionCount() + 1)
    std::abort();
  const char *begin = matches[0].data();
  const char *end = begin + matches[0].size();
  if (begin < text.data() || end > text.data() + text.size())
    std::abort();
  for (std::string_view group : matches) {
    if (group.data() == nullptr)
      continue;
    if (group.data() < begin || group.data() + group.size() > end)
      std::abort();
  }
  std::optional<vetline::RegexStart> start = regex.start();
  if (!start)
    return 0;
  if (matches[0].empty() ? !start->canBeEmpty
                         : !start->firstBytes[static_cast<unsigned char>(*begin)])
    std::abort();
  if (start->looksBehind || begin == text.data())
    return 0;
  std::vector<std::string_view> again;
  std::string againError;
  std::string_view rest = view.substr(static_cast<size_t>(begin - text.data()));
  bool foundAgain = regex.match(rest, &again, &againError);
  if (againError.empty() && error.empty() &&
      (!foundAgain || again[0].data() != begin || again[0].size() != matches[0].size()))
    std::abort();
  return 0;
}
