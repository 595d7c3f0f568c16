// Small vector: the growable vector used throughout, keeping its first
// elements in storage inside the object and moving to the heap only when it
// outgrows it. Functions that fill a vector take `SmallVectorImpl<T> &`, so
// the caller chooses the inline size.
//
// Surprising: sizes and capacities are 32-bit counts (64-bit for elements
// smaller than 4 bytes, such as characters); a vector that cannot grow any
// further ends the process with a fatal error rather than failing softly, and
// a failed allocation ends it through reportOutOfMemory. The container
// operations keep the standard library's names (push_back, begin, ...) so
// that range-for loops and standard algorithms work on it.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vetline {

// Allocation helpers that never return null: a failure (or a zero-size
// request that fails again when retried as one byte) ends the process with
// "Allocation failed".
void *safeMalloc(size_t size);
void *safeCalloc(size_t count, size_t size);
void *safeRealloc(void *block, size_t size);

// The size type: 64-bit counts for elements smaller than 4 bytes, else 32-bit.
template <typename T>
using SmallVectorSizeType = std::conditional_t<(sizeof(T) < 4), uint64_t, uint32_t>;

// Untyped part: the heap pointer and the counts, and the growth policy.
template <typename SizeT> class SmallVectorBase {
protected:
  void *beginX;
  SizeT sizeX = 0;
  SizeT capacityX;

  SmallVectorBase(void *firstEl, size_t inlineCapacity)
      : beginX(firstEl), capacityX(static_cast<SizeT>(inlineCapacity)) {}

  static constexpr size_t maxSize() { return std::numeric_limits<SizeT>::max(); }

  // The capacity to grow to for at least `minSize` elements; ends the
  // process when that is impossible.
  size_t newCapacity(size_t minSize) const;

  // Allocates a new heap block for at least `minSize` elements (caller moves
  // the elements and frees the old block).
  void *mallocForGrow(size_t minSize, size_t typeSize, size_t &newCap);

  // Grows a vector of trivially copyable elements, with realloc on the heap.
  void growTrivial(void *firstEl, size_t minSize, size_t typeSize);

public:
  size_t size() const { return sizeX; }
  size_t capacity() const { return capacityX; }
  bool empty() const { return sizeX == 0; }

protected:
  void setSize(size_t n) {
    assert(n <= capacity());
    sizeX = static_cast<SizeT>(n);
  }
};

extern template class SmallVectorBase<uint32_t>;
extern template class SmallVectorBase<uint64_t>;

// Where the first inline element lies relative to the start of the object.
template <typename T> struct SmallVectorLayout {
  alignas(SmallVectorBase<SmallVectorSizeType<T>>) char base[sizeof(
      SmallVectorBase<SmallVectorSizeType<T>>)];
  alignas(T) char firstEl[sizeof(T)];
};

