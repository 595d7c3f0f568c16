#include "support/edit_distance.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace vetline {

namespace {

// Bit-parallel distance (Myers) for a pattern of 1 to 64 bytes: one pass
// over the text, a few word operations per byte.
size_t bitParallelDistance(std::string_view pattern, std::string_view text) {
  uint64_t peq[256] = {};
  size_t m = pattern.size();
  for (size_t j = 0; j < m; ++j)
    peq[(unsigned char)pattern[j]] |= uint64_t(1) << j;
  uint64_t pv = ~uint64_t(0), mv = 0;
  uint64_t last = uint64_t(1) << (m - 1);
  size_t score = m;
  for (char c : text) {
    uint64_t eq = peq[(unsigned char)c];
    uint64_t xv = eq | mv;
    uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
    uint64_t ph = mv | ~(xh | pv);
    uint64_t mh = pv & xh;
    if (ph & last)
      ++score;
    else if (mh & last)
      --score;
    ph = (ph << 1) | 1;
    mh <<= 1;
    pv = mh | ~(xv | ph);
    mv = ph & xv;
  }
  return score;
}

// The furthest-reaching point of a diagonal no edit count has reached yet.
constexpr ptrdiff_t unreached = std::numeric_limits<ptrdiff_t>::min() / 4;

} // namespace

size_t editDistance(std::string_view a, std::string_view b) {
  if (a.size() < b.size())
    std::swap(a, b);
  if (b.empty())
    return a.size();
  if (b.size() <= 64)
    return bitParallelDistance(b, a);
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      size_t replace = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, replace});
      diagonal = above;
    }
  }
  return row[b.size()];
}

uint32_t boundedEditDistance(std::string_view a, std::string_view b, uint32_t limit) {
  size_t longer = std::max(a.size(), b.size());
  if (longer - std::min(a.size(), b.size()) > limit)
    return limit + 1;
  // No distance exceeds the longer length; a limit above it would only cost
  // memory.
  uint32_t reachable = static_cast<uint32_t>(std::min<size_t>(limit, longer));
  CappedEditDistance capped(b, a, 1, reachable);
  return capped.distance(0, b.size(), reachable);
}

CappedEditDistance::CappedEditDistance(std::string_view text, std::string_view example,
                                       size_t offsets, uint32_t maxLimit)
    : text(text), example(example), margin(size_t{maxLimit} + 1), runs(offsets + 2 * margin + 1) {}

uint32_t CappedEditDistance::distance(size_t offset, size_t length, uint32_t limit) {
  size_t m = example.size();
  size_t n = length;
  uint32_t beyond = limit + 1;
  if ((m > n ? m - n : n - m) > limit)
    return beyond;
  // furthest[d + limit + 1]: the furthest example position reached on
  // diagonal d (candidate position minus example position) with the
  // current number of edits; `unreached` where none has been yet.
  furthest.assign(2 * size_t{limit} + 3, unreached);
  ptrdiff_t target = static_cast<ptrdiff_t>(n) - static_cast<ptrdiff_t>(m);
  ptrdiff_t k = static_cast<ptrdiff_t>(limit);
  auto at = [&](ptrdiff_t d) -> ptrdiff_t & { return furthest[static_cast<size_t>(d + k + 1)]; };
  previous = furthest;
  for (ptrdiff_t edits = 0; edits <= k; ++edits) {
    ptrdiff_t low = std::max<ptrdiff_t>(-edits, -static_cast<ptrdiff_t>(m));
    ptrdiff_t high = std::min<ptrdiff_t>(edits, static_cast<ptrdiff_t>(n));
    for (ptrdiff_t d = low; d <= high; ++d) {
      ptrdiff_t i;
      if (edits == 0) {
        i = 0;
      } else {
        auto before = [&](ptrdiff_t diagonal) {
          return previous[static_cast<size_t>(diagonal + k + 1)];
        };
        i = unreached;
        if (before(d) != unreached)
          i = std::max(i, before(d) + 1); // replace
        if (d - 1 >= -k && before(d - 1) != unreached)
          i = std::max(i, before(d - 1)); // insert into the example
        if (d + 1 <= k && before(d + 1) != unreached)
          i = std::max(i, before(d + 1) + 1); // delete from the example
        if (i == unreached)
          continue;
      }
      i = std::max<ptrdiff_t>(i, -d);
      i = std::min<ptrdiff_t>(
          i, std::min<ptrdiff_t>(static_cast<ptrdiff_t>(m), static_cast<ptrdiff_t>(n) - d));
      at(d) = slide(offset, n, static_cast<size_t>(i), d);
    }
    if (target >= low && target <= high && at(target) != unreached &&
        at(target) >= static_cast<ptrdiff_t>(m))
      return static_cast<uint32_t>(edits);
    previous = furthest;
  }
  return beyond;
}

// The first example position at or after `i` where the example and the
// candidate at `offset` (of length n) differ on diagonal d, or the end of
// either.
ptrdiff_t CappedEditDistance::slide(size_t offset, size_t n, size_t i, ptrdiff_t d) {
  size_t limitInCandidate = static_cast<size_t>(static_cast<ptrdiff_t>(n) - d);
  if (i >= limitInCandidate || i >= example.size())
    return static_cast<ptrdiff_t>(i);
  // The text position of example position 0 on this diagonal (negative
  // before the text starts; positions compared are never before it).
  ptrdiff_t base = static_cast<ptrdiff_t>(offset) + d;
  Run &run = runs[static_cast<size_t>(base + static_cast<ptrdiff_t>(margin))];
  size_t end;
  if (run.from <= i && i <= run.to) {
    end = run.to;
  } else {
    end = equalRunEnd(i, base);
    run = {i, end};
  }
  return static_cast<ptrdiff_t>(std::min(end, limitInCandidate));
}

// The first position p >= i with example[p] != text[p + base], bounded by
// the example's and the text's ends.
size_t CappedEditDistance::equalRunEnd(size_t i, ptrdiff_t base) const {
  size_t end =
      std::min(example.size(), static_cast<size_t>(static_cast<ptrdiff_t>(text.size()) - base));
  const char *shifted = text.data() + (base + static_cast<ptrdiff_t>(i));
  while (i + 8 <= end) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, example.data() + i, 8);
    std::memcpy(&b, shifted, 8);
    if (a != b) {
      if constexpr (std::endian::native == std::endian::little)
        return i + static_cast<size_t>(std::countr_zero(a ^ b) / 8);
      else
        return i + static_cast<size_t>(std::countl_zero(a ^ b) / 8);
    }
    i += 8;
    shifted += 8;
  }
  while (i < end && example[i] == *shifted) {
    ++i;
    ++shifted;
  }
  return i;
}

} // namespace vetline
