// Name map: the hash map from names to values behind the option registry
// and the variable tables. Its bucket order shows in output (which option
// is suggested for a misspelt one, which capture is reported first), so the
// hash, the probing and the growth policy are behaviour: do not tune them.
//
// Buckets: a power of two (16 at the first insertion), probed at i, i+1,
// i+3, i+6, ... from nameHash & (B - 1). The table doubles when more than
// three quarters are live, and is rebuilt at the same size when no more
// than an eighth is free of entries and tombstones. Each entry owns a copy of
// its key (case-sensitive bytes); iteration walks the buckets in order.
#pragma once

#include "support/small_vector.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>
#include <utility>

namespace vetline {

// h = h * 33 + byte over the name's bytes, wrapping in 32 bits, from 0.
uint32_t nameHash(std::string_view name);

class NameMapEntryBase {
public:
  size_t keyLength() const { return length; }

protected:
  explicit NameMapEntryBase(size_t length) : length(length) {}

private:
  size_t length;
};

// One entry: the value and a copy of the key (followed by a zero byte),
// allocated as one block.
template <typename V> class NameMapEntry : public NameMapEntryBase {
public:
  V value;

  std::string_view key() const {
    return std::string_view(reinterpret_cast<const char *>(this + 1), keyLength());
  }
  const char *keyData() const { return reinterpret_cast<const char *>(this + 1); }

  template <typename... Args> static NameMapEntry *create(std::string_view key, Args &&...args) {
    void *block = safeMalloc(sizeof(NameMapEntry) + key.size() + 1);
    NameMapEntry *entry = ::new (block) NameMapEntry(key.size(), std::forward<Args>(args)...);
    char *keyBytes = reinterpret_cast<char *>(entry + 1);
    if (!key.empty())
      std::memcpy(keyBytes, key.data(), key.size());
    keyBytes[key.size()] = '\0';
    return entry;
  }

  void destroy() {
    this->~NameMapEntry();
    std::free(this);
  }

private:
  template <typename... Args>
  explicit NameMapEntry(size_t length, Args &&...args)
      : NameMapEntryBase(length), value(std::forward<Args>(args)...) {}
};

// The untyped table: buckets of entry pointers, an end marker, and the
// stored full hashes in the same allocation.
class NameMapBase {
public:
  size_t size() const { return itemCount; }
  bool empty() const { return itemCount == 0; }
  unsigned bucketCount() const { return numBuckets; }
  unsigned tombstoneCount() const { return numTombstones; }

  // The bucket holding `name`, or -1 when it is absent (for tests and
  // diagnostics of the placement).
  int bucketOf(std::string_view name) const;

protected:
  // `entrySize` is the size of the typed entry; its key bytes follow it.
  explicit NameMapBase(size_t entrySize) : entrySize(entrySize) {}
  NameMapBase(NameMapBase &&other) noexcept;
  NameMapBase &operator=(NameMapBase &&other) noexcept;
  ~NameMapBase();

  static NameMapEntryBase *tombstone() {
    return reinterpret_cast<NameMapEntryBase *>(static_cast<uintptr_t>(-1) << 4);
  }
  static NameMapEntryBase *endMarker() { return reinterpret_cast<NameMapEntryBase *>(2); }
  static bool isLive(NameMapEntryBase *bucket) {
    return bucket != nullptr && bucket != tombstone();
  }

  // The bucket for `name`: either the one holding it, or where an insertion
  // goes (its hash already stored). Makes the table on first use.
  unsigned lookupBucketFor(std::string_view name);
  // The bucket holding `name`, or -1.
  int findKey(std::string_view name) const;
  // Marks the bucket of `name` as a tombstone and returns its entry, or null.
  NameMapEntryBase *removeKey(std::string_view name);
  // Marks `entry`'s bucket as a tombstone.
  void removeEntry(NameMapEntryBase *entry);
  // Called after filling bucket `bucket`; grows or cleans the table as the
  // counts ask and returns where that entry lies afterwards.
  unsigned rebuildIfNeeded(unsigned bucket);
  // Drops the table without touching entries (the typed map frees them).
  void resetTable();