template <typename T> class SmallVectorImpl : public SmallVectorBase<SmallVectorSizeType<T>> {
  using Base = SmallVectorBase<SmallVectorSizeType<T>>;
  static constexpr bool isTrivial = std::is_trivially_copyable_v<T>;

public:
  using value_type = T;
  using size_type = size_t;
  using difference_type = ptrdiff_t;
  using reference = T &;
  using const_reference = const T &;
  using pointer = T *;
  using const_pointer = const T *;
  using iterator = T *;
  using const_iterator = const T *;
  using reverse_iterator = std::reverse_iterator<iterator>;
  using const_reverse_iterator = std::reverse_iterator<const_iterator>;

  SmallVectorImpl(const SmallVectorImpl &) = delete;

  iterator begin() { return static_cast<T *>(this->beginX); }
  const_iterator begin() const { return static_cast<const T *>(this->beginX); }
  iterator end() { return begin() + this->size(); }
  const_iterator end() const { return begin() + this->size(); }
  reverse_iterator rbegin() { return reverse_iterator(end()); }
  const_reverse_iterator rbegin() const { return const_reverse_iterator(end()); }
  reverse_iterator rend() { return reverse_iterator(begin()); }
  const_reverse_iterator rend() const { return const_reverse_iterator(begin()); }

  T *data() { return begin(); }
  const T *data() const { return begin(); }

  T &operator[](size_t i) {
    assert(i < this->size());
    return begin()[i];
  }
  const T &operator[](size_t i) const {
    assert(i < this->size());
    return begin()[i];
  }
  T &front() { return (*this)[0]; }
  const T &front() const { return (*this)[0]; }
  T &back() { return (*this)[this->size() - 1]; }
  const T &back() const { return (*this)[this->size() - 1]; }

  bool isSmall() const { return this->beginX == firstEl(); }

  void reserve(size_t n) {
    if (n > this->capacity())
      grow(n);
  }

  void push_back(const T &value) {
    const T *source = reserveForOne(value);
    ::new (static_cast<void *>(end())) T(*source);
    this->setSize(this->size() + 1);
  }

  void push_back(T &&value) {
    T *source = const_cast<T *>(reserveForOne(value));
    ::new (static_cast<void *>(end())) T(std::move(*source));
    this->setSize(this->size() + 1);
  }

  template <typename... Args> T &emplace_back(Args &&...args) {
    if (this->size() >= this->capacity()) {
      // The arguments may refer into this vector: build the element first.
      T temporary(std::forward<Args>(args)...);
      push_back(std::move(temporary));
      return back();
    }
    ::new (static_cast<void *>(end())) T(std::forward<Args>(args)...);
    this->setSize(this->size() + 1);
    return back();
  }

  void pop_back() {
    assert(!this->empty());
    this->setSize(this->size() - 1);
    end()->~T();
  }

  T pop_back_val() {
    T result = std::move(back());
    pop_back();
    return result;
  }

  void clear() {
    destroyRange(begin(), end());
    this->sizeX = 0;
  }

  // Shrinks to `n` elements, which must not be more than there are.
  void truncate(size_t n) {
    assert(n <= this->size());
    destroyRange(begin() + n, end());
    this->setSize(n);
  }

  void resize(size_t n) {
    if (n <= this->size()) {
      truncate(n);
      return;
    }
    reserve(n);
    for (T *p = end(), *e = begin() + n; p != e; ++p)
      ::new (static_cast<void *>(p)) T();
    this->setSize(n);
  }

  void resize(size_t n, const T &value) {
    if (n <= this->size()) {
      truncate(n);
      return;
    }
    append(n - this->size(), value);
  }

  void append(size_t count, const T &value) {
    const T *source = reserveForMore(count, value);
    std::uninitialized_fill_n(end(), count, *source);
    this->setSize(this->size() + count);
  }

  template <typename It,
            typename = std::enable_if_t<std::is_convertible_v<
                typename std::iterator_traits<It>::iterator_category, std::input_iterator_tag>>>
  void append(It first, It last) {
    size_t count = std::distance(first, last);
    reserve(this->size() + count);
    std::uninitialized_copy(first, last, end());
    this->setSize(this->size() + count);
  }

  void append(std::initializer_list<T> values) { append(values.begin(), values.end()); }

  void assign(size_t count, const T &value) {
    if (count > this->capacity()) {
      T copy = value;
      clear();
      append(count, copy);
      return;
    }
    std::fill_n(begin(), std::min(count, this->size()), value);
    if (count > this->size())
      std::uninitialized_fill_n(end(), count - this->size(), value);
    else
      destroyRange(begin() + count, end());
    this->setSize(count);
  }

  template <typename It,
            typename = std::enable_if_t<std::is_convertible_v<
                typename std::iterator_traits<It>::iterator_category, std::input_iterator_tag>>>
  void assign(It first, It last) {
    clear();
    append(first, last);
  }

  void assign(std::initializer_list<T> values) {
    clear();
    append(values);
  }

  iterator erase(const_iterator position) {
    assert(position >= begin() && position < end());
    T *p = const_cast<T *>(position);
    std::move(p + 1, end(), p);
    pop_back();
    return p;
  }

  iterator erase(const_iterator first, const_iterator last) {
    assert(first >= begin() && first <= last && last <= end());
    T *f = const_cast<T *>(first);
    // An empty range would move every later element onto itself.
    if (first == last)
      return f;
    T *newEnd = std::move(const_cast<T *>(last), end(), f);
    destroyRange(newEnd, end());
    this->setSize(newEnd - begin());
    return f;
  }

  iterator insert(const_iterator position, const T &value) { return insert(position, 1, value); }

  iterator insert(const_iterator position, T &&value) {
    size_t index = position - begin();
    if (position == end()) {
      push_back(std::move(value));
      return begin() + index;
    }
    T moved = std::move(value);
    return insertGap(index, 1, [&](T *slot, bool constructed) {
      if (constructed)
        *slot = std::move(moved);
      else
        ::new (static_cast<void *>(slot)) T(std::move(moved));
    });
  }

  iterator insert(const_iterator position, size_t count, const T &value) {
    size_t index = position - begin();
    T copy = value;
    return insertGap(index, count, [&](T *slot, bool constructed) {
      if (constructed)
        *slot = copy;
      else
        ::new (static_cast<void *>(slot)) T(copy);
    });
  }

  template <typename It,
            typename = std::enable_if_t<std::is_convertible_v<
                typename std::iterator_traits<It>::iterator_category, std::input_iterator_tag>>>
  iterator insert(const_iterator position, It first, It last) {
    size_t index = position - begin();
    // Copy first: the range may lie inside this vector.
    SmallVectorImpl<T> *self = this;
    size_t count = std::distance(first, last);
    T *buffer = static_cast<T *>(safeMalloc(count * sizeof(T)));
    std::uninitialized_copy(first, last, buffer);
    size_t next = 0;
    iterator result = self->insertGap(index, count, [&](T *slot, bool constructed) {
      if (constructed)
        *slot = std::move(buffer[next]);
      else
        ::new (static_cast<void *>(slot)) T(std::move(buffer[next]));
      ++next;
    });
    destroyRange(buffer, buffer + count);
    std::free(buffer);
    return result;
  }

  iterator insert(const_iterator position, std::initializer_list<T> values) {
    return insert(position, values.begin(), values.end());
  }

  SmallVectorImpl &operator=(const SmallVectorImpl &other) {
    if (this != &other)
      assign(other.begin(), other.end());
    return *this;
  }

  SmallVectorImpl &operator=(SmallVectorImpl &&other) {
    if (this == &other)
      return *this;
    if (!other.isSmall()) {
      // Steal the heap block.
      destroyRange(begin(), end());
      if (!isSmall())
        std::free(this->beginX);
      this->beginX = other.beginX;
      this->sizeX = other.sizeX;
      this->capacityX = other.capacityX;
      other.resetToSmall();
      return *this;
    }
    clear();
    reserve(other.size());
    std::uninitialized_move(other.begin(), other.end(), begin());
    this->setSize(other.size());
    other.clear();
    return *this;
  }

  void swap(SmallVectorImpl &other) {
    if (this == &other)
      return;
    SmallVectorImpl *a = this;
    SmallVectorImpl *b = &other;
    if (!a->isSmall() && !b->isSmall()) {
      std::swap(a->beginX, b->beginX);
      std::swap(a->sizeX, b->sizeX);
      std::swap(a->capacityX, b->capacityX);
      return;
    }
    // One of them uses inline storage: swap through a temporary heap copy.
    SmallVectorImpl<T> &x = *a;
    SmallVectorImpl<T> &y = *b;
    size_t xSize = x.size();
    T *saved = static_cast<T *>(safeMalloc(std::max<size_t>(xSize, 1) * sizeof(T)));
    std::uninitialized_move(x.begin(), x.end(), saved);
    x = std::move(y);
    y.clear();
    y.reserve(xSize);
    std::uninitialized_move(saved, saved + xSize, y.begin());
    y.setSize(xSize);
    destroyRange(saved, saved + xSize);
    std::free(saved);
  }

  bool operator==(const SmallVectorImpl &other) const {
    return this->size() == other.size() && std::equal(begin(), end(), other.begin());
  }
  bool operator!=(const SmallVectorImpl &other) const { return !(*this == other); }
  bool operator<(const SmallVectorImpl &other) const {
    return std::lexicographical_compare(begin(), end(), other.begin(), other.end());
  }

protected:
  explicit SmallVectorImpl(size_t inlineCapacity) : Base(firstEl(), inlineCapacity) {}

  ~SmallVectorImpl() {
    // The derived class destroys the elements; only the block goes here.
    if (!isSmall())
      std::free(this->beginX);
  }

  void destroyAll() { destroyRange(begin(), end()); }

private:
  void *firstEl() const {
    return const_cast<char *>(reinterpret_cast<const char *>(this) +
                              offsetof(SmallVectorLayout<T>, firstEl));
  }

  void resetToSmall() {
    this->beginX = firstEl();
    this->sizeX = 0;
    this->capacityX = 0;
  }

  static void destroyRange(T *first, T *last) {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      while (last != first)
        (--last)->~T();
    }
  }

  void grow(size_t minSize) {
    if constexpr (isTrivial) {
      this->growTrivial(firstEl(), minSize, sizeof(T));
    } else {
      size_t newCap;
      T *block = static_cast<T *>(this->mallocForGrow(minSize, sizeof(T), newCap));
      std::uninitialized_move(begin(), end(), block);
      destroyRange(begin(), end());
      if (!isSmall())
        std::free(this->beginX);
      this->beginX = block;
      this->capacityX = static_cast<SmallVectorSizeType<T>>(newCap);
    }
  }

  // Makes room for `count` more elements; returns where `value` lives
  // afterwards, since it may have been an element of this vector.
  const T *reserveForMore(size_t count, const T &value) {
    size_t needed = this->size() + count;
    if (needed <= this->capacity())
      return &value;
    const T *p = &value;
    bool inside = p >= begin() && p < end();
    size_t index = inside ? p - begin() : 0;
    grow(needed);
    return inside ? begin() + index : p;
  }

  const T *reserveForOne(const T &value) { return reserveForMore(1, value); }

  // Opens a gap of `count` elements at `index` and fills each slot with
  // `fill(slot, constructed)`, where `constructed` says whether the slot
  // still holds a live element that must be assigned rather than built.
  template <typename Fill> iterator insertGap(size_t index, size_t count, Fill fill) {
    assert(index <= this->size());
    // Nothing to open: moving the tail would move it onto itself.
    if (count == 0)
      return begin() + index;
    reserve(this->size() + count);
    T *pos = begin() + index;
    T *oldEnd = end();
    size_t tail = oldEnd - pos;
    if (tail >= count) {
      std::uninitialized_move(oldEnd - count, oldEnd, oldEnd);
      std::move_backward(pos, oldEnd - count, oldEnd);
      for (size_t i = 0; i < count; ++i)
        fill(pos + i, true);
    } else {
      std::uninitialized_move(pos, oldEnd, pos + count);
      for (size_t i = 0; i < count; ++i)
        fill(pos + i, i < tail);
    }
    this->setSize(this->size() + count);
    return begin() + index;
  }
};

