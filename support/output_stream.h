// Output streams: every byte the program prints goes through an
// `OutputStream`, a small buffered byte sink with one abstract delivery
// operation. `FdOutputStream` writes to a file descriptor (standard output
// and standard error), `StringOutputStream` and `VectorOutputStream` append
// to a caller-owned string or character vector.
//
// Also here: ANSI colours from one fixed table, the decision whether to emit
// them (`ColorScope`, the "color" option's `ColorPolicy`), the coloured kind
// labels, and number and padding helpers.
//
// Surprising: standard error is unbuffered and standard output buffered, and
// writing to one never flushes the other. Colour sequences are written only
// while the stream's own `colorEnabled` is true: string and vector streams
// start with it false, so they stay plain even when colours are forced,
// unless the caller calls `allowColors(true)`. An `FdOutputStream` destroyed
// with a recorded write error ends the process ("IO failure on output
// stream: "); for standard output that happens at exit.
#pragma once

#include "support/small_vector.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>

namespace vetline {

enum class TerminalColor {
  Black = 0,
  Red = 1,
  Green = 2,
  Yellow = 3,
  Blue = 4,
  Magenta = 5,
  Cyan = 6,
  White = 7,
  // Keeps the current colour and only switches bold on.
  KeepColor = 8,
};

// Whether a `ColorScope` colours: `Detect` asks the "color" option, then the
// stream; `Force` always; `Suppress` never.
enum class ColorPolicy { Detect = 0, Force = 1, Suppress = 2 };

enum class HighlightRole { Error, Warning, Note, Remark };

enum class HexStyle { UpperDigits = 0, LowerDigits = 1, UpperWithPrefix = 2, LowerWithPrefix = 3 };

enum class DecimalStyle { Plain, Grouped };

enum class PadSide { None = 0, Left = 1, Right = 2, Center = 3 };

enum class BufferMode { NoBuffer = 0, OwnBuffer = 1, BorrowedBuffer = 2 };

// The process-wide value of the "color" option: `Detect` while unset,
// `Force` for true, `Suppress` for false. The option library's "color"
// option stores into it.
void setColorOptionPolicy(ColorPolicy policy);
ColorPolicy colorOptionPolicy();

// A hexadecimal or decimal number aligned to a width (see the factories).
struct PaddedNumber {
  uint64_t hexValue = 0;
  int64_t decimalValue = 0;
  unsigned width = 0;
  bool hexadecimal = false;
  bool upper = false;
  bool prefix = false;
};

// Hexadecimal, zero-filled to `width` characters (the prefix included).
PaddedNumber paddedHex(uint64_t value, unsigned width, bool upper = false, bool prefix = true);
// Decimal, right-aligned with spaces to `width` characters.
PaddedNumber paddedDecimal(int64_t value, unsigned width);

// A text padded with spaces to a width; views the caller's text.
struct PaddedString {
  std::string_view text;
  unsigned width = 0;
  PadSide side = PadSide::None;
};

PaddedString leftJustify(std::string_view text, unsigned width);
PaddedString rightJustify(std::string_view text, unsigned width);
PaddedString centerJustify(std::string_view text, unsigned width);

// A printf-style formatting object, written by the stream into its buffer
// when there is room.
class PrintfFormatBase {
public:
  // Formats into `buffer` of `size` bytes like snprintf: returns the length
  // the full result needs (without the terminating zero), or a negative
  // value on failure.
  virtual int print(char *buffer, unsigned size) const = 0;

protected:
  ~PrintfFormatBase() = default;
};

template <typename... Ts> class PrintfFormat final : public PrintfFormatBase {
public:
  PrintfFormat(const char *format, const Ts &...values) : format(format), values(values...) {}

  int print(char *buffer, unsigned size) const override {
    return std::apply(
        [&](const Ts &...v) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
          return std::snprintf(buffer, size, format, v...);
#pragma GCC diagnostic pop
        },
        values);
  }

private:
  const char *format;
  std::tuple<Ts...> values;
};

// printfFormat("%5.2f", x): the values are copied; the format must be a
// literal.
template <typename... Ts> PrintfFormat<Ts...> printfFormat(const char *format, Ts... values) {
  return PrintfFormat<Ts...>(format, values...);
}

class OutputStream {
public:
  enum class StreamKind { Fd, String, Vector, Other };

  OutputStream(const OutputStream &) = delete;
  OutputStream &operator=(const OutputStream &) = delete;

  // Frees an owned buffer; does not flush (derived classes flush first).
  virtual ~OutputStream();

  // A hint that about `count` more bytes follow.
  virtual void expectMore(size_t count) { (void)count; }

  // The colour operations write nothing unless colours are enabled on this
  // stream (see allowColors).
  virtual OutputStream &setColor(TerminalColor color, bool bold = false, bool background = false);
  virtual OutputStream &restoreColor();
  virtual OutputStream &invertColors();

