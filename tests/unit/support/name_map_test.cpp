#include "support/name_map.h"

#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

struct HashCase {
  std::string_view name;
  uint32_t hash;
};

const HashCase hashCases[] = {
    {"", 0},
    {"a", 97},
    {"ab", 3299},  // 97 * 33 + 98
    {"\xff", 255}, // bytes count as unsigned
    {"CHECK", 82121598u},
    {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 277434092u}, // wraps
};

TEST(NameMap, Hash) {
  for (const HashCase &c : hashCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(nameHash(c.name), c.hash);
  }
}

// Every name of the map with its bucket, in iteration order.
std::string layout(const NameMap<int> &map) {
  std::string text;
  for (const auto &entry : map)
    text += std::string(entry.key()) + "@" + std::to_string(map.bucketOf(entry.key())) + " ";
  return text;
}

TEST(NameMap, FirstInsertionMakesSixteenBuckets) {
  NameMap<int> map;
  EXPECT_EQ(map.bucketCount(), 0u);
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(map.find("a"), map.end());
  map.insert("a", 1);
  EXPECT_EQ(map.bucketCount(), 16u);
  EXPECT_EQ(map.bucketOf("a"), 1);
}

TEST(NameMap, CollisionsProbeWithGrowingSteps) {
  // All six hash to 1 modulo 16: '!' 33, '1' 49, 'A' 65, 'Q' 81, 'a' 97, 'q' 113.
  NameMap<int> map;
  for (const char *name : {"q", "!", "a", "Q", "1", "A"})
    map.insert(name, 0);
  EXPECT_EQ(layout(map), "A@0 q@1 !@2 a@4 Q@7 1@11 ");
}

TEST(NameMap, EqualFullHashesKeepDistinctNames) {
  ASSERT_EQ(nameHash("aB"), nameHash("b!"));
  NameMap<int> map;
  map.insert("aB", 1);
  map.insert("b!", 2);
  EXPECT_EQ(map.lookup("aB"), 1);
  EXPECT_EQ(map.lookup("b!"), 2);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_FALSE(map.contains("b"));
}

TEST(NameMap, InsertOfAPresentNameKeepsTheOldValue) {
  NameMap<int> map;
  auto [first, inserted] = map.insert("x", 1);
  EXPECT_TRUE(inserted);
  auto [again, insertedAgain] = map.insert("x", 2);
  EXPECT_FALSE(insertedAgain);
  EXPECT_EQ(again->value, 1);
  EXPECT_EQ(&*first, &*again);
  map["y"] += 5;
  EXPECT_EQ(map.lookup("y"), 5);
  EXPECT_EQ(map.lookup("absent"), 0);
}

TEST(NameMap, ThirteenthNameDoublesTheTable) {
  // '@' .. 'K' are 64 .. 75: buckets 0 .. 11 of 16.
  NameMap<int> map;
  std::string names = "@ABCDEFGHIJK";
  for (char c : names)
    map.insert(std::string(1, c), 0);
  EXPECT_EQ(map.bucketCount(), 16u);
  // 'a' (97) probes 1, 2, 4, 7, 11, 0, 6 and lands in 13.
  map.insert("a", 0);
  EXPECT_EQ(map.size(), 13u);
  EXPECT_EQ(map.bucketCount(), 32u);
  // The rebuild walks the old buckets in order, so 'A' keeps bucket 1 and
  // 'a' (97 & 31 = 1) probes 1, 2, 4, 7, 11 before finding 16 free.
  EXPECT_EQ(layout(map), "@@0 A@1 B@2 C@3 D@4 E@5 F@6 G@7 H@8 I@9 J@10 K@11 a@16 ");
}

