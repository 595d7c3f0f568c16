#include "support/text_buffer.h"

#include "support/system_calls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vetline {
namespace {

// A fresh directory per test, removed with everything in it afterwards.
class TempDir {
public:
  TempDir() {
    char pattern[] = "/tmp/text_buffer_test.XXXXXX";
    char *made = ::mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    dir = made ? made : "";
  }
  ~TempDir() {
    std::string command = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string path(const std::string &name) const { return dir + "/" + name; }

  std::string write(const std::string &name, const std::string &bytes) const {
    std::string file = path(name);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    return file;
  }

private:
  std::string dir;
};

// Every byte value, NUL and bytes of 0x80 and above included.
std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char &byte : bytes)
    byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

void writeAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0)
      return;
    done += static_cast<size_t>(wrote);
  }
}

void expectHolds(const TextBuffer &buffer, const std::string &bytes) {
  ASSERT_EQ(buffer.size(), bytes.size());
  EXPECT_TRUE(buffer.text() == bytes);
  EXPECT_EQ(*buffer.bufferEnd(), '\0');
}

struct SizeCase {
  size_t size;
  TextBufferKind kind;
  bool requiresNullTerminator = true;
};

// Thresholds for 4 KiB pages: mapped from 16 KiB on, except for exact
// multiples of the page, whose mapping would have no zero after the text.
const SizeCase sizeCases[] = {
    {0, TextBufferKind::Owned},
    {1, TextBufferKind::Owned},
    {4097, TextBufferKind::Owned},
    {16383, TextBufferKind::Owned},
    {16384, TextBufferKind::Owned},
    {16385, TextBufferKind::Mapped},
    {20480, TextBufferKind::Owned},
    {20479, TextBufferKind::Mapped},
    {1 << 20 | 7, TextBufferKind::Mapped},
    // Without the need for a zero after the text, whole pages map too.
    {20480, TextBufferKind::Mapped, false},
    {16383, TextBufferKind::Owned, false},
};

TEST(TextBuffer, ReadsRegularFilesBySize) {
  if (pageSize() != 4096)
    GTEST_SKIP() << "thresholds assume 4 KiB pages";
  TempDir temp;
  for (const SizeCase &c : sizeCases) {
    SCOPED_TRACE(c.size);
    std::string bytes = randomBytes(c.size, static_cast<unsigned>(c.size));
    std::string file = temp.write("input", bytes);
    BufferOrError result = readFileOrStdin(file, true, c.requiresNullTerminator);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind(), c.kind);
    EXPECT_EQ(result->identifier(), file);
    if (c.requiresNullTerminator)
      expectHolds(*result, bytes);
    else
      EXPECT_TRUE(result->text() == bytes);
  }
}

// The reading for rewriting never maps: sizes around the mapping thresholds
// and beyond 2 MB, where the bytes get pages of their own.
TEST(TextBuffer, WritableReadOwnsBytesThatMayBeRewritten) {
  TempDir temp;
  for (size_t size : {size_t{0}, size_t{16385}, size_t{20480}, size_t{2097151}, size_t{2097152},
                      size_t{4194304}, size_t{5000001}}) {
    SCOPED_TRACE(size);
    std::string bytes = randomBytes(size, static_cast<unsigned>(size) + 7);
    std::string file = temp.write("input", bytes);
    BufferOrError result = readWritableFileOrStdin(file);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind(), TextBufferKind::Owned);
    EXPECT_EQ(result->identifier(), file);
    expectHolds(*result, bytes);
    char *writable = result->writableBytes();
    ASSERT_EQ(writable, result->bufferStart());
    if (size < 2)
      continue;
    writable[0] = 'x';
    result->shrinkTo(size / 2);
    bytes[0] = 'x';
    expectHolds(*result, bytes.substr(0, size / 2));
  }
}

TEST(TextBuffer, OnlyOwnedBuffersAreWritable) {
  TempDir temp;
  std::string file = temp.write("big", randomBytes(100001, 11));
  BufferOrError mapped = readFileOrStdin(file);
  ASSERT_TRUE(mapped);
  ASSERT_EQ(mapped->kind(), TextBufferKind::Mapped);
  EXPECT_EQ(mapped->writableBytes(), nullptr);
  std::string text = "view";
  EXPECT_EQ(makeTextBufferView(text, "v")->writableBytes(), nullptr);
}

TEST(TextBuffer, BufferOutlivesClosedDescriptorAndRemovedFile) {
  TempDir temp;
  std::string bytes = randomBytes(100001, 5);
  std::string file = temp.write("big", bytes);
  BufferOrError result = readFileOrStdin(file);
  ASSERT_TRUE(result);
  std::unique_ptr<TextBuffer> buffer = result.take();
  EXPECT_FALSE(result);
  ASSERT_EQ(::unlink(file.c_str()), 0);
  expectHolds(*buffer, bytes);
}

