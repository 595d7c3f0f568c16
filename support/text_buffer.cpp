#include "support/text_buffer.h"

#include "support/error.h"
#include "support/system_calls.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vetline {

namespace {

// Smaller files are read: a mapping per small file would fragment the
// address space for no gain.
constexpr size_t minimumMappedSize = 16 * 1024;
constexpr size_t streamChunk = 16 * 1024;
// Owned bytes from this size on get anonymous pages of their own, aligned
// so that the system may back them with huge pages of this size.
constexpr size_t hugePageSize = 2 * 1024 * 1024;

std::error_code errnoCode(int number) { return {number, std::generic_category()}; }

// ---- Messages ----

constexpr const char *categoryName = "text buffer";
constexpr const char *fileChangedMessage = "the file changed while it was being read";

class TextBufferCategory final : public std::error_category {
public:
  const char *name() const noexcept override { return categoryName; }
  std::string message(int) const override { return fileChangedMessage; }
};

BeforeBytesReadHook beforeBytesRead = nullptr;

void announceBytesRead(std::string_view name) {
  if (beforeBytesRead)
    beforeBytesRead(name);
}

int statusOf(int fd, struct stat &status) { return systemCalls().fstat(fd, &status); }

// What tells whether a file changed between two looks at it: its reported
// size and its modification time.
struct FileStamp {
  int64_t size = -1;
  int64_t seconds = 0;
  int64_t nanoseconds = 0;

  bool operator==(const FileStamp &) const = default;
};

FileStamp stampOf(const struct stat &status) {
  return {static_cast<int64_t>(status.st_size), static_cast<int64_t>(status.st_mtim.tv_sec),
          static_cast<int64_t>(status.st_mtim.tv_nsec)};
}

// The stamp `fd` has now; a size of -1 when it cannot be asked, which
// matches no stamp taken before.
FileStamp currentStamp(int fd) {
  struct stat status;
  if (statusOf(fd, status) != 0)
    return {};
  return stampOf(status);
}

// A file that ends before its reported size but whose size and
// modification time stayed the same is a pseudo-file (sysfs reports a
// page for a few bytes): what it gave is all it holds. A truncation by
// another process changes the stamp, so it stays an error.
bool endedEarlyUnchanged(int fd, const FileStamp &before) { return currentStamp(fd) == before; }

class OwnedBuffer final : public TextBuffer {
public:
  OwnedBuffer(std::string_view name, const char *start, const char *end)
      : TextBuffer(name, start, end) {}
  TextBufferKind kind() const override { return TextBufferKind::Owned; }
};

// Owned bytes in an anonymous mapping of their own (see hugePageSize); the
// object and its name live in a small allocation as usual.
class PagesBuffer final : public TextBuffer {
public:
  PagesBuffer(std::string_view name, char *pages, size_t pagesSize, size_t size)
      : TextBuffer(name, pages, pages + size), pagesSize(pagesSize) {}
  ~PagesBuffer() override { ::munmap(const_cast<char *>(bufferStart()), pagesSize); }
  TextBufferKind kind() const override { return TextBufferKind::Owned; }

private:
  size_t pagesSize;
};

// Keeps its own descriptor of the file, to tell after the bytes were read
// whether the file still has the size that was mapped.
class MappedBuffer final : public TextBuffer {
public:
  MappedBuffer(std::string_view name, const char *start, const char *end, int fd)
      : TextBuffer(name, start, end), fd(fd) {}
  ~MappedBuffer() override {
    ::munmap(const_cast<char *>(bufferStart()), size());
    ::close(fd);
  }
  TextBufferKind kind() const override { return TextBufferKind::Mapped; }

private:
  int fd;
};

class ViewBuffer final : public TextBuffer {
public:
  ViewBuffer(std::string_view name, const char *start, const char *end)
      : TextBuffer(name, start, end) {}
  TextBufferKind kind() const override { return TextBufferKind::View; }
};

// Raw storage for an object of type T followed by its name (zero-terminated)
// and `byteCount` further bytes. Null when the size overflows or the
// allocator refuses: callers decide whether that is an error value or fatal.
template <typename T> struct Placement {
  void *storage = nullptr;
  std::string_view name;
  char *bytes = nullptr;
};

template <typename T> Placement<T> allocatePlacement(std::string_view name, size_t byteCount) {
  Placement<T> placement;
  size_t header = sizeof(T) + name.size() + 1;
  if (byteCount > SIZE_MAX - header)
    return placement;
  void *storage = std::malloc(header + byteCount);
  if (!storage)
    return placement;
  char *nameCopy = static_cast<char *>(storage) + sizeof(T);
  if (!name.empty())
    std::memcpy(nameCopy, name.data(), name.size());
  nameCopy[name.size()] = '\0';
  placement.storage = storage;
  placement.name = {nameCopy, name.size()};
  placement.bytes = nameCopy + name.size() + 1;
  return placement;
}

// An owned buffer of `size` bytes plus a terminating zero, bytes not yet
// filled in; null when memory is short.
OwnedBuffer *allocateOwned(std::string_view name, size_t size) {
  if (size == SIZE_MAX)
    return nullptr;
  Placement<OwnedBuffer> placement = allocatePlacement<OwnedBuffer>(name, size + 1);
  if (!placement.storage)
    return nullptr;
  placement.bytes[size] = '\0';
  return new (placement.storage)
      OwnedBuffer(placement.name, placement.bytes, placement.bytes + size);
}

// `length` bytes (whole pages) of fresh anonymous memory starting on a huge
// page boundary, advised to use huge pages; null when the system refuses.
char *mapHugePages(size_t length) {
  // Map one huge page more than needed and cut off what lies outside the
  // aligned part.
  size_t mapped = length + hugePageSize;
  void *mapping =
      ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED)
    return nullptr;
  char *first = static_cast<char *>(mapping);
  uintptr_t address = reinterpret_cast<uintptr_t>(first);
  char *aligned = first + ((hugePageSize - address % hugePageSize) % hugePageSize);
  if (aligned > first)
    ::munmap(first, size_t(aligned - first));
  size_t tail = mapped - size_t(aligned - first) - length;
  if (tail > 0)
    ::munmap(aligned + length, tail);
  // A partly used last huge page would count in full, so it stays in small
  // pages.
  adviseHugePages(aligned, length);
  return aligned;
}

