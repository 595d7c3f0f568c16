#include "support/output_stream.h"

#include "support/error.h"
#include "support/system_calls.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vetline {

namespace {

// ---- Messages ----

constexpr std::string_view ioFailureMessage = "IO failure on output stream: ";
constexpr std::string_view errorLabel = "error: ";
constexpr std::string_view warningLabel = "warning: ";
constexpr std::string_view noteLabel = "note: ";
constexpr std::string_view remarkLabel = "remark: ";

// Indexed by background, bold and colour number.
const char *const colorSequences[2][2][8] = {
    {{"\033[0;30m", "\033[0;31m", "\033[0;32m", "\033[0;33m", "\033[0;34m", "\033[0;35m",
      "\033[0;36m", "\033[0;37m"},
     {"\033[0;1;30m", "\033[0;1;31m", "\033[0;1;32m", "\033[0;1;33m", "\033[0;1;34m",
      "\033[0;1;35m", "\033[0;1;36m", "\033[0;1;37m"}},
    {{"\033[0;40m", "\033[0;41m", "\033[0;42m", "\033[0;43m", "\033[0;44m", "\033[0;45m",
      "\033[0;46m", "\033[0;47m"},
     {"\033[0;1;40m", "\033[0;1;41m", "\033[0;1;42m", "\033[0;1;43m", "\033[0;1;44m",
      "\033[0;1;45m", "\033[0;1;46m", "\033[0;1;47m"}},
};

constexpr std::string_view boldSequence = "\033[1m";
constexpr std::string_view resetSequence = "\033[0m";
constexpr std::string_view reverseSequence = "\033[7m";

ColorPolicy colorOptionSetting = ColorPolicy::Detect;

constexpr size_t scratchSize = 128;

// Writes the decimal digits of `value` into the end of `scratch` and
// returns where they start.
char *formatDigits(uint64_t value, char *scratchEnd) {
  char *p = scratchEnd;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return p;
}

// The same for values that fit in 32 bits, which avoids 64-bit division.
char *formatDigits32(uint32_t value, char *scratchEnd) {
  char *p = scratchEnd;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return p;
}

void writeMagnitude(OutputStream &os, uint64_t magnitude, bool negative, size_t minDigits,
                    DecimalStyle style) {
  char scratch[scratchSize];
  char *end = scratch + sizeof(scratch);
  char *digits = magnitude <= UINT32_MAX ? formatDigits32(static_cast<uint32_t>(magnitude), end)
                                         : formatDigits(magnitude, end);
  size_t length = end - digits;
  if (negative)
    os << '-';
  if (style == DecimalStyle::Grouped) {
    size_t firstGroup = length % 3 == 0 ? 3 : length % 3;
    os.write(digits, firstGroup);
    for (const char *p = digits + firstGroup; p != end; p += 3)
      os.write(',').write(p, 3);
    return;
  }
  for (size_t i = length; i < minDigits; ++i)
    os << '0';
  os.write(digits, length);
}

} // namespace

void setColorOptionPolicy(ColorPolicy policy) { colorOptionSetting = policy; }

ColorPolicy colorOptionPolicy() { return colorOptionSetting; }

PaddedNumber paddedHex(uint64_t value, unsigned width, bool upper, bool prefix) {
  PaddedNumber number;
  number.hexValue = value;
  number.width = width;
  number.hexadecimal = true;
  number.upper = upper;
  number.prefix = prefix;
  return number;
}

PaddedNumber paddedDecimal(int64_t value, unsigned width) {
  PaddedNumber number;
  number.decimalValue = value;
  number.width = width;
  return number;
}

PaddedString leftJustify(std::string_view text, unsigned width) {
  return PaddedString{text, width, PadSide::Left};
}

PaddedString rightJustify(std::string_view text, unsigned width) {
  return PaddedString{text, width, PadSide::Right};
}

PaddedString centerJustify(std::string_view text, unsigned width) {
  return PaddedString{text, width, PadSide::Center};
}

OutputStream::~OutputStream() {
  if (mode == BufferMode::OwnBuffer)
    delete[] bufferStart;
}

OutputStream &OutputStream::setColor(TerminalColor color, bool bold, bool background) {
  if (!colorEnabled)
    return *this;
  if (color == TerminalColor::KeepColor)
    return *this << boldSequence;
  unsigned index = static_cast<unsigned>(color) & 7;
  return *this << colorSequences[background ? 1 : 0][bold ? 1 : 0][index];
}

OutputStream &OutputStream::restoreColor() {
  if (colorEnabled)
    *this << resetSequence;
  return *this;
}

OutputStream &OutputStream::invertColors() {
  if (colorEnabled)
    *this << reverseSequence;
  return *this;
}

