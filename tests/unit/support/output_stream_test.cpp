#include "support/output_stream.h"

#include "tests/unit/support/exact_text.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vetline {
namespace {

using testing::exactly;

// A stream with a chosen buffer size that records each delivery.
class RecordingStream : public OutputStream {
public:
  explicit RecordingStream(size_t bufferSize, bool unbuffered = false)
      : OutputStream(StreamKind::Other, unbuffered), chosenSize(bufferSize) {}

  std::vector<size_t> deliveries;
  std::string delivered;

protected:
  void deliver(const char *bytes, size_t count) override {
    deliveries.push_back(count);
    delivered.append(bytes, count);
  }
  uint64_t deliveredCount() const override { return delivered.size(); }
  size_t chooseBufferSize() const override { return chosenSize; }

private:
  size_t chosenSize;
};

TEST(OutputStream, LargeWriteToAnEmptyBufferBypassesItInWholeBuffers) {
  RecordingStream os(4096);
  std::string text(10000, 'x');
  os.write(text.data(), text.size());
  EXPECT_EQ(os.deliveries, std::vector<size_t>{8192});
  EXPECT_EQ(os.bufferedCount(), 1808u);
  EXPECT_EQ(os.tell(), 10000u);
  os.flush();
  EXPECT_EQ(os.deliveries, (std::vector<size_t>{8192, 1808}));
  EXPECT_EQ(os.delivered, text);
  os.flush();
  EXPECT_EQ(os.deliveries.size(), 2u) << "flushing an empty buffer delivers nothing";
}

TEST(OutputStream, WriteIntoAPartlyFilledBufferFillsAndDeliversIt) {
  RecordingStream os(4096);
  std::string head(100, 'h');
  std::string body(5000, 'b');
  os << head;
  EXPECT_TRUE(os.deliveries.empty());
  os << body;
  EXPECT_EQ(os.deliveries, std::vector<size_t>{4096});
  EXPECT_EQ(os.bufferedCount(), 1004u);
  os.flush();
  EXPECT_EQ(os.delivered, head + body);
}

TEST(OutputStream, SingleBytesFillTheBufferFirst) {
  RecordingStream os(16);
  for (int i = 0; i < 33; ++i)
    os << static_cast<char>('a' + i % 26);
  EXPECT_EQ(os.deliveries, (std::vector<size_t>{16, 16}));
  EXPECT_EQ(os.bufferedCount(), 1u);
  EXPECT_EQ(os.tell(), 33u);
}

TEST(OutputStream, UnbufferedStreamsDeliverEachWrite) {
  RecordingStream os(4096, true);
  os << "ab" << 'c' << "";
  EXPECT_EQ(os.deliveries, (std::vector<size_t>{2, 1}));
  EXPECT_EQ(os.bufferMode(), BufferMode::NoBuffer);

  // A chosen size of 0 switches to no buffer for good.
  RecordingStream zero(0);
  zero << "ab"
       << "cd";
  EXPECT_EQ(zero.deliveries, (std::vector<size_t>{2, 2}));
  EXPECT_EQ(zero.bufferMode(), BufferMode::NoBuffer);
}

TEST(OutputStream, BufferChangesDeliverWhatIsBufferedFirst) {
  RecordingStream os(4096);
  os << "abc";
  os.setUnbuffered();
  EXPECT_EQ(os.deliveries, std::vector<size_t>{3});
  os << "de";
  EXPECT_EQ(os.deliveries, (std::vector<size_t>{3, 2}));
  os.setBufferSize(8);
  os << "fgh";
  EXPECT_EQ(os.bufferSize(), 8u);
  os.setBuffered();
  EXPECT_EQ(os.delivered, "abcdefgh");
}

TEST(OutputStream, StringAndVectorStreamsAreCompleteAfterEachWrite) {
  std::string text = "pre";
  StringOutputStream strings(text);
  strings << "fix" << 12;
  EXPECT_EQ(text, "prefix12");
  EXPECT_EQ(strings.tell(), 8u);
  EXPECT_FALSE(strings.colorsAllowed());

  SmallVector<char, 4> chars;
  VectorOutputStream vector(chars);
  vector.expectMore(100);
  EXPECT_GE(chars.capacity(), 100u);
  vector << "abc" << 'd' << std::string(10, 'e');
  EXPECT_EQ(vector.str(), "abcdeeeeeeeeee");
  EXPECT_EQ(vector.tell(), 14u);
  EXPECT_FALSE(vector.colorsAllowed());

  std::string buffered;
  {
    StringOutputStream os(buffered);
    os.setBufferSize(16);
    os << "kept";
    EXPECT_EQ(buffered, "");
  }
  EXPECT_EQ(buffered, "kept") << "destruction delivers a requested buffer";
}

struct ColorCase {
  TerminalColor color;
  bool bold;
  bool background;
  const char *expected;
};

const ColorCase colorCases[] = {
    {TerminalColor::Black, false, false, "\033[0;30m"},
    {TerminalColor::Black, true, false, "\033[0;1;30m"},
    {TerminalColor::Red, false, false, "\033[0;31m"},
    {TerminalColor::Green, true, true, "\033[0;1;42m"},
    {TerminalColor::Yellow, false, true, "\033[0;43m"},
    {TerminalColor::Blue, true, false, "\033[0;1;34m"},
    {TerminalColor::Magenta, false, false, "\033[0;35m"},
    {TerminalColor::Cyan, true, true, "\033[0;1;46m"},
    {TerminalColor::White, false, true, "\033[0;47m"},
    {TerminalColor::KeepColor, false, false, "\033[1m"},
    {TerminalColor::KeepColor, true, true, "\033[1m"},
};

TEST(OutputStream, ColorSequences) {
  for (const ColorCase &c : colorCases) {
    SCOPED_TRACE(c.expected + 1);
    std::string text;
    StringOutputStream os(text);
    os.setColor(c.color, c.bold, c.background);
    EXPECT_EQ(text, "") << "string streams start without colours";
    os.allowColors(true);
    os.setColor(c.color, c.bold, c.background);
    EXPECT_EQ(text, c.expected);
  }
  std::string text;
  StringOutputStream os(text);
  os.restoreColor().invertColors();
  EXPECT_EQ(text, "");
  os.allowColors(true);
  os.restoreColor().invertColors();
  EXPECT_EQ(text, "\033[0m\033[7m");
}

// A string stream with colours enabled whose terminal answer is chosen.
class ColorTestStream : public StringOutputStream {
public:
  ColorTestStream(std::string &target, bool terminalColors)
      : StringOutputStream(target), terminalColors(terminalColors) {
    allowColors(true);
  }
  bool supportsColors() const override { return terminalColors; }

private:
  bool terminalColors;
};

// Restores the "color" option after each test.
class ColorOptionTest : public ::testing::Test {
protected:
  void TearDown() override { setColorOptionPolicy(ColorPolicy::Detect); }
};

struct ScopeCase {
  ColorPolicy scopeMode;
  ColorPolicy option;
  bool terminalColors;
  bool colors;
};

const ScopeCase scopeCases[] = {
    {ColorPolicy::Detect, ColorPolicy::Detect, false, false},
    {ColorPolicy::Detect, ColorPolicy::Detect, true, true},
    {ColorPolicy::Detect, ColorPolicy::Force, false, true},
    {ColorPolicy::Detect, ColorPolicy::Suppress, true, false},
    {ColorPolicy::Force, ColorPolicy::Suppress, false, true},
    {ColorPolicy::Suppress, ColorPolicy::Force, true, false},
};

TEST_F(ColorOptionTest, ColorScopeDecision) {
  for (const ScopeCase &c : scopeCases) {
    SCOPED_TRACE(::testing::Message() << "mode " << int(c.scopeMode) << " option " << int(c.option)
                                      << " terminal " << c.terminalColors);
    setColorOptionPolicy(c.option);
    std::string text;
    ColorTestStream os(text, c.terminalColors);
    {
      ColorScope scope(os, HighlightRole::Error, c.scopeMode);
      EXPECT_EQ(scope.willColor(), c.colors);
      os << "x";
    }
    EXPECT_EQ(text, c.colors ? "\033[0;1;31mx\033[0m" : "x");
  }
}

TEST_F(ColorOptionTest, ColorScopeOperations) {
  std::string text;
  ColorTestStream os(text, true);
  {
    ColorScope scope(os);
    os << "a";
    scope.setColor(TerminalColor::Green, false, true);
    os << "b";
    scope.restoreColor();
  }
  EXPECT_EQ(text, "\033[1ma\033[0;42mb\033[0m\033[0m");

  // The decision is made again at the end of the scope.
  text.clear();
  setColorOptionPolicy(ColorPolicy::Force);
  {
    ColorScope scope(os, HighlightRole::Remark);
    os << "r";
    setColorOptionPolicy(ColorPolicy::Suppress);
  }
  EXPECT_EQ(text, "\033[0;1;34mr");

  // The stream's own gate still applies when colours are forced.
  setColorOptionPolicy(ColorPolicy::Force);
  std::string plain;
  StringOutputStream plainStream(plain);
  {
    ColorScope scope(plainStream, TerminalColor::Red, true);
    plainStream << "p";
  }
  EXPECT_EQ(plain, "p");
}

struct LabelCase {
  HighlightRole role;
  const char *prefix;
  bool disableColors;
  const char *expected;
};

const LabelCase labelCases[] = {
    {HighlightRole::Error, "", false, "\033[0;1;31merror: \033[0m"},
    {HighlightRole::Warning, "", false, "\033[0;1;35mwarning: \033[0m"},
    {HighlightRole::Note, "", false, "\033[0;1;30mnote: \033[0m"},
    {HighlightRole::Remark, "", false, "\033[0;1;34mremark: \033[0m"},
    {HighlightRole::Error, "vetline", false, "vetline: \033[0;1;31merror: \033[0m"},
    {HighlightRole::Note, "", true, "note: "},
    {HighlightRole::Warning, "tool", true, "tool: warning: "},
};

TEST_F(ColorOptionTest, KindLabels) {
  setColorOptionPolicy(ColorPolicy::Force);
  for (const LabelCase &c : labelCases) {
    SCOPED_TRACE(c.expected);
    std::string text;
    ColorTestStream os(text, false);
    printKindLabel(os, c.role, c.prefix, c.disableColors);
    EXPECT_EQ(text, c.expected);
  }
  setColorOptionPolicy(ColorPolicy::Detect);
  std::string text;
  ColorTestStream os(text, false);
  printKindLabel(os, HighlightRole::Error);
  EXPECT_EQ(text, "error: ");
}

std::string decimal(int64_t value, size_t minDigits, DecimalStyle style) {
  std::string text;
  StringOutputStream os(text);
  writeDecimal(os, value, minDigits, style);
  return text;
}

TEST(OutputStream, Decimal) {
  struct Case {
    int64_t value;
    size_t minDigits;
    DecimalStyle style;
    const char *expected;
  };
  const Case cases[] = {
      {0, 0, DecimalStyle::Plain, "0"},
      {-5, 3, DecimalStyle::Plain, "-005"},
      {42, 1, DecimalStyle::Plain, "42"},
      {7, 140, DecimalStyle::Plain, nullptr}, // checked below: longer than the scratch area
      {1234567, 0, DecimalStyle::Grouped, "1,234,567"},
      {123, 0, DecimalStyle::Grouped, "123"},
      {1234, 9, DecimalStyle::Grouped, "1,234"},
      {-123456, 0, DecimalStyle::Grouped, "-123,456"},
      {INT64_MIN, 0, DecimalStyle::Plain, "-9223372036854775808"},
      {INT64_MIN, 0, DecimalStyle::Grouped, "-9,223,372,036,854,775,808"},
      {4294967296, 0, DecimalStyle::Plain, "4294967296"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    if (c.expected)
      EXPECT_EQ(decimal(c.value, c.minDigits, c.style), c.expected);
    else
      EXPECT_EQ(decimal(c.value, c.minDigits, c.style), std::string(139, '0') + "7");
  }
  std::string text;
  StringOutputStream os(text);
  writeDecimal(os, UINT64_MAX, 0, DecimalStyle::Grouped);
  os << ' ' << INT32_MIN << ' ' << 4000000000u << ' ' << -1L << ' ' << 18446744073709551615ULL;
  EXPECT_EQ(text, "18,446,744,073,709,551,615 -2147483648 4000000000 -1 18446744073709551615");
}

TEST(OutputStream, Hexadecimal) {
  struct Case {
    uint64_t value;
    HexStyle style;
    std::optional<size_t> width;
    std::string expected;
  };
  const Case cases[] = {
      {0x1F, HexStyle::UpperWithPrefix, std::nullopt, "0x1F"},
      {0, HexStyle::UpperDigits, std::nullopt, "0"},
      {0, HexStyle::LowerWithPrefix, std::nullopt, "0x0"},
      {255, HexStyle::LowerWithPrefix, 6, "0x00ff"},
      {0xabc, HexStyle::LowerDigits, 2, "abc"},
      {0xABCDEF, HexStyle::LowerDigits, 8, "00abcdef"},
      {UINT64_MAX, HexStyle::UpperDigits, std::nullopt, "FFFFFFFFFFFFFFFF"},
      {1, HexStyle::UpperWithPrefix, 200, "0x" + std::string(125, '0') + "1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected);
    std::string text;
    StringOutputStream os(text);
    writeHexNumber(os, c.value, c.style, c.width);
    EXPECT_EQ(text, c.expected);
  }
  std::string text;
  StringOutputStream os(text);
  os << reinterpret_cast<const void *>(0x1234);
  EXPECT_EQ(text, "0x1234");
}

TEST(OutputStream, PaddedNumbersAndStrings) {
  std::string text;
  StringOutputStream os(text);
  auto take = [&] {
    std::string result = text;
    text.clear();
    return result;
  };
  os << paddedHex(255, 6);
  EXPECT_EQ(take(), "0x00ff");
  os << paddedHex(255, 4, true, false);
  EXPECT_EQ(take(), "00FF");
  os << paddedHex(255, 1, false, false);
  EXPECT_EQ(take(), "ff");
  os << paddedDecimal(-42, 6);
  EXPECT_EQ(take(), "   -42");
  os << paddedDecimal(12345, 3);
  EXPECT_EQ(take(), "12345");

  struct Case {
    PaddedString padded;
    const char *expected;
  };
  const Case cases[] = {
      {leftJustify("ab", 5), "ab   "},      {rightJustify("ab", 5), "   ab"},
      {centerJustify("ab", 5), " ab  "},    {centerJustify("ab", 6), "  ab  "},
      {leftJustify("abcdef", 3), "abcdef"}, {PaddedString{"ab", 5, PadSide::None}, "ab"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected);
    os << c.padded;
    EXPECT_EQ(take(), c.expected);
  }
  os.indent(200);
  EXPECT_EQ(take(), std::string(200, ' '));
}

TEST(OutputStream, WriteWithEscapes) {
  struct Case {
    std::string_view text;
    bool hex;
    const char *expected;
  };
  const Case cases[] = {
      {"plain text ~", false, "plain text ~"},
      {"a\\b\tc\nd\"e", false, "a\\\\b\\tc\\nd\\\"e"},
      {std::string_view("\x01\x7f\x80\xff\0", 5), false, "\\001\\177\\200\\377\\000"},
      {std::string_view("\x01\x7f\xab\0", 4), true, "\\x01\\x7F\\xAB\\x00"},
      {"\r", true, "\\x0D"},
      {"\t\n", true, "\\t\\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected);
    std::string text;
    StringOutputStream os(text);
    os.writeWithEscapes(c.text, c.hex);
    EXPECT_EQ(text, c.expected);
  }
}

// Fails (as old formatters do) until it is given at least `needed` bytes.
class StubbornFormat : public PrintfFormatBase {
public:
  explicit StubbornFormat(unsigned needed) : needed(needed) {}
  int print(char *buffer, unsigned size) const override {
    sizes.push_back(size);
    if (size < needed)
      return -1;
    std::memset(buffer, 'z', needed - 1);
    buffer[needed - 1] = '\0';
    return static_cast<int>(needed - 1);
  }
  mutable std::vector<unsigned> sizes;

private:
  unsigned needed;
};

TEST(OutputStream, PrintfObjects) {
  RecordingStream buffered(64);
  buffered << "x";
  buffered << printfFormat("%d-%s|%5.2f", 42, "ab", 3.14159);
  EXPECT_EQ(buffered.deliveries.size(), 0u) << "a short result is formatted into the buffer";
  std::string longText(100, 'q');
  buffered << printfFormat("[%s]", longText.c_str());
  buffered.flush();
  EXPECT_EQ(buffered.delivered, "x42-ab| 3.14[" + longText + "]");

  std::string text;
  StringOutputStream unbuffered(text);
  StubbornFormat stubborn(300);
  unbuffered << stubborn;
  EXPECT_EQ(stubborn.sizes, (std::vector<unsigned>{127, 254, 508}));
  EXPECT_EQ(text, std::string(299, 'z'));
}

class TemporaryFile {
public:
  TemporaryFile() {
    char name[] = "/tmp/vetline-stream-XXXXXX";
    fd = mkstemp(name);
    path = name;
  }
  ~TemporaryFile() {
    if (fd >= 0)
      close(fd);
    unlink(path.c_str());
  }
  std::string contents() const {
    std::string result;
    int in = open(path.c_str(), O_RDONLY);
    char buffer[256];
    ssize_t n;
    while ((n = read(in, buffer, sizeof(buffer))) > 0)
      result.append(buffer, n);
    close(in);
    return result;
  }
  int fd;
  std::string path;
};

TEST(FdOutputStream, RegularFileCountsFromTheCurrentOffset) {
  TemporaryFile file;
  ASSERT_GE(file.fd, 0);
  ASSERT_EQ(write(file.fd, "12345", 5), 5);
  {
    FdOutputStream os(file.fd, false);
    EXPECT_TRUE(os.isRegular());
    EXPECT_TRUE(os.canSeek());
    EXPECT_FALSE(os.isTerminal());
    EXPECT_FALSE(os.supportsColors());
    EXPECT_TRUE(os.colorsAllowed());
    EXPECT_EQ(os.tell(), 5u);
    os << "abc";
    EXPECT_EQ(file.contents(), "12345") << "a file stream is buffered";
    EXPECT_EQ(os.tell(), 8u);
  }
  EXPECT_EQ(file.contents(), "12345abc") << "destruction flushes";
}

TEST_F(ColorOptionTest, DiagnosticsInAFileAreColouredOnlyWhenForced) {
  TemporaryFile file;
  {
    FdOutputStream os(file.fd, false, true);
    printKindLabel(os, HighlightRole::Error);
    setColorOptionPolicy(ColorPolicy::Force);
    printKindLabel(os, HighlightRole::Error);
  }
  EXPECT_EQ(file.contents(), "error: \033[0;1;31merror: \033[0m");
}

TEST(FdOutputStream, PipeIsBufferedWithItsBlockSize) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  struct stat status;
  ASSERT_EQ(fstat(fds[1], &status), 0);
  {
    FdOutputStream os(fds[1], true);
    EXPECT_FALSE(os.canSeek());
    EXPECT_FALSE(os.isRegular());
    EXPECT_EQ(os.tell(), 0u);
    os << "hello";
    EXPECT_EQ(os.bufferSize(), static_cast<size_t>(status.st_blksize));
    char buffer[16];
    EXPECT_EQ(read(fds[0], buffer, sizeof(buffer)), -1);
    EXPECT_EQ(errno, EAGAIN);
    os.flush();
    EXPECT_EQ(read(fds[0], buffer, sizeof(buffer)), 5);
  }
  // The stream owned the write end and closed it: the reader sees the end.
  char byte;
  EXPECT_EQ(read(fds[0], &byte, 1), 0);
  close(fds[0]);
}

TEST(FdOutputStream, StandardDescriptorsAreNeverClosed) {
  int copy = dup(2);
  ASSERT_GE(copy, 0);
  { FdOutputStream os(2, true, true); }
  EXPECT_NE(fcntl(2, F_GETFD), -1);
  close(copy);
}

TEST(FdOutputStream, FailedWritesAreRecordedNotReported) {
  int fd = open("/dev/null", O_WRONLY);
  ASSERT_GE(fd, 0);
  FdOutputStream os(fd, false, true);
  close(fd);
  os << "lost";
  EXPECT_TRUE(os.hasFailed());
  EXPECT_EQ(os.error(), std::error_code(EBADF, std::generic_category()));
  os << "again";
  EXPECT_EQ(os.tell(), 9u);
  os.forgetError();
  EXPECT_FALSE(os.hasFailed());
}

TEST(FdOutputStreamDeathTest, DestroyingAFailedStreamIsFatal) {
  EXPECT_EXIT(
      {
        int fd = open("/dev/null", O_WRONLY);
        FdOutputStream os(fd, false, true);
        close(fd);
        os << "lost";
      },
      ::testing::KilledBySignal(SIGABRT),
      exactly("ORVANE ERROR: IO failure on output stream: Bad file descriptor\n"));
}

TEST(FdOutputStreamDeathTest, ClosedStandardOutputFailsAtExit) {
  EXPECT_EXIT(
      {
        close(1);
        standardOutput() << "help text\n";
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGABRT),
      exactly("ORVANE ERROR: IO failure on output stream: Bad file descriptor\n"));
}

TEST(FdOutputStream, StandardStreams) {
  EXPECT_EQ(&standardOutput(), &standardOutput());
  EXPECT_EQ(standardOutput().kind(), OutputStream::StreamKind::Fd);
  EXPECT_EQ(standardError().bufferMode(), BufferMode::NoBuffer);
  EXPECT_EQ(static_cast<FdOutputStream &>(standardError()).descriptor(), 2);
  EXPECT_EQ(static_cast<FdOutputStream &>(standardOutput()).descriptor(), 1);
}

// A pseudo-terminal pair for the terminal cases.
class Terminal {
public:
  Terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
      slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  }
  ~Terminal() {
    if (slave >= 0)
      close(slave);
    if (master >= 0)
      close(master);
  }
  int master = -1;
  int slave = -1;
};

class TerminalType {
public:
  explicit TerminalType(const char *value) {
    const char *old = getenv("TERM");
    if (old)
      saved = old;
    setenv("TERM", value, 1);
  }
  ~TerminalType() {
    if (saved)
      setenv("TERM", saved->c_str(), 1);
    else
      unsetenv("TERM");
  }

private:
  std::optional<std::string> saved;
};

TEST(FdOutputStream, TerminalsAreUnbufferedAndAskTheTerminalDescription) {
  Terminal terminal;
  if (terminal.slave < 0)
    GTEST_SKIP() << "no pseudo-terminal available";
  {
    FdOutputStream os(terminal.slave, false);
    EXPECT_TRUE(os.isTerminal());
    os << "x";
    EXPECT_EQ(os.bufferMode(), BufferMode::NoBuffer);
    EXPECT_EQ(os.tell(), 1u);
  }
  struct Case {
    const char *term;
    bool colors;
  };
  const Case cases[] = {{"xterm", true}, {"dumb", false}, {"no-such-terminal-type", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.term);
    TerminalType type(c.term);
    EXPECT_EQ(terminalSupportsColor(terminal.slave), c.colors);
    FdOutputStream os(terminal.slave, false);
    EXPECT_EQ(os.supportsColors(), c.colors);
  }
  TerminalType type("xterm");
  FdOutputStream os(terminal.master, false);
  EXPECT_TRUE(os.supportsColors());
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    FdOutputStream pipeStream(fds[1], false);
    EXPECT_FALSE(pipeStream.supportsColors()) << "a pipe is no terminal";
  }
  close(fds[0]);
  close(fds[1]);
}

} // namespace
} // namespace vetline