template <typename T, size_t N> struct SmallVectorStorage {
  alignas(T) char inlineElements[N * sizeof(T)];
};

template <typename T> struct alignas(T) SmallVectorStorage<T, 0> {};

// Enough inline elements to keep the whole object near 64 bytes, at least one.
template <typename T> constexpr size_t defaultInlineCount() {
  constexpr size_t header = sizeof(SmallVectorImpl<T>);
  constexpr size_t room = header < 64 ? 64 - header : 0;
  return room / sizeof(T) > 0 ? room / sizeof(T) : 1;
}

template <typename T, size_t N = defaultInlineCount<T>()>
class SmallVector : public SmallVectorImpl<T>, SmallVectorStorage<T, N> {
public:
  SmallVector() : SmallVectorImpl<T>(N) {}

  explicit SmallVector(size_t count, const T &value = T()) : SmallVectorImpl<T>(N) {
    this->assign(count, value);
  }

  template <typename It,
            typename = std::enable_if_t<std::is_convertible_v<
                typename std::iterator_traits<It>::iterator_category, std::input_iterator_tag>>>
  SmallVector(It first, It last) : SmallVectorImpl<T>(N) {
    this->append(first, last);
  }

  SmallVector(std::initializer_list<T> values) : SmallVectorImpl<T>(N) { this->append(values); }