// An owned buffer of `size` bytes plus a terminating zero, bytes not yet
// filled in, whose bytes are in pages of their own when large; null when
// memory is short.
TextBuffer *allocateWritable(std::string_view name, size_t size) {
  if (size < hugePageSize || size > SIZE_MAX - 2 * hugePageSize)
    return allocateOwned(name, size);
  size_t length = (size + pageSize()) / pageSize() * pageSize();
  Placement<PagesBuffer> placement = allocatePlacement<PagesBuffer>(name, 0);
  char *pages = placement.storage ? mapHugePages(length) : nullptr;
  if (!pages) {
    std::free(placement.storage);
    return allocateOwned(name, size);
  }
  pages[size] = '\0';
  return new (placement.storage) PagesBuffer(placement.name, pages, length, size);
}

// Raw storage laid out like an owned buffer (object, name, bytes, zero),
// grown while a stream is read. The object is placed only at the end, so
// the storage may move until then and the bytes are never copied into a
// second block: a long pipe costs one pass over its bytes.
class StreamStorage {
public:
  explicit StreamStorage(std::string_view name) : name(name) {}
  StreamStorage(const StreamStorage &) = delete;
  StreamStorage &operator=(const StreamStorage &) = delete;
  ~StreamStorage() { std::free(storage); }

  size_t room() const { return capacity - used; }
  char *freeRoom() { return bytes() + used; }
  void commit(size_t count) { used += count; }

