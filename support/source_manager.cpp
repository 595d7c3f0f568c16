#include "support/source_manager.h"

#include "support/error.h"
#include "support/output_stream.h"
#include "support/terminal_text.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

namespace vetline {

namespace {

bool isLineBreak(char byte) { return byte == '\n' || byte == '\r'; }

// The width of a cached newline offset follows the buffer size, so the
// cache costs one to eight bytes per line. Calls `fn` with a value of the
// offset type.
template <typename Fn> decltype(auto) withOffsetType(size_t bufferSize, Fn &&fn) {
  if (bufferSize <= std::numeric_limits<uint8_t>::max())
    return fn(uint8_t{});
  if (bufferSize <= std::numeric_limits<uint16_t>::max())
    return fn(uint16_t{});
  if (bufferSize <= std::numeric_limits<uint32_t>::max())
    return fn(uint32_t{});
  return fn(uint64_t{});
}

template <typename Offset> std::vector<Offset> *buildLineCache(const TextBuffer &buffer) {
  auto *offsets = new std::vector<Offset>;
  const char *start = buffer.bufferStart();
  const char *end = buffer.bufferEnd();
  for (const char *at = start;; ++at) {
    at = static_cast<const char *>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    if (!at)
      break;
    offsets->push_back(static_cast<Offset>(at - start));
  }
  return offsets;
}

template <typename T> T saturate(uint64_t value) {
  return value > static_cast<uint64_t>(std::numeric_limits<T>::max())
             ? std::numeric_limits<T>::max()
             : static_cast<T>(value);
}

HighlightRole roleOf(DiagKind kind) {
  switch (kind) {
  case DiagKind::Error:
    return HighlightRole::Error;
  case DiagKind::Warning:
    return HighlightRole::Warning;
  case DiagKind::Remark:
    return HighlightRole::Remark;
  case DiagKind::Note:
    return HighlightRole::Note;
  }
  VETLINE_UNREACHABLE("unknown diagnostic kind");
}

// The line as shown: tabs expanded to the next multiple of eight and, on a
// terminal, the bytes that would drive it in caret notation; other bytes,
// non-ASCII ones included, unchanged; then a newline. Built whole so an
// unbuffered stream gets one write, not one per piece.
std::string expandSourceLine(std::string_view line, bool escapeControls) {
  std::string out;
  out.reserve(line.size() + 1);
  size_t column = 0;
  for (size_t wide = findWideByte(line, escapeControls); wide != std::string_view::npos;
       wide = findWideByte(line, escapeControls)) {
    out.append(line.substr(0, wide));
    column += wide;
    char byte = line[wide];
    unsigned width = displayWidth(byte, column, escapeControls);
    if (byte == '\t') {
      out.append(width, ' ');
    } else {
      out.push_back('^');
      out.push_back(caretNotationOf(byte));
    }
    column += width;
    line.remove_prefix(wide + 1);
  }
  out.append(line);
  out.push_back('\n');
  return out;
}

// A line that shows as it stands is written so: copying a line of a hundred
// megabytes for one diagnostic would double the run's peak memory.
void writeSourceLine(OutputStream &os, std::string_view line, bool escapeControls) {
  if (findWideByte(line, escapeControls) != std::string_view::npos) {
    os << expandSourceLine(line, escapeControls);
    return;
  }
  os.write(line.data(), line.size());
  os << '\n';
}

bool hasNonAsciiByte(std::string_view line) {
  return std::any_of(line.begin(), line.end(),
                     [](char byte) { return static_cast<unsigned char>(byte) >= 0x80; });
}

// Spaces, '~' under each range and '^' at the column, without trailing
// spaces; one position longer than the line so the caret can stand after
// its last character.
std::string buildCaretLine(std::string_view line, size_t column,
                           const std::vector<SourceDiagnostic::ColumnRange> &ranges) {
  // Only as long as its last mark, not the whole line, which may be huge.
  size_t length = std::min(column, line.size()) + 1;
  for (const SourceDiagnostic::ColumnRange &range : ranges) {
    if (range.first < range.second)
      length = std::max<size_t>(length, std::min<size_t>(range.second, line.size() + 1));
  }
  std::string caret(length, ' ');
  for (const SourceDiagnostic::ColumnRange &range : ranges) {
    size_t last = std::min<size_t>(range.second, caret.size());
    for (size_t i = range.first; i < last; ++i)
      caret[i] = '~';
  }
  caret[std::min(column, line.size())] = '^';
  caret.erase(caret.find_last_not_of(' ') + 1);
  return caret;
}

// Under a character of the source line that is shown wider than one column
// (a tab, an escaped byte), the caret line's character repeats over its
// width, so marks stay under the shown text.
std::string expandCaretLine(std::string_view caret, std::string_view line, bool escapeControls) {
  std::string out;
  out.reserve(caret.size() + 1);
  size_t column = 0;
  for (size_t i = 0; i < caret.size(); ++i) {
    unsigned width = i < line.size() ? displayWidth(line[i], column, escapeControls) : 1;
    out.append(width, caret[i]);
    column += width;
  }
  out.push_back('\n');
  return out;
}

} // namespace

struct SourceManager::BufferEntry {
  explicit BufferEntry(std::unique_ptr<TextBuffer> buffer) : buffer(std::move(buffer)) {}
  BufferEntry(const BufferEntry &) = delete;
  BufferEntry &operator=(const BufferEntry &) = delete;
  ~BufferEntry() {
    if (!lineCache)
      return;
    withOffsetType(buffer->size(), [&](auto offset) {
      delete static_cast<std::vector<decltype(offset)> *>(lineCache);
    });
  }