  SmallVector(const SmallVector &other) : SmallVectorImpl<T>(N) {
    this->append(other.begin(), other.end());
  }
  SmallVector(const SmallVectorImpl<T> &other) : SmallVectorImpl<T>(N) {
    this->append(other.begin(), other.end());
  }
  SmallVector(SmallVector &&other) : SmallVectorImpl<T>(N) {
    SmallVectorImpl<T>::operator=(std::move(other));
  }
  SmallVector(SmallVectorImpl<T> &&other) : SmallVectorImpl<T>(N) {
    SmallVectorImpl<T>::operator=(std::move(other));
  }

  ~SmallVector() { this->destroyAll(); }

  SmallVector &operator=(const SmallVector &other) {
    SmallVectorImpl<T>::operator=(other);
    return *this;
  }
  SmallVector &operator=(SmallVector &&other) {
    SmallVectorImpl<T>::operator=(std::move(other));
    return *this;
  }
  SmallVector &operator=(SmallVectorImpl<T> &&other) {
    SmallVectorImpl<T>::operator=(std::move(other));
    return *this;
  }
  SmallVector &operator=(std::initializer_list<T> values) {
    this->assign(values);
    return *this;
  }
};

// The text held by a character vector, valid until the vector changes.
inline std::string_view toStringView(const SmallVectorImpl<char> &chars) {
  return std::string_view(chars.data(), chars.size());
}

} // namespace vetline
