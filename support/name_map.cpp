#include "support/name_map.h"

#include <cassert>
#include <cstdlib>

namespace vetline {

uint32_t nameHash(std::string_view name) {
  uint32_t hash = 0;
  for (unsigned char c : name)
    hash = hash * 33 + c;
  return hash;
}

NameMapBase::NameMapBase(NameMapBase &&other) noexcept
    : table(other.table), numBuckets(other.numBuckets), itemCount(other.itemCount),
      numTombstones(other.numTombstones), entrySize(other.entrySize) {
  other.table = nullptr;
  other.numBuckets = 0;
  other.itemCount = 0;
  other.numTombstones = 0;
}

NameMapBase &NameMapBase::operator=(NameMapBase &&other) noexcept {
  if (this != &other) {
    std::free(table);
    table = other.table;
    numBuckets = other.numBuckets;
    itemCount = other.itemCount;
    numTombstones = other.numTombstones;
    other.table = nullptr;
    other.numBuckets = 0;
    other.itemCount = 0;
    other.numTombstones = 0;
  }
  return *this;
}

NameMapBase::~NameMapBase() { std::free(table); }

void NameMapBase::makeTable(unsigned buckets) {
  // Buckets, the end marker, then the stored hashes, in one block.
  table = static_cast<NameMapEntryBase **>(
      safeCalloc(1, (buckets + 1) * sizeof(NameMapEntryBase *) + buckets * sizeof(uint32_t)));
  table[buckets] = endMarker();
  numBuckets = buckets;
  itemCount = 0;
  numTombstones = 0;
}

void NameMapBase::resetTable() {
  std::free(table);
  table = nullptr;
  numBuckets = 0;
  itemCount = 0;
  numTombstones = 0;
}

bool NameMapBase::keyEquals(const NameMapEntryBase *entry, std::string_view name) const {
  if (entry->keyLength() != name.size())
    return false;
  const char *key = reinterpret_cast<const char *>(entry) + entrySize;
  return name.empty() || std::memcmp(key, name.data(), name.size()) == 0;
}

unsigned NameMapBase::lookupBucketFor(std::string_view name) {
  if (numBuckets == 0)
    makeTable(16);
  uint32_t hash = nameHash(name);
  uint32_t *storedHashes = hashes();
  unsigned mask = numBuckets - 1;
  unsigned bucket = hash & mask;
  unsigned step = 1;
  int firstTombstone = -1;
  while (true) {
    NameMapEntryBase *current = table[bucket];
    if (current == nullptr) {
      if (firstTombstone >= 0)
        bucket = static_cast<unsigned>(firstTombstone);
      storedHashes[bucket] = hash;
      return bucket;
    }
    if (current == tombstone()) {
      if (firstTombstone < 0)
        firstTombstone = static_cast<int>(bucket);
    } else if (storedHashes[bucket] == hash && keyEquals(current, name)) {
      return bucket;
    }
    bucket = (bucket + step) & mask;
    ++step;
  }
}

int NameMapBase::findKey(std::string_view name) const {
  if (numBuckets == 0)
    return -1;
  uint32_t hash = nameHash(name);
  const uint32_t *storedHashes = hashes();
  unsigned mask = numBuckets - 1;
  unsigned bucket = hash & mask;
  unsigned step = 1;
  while (true) {
    NameMapEntryBase *current = table[bucket];
    if (current == nullptr)
      return -1;
    if (current != tombstone() && storedHashes[bucket] == hash && keyEquals(current, name))
      return static_cast<int>(bucket);
    bucket = (bucket + step) & mask;
    ++step;
  }
}

int NameMapBase::bucketOf(std::string_view name) const { return findKey(name); }

NameMapEntryBase *NameMapBase::removeKey(std::string_view name) {
  int bucket = findKey(name);
  if (bucket < 0)
    return nullptr;
  NameMapEntryBase *entry = table[bucket];
  table[bucket] = tombstone();
  --itemCount;
  ++numTombstones;
  return entry;
}

void NameMapBase::removeEntry(NameMapEntryBase *entry) {
  const char *key = reinterpret_cast<const char *>(entry) + entrySize;
  NameMapEntryBase *removed = removeKey(std::string_view(key, entry->keyLength()));
  (void)removed;
  assert(removed == entry && "removing an entry of another map");
}

unsigned NameMapBase::rebuildIfNeeded(unsigned bucket) {
  if (itemCount * 4 > numBuckets * 3)
    return rebuild(numBuckets * 2, bucket);
  if (numBuckets - (itemCount + numTombstones) <= numBuckets / 8)
    return rebuild(numBuckets, bucket);
  return bucket;
}

unsigned NameMapBase::rebuild(unsigned newBuckets, unsigned bucket) {
  NameMapEntryBase **oldTable = table;
  uint32_t *oldHashes = hashes();
  unsigned oldBuckets = numBuckets;
  unsigned items = itemCount;
  makeTable(newBuckets);
  uint32_t *newHashes = hashes();
  unsigned mask = newBuckets - 1;
  unsigned result = bucket;
  for (unsigned i = 0; i < oldBuckets; ++i) {
    NameMapEntryBase *entry = oldTable[i];
    if (!isLive(entry))
      continue;
    // Reuse the stored hash: recomputing gives the same bucket but would
    // cost a pass over every key on each growth.
    uint32_t hash = oldHashes[i];
    unsigned slot = hash & mask;
    unsigned step = 1;
    while (table[slot] != nullptr) {
      slot = (slot + step) & mask;
      ++step;
    }
    table[slot] = entry;
    newHashes[slot] = hash;
    if (i == bucket)
      result = slot;
  }
  itemCount = items;
  std::free(oldTable);
  return result;
}

} // namespace vetline
