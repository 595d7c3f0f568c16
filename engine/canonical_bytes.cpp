#include "engine/canonical_bytes.h"

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
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

// Bytes that stay as they are and stay in place are not written at all.
char *canonicalizeScalar(const char *pos, const char *end, char *out, bool foldBlanks) {
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

#if defined(__x86_64__)

// The vector kernels see a block of bytes as bit masks, bit i for byte i.
// The bytes a block drops: a CR whose next byte is an LF (`lfAfter` tells
// that for the block's last byte) and a blank right after a blank
// (`blankBefore` carries that for the first byte from block to block).
// When blanks are kept, `blanks` is empty.
template <typename Mask>
Mask droppedBytes(Mask blanks, Mask crs, Mask lfs, bool lfAfter, Mask &blankBefore) {
  constexpr int last = sizeof(Mask) * 8 - 1;
  Mask drop = crs & ((lfs >> 1) | Mask(Mask(lfAfter) << last));
  drop |= blanks & Mask((blanks << 1) | blankBefore);
  blankBefore = blanks >> last;
  return drop;
}

// The last bytes, fewer than a block and at least one, go to the scalar
// kernel; it must not start inside a run of blanks, so the blanks that
// continue the block's last run go first.
char *finishScalar(const char *pos, const char *end, char *out, bool foldBlanks, bool blankBefore) {
  if (blankBefore)
    while (pos < end && isBlank(*pos))
      ++pos;
  return canonicalizeScalar(pos, end, out, foldBlanks);
}

// Every block is loaded whole before anything is stored, and `out` never
// passes `pos` in place (or its offset in a copy), so a full-width store at
// `out` ends within the block just read: nothing not yet read is
// overwritten, nothing past the room is written. While nothing has been
// dropped, a block without a change is not stored at all; after that every
// block takes the same path, as texts that mix blocks with and without a
// change would mispredict a choice.

[[gnu::target("avx512f,avx512bw,avx512vbmi2,popcnt")]] char *
canonicalizeAvx512(const char *pos, const char *end, char *out, bool foldBlanks) {
  const __m512i spaces = _mm512_set1_epi8(' ');
  const __m512i tabs = _mm512_set1_epi8('\t');
  const __m512i crs = _mm512_set1_epi8('\r');
  const __m512i lfs = _mm512_set1_epi8('\n');
  uint64_t blankBefore = 0;
  // The fate of a block's last CR needs the byte after the block.
  for (; end - pos > 64; pos += 64) {
    __m512i block = _mm512_loadu_si512(pos);
    uint64_t tabBytes = 0;
    uint64_t blankBytes = 0;
    if (foldBlanks) {
      tabBytes = _mm512_cmpeq_epi8_mask(block, tabs);
      blankBytes = tabBytes | _mm512_cmpeq_epi8_mask(block, spaces);
    }
    uint64_t drop =
        droppedBytes<uint64_t>(blankBytes, _mm512_cmpeq_epi8_mask(block, crs),
                               _mm512_cmpeq_epi8_mask(block, lfs), pos[64] == '\n', blankBefore);
    if (out == pos && (drop | tabBytes) == 0) {
      out += 64;
      continue;
    }
    block = _mm512_mask_mov_epi8(block, tabBytes, spaces);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(~drop, block));
    out += 64 - _mm_popcnt_u64(drop);
  }
  return finishScalar(pos, end, out, foldBlanks, blankBefore != 0);
}

// For each mask of eight bytes to keep, the shuffle that packs them to the
// front, one index per byte from the lowest.
constexpr std::array<uint64_t, 256> packShuffles = [] {
  std::array<uint64_t, 256> table{};
  for (unsigned keep = 0; keep < 256; ++keep) {
    int slot = 0;
    for (unsigned i = 0; i < 8; ++i)
      if (keep >> i & 1)
        table[keep] |= uint64_t(i) << (8 * slot++);
  }
  return table;
}();

