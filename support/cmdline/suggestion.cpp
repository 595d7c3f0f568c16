// Each candidate first gets a cheap lower bound of its distance; only one
// that could beat the best so far costs a full distance, so a huge
// misspelt argument stays linear. Tested by parser_test.cpp against a
// search that measures every name.
#include "support/cmdline/suggestion.h"

#include "support/cmdline/option.h"
#include "support/edit_distance.h"

#include <algorithm>
#include <vector>

namespace vetline::cl {

namespace {

struct CharCounts {
  explicit CharCounts(std::string_view text) {
    for (char c : text)
      ++count[(unsigned char)c];
  }
  size_t count[256] = {};
};

// A cheap lower bound of the edit distance: the length difference, and the
// characters of the written name that the candidate lacks (none of them can
// be matched, so each costs an edit). It lets a huge misspelt argument skip
// most candidates.
size_t distanceLowerBound(const CharCounts &written, size_t writtenLength,
                          std::string_view candidate) {
  bool present[256] = {};
  size_t matchable = 0;
  for (char c : candidate) {
    unsigned char byte = (unsigned char)c;
    if (!present[byte]) {
      present[byte] = true;
      matchable += written.count[byte];
    }
  }
  size_t unmatched = writtenLength - matchable;
  size_t lengthGap = candidate.size() > writtenLength ? candidate.size() - writtenLength
                                                      : writtenLength - candidate.size();
  return std::max(unmatched, lengthGap);
}

} // namespace

std::optional<std::string> nearestOptionName(const SubCommand &sub, std::string_view written) {
  size_t equals = written.find('=');
  std::string_view left = written.substr(0, equals);
  std::string_view rest =
      equals == std::string_view::npos ? std::string_view() : written.substr(equals + 1);
  CharCounts leftCounts(left), writtenCounts(written);
  const Option *best = nullptr;
  std::string_view bestName;
  size_t bestDistance = 0;
  std::vector<std::string_view> candidates;
  sub.forEachEntry([&](std::string_view, Option *o) {
    if (o->visibility() == Unlisted)
      return;
    candidates.clear();
    o->extraNames(candidates);
    if (!o->name.empty())
      candidates.push_back(o->name);
    bool allowsValue = o->valueExpectation() != ValueDisallowed;
    std::string_view compared = allowsValue ? left : written;
    const CharCounts &counts = allowsValue ? leftCounts : writtenCounts;
    for (std::string_view candidate : candidates) {
      if (best && distanceLowerBound(counts, compared.size(), candidate) >= bestDistance)
        continue;
      size_t distance = editDistance(compared, candidate);
      if (!best || distance < bestDistance) {
        best = o;
        bestName = candidate;
        bestDistance = distance;
      }
    }
  });
  if (!best)
    return std::nullopt;
  std::string suggestion(bestName);
  if (!rest.empty() && best->valueExpectation() != ValueDisallowed)
    suggestion.append("=").append(rest);
  return suggestion;
}

} // namespace vetline::cl
