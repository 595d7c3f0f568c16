#include "support/small_vector.h"

#include "tests/unit/support/exact_text.h"
#include "tests/unit/support/sanitizer_build.h"

#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

using testing::exactly;
using IntVector = SmallVector<int, 1>;
using CharVector = SmallVector<char, 8>;

TEST(SmallVector, GrowsFromInlineStorageByDoublingPlusOne) {
  SmallVector<int, 2> v;
  EXPECT_TRUE(v.isSmall());
  EXPECT_EQ(v.capacity(), 2u);
  std::vector<size_t> capacities;
  for (int i = 0; i < 20; ++i) {
    v.push_back(i);
    if (capacities.empty() || capacities.back() != v.capacity())
      capacities.push_back(v.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<size_t>{2, 5, 11, 23}));
  EXPECT_FALSE(v.isSmall());
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(v[i], i);

  // A request above twice the capacity plus one is taken as it is.
  SmallVector<int, 2> w;
  w.reserve(40);
  EXPECT_EQ(w.capacity(), 40u);
}

TEST(SmallVector, SizeTypeDependsOnElementSize) {
  static_assert(std::is_same_v<SmallVectorSizeType<char>, uint64_t>);
  static_assert(std::is_same_v<SmallVectorSizeType<uint16_t>, uint64_t>);
  static_assert(std::is_same_v<SmallVectorSizeType<int>, uint32_t>);
  static_assert(std::is_same_v<SmallVectorSizeType<std::string>, uint32_t>);
}

TEST(SmallVector, PushBackOfItsOwnElementWhileGrowing) {
  SmallVector<std::string, 2> v{"first", "second"};
  v.push_back(v[0]);
  v.push_back(v[1]);
  v.push_back(v[3]);
  EXPECT_EQ(v, (SmallVector<std::string, 2>{"first", "second", "first", "second", "second"}));

  SmallVector<int, 1> ints{7};
  ints.append(3, ints[0]);
  EXPECT_EQ(ints, (SmallVector<int, 1>{7, 7, 7, 7}));
}

TEST(SmallVector, MovesStealHeapBlocksAndCopyInlineOnes) {
  SmallVector<std::string, 2> heap{"a", "b", "c"};
  const std::string *block = heap.data();
  SmallVector<std::string, 2> stolen = std::move(heap);
  EXPECT_EQ(stolen.data(), block);
  EXPECT_TRUE(heap.empty()); // NOLINT: a moved-from vector is empty
  heap.push_back("again");
  EXPECT_EQ(heap.back(), "again");

  SmallVector<std::string, 4> small{"x", "y"};
  SmallVector<std::string, 4> copied = std::move(small);
  EXPECT_TRUE(copied.isSmall());
  EXPECT_EQ(copied, (SmallVector<std::string, 4>{"x", "y"}));
  EXPECT_TRUE(small.empty()); // NOLINT

  SmallVector<std::string, 1> left{"l1", "l2", "l3"};
  SmallVector<std::string, 1> right{"r"};
  left.swap(right);
  EXPECT_EQ(left, (SmallVector<std::string, 1>{"r"}));
  EXPECT_EQ(right, (SmallVector<std::string, 1>{"l1", "l2", "l3"}));
}