[[gnu::target("avx2,popcnt")]] uint32_t equalBytes(__m256i block, char c) {
  return uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, _mm256_set1_epi8(c))));
}

// Packs the kept bytes of sixteen, eight at a time: each group is stored
// whole at `out`, which its kept bytes then advance.
[[gnu::target("avx2,popcnt")]] char *packSixteen(__m128i bytes, uint32_t keep, char *out) {
  unsigned low = keep & 0xFF;
  unsigned high = keep >> 8 & 0xFF;
  constexpr uint64_t secondGroup = 0x0808080808080808u;
  __m128i shuffle =
      _mm_set_epi64x(int64_t(packShuffles[high] + secondGroup), int64_t(packShuffles[low]));
  __m128i packed = _mm_shuffle_epi8(bytes, shuffle);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(out), packed);
  out += _mm_popcnt_u32(low);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_unpackhi_epi64(packed, packed));
  return out + _mm_popcnt_u32(high);
}

[[gnu::target("avx2,popcnt")]] char *canonicalizeAvx2(const char *pos, const char *end, char *out,
                                                      bool foldBlanks) {
  const __m256i spaces = _mm256_set1_epi8(' ');
  uint32_t blankBefore = 0;
  // The fate of a block's last CR needs the byte after the block.
  for (; end - pos > 32; pos += 32) {
    __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pos));
    __m256i tabCompare = _mm256_setzero_si256();
    uint32_t tabBytes = 0;
    uint32_t blankBytes = 0;
    if (foldBlanks) {
      tabCompare = _mm256_cmpeq_epi8(block, _mm256_set1_epi8('\t'));
      tabBytes = uint32_t(_mm256_movemask_epi8(tabCompare));
      blankBytes = tabBytes | equalBytes(block, ' ');
    }
    uint32_t drop = droppedBytes<uint32_t>(blankBytes, equalBytes(block, '\r'),
                                           equalBytes(block, '\n'), pos[32] == '\n', blankBefore);
    if (out == pos && (drop | tabBytes) == 0) {
      out += 32;
      continue;
    }
    block = _mm256_blendv_epi8(block, spaces, tabCompare);
    out = packSixteen(_mm256_castsi256_si128(block), ~drop & 0xFFFF, out);
    out = packSixteen(_mm256_extracti128_si256(block, 1), ~drop >> 16, out);
  }
  return finishScalar(pos, end, out, foldBlanks, blankBefore != 0);
}

#endif

} // namespace

bool canRunKernel(CanonicalKernel kernel) {
  switch (kernel) {
  case CanonicalKernel::Scalar:
    return true;
#if defined(__x86_64__)
  case CanonicalKernel::Avx2:
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  case CanonicalKernel::Avx512:
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("popcnt");
#else
  default:
    return false;
#endif
  }
  return false;
}

char *canonicalizeBytesWith(CanonicalKernel kernel, const char *pos, const char *end, char *out,
                            bool foldBlanks) {
  assert(canRunKernel(kernel) && "the processor lacks this kernel");
  switch (kernel) {
#if defined(__x86_64__)
  case CanonicalKernel::Avx512:
    return canonicalizeAvx512(pos, end, out, foldBlanks);
  case CanonicalKernel::Avx2:
    return canonicalizeAvx2(pos, end, out, foldBlanks);
#endif
  default:
    return canonicalizeScalar(pos, end, out, foldBlanks);
  }
}

char *canonicalizeBytes(const char *pos, const char *end, char *out, bool foldBlanks) {
  static const CanonicalKernel best =
      canRunKernel(CanonicalKernel::Avx512) ? CanonicalKernel::Avx512
      : canRunKernel(CanonicalKernel::Avx2) ? CanonicalKernel::Avx2
                                            : CanonicalKernel::Scalar;
  return canonicalizeBytesWith(best, pos, end, out, foldBlanks);
}

} // namespace vetline