  struct LinePosition {
    // 1 plus the newlines before the offset.
    uint64_t line;
    // Offset just after the last newline before it (0 on the first line).
    size_t afterNewline;
  };

  LinePosition positionOf(size_t offset) const {
    return withOffsetType(buffer->size(), [&](auto type) {
      using Offset = decltype(type);
      // Filled on the first query; the buffer never changes afterwards.
      if (!lineCache)
        lineCache = buildLineCache<Offset>(*buffer);
      const auto &offsets = *static_cast<const std::vector<Offset> *>(lineCache);
      auto below = std::lower_bound(offsets.begin(), offsets.end(), offset,
                                    [](Offset stored, size_t wanted) { return stored < wanted; });
      size_t count = static_cast<size_t>(below - offsets.begin());
      size_t afterNewline = count == 0 ? 0 : static_cast<size_t>(offsets[count - 1]) + 1;
      return LinePosition{count + uint64_t{1}, afterNewline};
    });
  }

  bool holds(SourceLocation location) const {
    auto address = reinterpret_cast<uintptr_t>(location.pointer());
    return location.isValid() && address >= reinterpret_cast<uintptr_t>(buffer->bufferStart()) &&
           address <= reinterpret_cast<uintptr_t>(buffer->bufferEnd());
  }

  std::unique_ptr<TextBuffer> buffer;
  // A std::vector of offsets whose width follows from the buffer size,
  // recomputed on every use so it cannot disagree with the stored list.
  mutable void *lineCache = nullptr;
};

SourceDiagnostic::SourceDiagnostic(const SourceManager &manager, SourceLocation location,
                                   std::string bufferName, int32_t lineNumber, int32_t column,
                                   DiagKind kind, std::string message, std::string lineText,
                                   std::vector<ColumnRange> columnRanges)
    : manager(&manager), loc(location), name(std::move(bufferName)), line(lineNumber), col(column),
      diagKind(kind), text(std::move(message)), source(std::move(lineText)),
      ranges(std::move(columnRanges)) {}

void SourceDiagnostic::print(OutputStream &os) const { printWithLine(os, source); }

void SourceDiagnostic::printWithLine(OutputStream &os, std::string_view source) const {
  if (manager && manager->diagnosticObserver())
    manager->diagnosticObserver()->diagnosticPrinted(*this);
  // Pieces are joined before writing: standard error is unbuffered, and a
  // run with many remarks would otherwise pay one system call per piece.
  {
    ColorScope bold(os, TerminalColor::KeepColor, true);
    if (!name.empty()) {
      std::string prefix = name == "-" ? "<stdin>" : name;
      if (line != -1) {
        prefix += ':' + std::to_string(line);
        if (col != -1)
          prefix += ':' + std::to_string(static_cast<int64_t>(col) + 1);
      }
      prefix += ": ";
      os << prefix;
    }
  }
  printKindLabel(os, roleOf(diagKind));
  {
    ColorScope bold(os, TerminalColor::KeepColor, true);
    os << text + '\n';
  }
  if (line == -1 || col == -1)
    return;
  // Quoted bytes must not drive the user's terminal; files and pipes get
  // them as they are.
  bool escapeControls = os.isTerminal();
  // Columns count bytes, so marks under a multi-byte character would land
  // in the wrong place; show the line alone.
  if (hasNonAsciiByte(source)) {
    writeSourceLine(os, source, escapeControls);
    return;
  }
  std::string caret = buildCaretLine(source, static_cast<size_t>(col), ranges);
  writeSourceLine(os, source, escapeControls);
  ColorScope green(os, TerminalColor::Green, true);
  os << expandCaretLine(caret, source, escapeControls);
}

SourceManager::SourceManager() = default;
SourceManager::~SourceManager() = default;

unsigned SourceManager::addBuffer(std::unique_ptr<TextBuffer> buffer) {
  entries.push_back(std::make_unique<BufferEntry>(std::move(buffer)));
  return bufferCount();
}

const TextBuffer &SourceManager::buffer(unsigned number) const {
  assert(number >= 1 && number <= entries.size() && "no buffer with that number");
  return *entries[number - 1]->buffer;
}

unsigned SourceManager::bufferHolding(SourceLocation location) const {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i]->holds(location))
      return static_cast<unsigned>(i + 1);
  }
  return 0;
}