  NameMapEntryBase **table = nullptr;
  unsigned numBuckets = 0;
  unsigned itemCount = 0;
  unsigned numTombstones = 0;
  size_t entrySize;

private:
  uint32_t *hashes() const { return reinterpret_cast<uint32_t *>(table + numBuckets + 1); }
  void makeTable(unsigned buckets);
  unsigned rebuild(unsigned newBuckets, unsigned bucket);
  bool keyEquals(const NameMapEntryBase *entry, std::string_view name) const;
};

template <typename V> class NameMapIterator {
public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = NameMapEntry<V>;
  using difference_type = ptrdiff_t;
  using pointer = NameMapEntry<V> *;
  using reference = NameMapEntry<V> &;

  NameMapIterator() = default;
  NameMapIterator(NameMapEntryBase **bucket, bool skipEmpty) : bucket(bucket) {
    if (skipEmpty)
      advancePastEmpty();
  }

  reference operator*() const { return *static_cast<NameMapEntry<V> *>(*bucket); }
  pointer operator->() const { return static_cast<NameMapEntry<V> *>(*bucket); }

  NameMapIterator &operator++() {
    ++bucket;
    advancePastEmpty();
    return *this;
  }
  NameMapIterator operator++(int) {
    NameMapIterator old = *this;
    ++*this;
    return old;
  }

  bool operator==(const NameMapIterator &other) const { return bucket == other.bucket; }
  bool operator!=(const NameMapIterator &other) const { return bucket != other.bucket; }

  NameMapEntryBase **bucketPointer() const { return bucket; }

private:
  // The end marker after the last bucket is neither null nor a tombstone.
  void advancePastEmpty() {
    while (*bucket == nullptr || *bucket == tombstoneValue())
      ++bucket;
  }
  static NameMapEntryBase *tombstoneValue() {
    return reinterpret_cast<NameMapEntryBase *>(static_cast<uintptr_t>(-1) << 4);
  }

  NameMapEntryBase **bucket = nullptr;
};

template <typename V> class NameMap : public NameMapBase {
public:
  using Entry = NameMapEntry<V>;
  using iterator = NameMapIterator<V>;
  using const_iterator = NameMapIterator<V>;

  NameMap() : NameMapBase(sizeof(Entry)) {}
  NameMap(NameMap &&other) noexcept = default;
  NameMap &operator=(NameMap &&other) noexcept {
    if (this != &other) {
      clear();
      NameMapBase::operator=(std::move(other));
    }
    return *this;
  }
  NameMap(const NameMap &) = delete;
  NameMap &operator=(const NameMap &) = delete;
  ~NameMap() { clear(); }

  iterator begin() const {
    if (numBuckets == 0)
      return end();
    return iterator(table, true);
  }
  iterator end() const {
    if (numBuckets == 0)
      return iterator(nullptr, false);
    return iterator(table + numBuckets, false);
  }

  iterator find(std::string_view name) const {
    int bucket = findKey(name);
    if (bucket < 0)
      return end();
    return iterator(table + bucket, false);
  }

  // The entry for `name`, or null.
  Entry *findEntry(std::string_view name) const {
    int bucket = findKey(name);
    return bucket < 0 ? nullptr : static_cast<Entry *>(table[bucket]);
  }

  bool contains(std::string_view name) const { return findKey(name) >= 0; }
  size_t count(std::string_view name) const { return contains(name) ? 1 : 0; }

  // The value for `name`, or a default-made value when it is absent.
  V lookup(std::string_view name) const {
    Entry *entry = findEntry(name);
    return entry ? entry->value : V();
  }

  // Inserts `name` with a value built from `args` unless it is present;
  // the flag tells whether it was inserted.
  template <typename... Args>
  std::pair<iterator, bool> tryEmplace(std::string_view name, Args &&...args) {
    unsigned bucket = lookupBucketFor(name);
    if (isLive(table[bucket]))
      return {iterator(table + bucket, false), false};
    if (table[bucket] == tombstone())
      --numTombstones;
    table[bucket] = Entry::create(name, std::forward<Args>(args)...);
    ++itemCount;
    bucket = rebuildIfNeeded(bucket);
    return {iterator(table + bucket, false), true};
  }

  std::pair<iterator, bool> insert(std::string_view name, V value) {
    return tryEmplace(name, std::move(value));
  }

  V &operator[](std::string_view name) { return tryEmplace(name).first->value; }

  // Removes and frees the entry for `name`; false when it is absent.
  bool erase(std::string_view name) {
    NameMapEntryBase *entry = removeKey(name);
    if (entry == nullptr)
      return false;
    static_cast<Entry *>(entry)->destroy();
    return true;
  }

  void erase(iterator position) { remove(&*position); }

  // Removes and frees an entry of this map.
  void remove(Entry *entry) {
    removeEntry(entry);
    entry->destroy();
  }

  void clear() {
    if (numBuckets != 0) {
      for (unsigned i = 0; i < numBuckets; ++i)
        if (isLive(table[i]))
          static_cast<Entry *>(table[i])->destroy();
    }
    resetTable();
  }
};

} // namespace vetline