OutputStream &OutputStream::writeSlow(const char *bytes, size_t count) {
  while (true) {
    size_t room = bufferEnd - bufferCur;
    if (count <= room) {
      if (count != 0)
        std::memcpy(bufferCur, bytes, count);
      bufferCur += count;
      return *this;
    }
    if (bufferStart == nullptr) {
      if (mode == BufferMode::NoBuffer) {
        deliver(bytes, count);
        return *this;
      }
      setupBuffer();
      continue;
    }
    size_t size = bufferEnd - bufferStart;
    if (bufferCur == bufferStart) {
      // Bypass the buffer for whole multiples of its size.
      size_t direct = count - count % size;
      deliver(bytes, direct);
      bytes += direct;
      count -= direct;
      continue;
    }
    std::memcpy(bufferCur, bytes, room);
    bufferCur += room;
    bytes += room;
    count -= room;
    flushNonEmpty();
  }
}

OutputStream &OutputStream::writeByteSlow(char byte) {
  while (bufferCur >= bufferEnd) {
    if (bufferStart == nullptr) {
      if (mode == BufferMode::NoBuffer) {
        deliver(&byte, 1);
        return *this;
      }
      setupBuffer();
      continue;
    }
    flushNonEmpty();
  }
  *bufferCur++ = byte;
  return *this;
}

void OutputStream::flushNonEmpty() {
  size_t count = bufferCur - bufferStart;
  bufferCur = bufferStart;
  deliver(bufferStart, count);
}

void OutputStream::setBuffer(char *start, size_t size, BufferMode newMode) {
  flush();
  if (mode == BufferMode::OwnBuffer)
    delete[] bufferStart;
  bufferStart = start;
  bufferEnd = start ? start + size : nullptr;
  bufferCur = start;
  mode = newMode;
}

void OutputStream::setupBuffer() {
  size_t size = chooseBufferSize();
  if (size == 0) {
    setBuffer(nullptr, 0, BufferMode::NoBuffer);
    return;
  }
  setBuffer(new char[size], size, BufferMode::OwnBuffer);
}

void OutputStream::setBuffered() { setBuffer(nullptr, 0, BufferMode::OwnBuffer); }

void OutputStream::setUnbuffered() { setBuffer(nullptr, 0, BufferMode::NoBuffer); }

void OutputStream::setBufferSize(size_t size) {
  if (size == 0) {
    setUnbuffered();
    return;
  }
  setBuffer(new char[size], size, BufferMode::OwnBuffer);
}

void OutputStream::setBorrowedBuffer(char *start, size_t size) {
  setBuffer(start, size, BufferMode::BorrowedBuffer);
}

OutputStream &OutputStream::operator<<(int value) {
  writeDecimal(*this, static_cast<int64_t>(value));
  return *this;
}

OutputStream &OutputStream::operator<<(unsigned value) {
  writeDecimal(*this, static_cast<uint64_t>(value));
  return *this;
}

OutputStream &OutputStream::operator<<(long value) {
  writeDecimal(*this, static_cast<int64_t>(value));
  return *this;
}

OutputStream &OutputStream::operator<<(unsigned long value) {
  writeDecimal(*this, static_cast<uint64_t>(value));
  return *this;
}

OutputStream &OutputStream::operator<<(long long value) {
  writeDecimal(*this, static_cast<int64_t>(value));
  return *this;
}

OutputStream &OutputStream::operator<<(unsigned long long value) {
  writeDecimal(*this, static_cast<uint64_t>(value));
  return *this;
}

OutputStream &OutputStream::operator<<(const void *address) {
  writeHexNumber(*this, reinterpret_cast<uintptr_t>(address), HexStyle::LowerWithPrefix);
  return *this;
}

OutputStream &OutputStream::operator<<(const PaddedNumber &number) {
  if (number.hexadecimal) {
    HexStyle style = number.upper
                         ? (number.prefix ? HexStyle::UpperWithPrefix : HexStyle::UpperDigits)
                         : (number.prefix ? HexStyle::LowerWithPrefix : HexStyle::LowerDigits);
    writeHexNumber(*this, number.hexValue, style, number.width);
    return *this;
  }
  char scratch[scratchSize];
  char *end = scratch + sizeof(scratch);
  bool negative = number.decimalValue < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(number.decimalValue)
                                : static_cast<uint64_t>(number.decimalValue);
  size_t length = (end - formatDigits(magnitude, end)) + (negative ? 1 : 0);
  if (length < number.width)
    indent(static_cast<unsigned>(number.width - length));
  writeDecimal(*this, number.decimalValue);
  return *this;
}