const SourceManager::BufferEntry *SourceManager::entryHolding(SourceLocation location,
                                                              unsigned bufferNumber) const {
  if (bufferNumber == 0)
    bufferNumber = bufferHolding(location);
  // A location outside the buffer is the caller's error; answering "no
  // line" beats reading memory nobody owns.
  bool found = bufferNumber >= 1 && bufferNumber <= entries.size() &&
               entries[bufferNumber - 1]->holds(location);
  return found ? entries[bufferNumber - 1].get() : nullptr;
}

unsigned SourceManager::lineOf(SourceLocation location, unsigned bufferNumber) const {
  const BufferEntry *entry = entryHolding(location, bufferNumber);
  if (!entry)
    return 0;
  size_t offset = static_cast<size_t>(location.pointer() - entry->buffer->bufferStart());
  return saturate<unsigned>(entry->positionOf(offset).line);
}

std::pair<unsigned, unsigned> SourceManager::lineAndColumnOf(SourceLocation location,
                                                             unsigned bufferNumber) const {
  const BufferEntry *entry = entryHolding(location, bufferNumber);
  if (!entry)
    return {0, 0};
  const char *start = entry->buffer->bufferStart();
  size_t offset = static_cast<size_t>(location.pointer() - start);
  BufferEntry::LinePosition position = entry->positionOf(offset);
  // The column restarts after a carriage return too; the cache bounds the
  // search to the current line, which keeps it fast on huge inputs.
  size_t lineStart = position.afterNewline;
  if (const void *carriageReturn = ::memrchr(start + lineStart, '\r', offset - lineStart))
    lineStart = static_cast<size_t>(static_cast<const char *>(carriageReturn) - start) + 1;
  return {saturate<unsigned>(position.line), saturate<unsigned>(offset - lineStart + 1)};
}

SourceDiagnostic SourceManager::makeDiagnostic(SourceLocation location, DiagKind kind,
                                               std::string_view message,
                                               std::span<const SourceRange> ranges) const {
  std::string_view lineView;
  return buildDiagnostic(location, kind, message, ranges, true, lineView);
}

SourceDiagnostic SourceManager::buildDiagnostic(SourceLocation location, DiagKind kind,
                                                std::string_view message,
                                                std::span<const SourceRange> ranges, bool copyLine,
                                                std::string_view &lineView) const {
  lineView = {};
  unsigned number = bufferHolding(location);
  // A location outside every buffer is the caller's error; rendering it as
  // "no location" beats reading memory nobody owns.
  if (number == 0)
    return SourceDiagnostic(*this, location, "<unknown>", 0, -1, kind, std::string(message), "",
                            {});

  const TextBuffer &buffer = *entries[number - 1]->buffer;
  const char *at = location.pointer();
  const char *lineStart = at;
  while (lineStart != buffer.bufferStart() && !isLineBreak(lineStart[-1]))
    --lineStart;
  const char *lineEnd = at;
  while (lineEnd != buffer.bufferEnd() && !isLineBreak(*lineEnd))
    ++lineEnd;

  auto address = [](const char *pointer) { return reinterpret_cast<uintptr_t>(pointer); };
  std::vector<SourceDiagnostic::ColumnRange> columnRanges;
  for (const SourceRange &range : ranges) {
    if (!range.start.isValid() || address(range.start.pointer()) > address(lineEnd) ||
        address(range.end.pointer()) < address(lineStart))
      continue;
    uintptr_t first = std::max(address(range.start.pointer()), address(lineStart));
    uintptr_t last = std::min(address(range.end.pointer()), address(lineEnd));
    columnRanges.emplace_back(saturate<uint32_t>(first - address(lineStart)),
                              saturate<uint32_t>(last - address(lineStart)));
  }

  std::pair<unsigned, unsigned> lineAndColumn = lineAndColumnOf(location, number);
  lineView = std::string_view(lineStart, static_cast<size_t>(lineEnd - lineStart));
  return SourceDiagnostic(
      *this, location, std::string(buffer.identifier()), saturate<int32_t>(lineAndColumn.first),
      saturate<int32_t>(lineAndColumn.second - 1), kind, std::string(message),
      copyLine ? std::string(lineView) : std::string(), std::move(columnRanges));
}

SourceDiagnostic SourceManager::makeDiagnostic(SourceLocation location, DiagKind kind,
                                               std::string_view message,
                                               const SourceRange &range) const {
  return makeDiagnostic(location, kind, message, std::span<const SourceRange>(&range, 1));
}

void SourceManager::emitDiagnostic(SourceLocation location, DiagKind kind, std::string_view message,
                                   std::span<const SourceRange> ranges) const {
  // Printed at once from the buffer: a copy of a line of a hundred
  // megabytes would add as much to the run's peak memory.
  std::string_view lineView;
  buildDiagnostic(location, kind, message, ranges, false, lineView)
      .printWithLine(standardError(), lineView);
}

void SourceManager::emitDiagnostic(SourceLocation location, DiagKind kind, std::string_view message,
                                   const SourceRange &range) const {
  emitDiagnostic(location, kind, message, std::span<const SourceRange>(&range, 1));
}

void SourceManager::emitDiagnostic(OutputStream &stream, const SourceDiagnostic &diagnostic) const {
  diagnostic.print(stream);
}

} // namespace vetline
