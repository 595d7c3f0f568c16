#include "support/edit_distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

// The textbook table, the reference every form is checked against.
size_t slowDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i)
    d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j)
    d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j)
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
  return d[a.size()][b.size()];
}

struct DistanceCase {
  std::string_view from;
  std::string_view to;
  uint32_t distance;
};

const DistanceCase distanceCases[] = {
    {"", "", 0},       {"abc", "", 3},           {"", "abcd", 4},
    {"abc", "abc", 0}, {"kitten", "sitting", 3}, {"flaw", "lawn", 2},
    {"ab", "ba", 2},   {"a\nb", "ab", 1},        {"dump-inpt", "dump-input", 1},
};

TEST(EditDistance, Table) {
  for (const DistanceCase &c : distanceCases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + std::string(c.to));
    EXPECT_EQ(editDistance(c.from, c.to), c.distance);
    EXPECT_EQ(editDistance(c.to, c.from), c.distance);
    for (uint32_t limit = 0; limit <= c.distance + 1; ++limit) {
      uint32_t capped = std::min(c.distance, limit + 1);
      EXPECT_EQ(boundedEditDistance(c.from, c.to, limit), capped) << "limit " << limit;
      EXPECT_EQ(boundedEditDistance(c.to, c.from, limit), capped) << "limit " << limit;
    }
  }
}

std::string randomText(std::mt19937 &random, size_t maxLength) {
  std::string s(random() % (maxLength + 1), 'a');
  for (char &c : s)
    c = char('a' + random() % 4);
  return s;
}

// Texts over four letters are full of near misses; lengths past 64 take
// the unbounded form off its bit-parallel path.
TEST(EditDistance, MatchesTheTextbookTable) {
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    size_t maxLength = round % 10 == 0 ? 150 : 20;
    std::string a = randomText(random, maxLength), b = randomText(random, maxLength);
    SCOPED_TRACE(a + " / " + b);
    size_t expected = slowDistance(a, b);
    ASSERT_EQ(editDistance(a, b), expected);
    uint32_t limit = random() % 24;
    ASSERT_EQ(boundedEditDistance(a, b, limit), std::min<size_t>(expected, limit + 1));
  }
}

// Candidates in one text share the runs of equal bytes found on each
// diagonal; a run left by one offset must not mislead another.
TEST(EditDistance, CappedCandidatesInOneText) {
  std::mt19937 random(4242);
  for (int round = 0; round < 200; ++round) {
    std::string text = randomText(random, 80);
    std::string example = randomText(random, 12);
    SCOPED_TRACE(text + " / " + example);
    constexpr uint32_t maxLimit = 8;
    CappedEditDistance capped(text, example, text.size(), maxLimit);
    for (size_t offset = 0; offset < text.size(); ++offset) {
      std::string_view candidate = std::string_view(text).substr(offset, example.size() + 2);
      uint32_t limit = random() % (maxLimit + 1);
      ASSERT_EQ(capped.distance(offset, candidate.size(), limit),
                std::min<size_t>(slowDistance(example, candidate), limit + 1))
          << "offset " << offset << " limit " << limit;
    }
  }
}

} // namespace
} // namespace vetline
