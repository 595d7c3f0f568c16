// Substring search over the input: fixed-text patterns, the literal that a
// regex match must contain, and the check prefixes all look for a short
// needle in a long text, usually found after a few hundred bytes. The C
// library's general search pays a set-up per call that such short scans
// feel; this one filters sixteen places at a time by two of the needle's
// rarest bytes and compares only where both agree. When too many places agree
// without a match (a text of the needle's own bytes), the rest goes to the
// general search, so the time stays linear in the text whatever it holds.
// Tested by text_search_test.cpp against std::string_view::find.
#pragma once

#include <cstddef>
#include <string_view>

namespace vetline {

// The first occurrence of [needle, needle + length) in [begin, end), or
// null; an empty needle is found at `begin`.
const char *findText(const char *begin, const char *end, const char *needle, size_t length);

inline size_t findText(std::string_view haystack, std::string_view needle) {
  const char *found =
      findText(haystack.data(), haystack.data() + haystack.size(), needle.data(), needle.size());
  return found ? static_cast<size_t>(found - haystack.data()) : std::string_view::npos;
}

} // namespace vetline