  // Makes room for at least `count` more bytes, growing geometrically so
  // that reading stays linear; false when memory is short.
  bool reserveMore(size_t count) {
    if (storage && room() >= count)
      return true;
    size_t limit = SIZE_MAX - header() - 1;
    if (count > limit - used)
      return false;
    size_t wanted = used + count;
    size_t grown = capacity > limit / 2 ? limit : capacity * 2;
    return resize(grown > wanted ? grown : wanted);
  }

  // Trims the storage to the bytes read and places the buffer in it.
  OwnedBuffer *finish() {
    if (!storage && !resize(0))
      return nullptr;
    // A failed shrink leaves the larger block, which is just as good.
    resize(used);
    char *nameCopy = storage + sizeof(OwnedBuffer);
    if (!name.empty())
      std::memcpy(nameCopy, name.data(), name.size());
    nameCopy[name.size()] = '\0';
    bytes()[used] = '\0';
    void *place = storage;
    storage = nullptr;
    return new (place) OwnedBuffer({nameCopy, name.size()}, nameCopy + name.size() + 1,
                                   nameCopy + name.size() + 1 + used);
  }

private:
  size_t header() const { return sizeof(OwnedBuffer) + name.size() + 1; }
  char *bytes() { return storage + header(); }

  bool resize(size_t newCapacity) {
    void *moved = std::realloc(storage, header() + newCapacity + 1);
    if (!moved)
      return false;
    storage = static_cast<char *>(moved);
    capacity = newCapacity;
    return true;
  }

  std::string_view name;
  char *storage = nullptr;
  size_t capacity = 0;
  size_t used = 0;
};

// The bytes a regular file still holds after the descriptor's offset (a
// redirected standard input may have been read partly), with the stamp
// they were counted from; 0 when unknown, and for a file that reports no
// bytes at all (files under /proc do, whatever they hold).
size_t remainingSizeHint(int fd, FileStamp &stamp) {
  struct stat status;
  if (statusOf(fd, status) != 0 || !S_ISREG(status.st_mode))
    return 0;
  off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if (offset < 0 || status.st_size <= offset)
    return 0;
  stamp = stampOf(status);
  return static_cast<size_t>(status.st_size - offset);
}

// Reads until `size` bytes are in `bytes` or the file ends, counting them
// in `done`: from the descriptor's offset, or with `positioned` from the
// start of the file without moving the offset. False with errno set when
// a read fails.
bool readUpTo(int fd, char *bytes, size_t size, bool positioned, size_t &done) {
  done = 0;
  while (done < size) {
    ssize_t got = positioned ? preadRetrying(fd, bytes + done, size - done, off_t(done))
                             : readRetrying(fd, bytes + done, size - done);
    if (got < 0)
      return false;
    if (got == 0)
      break;
    done += static_cast<size_t>(got);
  }
  return true;
}

// The `size` bytes a regular file `fd` holds after its offset, which it
// had when its stamp was `before`: any other count of bytes before the
// end of the file means it changed meanwhile, unless it is a pseudo-file
// (endedEarlyUnchanged).
BufferOrError readRestOfFile(int fd, std::string_view name, size_t size, const FileStamp &before) {
  announceBytesRead(name);
  TextBuffer *buffer = allocateWritable(name, size);
  if (!buffer)
    return errnoCode(ENOMEM);
  std::unique_ptr<TextBuffer> owner(buffer);
  size_t done = 0;
  if (!readUpTo(fd, buffer->writableBytes(), size, false, done))
    return errnoCode(errno);
  if (done < size) {
    if (!endedEarlyUnchanged(fd, before))
      return fileChangedError();
    buffer->shrinkTo(done);
    return owner;
  }
  char beyond;
  ssize_t more = readRetrying(fd, &beyond, 1);
  if (more < 0)
    return errnoCode(errno);
  if (more > 0 || currentStamp(fd).size != before.size)
    return fileChangedError();
  return owner;
}

