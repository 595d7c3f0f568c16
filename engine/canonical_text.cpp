#include "engine/canonical_text.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VETLINE_WIDE_CANONICAL 1
#endif

namespace vetline {

namespace {

// 0x80 in every byte of `word` equal to the byte repeated in `pattern`,
// and nothing else: no byte is flagged because of its neighbours.
uint64_t bytesEqual(uint64_t word, uint64_t pattern) {
  constexpr uint64_t lows = 0x7F7F7F7F7F7F7F7Fu;
  uint64_t x = word ^ pattern;
  return ~(((x & lows) + lows) | x | lows);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Where the first change of canonicalisation starts in [from, end), or
// `end`: a CR (lone ones stay, but they are rare), and, when blanks are
// folded, a tab or a space followed by a blank, backed up to the space that
// starts its run. A single space between other bytes, by far the most common
// blank in compiler output, needs no change, so eight bytes are tested at a
// time for these pairs only. The byte before `from` must not be a space
// that would start a run.
const char *findChange(const char *from, const char *end, bool foldBlanks) {
  if (!foldBlanks) {
    const void *found = std::memchr(from, '\r', size_t(end - from));
    return found ? static_cast<const char *>(found) : end;
  }
  constexpr uint64_t ones = 0x0101010101010101u;
  const char *pos = from;
  // 0x80 in the lowest byte when the byte before the current word is a space.
  uint64_t spaceBefore = 0;
  const char *found = end;
  for (; end - pos >= 8; pos += 8) {
    uint64_t word;
    std::memcpy(&word, pos, 8);
    if constexpr (std::endian::native == std::endian::big)
      word = __builtin_bswap64(word);
    uint64_t spaces = bytesEqual(word, ones * ' ');
    uint64_t tabs = bytesEqual(word, ones * '\t');
    uint64_t changes =
        tabs | bytesEqual(word, ones * '\r') | (spaces & ((spaces << 8) | spaceBefore));
    if (changes) {
      found = pos + (std::countr_zero(changes) >> 3);
      break;
    }
    spaceBefore = spaces >> 56;
  }
  if (found == end) {
    bool afterSpace = spaceBefore != 0;
    for (; pos < end; ++pos) {
      if (*pos == '\t' || *pos == '\r' || (afterSpace && *pos == ' ')) {
        found = pos;
        break;
      }
      afterSpace = *pos == ' ';
    }
  }
  // A run's first byte is a space only when the byte flagged is its second.
  if (found != end && isBlank(*found) && found > from && found[-1] == ' ')
    --found;
  return found;
}

// canonicalizeBytes a run of plain bytes at a time. The byte before `pos`
// must not be a blank.
char *canonicalizePortably(const char *pos, const char *end, char *out, bool foldBlanks) {
  for (;;) {
    const char *special = findChange(pos, end, foldBlanks);
    size_t plain = size_t(special - pos);
    if (out != pos && plain > 0)
      std::memmove(out, pos, plain);
    out += plain;
    if (special == end)
      return out;
    pos = special + 1;
    if (*special == '\r') {
      // The LF of a CR LF is kept with the next run of ordinary bytes.
      if (pos == end || *pos != '\n')
        *out++ = '\r';
      continue;
    }
    *out++ = ' ';
    while (pos < end && isBlank(*pos))
      ++pos;
  }
}

#ifdef VETLINE_WIDE_CANONICAL

// Sixty-four bytes a step: the bytes to drop (a blank after a blank, a CR
// before a line feed) form a mask, tabs become spaces, and the kept bytes are
// packed together with one instruction and stored whole. Compiler output has
// a change every few dozen bytes (indentation, aligned comments), where
// finding each change and moving the run before it costs far more than
// this. Blocks without any change are not written when they stay in place.
// Returns where it stopped in the text; `out` is advanced. Stops while 65
// bytes are left, so that both loads of a step (the block and the bytes one
// further, for a CR's next byte) stay inside the text; `afterBlank` tells
// whether the last byte passed was a blank.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt"))) const char *
canonicalizeWide(const char *pos, const char *end, char *&out, bool foldBlanks, bool &afterBlank) {
  const __m512i spaces = _mm512_set1_epi8(' ');
  const __m512i tabs = _mm512_set1_epi8('\t');
  const __m512i crs = _mm512_set1_epi8('\r');
  const __m512i lineFeeds = _mm512_set1_epi8('\n');
  uint64_t carry = 0;
  for (; end - pos > 64; pos += 64) {
    __m512i block = _mm512_loadu_si512(pos);
    __m512i next = _mm512_loadu_si512(pos + 1);
    uint64_t drop = _mm512_cmpeq_epi8_mask(block, crs) & _mm512_cmpeq_epi8_mask(next, lineFeeds);
    uint64_t tabMask = 0;
    if (foldBlanks) {
      tabMask = _mm512_cmpeq_epi8_mask(block, tabs);
      uint64_t blanks = _mm512_cmpeq_epi8_mask(block, spaces) | tabMask;
      drop |= blanks & ((blanks << 1) | carry);
      carry = blanks >> 63;
    }
    if (drop == 0 && tabMask == 0 && out == pos) {
      out += 64;
      continue;
    }
    __m512i kept = _mm512_mask_mov_epi8(block, tabMask, spaces);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(~drop, kept));
    out += 64 - std::popcount(drop);
  }
  afterBlank = carry != 0;
  return pos;
}

bool hasWideInstructions() {
  static const bool supported = __builtin_cpu_supports("avx512f") &&
                                __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("avx512vbmi2");
  return supported;
}

#endif

} // namespace

char *canonicalizeBytes(const char *pos, const char *end, char *out, bool foldBlanks,
                        CanonicalScan scan) {
#ifdef VETLINE_WIDE_CANONICAL
  if (scan == CanonicalScan::Best && hasWideInstructions()) {
    bool afterBlank = false;
    pos = canonicalizeWide(pos, end, out, foldBlanks, afterBlank);
    // The rest of a run of blanks that the last block began.
    if (afterBlank)
      while (pos < end && isBlank(*pos))
        ++pos;
  }
#else
  (void)scan;
#endif
  return canonicalizePortably(pos, end, out, foldBlanks);
}

} // namespace vetline