  virtual bool isTerminal() const { return false; }
  virtual bool supportsColors() const { return isTerminal(); }
  virtual void allowColors(bool allow = true) { colorEnabled = allow; }
  bool colorsAllowed() const { return colorEnabled; }

  StreamKind kind() const { return streamKind; }

  // Writing; every operation returns the stream so calls chain.
  OutputStream &write(const char *bytes, size_t count) {
    if (count <= static_cast<size_t>(bufferEnd - bufferCur)) {
      if (count != 0)
        std::memcpy(bufferCur, bytes, count);
      bufferCur += count;
      return *this;
    }
    return writeSlow(bytes, count);
  }

  OutputStream &write(char byte) {
    if (bufferCur < bufferEnd) {
      *bufferCur++ = byte;
      return *this;
    }
    return writeByteSlow(byte);
  }

  OutputStream &operator<<(char byte) { return write(byte); }
  OutputStream &operator<<(unsigned char byte) { return write(static_cast<char>(byte)); }
  OutputStream &operator<<(signed char byte) { return write(static_cast<char>(byte)); }
  OutputStream &operator<<(std::string_view text) { return write(text.data(), text.size()); }
  OutputStream &operator<<(const char *text) {
    return text ? write(text, std::strlen(text)) : *this;
  }
  OutputStream &operator<<(const std::string &text) { return write(text.data(), text.size()); }
  OutputStream &operator<<(const SmallVectorImpl<char> &text) {
    return write(text.data(), text.size());
  }

  OutputStream &operator<<(int value);
  OutputStream &operator<<(unsigned value);
  OutputStream &operator<<(long value);
  OutputStream &operator<<(unsigned long value);
  OutputStream &operator<<(long long value);
  OutputStream &operator<<(unsigned long long value);
  // An address, as lower-case hexadecimal with "0x".
  OutputStream &operator<<(const void *address);
  OutputStream &operator<<(const PaddedNumber &number);
  OutputStream &operator<<(const PaddedString &text);
  OutputStream &operator<<(const PrintfFormatBase &format);

  // `count` spaces.
  OutputStream &indent(unsigned count);

  // Writes `text` with backslash, tab, newline and double quote escaped and
  // other bytes outside 0x20-0x7E as three octal digits (or "\x" and two
  // upper-case hexadecimal digits).
  OutputStream &writeWithEscapes(std::string_view text, bool hexEscapes = false);

  // Delivers the buffered bytes, if any.
  void flush() {
    if (bufferCur != bufferStart)
      flushNonEmpty();
  }

  // Bytes delivered plus bytes waiting in the buffer.
  uint64_t tell() const { return deliveredCount() + (bufferCur - bufferStart); }

  // Buffer control; each change first delivers what is buffered.
  void setBuffered();
  void setUnbuffered();
  void setBufferSize(size_t size);
  size_t bufferSize() const { return bufferEnd - bufferStart; }
  size_t bufferedCount() const { return bufferCur - bufferStart; }
  BufferMode bufferMode() const { return mode; }

protected:
  explicit OutputStream(StreamKind kind, bool unbuffered = false)
      : streamKind(kind), mode(unbuffered ? BufferMode::NoBuffer : BufferMode::OwnBuffer) {}

  // Delivers bytes to the destination.
  virtual void deliver(const char *bytes, size_t count) = 0;
  // The number of bytes delivered so far.
  virtual uint64_t deliveredCount() const = 0;
  // 0 switches the stream to no buffer for good.
  virtual size_t chooseBufferSize() const { return 1024; }

  // Lets a derived class use a buffer it owns itself.
  void setBorrowedBuffer(char *start, size_t size);

private:
  OutputStream &writeSlow(const char *bytes, size_t count);
  OutputStream &writeByteSlow(char byte);
  void flushNonEmpty();
  void setBuffer(char *start, size_t size, BufferMode newMode);
  void setupBuffer();

  StreamKind streamKind;
  char *bufferStart = nullptr;
  char *bufferEnd = nullptr;
  char *bufferCur = nullptr;
  bool colorEnabled = false;
  BufferMode mode;

  friend class FdOutputStream;
};

// A stream on a file descriptor.
class FdOutputStream : public OutputStream {
public:
  // A negative descriptor (a failed open) gives a stream without colours
  // whose writes fail. Descriptors 0, 1 and 2 are never closed.
  FdOutputStream(int fd, bool shouldClose, bool unbuffered = false);
  // Flushes, closes when it owns the descriptor, and ends the process when
  // an error is still recorded.
  ~FdOutputStream() override;

  // Both asked of the descriptor once, on first use, and kept.
  bool isTerminal() const override;
  bool supportsColors() const override;

  int descriptor() const { return fd; }
  bool isRegular() const { return isRegularFile; }
  bool canSeek() const { return supportsSeeking; }