OutputStream &OutputStream::operator<<(const PaddedString &padded) {
  size_t length = padded.text.size();
  if (padded.width <= length || padded.side == PadSide::None)
    return *this << padded.text;
  unsigned spaces = static_cast<unsigned>(padded.width - length);
  switch (padded.side) {
  case PadSide::None:
  case PadSide::Left:
    return (*this << padded.text).indent(spaces);
  case PadSide::Right:
    return indent(spaces) << padded.text;
  case PadSide::Center:
    return (indent(spaces / 2) << padded.text).indent(spaces - spaces / 2);
  }
  return *this;
}

OutputStream &OutputStream::operator<<(const PrintfFormatBase &format) {
  size_t room = bufferEnd - bufferCur;
  size_t nextSize = 127;
  if (room > 3) {
    int needed = format.print(bufferCur, static_cast<unsigned>(std::min<size_t>(room, UINT_MAX)));
    if (needed >= 0 && static_cast<size_t>(needed) < room) {
      bufferCur += needed;
      return *this;
    }
    nextSize = needed >= 0 ? static_cast<size_t>(needed) + 1 : room * 2;
  }
  while (true) {
    SmallVector<char, 128> temporary;
    temporary.resize(nextSize);
    int needed = format.print(temporary.data(), static_cast<unsigned>(nextSize));
    if (needed >= 0 && static_cast<size_t>(needed) < nextSize)
      return write(temporary.data(), needed);
    nextSize = needed >= 0 ? static_cast<size_t>(needed) + 1 : nextSize * 2;
  }
}

OutputStream &OutputStream::indent(unsigned count) {
  static constexpr char spaces[] =
      "                                                                "
      "                ";
  constexpr unsigned chunk = sizeof(spaces) - 1;
  while (count > chunk) {
    write(spaces, chunk);
    count -= chunk;
  }
  return write(spaces, count);
}

OutputStream &OutputStream::writeWithEscapes(std::string_view text, bool hexEscapes) {
  static constexpr char hexDigits[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    switch (c) {
    case '\\':
      *this << '\\' << '\\';
      break;
    case '\t':
      *this << '\\' << 't';
      break;
    case '\n':
      *this << '\\' << 'n';
      break;
    case '"':
      *this << '\\' << '"';
      break;
    default:
      if (c >= 0x20 && c <= 0x7E) {
        *this << static_cast<char>(c);
      } else if (hexEscapes) {
        *this << '\\' << 'x' << hexDigits[c >> 4] << hexDigits[c & 15];
      } else {
        *this << '\\' << static_cast<char>('0' + (c >> 6))
              << static_cast<char>('0' + ((c >> 3) & 7)) << static_cast<char>('0' + (c & 7));
      }
    }
  }
  return *this;
}

FdOutputStream::FdOutputStream(int fd, bool shouldClose, bool unbuffered)
    : OutputStream(StreamKind::Fd, unbuffered), fd(fd), shouldClose(shouldClose) {
  if (fd < 0) {
    this->shouldClose = false;
    return;
  }
  allowColors(true);
  if (fd <= 2)
    this->shouldClose = false;
  off_t offset = ::lseek(fd, 0, SEEK_CUR);
  struct stat status;
  bool haveStatus = ::fstat(fd, &status) == 0;
  isRegularFile = haveStatus && S_ISREG(status.st_mode);
  supportsSeeking = offset != -1 && haveStatus;
  position = supportsSeeking ? static_cast<uint64_t>(offset) : 0;
}

FdOutputStream::~FdOutputStream() {
  if (fd >= 0) {
    flush();
    if (shouldClose) {
      // A signal handler must not see the descriptor half closed.
      sigset_t all, saved;
      sigfillset(&all);
      sigprocmask(SIG_SETMASK, &all, &saved);
      if (::close(fd) != 0)
        recordError(std::error_code(errno, std::generic_category()));
      sigprocmask(SIG_SETMASK, &saved, nullptr);
    }
  }
  if (hasFailed())
    fatalError(std::string(ioFailureMessage) + errorState.message());
}

bool FdOutputStream::isTerminal() const {
  // Asked for every diagnostic printed: a system call each time costs a run
  // with a remark per match a tenth of its time.
  if (!terminal)
    terminal = ::isatty(fd) == 1;
  return *terminal;
}

bool FdOutputStream::supportsColors() const {
  if (!colorSupport)
    colorSupport = isTerminal() && terminalSupportsColor(fd);
  return *colorSupport;
}

void FdOutputStream::deliver(const char *bytes, size_t count) {
  position += count;
  if (copy && copy->size() < copyLimit)
    copy->append(bytes, std::min(count, copyLimit - copy->size()));
  if (!writeAll(fd, bytes, count))
    recordError(std::error_code(errno, std::generic_category()));
}