// Random edits applied to both a SmallVector and std::vector must agree.
template <size_t N> void compareWithStdVector(unsigned seed) {
  std::mt19937 random(seed);
  SmallVector<std::string, N> mine;
  std::vector<std::string> reference;
  for (int step = 0; step < 2000; ++step) {
    std::string value = std::to_string(random() % 1000);
    size_t size = reference.size();
    size_t at = size == 0 ? 0 : random() % (size + 1);
    switch (random() % 9) {
    case 0:
    case 1:
      mine.push_back(value);
      reference.push_back(value);
      break;
    case 2:
      mine.insert(mine.begin() + at, value);
      reference.insert(reference.begin() + at, value);
      break;
    case 3: {
      size_t count = random() % 4;
      mine.insert(mine.begin() + at, count, value);
      reference.insert(reference.begin() + at, count, value);
      break;
    }
    case 4: {
      // Insert a range taken from the vector itself.
      size_t first = size == 0 ? 0 : random() % size;
      size_t last = first + (size == first ? 0 : random() % (size - first + 1));
      std::vector<std::string> range(reference.begin() + first, reference.begin() + last);
      mine.insert(mine.begin() + at, mine.begin() + first, mine.begin() + last);
      reference.insert(reference.begin() + at, range.begin(), range.end());
      break;
    }
    case 5:
      if (at < size) {
        mine.erase(mine.begin() + at);
        reference.erase(reference.begin() + at);
      }
      break;
    case 6: {
      size_t last = at + (size > at ? random() % (size - at + 1) : 0);
      mine.erase(mine.begin() + at, mine.begin() + last);
      reference.erase(reference.begin() + at, reference.begin() + last);
      break;
    }
    case 7: {
      size_t newSize = random() % 40;
      mine.resize(newSize, value);
      reference.resize(newSize, value);
      break;
    }
    case 8:
      if (size != 0) {
        EXPECT_EQ(mine.pop_back_val(), reference.back());
        reference.pop_back();
      }
      break;
    }
    ASSERT_EQ(mine.size(), reference.size()) << "step " << step;
    ASSERT_TRUE(std::equal(mine.begin(), mine.end(), reference.begin())) << "step " << step;
  }
}

TEST(SmallVector, AgreesWithStdVectorUnderRandomEdits) {
  compareWithStdVector<1>(1);
  compareWithStdVector<8>(2);
}

// Exposes the growth policy on a pretend capacity, which cannot be reached
// with real allocations.
template <typename SizeT> struct GrowthProbe : SmallVectorBase<SizeT> {
  explicit GrowthProbe(size_t capacity) : SmallVectorBase<SizeT>(nullptr, 0) {
    this->capacityX = static_cast<SizeT>(capacity);
  }
  size_t grownTo(size_t minSize) const { return this->newCapacity(minSize); }
};

TEST(SmallVector, GrowthIsCappedAtTheLargestCount) {
  EXPECT_EQ(GrowthProbe<uint32_t>(3000000000u).grownTo(3000000001u), 4294967295u);
  EXPECT_EQ(GrowthProbe<uint64_t>(UINT64_MAX / 2 + 5).grownTo(UINT64_MAX / 2 + 6), UINT64_MAX);
  EXPECT_EQ(GrowthProbe<uint32_t>(10).grownTo(11), 21u);
}

TEST(SmallVectorDeathTest, GrowthLimitsAreFatal) {
  EXPECT_EXIT(GrowthProbe<uint32_t>(4).grownTo(4294967296u), ::testing::KilledBySignal(SIGABRT),
              exactly("ORVANE ERROR: SmallVector unable to grow. Requested capacity (4294967296) "
                      "is larger than maximum value for size type (4294967295)\n"));
  EXPECT_EXIT(GrowthProbe<uint32_t>(4294967295u).grownTo(4294967295u),
              ::testing::KilledBySignal(SIGABRT),
              exactly("ORVANE ERROR: SmallVector capacity unable to grow. Already at maximum "
                      "size 4294967295\n"));
  EXPECT_EXIT(GrowthProbe<uint64_t>(UINT64_MAX).grownTo(5), ::testing::KilledBySignal(SIGABRT),
              exactly("ORVANE ERROR: SmallVector capacity unable to grow. Already at maximum "
                      "size 18446744073709551615\n"));
  // Through the real container as well.
  EXPECT_EXIT(
      {
        IntVector v;
        v.reserve(size_t(1) << 33);
      },
      ::testing::KilledBySignal(SIGABRT),
      exactly("ORVANE ERROR: SmallVector unable to grow. Requested capacity (8589934592) is "
              "larger than maximum value for size type (4294967295)\n"));
}

TEST(SmallVectorDeathTest, FailedAllocationIsOutOfMemory) {
  if (testing::isSanitizerBuild)
    GTEST_SKIP() << "the address sanitizer reports huge allocations itself";
  EXPECT_EXIT(
      {
        CharVector v;
        v.reserve(size_t(1) << 62);
      },
      ::testing::KilledBySignal(SIGABRT),
      exactly("ORVANE ERROR: out of memory\nAllocation failed\n"));
}

} // namespace
} // namespace vetline