  bool hasFailed() const { return static_cast<bool>(errorState); }
  void forgetError() { errorState = std::error_code(); }
  std::error_code error() const { return errorState; }
  void recordError(std::error_code code) { errorState = code; }

  // Also appends what is delivered to `sink`, up to `limit` bytes of it in
  // all, until called again with null; the bytes written are unchanged.
  void copyDeliveredTo(std::string *sink, size_t limit) {
    copy = sink;
    copyLimit = limit;
  }

protected:
  void deliver(const char *bytes, size_t count) override;
  uint64_t deliveredCount() const override { return position; }
  size_t chooseBufferSize() const override;

private:
  int fd;
  bool shouldClose = false;
  bool supportsSeeking = false;
  bool isRegularFile = false;
  mutable std::optional<bool> terminal;
  mutable std::optional<bool> colorSupport;
  std::error_code errorState;
  uint64_t position = 0;
  std::string *copy = nullptr;
  size_t copyLimit = 0;
};

// Appends to a caller-owned string, which outlives the stream. Unbuffered:
// the string is complete after every write.
class StringOutputStream : public OutputStream {
public:
  explicit StringOutputStream(std::string &target)
      : OutputStream(StreamKind::String, true), target(target) {}
  // Unbuffered unless a caller asked for a buffer; either way nothing is lost.
  ~StringOutputStream() override { flush(); }

  void expectMore(size_t count) override { target.reserve(tell() + count); }
  std::string &str() { return target; }

protected:
  void deliver(const char *bytes, size_t count) override { target.append(bytes, count); }
  uint64_t deliveredCount() const override { return target.size(); }

private:
  std::string &target;
};

// Appends to a caller-owned character vector, which outlives the stream.
class VectorOutputStream : public OutputStream {
public:
  explicit VectorOutputStream(SmallVectorImpl<char> &target)
      : OutputStream(StreamKind::Vector, true), target(target) {}
  ~VectorOutputStream() override { flush(); }

  void expectMore(size_t count) override { target.reserve(tell() + count); }
  std::string_view str() const { return toStringView(target); }

protected:
  void deliver(const char *bytes, size_t count) override { target.append(bytes, bytes + count); }
  uint64_t deliveredCount() const override { return target.size(); }

private:
  SmallVectorImpl<char> &target;
};

// Descriptor 1, buffered; made on first use, flushed at process exit.
OutputStream &standardOutput();
// Descriptor 2, unbuffered; every diagnostic goes here.
OutputStream &standardError();
// The same stream, for what only a descriptor stream offers
// (copyDeliveredTo).
FdOutputStream &standardErrorStream();

// Whether the terminal behind `fd` has colours, from the terminal
// description's "colors" capability; false when none can be set up.
bool terminalSupportsColor(int fd);

// A colour change that lasts for the scope: resets on destruction when it
// coloured. The decision is made afresh at each use.
class ColorScope {
public:
  ColorScope(OutputStream &os, HighlightRole role, ColorPolicy mode = ColorPolicy::Detect);
  explicit ColorScope(OutputStream &os, TerminalColor color = TerminalColor::KeepColor,
                      bool bold = false, bool background = false,
                      ColorPolicy mode = ColorPolicy::Detect);
  ~ColorScope();

  ColorScope(const ColorScope &) = delete;
  ColorScope &operator=(const ColorScope &) = delete;

  bool willColor() const;
  ColorScope &setColor(TerminalColor color, bool bold = false, bool background = false);
  ColorScope &restoreColor();

  OutputStream &stream() { return os; }

  template <typename T> ColorScope &operator<<(const T &value) {
    os << value;
    return *this;
  }

private:
  OutputStream &os;
  ColorPolicy mode;
};

// Writes `prefix` and ": " when the prefix is not empty, then the coloured
// label "error: ", "warning: ", "note: " or "remark: " for `kind`.
void printKindLabel(OutputStream &os, HighlightRole kind, std::string_view prefix = {},
                    bool disableColors = false);

// Decimal: '-' for negative values, then at least `minDigits` digits with
// `Plain` (zero-filled), or groups of three separated by ',' with `Grouped`
// (which ignores the minimum).
void writeDecimal(OutputStream &os, uint64_t value, size_t minDigits = 0,
                  DecimalStyle style = DecimalStyle::Plain);
void writeDecimal(OutputStream &os, int64_t value, size_t minDigits = 0,
                  DecimalStyle style = DecimalStyle::Plain);
void writeDecimal(OutputStream &os, uint32_t value, size_t minDigits = 0,
                  DecimalStyle style = DecimalStyle::Plain);
void writeDecimal(OutputStream &os, int32_t value, size_t minDigits = 0,
                  DecimalStyle style = DecimalStyle::Plain);

// Hexadecimal, zero-filled between the "0x" prefix and the digits up to
// `width` characters in all (capped at 128).
void writeHexNumber(OutputStream &os, uint64_t value, HexStyle style,
                    std::optional<size_t> width = std::nullopt);

} // namespace vetline