TEST(NameMap, RemovedBucketIsReused) {
  NameMap<int> map;
  for (const char *name : {"A", "Q", "a"})
    map.insert(name, 0);
  EXPECT_EQ(layout(map), "A@1 Q@2 a@4 ");
  EXPECT_TRUE(map.erase("Q"));
  EXPECT_FALSE(map.erase("Q"));
  EXPECT_EQ(map.tombstoneCount(), 1u);
  EXPECT_EQ(map.bucketOf("a"), 4) << "a search must probe past the removed bucket";
  map.insert("q", 0);
  EXPECT_EQ(map.bucketOf("q"), 2);
  EXPECT_EQ(map.tombstoneCount(), 0u);
  EXPECT_EQ(layout(map), "A@1 q@2 a@4 ");
}

TEST(NameMap, TombstonesAreClearedByARebuildAtTheSameSize) {
  NameMap<int> map;
  for (char c : std::string("ABCDEFGHIJKL")) // buckets 1 .. 12
    map.insert(std::string(1, c), 0);
  map.erase("A");
  map.erase("B");
  map.insert("M", 0);
  EXPECT_EQ(map.tombstoneCount(), 2u);
  // 12 live and 2 tombstones leave 2 of 16 free: at most an eighth.
  map.insert("N", 0);
  EXPECT_EQ(map.bucketCount(), 16u);
  EXPECT_EQ(map.tombstoneCount(), 0u);
  EXPECT_EQ(map.size(), 12u);
  EXPECT_EQ(layout(map), "C@3 D@4 E@5 F@6 G@7 H@8 I@9 J@10 K@11 L@12 M@13 N@14 ");
}

TEST(NameMap, RemoveByEntryAndIterator) {
  NameMap<std::string> map;
  map.insert("one", "1");
  map.insert("two", "2");
  map.remove(map.findEntry("one"));
  EXPECT_FALSE(map.contains("one"));
  map.erase(map.find("two"));
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.begin(), map.end());
}

TEST(NameMap, MoveTransfersEntries) {
  NameMap<std::string> map;
  map.insert("key", "value");
  NameMap<std::string> moved = std::move(map);
  EXPECT_EQ(moved.lookup("key"), "value");
  EXPECT_TRUE(map.empty()); // NOLINT: moved-from maps are empty
  map = std::move(moved);
  EXPECT_EQ(map.lookup("key"), "value");
}

// Random insertions and removals, checked against std::map; iteration must
// visit every live name once, in increasing bucket order.
TEST(NameMap, AgreesWithStdMapUnderRandomEdits) {
  std::mt19937 random(7);
  NameMap<int> map;
  std::map<std::string, int> reference;
  for (int step = 0; step < 5000; ++step) {
    std::string name = "n" + std::to_string(random() % 300);
    if (random() % 3 == 0) {
      EXPECT_EQ(map.erase(name), reference.erase(name) == 1);
    } else {
      bool inserted = map.insert(name, step).second;
      EXPECT_EQ(inserted, reference.emplace(name, step).second);
    }
    ASSERT_EQ(map.size(), reference.size());
    ASSERT_LE(map.size() * 4, map.bucketCount() * 3);
  }
  int previousBucket = -1;
  size_t visited = 0;
  for (const auto &entry : map) {
    std::string key(entry.key());
    ASSERT_EQ(reference.count(key), 1u) << key;
    EXPECT_EQ(reference[key], entry.value);
    int bucket = map.bucketOf(key);
    EXPECT_GT(bucket, previousBucket);
    previousBucket = bucket;
    ++visited;
  }
  EXPECT_EQ(visited, reference.size());
}

TEST(NameMap, KeysAreCopiedAndCaseSensitive) {
  NameMap<int> map;
  std::string name = "Name";
  map.insert(name, 1);
  name[0] = 'X';
  EXPECT_TRUE(map.contains("Name"));
  EXPECT_FALSE(map.contains("name"));
  EXPECT_STREQ(map.findEntry("Name")->keyData(), "Name");
  map.insert(std::string_view("nul\0byte", 8), 2);
  EXPECT_EQ(map.lookup(std::string_view("nul\0byte", 8)), 2);
  EXPECT_FALSE(map.contains("nul"));
}

} // namespace
} // namespace vetline