struct ErrorCase {
  const char *name;
  std::string path;
  int error;
};

TEST(TextBuffer, UnreadableNamesReturnGenericErrorCodes) {
  TempDir temp;
  temp.write("file", "x");
  const ErrorCase cases[] = {
      {"missing", temp.path("missing"), ENOENT},
      {"missing directory", temp.path("nowhere/file"), ENOENT},
      {"directory", temp.path(""), EISDIR},
      {"file used as directory", temp.path("file/x"), ENOTDIR},
      {"empty name", "", ENOENT},
      {"embedded zero", temp.path("file") + std::string(1, '\0') + "x", ENOENT},
  };
  for (const ErrorCase &c : cases) {
    SCOPED_TRACE(c.name);
    BufferOrError result = readFileOrStdin(c.path);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.error(), std::error_code(c.error, std::generic_category()));
  }
}

TEST(TextBuffer, UnreadableFileReturnsPermissionError) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "permissions do not apply to root";
  TempDir temp;
  std::string file = temp.write("secret", "x");
  ASSERT_EQ(::chmod(file.c_str(), 0), 0);
  BufferOrError result = readFileOrStdin(file);
  EXPECT_FALSE(result);
  EXPECT_EQ(result.error(), std::error_code(EACCES, std::generic_category()));
}

// Points descriptor 0 at the read end of a pipe fed by a thread, and puts
// the real standard input back afterwards.
class PipedStdin {
public:
  explicit PipedStdin(std::string bytes) {
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    savedStdin = ::dup(0);
    EXPECT_EQ(::dup2(ends[0], 0), 0);
    ::close(ends[0]);
    writer = std::thread([fd = ends[1], bytes = std::move(bytes)] {
      writeAll(fd, bytes);
      ::close(fd);
    });
  }
  ~PipedStdin() {
    writer.join();
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
  }

private:
  int savedStdin;
  std::thread writer;
};

TEST(TextBuffer, DashReadsStdinFromPipeOfAnyLength) {
  // Around the inline room, and far beyond it.
  for (size_t size : {size_t{0}, size_t{16383}, size_t{16384}, size_t{16385}, size_t{3000017}}) {
    SCOPED_TRACE(size);
    std::string bytes = randomBytes(size, static_cast<unsigned>(size) + 1);
    BufferOrError result = [&] {
      PipedStdin stdinPipe(bytes);
      BufferOrError read = readFileOrStdin("-");
      // Standard input stays open.
      EXPECT_NE(::fcntl(0, F_GETFD), -1);
      return read;
    }();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind(), TextBufferKind::Owned);
    EXPECT_EQ(result->identifier(), "<stdin>");
    expectHolds(*result, bytes);
  }
}

// A redirected file is read from the descriptor's offset to its end, for
// rewriting too, and beyond 2 MB.
TEST(TextBuffer, DashReadsStdinRedirectedFromFile) {
  TempDir temp;
  std::string bytes = randomBytes(2100000, 3);
  std::string file = temp.write("input", bytes);
  for (size_t offset : {size_t{0}, size_t{1}, size_t{2099999}, size_t{2100000}, size_t{2000}}) {
    SCOPED_TRACE(offset);
    int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, static_cast<off_t>(offset), SEEK_SET), static_cast<off_t>(offset));
    int savedStdin = ::dup(0);
    ASSERT_EQ(::dup2(fd, 0), 0);
    ::close(fd);
    BufferOrError result = offset % 2 ? readFileOrStdin("-") : readWritableFileOrStdin("-");
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind(), TextBufferKind::Owned);
    EXPECT_EQ(result->identifier(), "<stdin>");
    expectHolds(*result, bytes.substr(offset));
  }
}

TEST(TextBuffer, NamedPipeIsReadToItsEnd) {
  TempDir temp;
  std::string fifo = temp.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string bytes = randomBytes(200003, 9);
  std::thread writer([&] {
    int fd = ::open(fifo.c_str(), O_WRONLY);
    writeAll(fd, bytes);
    ::close(fd);
  });
  BufferOrError result = readFileOrStdin(fifo);
  writer.join();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->kind(), TextBufferKind::Owned);
  EXPECT_EQ(result->identifier(), fifo);
  expectHolds(*result, bytes);
}

TEST(TextBuffer, FileShorterThanItsReportedSizeKeepsOnlyItsBytes) {
  TempDir temp;
  std::string file = temp.write("short", "abc\ndef");
  int fd = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  // As if the file had shrunk from 40000 bytes after its size was taken.
  BufferOrError result = readFileBytes(fd, "short", 40000);
  ::close(fd);
  ASSERT_TRUE(result);
  expectHolds(*result, "abc\ndef");
}

