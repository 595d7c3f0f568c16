// Input buffers: immutable named blocks of bytes, and reading a whole file
// or standard input into one.
//
// A buffer's bytes never move while it lives, so views into them (source
// locations, captured variable values) stay valid as long as the buffer.
// Large regular files are mapped read-only instead of copied; everything
// else (small files, pipes, terminals, standard input) is read into one
// allocation that holds the object, its name and its bytes. Buffers returned
// by readFileOrStdin always have a zero byte right after their last byte, so
// the text may be handed to routines that stop at a NUL.
//
// A reader that rewrites the text anyway (the tool canonicalises it) uses
// readWritableFileOrStdin: no mapping, and the bytes are rewritten in place
// before anything views them, so the run holds one copy of each file. Owned
// bytes of 2 MB and more live in their own anonymous pages, huge pages where
// the system offers them: faulting memory in 4 KB at a time costs more than
// reading the file.
//
// Surprising: a mapped file that another process truncates kills a reader
// of the vanished pages with SIGBUS. Check files and inputs are therefore
// read with readWritableFileOrStdin, which never maps.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

namespace vetline {

enum class TextBufferKind { Owned = 0, Mapped = 1, View = 2 };

class TextBuffer {
public:
  TextBuffer(const TextBuffer &) = delete;
  TextBuffer &operator=(const TextBuffer &) = delete;
  virtual ~TextBuffer() = default;

  // The name given when the buffer was made ("<stdin>" for standard input).
  // Stored in the buffer's own allocation and followed by a zero byte.
  std::string_view identifier() const { return name; }

  const char *bufferStart() const { return start; }
  const char *bufferEnd() const { return end; }
  size_t size() const { return static_cast<size_t>(end - start); }
  std::string_view text() const { return {start, size()}; }

  virtual TextBufferKind kind() const = 0;

  // The bytes of an owned buffer, to be rewritten in place before anything
  // views them; null for mapped and view buffers.
  char *writableBytes() {
    return kind() == TextBufferKind::Owned ? const_cast<char *>(start) : nullptr;
  }
  // Ends an owned buffer after its first `newSize` bytes (at most its size)
  // and puts a zero byte after them.
  void shrinkTo(size_t newSize);

  // Buffers are placed into raw storage shared with their name and bytes;
  // deleting one must release that storage, whatever the dynamic type.
  static void operator delete(void *storage);

protected:
  TextBuffer(std::string_view name, const char *start, const char *end)
      : name(name), start(start), end(end) {}

private:
  std::string_view name;
  const char *start;
  const char *end;
};

// The result of reading a file: a buffer, or the system error code (value
// and category) that stopped the reading.
class BufferOrError {
public:
  BufferOrError(std::unique_ptr<TextBuffer> buffer) : buffer(std::move(buffer)) {}
  BufferOrError(std::error_code error) : errorCode(error) {}

  explicit operator bool() const { return buffer != nullptr; }
  // Success: 0 of the generic category.
  std::error_code error() const { return errorCode; }

  TextBuffer &operator*() const { return *buffer; }
  TextBuffer *operator->() const { return buffer.get(); }
  // Hands the buffer over; the result is empty afterwards.
  std::unique_ptr<TextBuffer> take() { return std::move(buffer); }

private:
  std::unique_ptr<TextBuffer> buffer;
  std::error_code errorCode;
};

// The system page size, asked once; 4096 when the query fails.
size_t pageSize();

// Asks the system to back the huge-page-aligned part of [start, start +
// size) with huge pages when it is first touched: a large array filled once
// from start to end then takes a fault per huge page instead of one per
// page. Only advice; memory that stays in small pages works all the same.
void adviseHugePages(void *start, size_t size);

// Reads the whole file `name`, or standard input (left open) when the name is
// exactly "-"; that buffer is named "<stdin>". `isText` changes nothing on
// this system (no newline translation). With `requiresNullTerminator` the
// byte after the last byte is zero. Errors come back as generic-category
// error numbers; an empty file is an empty buffer, not an error.
BufferOrError readFileOrStdin(std::string_view name, bool isText = true,
                              bool requiresNullTerminator = true);

// Like readFileOrStdin, but never maps: the result is always an owned
// buffer, followed by a zero byte, whose writableBytes may be rewritten.
BufferOrError readWritableFileOrStdin(std::string_view name);

// The steps of readFileOrStdin after the open, for callers that already hold
// a descriptor (which stays open). Regular files are mapped or read by
// size; anything else, and a regular file that reports no bytes (files
// under /proc), is read to its end. A file that ends before its reported
// size is an error (fileChangedError) unless its size and modification
// time did not change meanwhile: then it is a pseudo-file (sysfs reports a
// page whatever it holds) and its bytes are the buffer.
BufferOrError readOpenFile(int fd, std::string_view name, bool requiresNullTerminator = true);

// The error of a file that changed size while it was read (message "the
// file changed while it was being read"): its bytes are not to be trusted.
std::error_code fileChangedError();

// Reads `size` bytes from offset 0 of `fd` into an owned buffer. A file that
// turns out shorter (it shrank since its size was taken) gives a buffer of
// the bytes that were there, still followed by a zero byte. The reads fill
// memory that was never written before: nothing is cleared first.
BufferOrError readFileBytes(int fd, std::string_view name, size_t size);

// A test seam: called with the file's name (or "<stdin>") once its size has
// been taken and before its bytes are read, so a test can change the file exactly then. Null, the
// default, calls nothing.
using BeforeBytesReadHook = void (*)(std::string_view name);
void setBeforeBytesReadHook(BeforeBytesReadHook hook);

// A buffer over caller-owned text, which must outlive the buffer. With
// `requiresNullTerminator` the caller guarantees a zero byte after the text.
std::unique_ptr<TextBuffer> makeTextBufferView(std::string_view text, std::string_view name,
                                               bool requiresNullTerminator = true);

// A buffer owning a copy of `text`, followed by a zero byte.
std::unique_ptr<TextBuffer> makeTextBufferCopy(std::string_view text, std::string_view name);

} // namespace vetline