size_t FdOutputStream::chooseBufferSize() const {
  struct stat status;
  if (::fstat(fd, &status) != 0)
    return 0;
  if (S_ISCHR(status.st_mode) && isTerminal())
    return 0;
  return status.st_blksize > 0 ? static_cast<size_t>(status.st_blksize) : 0;
}

OutputStream &standardOutput() {
  static FdOutputStream stream(1, false);
  return stream;
}

FdOutputStream &standardErrorStream() {
  static FdOutputStream stream(2, false, true);
  return stream;
}

OutputStream &standardError() { return standardErrorStream(); }

ColorScope::ColorScope(OutputStream &os, HighlightRole role, ColorPolicy mode)
    : os(os), mode(mode) {
  TerminalColor color = TerminalColor::Black;
  switch (role) {
  case HighlightRole::Error:
    color = TerminalColor::Red;
    break;
  case HighlightRole::Warning:
    color = TerminalColor::Magenta;
    break;
  case HighlightRole::Note:
    color = TerminalColor::Black;
    break;
  case HighlightRole::Remark:
    color = TerminalColor::Blue;
    break;
  }
  if (willColor())
    os.setColor(color, true, false);
}

ColorScope::ColorScope(OutputStream &os, TerminalColor color, bool bold, bool background,
                       ColorPolicy mode)
    : os(os), mode(mode) {
  if (willColor())
    os.setColor(color, bold, background);
}

ColorScope::~ColorScope() {
  if (willColor())
    os.restoreColor();
}

bool ColorScope::willColor() const {
  switch (mode) {
  case ColorPolicy::Suppress:
    return false;
  case ColorPolicy::Force:
    return true;
  case ColorPolicy::Detect:
    break;
  }
  switch (colorOptionPolicy()) {
  case ColorPolicy::Force:
    return true;
  case ColorPolicy::Suppress:
    return false;
  case ColorPolicy::Detect:
    break;
  }
  return os.supportsColors();
}

ColorScope &ColorScope::setColor(TerminalColor color, bool bold, bool background) {
  if (willColor())
    os.setColor(color, bold, background);
  return *this;
}

ColorScope &ColorScope::restoreColor() {
  if (willColor())
    os.restoreColor();
  return *this;
}

void printKindLabel(OutputStream &os, HighlightRole kind, std::string_view prefix,
                    bool disableColors) {
  if (!prefix.empty())
    os << prefix << ": ";
  ColorScope scope(os, kind, disableColors ? ColorPolicy::Suppress : ColorPolicy::Detect);
  switch (kind) {
  case HighlightRole::Error:
    os << errorLabel;
    break;
  case HighlightRole::Warning:
    os << warningLabel;
    break;
  case HighlightRole::Note:
    os << noteLabel;
    break;
  case HighlightRole::Remark:
    os << remarkLabel;
    break;
  }
}

void writeDecimal(OutputStream &os, uint64_t value, size_t minDigits, DecimalStyle style) {
  writeMagnitude(os, value, false, minDigits, style);
}

void writeDecimal(OutputStream &os, int64_t value, size_t minDigits, DecimalStyle style) {
  bool negative = value < 0;
  // Unsigned negation keeps the most negative value exact.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  writeMagnitude(os, magnitude, negative, minDigits, style);
}

void writeDecimal(OutputStream &os, uint32_t value, size_t minDigits, DecimalStyle style) {
  writeMagnitude(os, value, false, minDigits, style);
}

void writeDecimal(OutputStream &os, int32_t value, size_t minDigits, DecimalStyle style) {
  writeDecimal(os, static_cast<int64_t>(value), minDigits, style);
}

void writeHexNumber(OutputStream &os, uint64_t value, HexStyle style, std::optional<size_t> width) {
  size_t wanted = width ? std::min<size_t>(*width, scratchSize) : 0;
  bool upper = style == HexStyle::UpperDigits || style == HexStyle::UpperWithPrefix;
  bool prefix = style == HexStyle::UpperWithPrefix || style == HexStyle::LowerWithPrefix;
  unsigned bits = value == 0 ? 1 : 64 - __builtin_clzll(value);
  size_t digits = std::max<size_t>(1, (bits + 3) / 4);
  size_t prefixLength = prefix ? 2 : 0;
  size_t length = std::max(wanted, digits + prefixLength);

  char scratch[scratchSize];
  std::memset(scratch, '0', sizeof(scratch));
  if (prefix)
    scratch[1] = 'x';
  const char *alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char *p = scratch + length;
  for (uint64_t rest = value; rest != 0; rest >>= 4)
    *--p = alphabet[rest & 15];
  os.write(scratch, length);
}

} // namespace vetline
