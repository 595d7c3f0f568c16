// Edit distance: the number of single-byte insertions, deletions and
// replacements that turn one text into another. The option library's
// nearest-name suggestion, the linter's directive typo check and the
// engine's fuzzy search for a failed pattern's closest candidate all
// measure with it, so they agree on what "close" means.
//
// Two forms: editDistance computes the whole distance in time linear in the
// longer text when the shorter has at most 64 bytes (a huge misspelt
// argument stays cheap); the bounded forms stop once the distance passes a
// limit, which is all a search for the best of many candidates needs.
// Tested by edit_distance_test.cpp against a slow textbook table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vetline {

size_t editDistance(std::string_view a, std::string_view b);

// min(editDistance(a, b), limit + 1); limit below UINT32_MAX.
uint32_t boundedEditDistance(std::string_view a, std::string_view b, uint32_t limit);

// Bounded distances between one example and many candidates that all lie in
// one text (text.substr(offset, length) for offsets below the constructor's
// `offsets`). The distance is found along diagonals (Ukkonen's
// furthest-reaching points), so a candidate costs O(limit^2) slides instead
// of O(limit * length) cells, and each slide compares eight bytes at a
// time. Candidates at nearby offsets share diagonals of the text, so the
// last run of equal bytes found on each diagonal is kept and answers later
// slides that start inside it: periodic text, where every offset is a near
// miss, is compared only once. Views `text` and `example`, which must
// outlive it.
class CappedEditDistance {
public:
  CappedEditDistance(std::string_view text, std::string_view example, size_t offsets,
                     uint32_t maxLimit);

  // min(editDistance(example, text.substr(offset, length)), limit + 1);
  // limit at most the constructor's maxLimit, which is below UINT32_MAX.
  uint32_t distance(size_t offset, size_t length, uint32_t limit);

private:
  struct Run {
    size_t from = 1;
    size_t to = 0; // from > to: nothing known yet
  };

  ptrdiff_t slide(size_t offset, size_t n, size_t i, ptrdiff_t d);
  size_t equalRunEnd(size_t i, ptrdiff_t base) const;

  std::string_view text;
  std::string_view example;
  size_t margin;
  std::vector<Run> runs;
  std::vector<ptrdiff_t> furthest;
  std::vector<ptrdiff_t> previous;
};

} // namespace vetline
