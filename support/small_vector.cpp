#include "support/small_vector.h"

#include "support/error.h"

#include <string>
#include <string_view>

namespace vetline {

namespace {

// ---- Messages ----
// Pieces around the numbers: the positional formatter grows small vectors
// itself, so it cannot word a failure to grow one.

constexpr std::string_view sizeOverflowStart = "SmallVector unable to grow. Requested capacity (";
constexpr std::string_view sizeOverflowMiddle = ") is larger than maximum value for size type (";
constexpr std::string_view sizeOverflowEnd = ")";
constexpr std::string_view atMaximumStart =
    "SmallVector capacity unable to grow. Already at maximum size ";

[[noreturn]] void reportSizeOverflow(uint64_t requested, uint64_t maximum) {
  fatalError(std::string(sizeOverflowStart) + std::to_string(requested) +
             std::string(sizeOverflowMiddle) + std::to_string(maximum) +
             std::string(sizeOverflowEnd));
}

[[noreturn]] void reportAtMaximum(uint64_t maximum) {
  fatalError(std::string(atMaximumStart) + std::to_string(maximum));
}

} // namespace

void *safeMalloc(size_t size) {
  void *block = std::malloc(size);
  if (block == nullptr && size == 0)
    block = std::malloc(1);
  if (block == nullptr)
    reportOutOfMemory();
  return block;
}

void *safeCalloc(size_t count, size_t size) {
  void *block = std::calloc(count, size);
  if (block == nullptr && (count == 0 || size == 0))
    block = std::calloc(1, 1);
  if (block == nullptr)
    reportOutOfMemory();
  return block;
}

void *safeRealloc(void *block, size_t size) {
  void *result = std::realloc(block, size);
  if (result == nullptr && size == 0)
    result = std::realloc(block, 1);
  if (result == nullptr)
    reportOutOfMemory();
  return result;
}

template <typename SizeT> size_t SmallVectorBase<SizeT>::newCapacity(size_t minSize) const {
  constexpr size_t maximum = maxSize();
  // Only reachable with 32-bit counts; 64-bit requests cannot exceed size_t.
  if (minSize > maximum)
    reportSizeOverflow(minSize, maximum);
  if (capacity() == maximum)
    reportAtMaximum(maximum);
  size_t doubled = 2 * capacity() + 1;
  // Doubling a 64-bit count can wrap; a wrapped value is below the capacity.
  if (doubled < capacity() || doubled > maximum)
    doubled = maximum;
  return std::max(doubled, minSize);
}

template <typename SizeT>
void *SmallVectorBase<SizeT>::mallocForGrow(size_t minSize, size_t typeSize, size_t &newCap) {
  newCap = newCapacity(minSize);
  if (newCap > SIZE_MAX / typeSize)
    reportOutOfMemory();
  return safeMalloc(newCap * typeSize);
}

template <typename SizeT>
void SmallVectorBase<SizeT>::growTrivial(void *firstEl, size_t minSize, size_t typeSize) {
  size_t newCap = newCapacity(minSize);
  if (newCap > SIZE_MAX / typeSize)
    reportOutOfMemory();
  void *block;
  if (beginX == firstEl) {
    block = safeMalloc(newCap * typeSize);
    if (sizeX != 0)
      std::memcpy(block, beginX, size() * typeSize);
  } else {
    block = safeRealloc(beginX, newCap * typeSize);
  }
  beginX = block;
  capacityX = static_cast<SizeT>(newCap);
}

template class SmallVectorBase<uint32_t>;
template class SmallVectorBase<uint64_t>;

} // namespace vetline
