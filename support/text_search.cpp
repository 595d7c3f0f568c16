#include "support/text_search.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vetline {

namespace {

const char *generalSearch(const char *begin, const char *end, const char *needle, size_t length) {
  return static_cast<const char *>(memmem(begin, static_cast<size_t>(end - begin), needle, length));
}

// How common a byte is in compiler output and program text, roughly: blanks
// and lower-case letters most, then digits, upper-case letters, common
// punctuation, everything else. Filtering on the two least common bytes of
// the needle leaves the fewest places to compare.
constexpr auto commonness = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned c = 0; c < 0x80; ++c)
    table[c] = 1;
  for (unsigned char c : std::string_view("%()-:#@"))
    table[c] = 2;
  for (unsigned c = 'A'; c <= 'Z'; ++c)
    table[c] = 3;
  for (unsigned char c : std::string_view(",._\n"))
    table[c] = 4;
  for (unsigned c = '0'; c <= '9'; ++c)
    table[c] = 5;
  for (unsigned c = 'a'; c <= 'z'; ++c)
    table[c] = 6;
  table['\t'] = 6;
  table[' '] = 7;
  return table;
}();

// The offsets in the needle of two of its least common bytes, first <
// second. Only the first bytes are weighed (a long needle is rare anyway),
// and the last byte: ties go to the earliest offsets.
void pickFilterBytes(const char *needle, size_t length, size_t &first, size_t &second) {
  constexpr size_t weighed = 64;
  auto rank = [&](size_t i) { return commonness[static_cast<unsigned char>(needle[i])]; };
  size_t rarest = 0;
  size_t next = length - 1;
  if (rank(next) < rank(rarest))
    std::swap(rarest, next);
  for (size_t i = 1, limit = std::min(length - 1, weighed); i < limit; ++i) {
    if (rank(i) < rank(rarest)) {
      next = rarest;
      rarest = i;
    } else if (rank(i) < rank(next)) {
      next = i;
    }
  }
  first = std::min(rarest, next);
  second = std::max(rarest, next);
}

} // namespace

const char *findText(const char *begin, const char *end, const char *needle, size_t length) {
  size_t size = static_cast<size_t>(end - begin);
  if (length == 0)
    return begin;
  if (length > size)
    return nullptr;
  if (length == 1)
    return static_cast<const char *>(std::memchr(begin, *needle, size));
#if defined(__SSE2__)
  constexpr size_t width = 16;
  // Bytes compared at places where only the filter bytes agreed may reach the
  // bytes passed over plus this much before the general search takes over.
  constexpr size_t spareComparisons = 4096;
  size_t firstOffset = 0;
  size_t secondOffset = 0;
  pickFilterBytes(needle, length, firstOffset, secondOffset);
  const __m128i first = _mm_set1_epi8(needle[firstOffset]);
  const __m128i second = _mm_set1_epi8(needle[secondOffset]);
  size_t compared = 0;
  const char *at = begin;
  // Both loads of a step lie inside the text.
  for (; size_t(end - at) >= width + length - 1; at += width) {
    __m128i firsts = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + firstOffset));
    __m128i seconds = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + secondOffset));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(firsts, first), _mm_cmpeq_epi8(seconds, second))));
    while (mask != 0) {
      const char *candidate = at + __builtin_ctz(mask);
      if (std::memcmp(candidate, needle, length) == 0)
        return candidate;
      compared += length;
      mask &= mask - 1;
    }
    if (compared > static_cast<size_t>(at - begin) + spareComparisons)
      return generalSearch(at + width, end, needle, length);
  }
  return generalSearch(at, end, needle, length);
#else
  return generalSearch(begin, end, needle, length);
#endif
}

} // namespace vetline