// Files under /proc report no bytes and files under /sys report a page,
// whatever they hold; both are read to their real end. Read by name, like
// the tool reads its input and check file.
TEST(TextBuffer, PseudoFilesAreReadToTheirRealEnd) {
  struct PseudoFile {
    const char *path;
    const char *holds;
  };
  const PseudoFile files[] = {
      {"/proc/self/status", "Name:"},
      {"/sys/kernel/mm/transparent_hugepage/enabled", "never"},
  };
  for (const PseudoFile &file : files) {
    SCOPED_TRACE(file.path);
    if (::access(file.path, R_OK) != 0)
      continue;
    BufferOrError result = readWritableFileOrStdin(file.path);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_NE(result->text().find(file.holds), std::string_view::npos);
    EXPECT_EQ(*result->bufferEnd(), '\0');
  }
}

// The reader's size rules, with the size a file reports replaced.
int lyingSize = -1;
bool truncateBeforeRead = false;
std::string lyingFile;

int fstatWithLyingSize(int fd, struct stat *status) {
  int result = ::fstat(fd, status);
  if (result == 0 && S_ISREG(status->st_mode) && lyingSize >= 0)
    status->st_size = lyingSize;
  return result;
}

void truncateOnce(std::string_view) {
  if (!truncateBeforeRead)
    return;
  truncateBeforeRead = false;
  EXPECT_EQ(::truncate(lyingFile.c_str(), 3), 0);
}

TEST(TextBuffer, ReportedSizeRules) {
  struct SizeRuleCase {
    const char *name;
    size_t holds;
    int reports;
    bool fromStdin;
    // Another process cuts the file to 3 bytes once its size was taken.
    bool truncated;
    bool changed;
  };
  const SizeRuleCase cases[] = {
      {"reports no bytes, holds some", 100, 0, false, false, false},
      {"reports no bytes, redirected", 100, 0, true, false, false},
      {"reports more than it holds", 10, 4096, false, false, false},
      {"reports more, redirected", 10, 4096, true, false, false},
      {"reports more, beyond 2 MB", 10, 3 << 20, false, false, false},
      {"reports the truth", 4096, 4096, false, false, false},
      {"truncated while read", 4096, 4096, false, true, true},
      {"truncated, redirected", 4096, 4096, true, true, true},
      // Its size still lies, but its modification time moved.
      {"reports more, truncated", 10, 4096, false, true, true},
  };
  TempDir temp;
  SystemCalls saved = systemCalls();
  systemCalls().fstat = fstatWithLyingSize;
  setBeforeBytesReadHook(truncateOnce);
  for (const SizeRuleCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = randomBytes(c.holds, 5);
    lyingFile = temp.write("pseudo", bytes);
    // The truncation must show in the modification time even on file
    // systems with coarse timestamps.
    struct timespec past[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, lyingFile.c_str(), past, 0), 0);
    lyingSize = c.reports;
    truncateBeforeRead = c.truncated;
    BufferOrError result = BufferOrError(std::error_code());
    if (c.fromStdin) {
      int fd = ::open(lyingFile.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      int savedStdin = ::dup(0);
      ASSERT_EQ(::dup2(fd, 0), 0);
      ::close(fd);
      result = readWritableFileOrStdin("-");
      ::dup2(savedStdin, 0);
      ::close(savedStdin);
    } else {
      result = readWritableFileOrStdin(lyingFile);
    }
    lyingSize = -1;
    if (c.changed) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), fileChangedError());
      continue;
    }
    ASSERT_TRUE(result) << result.error().message();
    expectHolds(*result, bytes);
  }
  setBeforeBytesReadHook(nullptr);
  systemCalls() = saved;
}

TEST(TextBuffer, CopyOwnsItsBytes) {
  std::string source("a\0b\x80", 4);
  std::unique_ptr<TextBuffer> copy = makeTextBufferCopy(source, "command line");
  source.assign("zzzz");
  EXPECT_EQ(copy->kind(), TextBufferKind::Owned);
  EXPECT_EQ(copy->identifier(), "command line");
  expectHolds(*copy, std::string("a\0b\x80", 4));

  std::unique_ptr<TextBuffer> empty = makeTextBufferCopy("", "");
  EXPECT_EQ(empty->identifier(), "");
  expectHolds(*empty, "");
}

TEST(TextBuffer, ViewPointsIntoCallerText) {
  std::string text = "canonical text";
  std::unique_ptr<TextBuffer> view = makeTextBufferView(text, "check.txt");
  EXPECT_EQ(view->kind(), TextBufferKind::View);
  EXPECT_EQ(view->identifier(), "check.txt");
  EXPECT_EQ(view->bufferStart(), text.data());
  EXPECT_EQ(view->bufferEnd(), text.data() + text.size());
}

} // namespace
} // namespace vetline