// Standard input, pipes, terminals and character devices: their size
// cannot be trusted, so read until end of file. A redirected regular file
// is the exception: its size after the offset gives the room to read into.
BufferOrError readStream(int fd, std::string_view name) {
  FileStamp stamp;
  size_t hint = remainingSizeHint(fd, stamp);
  if (hint > 0)
    return readRestOfFile(fd, name, hint, stamp);
  StreamStorage storage(name);
  announceBytesRead(name);
  for (;;) {
    if (!storage.reserveMore(streamChunk))
      return errnoCode(ENOMEM);
    ssize_t got = readRetrying(fd, storage.freeRoom(), storage.room());
    if (got < 0)
      return errnoCode(errno);
    if (got == 0)
      break;
    storage.commit(static_cast<size_t>(got));
  }
  OwnedBuffer *buffer = storage.finish();
  if (!buffer)
    return errnoCode(ENOMEM);
  return std::unique_ptr<TextBuffer>(buffer);
}

// Null when the file should be read instead: the mapping failed, or the
// file changed size since it was taken (grown, the rest of the last page
// would hold file data rather than the terminating zero).
std::unique_ptr<TextBuffer> mapFile(int fd, std::string_view name, size_t size,
                                    bool requiresNullTerminator) {
  void *mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapping == MAP_FAILED)
    return nullptr;
  const char *start = static_cast<const char *>(mapping);
  // Touching a page past the end of a file that shrank would raise SIGBUS,
  // so ask for the size again before looking at the terminating byte.
  struct stat status;
  bool sizeChanged = statusOf(fd, status) != 0 || status.st_size < 0 ||
                     static_cast<uint64_t>(status.st_size) != size;
  if (sizeChanged || (requiresNullTerminator && start[size] != '\0')) {
    ::munmap(mapping, size);
    return nullptr;
  }
  Placement<MappedBuffer> placement = allocatePlacement<MappedBuffer>(name, 0);
  int ownFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (!placement.storage || ownFd < 0) {
    std::free(placement.storage);
    if (ownFd >= 0)
      ::close(ownFd);
    ::munmap(mapping, size);
    return nullptr;
  }
  return std::unique_ptr<TextBuffer>(new (placement.storage)
                                         MappedBuffer(placement.name, start, start + size, ownFd));
}

bool shouldMap(size_t size, bool requiresNullTerminator) {
  if (size < minimumMappedSize || size < pageSize())
    return false;
  // A mapping of whole pages leaves no zero byte after the text.
  return !requiresNullTerminator || size % pageSize() != 0;
}

} // namespace

void TextBuffer::operator delete(void *storage) { std::free(storage); }

void TextBuffer::shrinkTo(size_t newSize) {
  char *bytes = writableBytes();
  if (!bytes || newSize > size())
    return;
  bytes[newSize] = '\0';
  end = start + newSize;
}

std::error_code fileChangedError() {
  static const TextBufferCategory category;
  return {1, category};
}

void setBeforeBytesReadHook(BeforeBytesReadHook hook) { beforeBytesRead = hook; }

void adviseHugePages(void *start, size_t size) {
  uintptr_t first = reinterpret_cast<uintptr_t>(start);
  uintptr_t alignedFirst = (first + hugePageSize - 1) / hugePageSize * hugePageSize;
  uintptr_t alignedEnd = (first + size) / hugePageSize * hugePageSize;
  if (alignedFirst < alignedEnd)
    ::madvise(reinterpret_cast<void *>(alignedFirst), alignedEnd - alignedFirst, MADV_HUGEPAGE);
}

size_t pageSize() {
  static const size_t size = [] {
    long queried = ::sysconf(_SC_PAGESIZE);
    return queried > 0 ? static_cast<size_t>(queried) : size_t{4096};
  }();
  return size;
}

BufferOrError readFileBytes(int fd, std::string_view name, size_t size) {
  TextBuffer *buffer = allocateWritable(name, size);
  if (!buffer)
    return errnoCode(ENOMEM);
  std::unique_ptr<TextBuffer> owner(buffer);
  size_t done = 0;
  if (!readUpTo(fd, buffer->writableBytes(), size, true, done))
    return errnoCode(errno);
  buffer->shrinkTo(done);
  return owner;
}

namespace {

BufferOrError readOpenFileMapping(int fd, std::string_view name, bool requiresNullTerminator,
                                  bool mayMap) {
  struct stat status;
  if (statusOf(fd, status) != 0)
    return errnoCode(errno);
  // Only a regular file's size can be trusted here: a block device reports
  // 0 on this system, so it is read like a pipe. So is a regular file that
  // reports no bytes: files under /proc do, whatever they hold, and reading
  // them as empty would pass a CHECK-NOT that their text breaks.
  if (!S_ISREG(status.st_mode) || status.st_size == 0)
    return readStream(fd, name);
  if (status.st_size < 0 || static_cast<uint64_t>(status.st_size) >= SIZE_MAX)
    return errnoCode(EFBIG);
  size_t size = static_cast<size_t>(status.st_size);
  if (mayMap && shouldMap(size, requiresNullTerminator)) {
    if (std::unique_ptr<TextBuffer> mapped = mapFile(fd, name, size, requiresNullTerminator))
      return mapped;
  }
  announceBytesRead(name);
  BufferOrError read = readFileBytes(fd, name, size);
  if (!read)
    return read;
  // Bytes of a file that changed meanwhile may mix two versions, or miss
  // the end of both: none of them is checked.
  FileStamp before = stampOf(status);
  bool complete = read->size() == size && currentStamp(fd).size == before.size;
  if (!complete && !(read->size() < size && endedEarlyUnchanged(fd, before)))
    return fileChangedError();
  return read;
}

BufferOrError readFileOrStdinMapping(std::string_view name, bool requiresNullTerminator,
                                     bool mayMap) {
  if (name == "-")
    return readStream(STDIN_FILENO, "<stdin>");
  // A name with an embedded zero would silently open a different file.
  if (name.find('\0') != std::string_view::npos)
    return errnoCode(ENOENT);
  int fd = openReadOnly(std::string(name));
  if (fd < 0)
    return errnoCode(errno);
  BufferOrError result = readOpenFileMapping(fd, name, requiresNullTerminator, mayMap);
  ::close(fd);
  return result;
}

} // namespace

BufferOrError readOpenFile(int fd, std::string_view name, bool requiresNullTerminator) {
  return readOpenFileMapping(fd, name, requiresNullTerminator, true);
}

BufferOrError readFileOrStdin(std::string_view name, bool isText, bool requiresNullTerminator) {
  (void)isText; // No newline translation on POSIX systems.
  return readFileOrStdinMapping(name, requiresNullTerminator, true);
}

BufferOrError readWritableFileOrStdin(std::string_view name) {
  return readFileOrStdinMapping(name, true, false);
}

std::unique_ptr<TextBuffer> makeTextBufferView(std::string_view text, std::string_view name,
                                               bool requiresNullTerminator) {
  (void)requiresNullTerminator; // The caller's promise; reading past the view to check it is not
                                // safe.
  Placement<ViewBuffer> placement = allocatePlacement<ViewBuffer>(name, 0);
  if (!placement.storage)
    reportOutOfMemory();
  return std::unique_ptr<TextBuffer>(
      new (placement.storage) ViewBuffer(placement.name, text.data(), text.data() + text.size()));
}

std::unique_ptr<TextBuffer> makeTextBufferCopy(std::string_view text, std::string_view name) {
  OwnedBuffer *buffer = allocateOwned(name, text.size());
  if (!buffer)
    reportOutOfMemory();
  if (!text.empty())
    std::memcpy(const_cast<char *>(buffer->bufferStart()), text.data(), text.size());
  return std::unique_ptr<TextBuffer>(buffer);
}

} // namespace vetline
