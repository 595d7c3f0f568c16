// Source manager: owns every text a diagnostic can point into (check file,
// input, the small buffers made for command-line patterns and definitions),
// maps byte addresses to buffers, lines and columns, and renders
// compiler-style diagnostics.
//
// Surprises worth knowing:
// - Locations are plain byte addresses. The position one past a buffer's
//   last byte still belongs to that buffer.
// - Line numbers count only line feeds, but line texts and columns also stop
//   at a carriage return: a lone CR starts a new column count on the same
//   line number.
// - Each buffer's newline offsets are cached on the first line query, with
//   the narrowest integer width that fits the buffer size.
// - A diagnostic whose source line holds a byte of 0x80 or above prints the
//   line but no caret line.
// - On a terminal the source line's control bytes are shown in caret
//   notation (terminal_text.h) and the caret line widens under them; any
//   other stream gets the line's bytes as they are.
#pragma once

#include "support/text_buffer.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vetline {

class OutputStream;
class SourceManager;

// The address of one byte of a buffer's text, or null for "no location".
class SourceLocation {
public:
  constexpr SourceLocation() = default;
  static constexpr SourceLocation fromPointer(const char *pointer) {
    SourceLocation location;
    location.address = pointer;
    return location;
  }

  constexpr const char *pointer() const { return address; }
  constexpr bool isValid() const { return address != nullptr; }
  friend constexpr bool operator==(SourceLocation, SourceLocation) = default;

private:
  const char *address = nullptr;
};

// A half-open span of bytes [start, end). A range with a null start is
// ignored wherever ranges are used.
struct SourceRange {
  SourceLocation start;
  SourceLocation end;

  // The range covering a text view that lies inside a buffer.
  static SourceRange of(std::string_view text) {
    return {SourceLocation::fromPointer(text.data()),
            SourceLocation::fromPointer(text.data() + text.size())};
  }
  bool isValid() const { return start.isValid(); }
  friend bool operator==(const SourceRange &, const SourceRange &) = default;
};

enum class DiagKind { Error = 0, Warning = 1, Remark = 2, Note = 3 };

// A rendered-ready diagnostic. It copies the buffer name and the source
// line, so it stays printable on its own (error values keep some and print
// them later). Line 0 and column -1 mean the null location; to the renderer
// a line or column of -1 means the value is absent.
class SourceDiagnostic;

// Sees every located diagnostic as it is printed (a machine-readable
// record of the run is built from them); printing is unchanged.
class DiagnosticObserver {
public:
  virtual void diagnosticPrinted(const SourceDiagnostic &diagnostic) = 0;

protected:
  ~DiagnosticObserver() = default;
};

class SourceDiagnostic {
public:
  using ColumnRange = std::pair<uint32_t, uint32_t>;

  SourceDiagnostic() = default;
  SourceDiagnostic(const SourceManager &manager, SourceLocation location, std::string bufferName,
                   int32_t lineNumber, int32_t column, DiagKind kind, std::string message,
                   std::string lineText, std::vector<ColumnRange> columnRanges);

  // Null for a default-made diagnostic.
  const SourceManager *sourceManager() const { return manager; }
  SourceLocation location() const { return loc; }
  const std::string &bufferName() const { return name; }
  int32_t lineNumber() const { return line; }
  // 0-based byte offset within the line.
  int32_t column() const { return col; }
  DiagKind kind() const { return diagKind; }
  const std::string &message() const { return text; }
  const std::string &lineText() const { return source; }
  // Half-open byte spans within lineText().
  const std::vector<ColumnRange> &columnRanges() const { return ranges; }

  // Location prefix, kind label, message, then the source line and the
  // caret line. Colours follow the stream's colour rules; never fails.
  void print(OutputStream &stream) const;

private:
  friend class SourceManager;
  // print() with the source line given as a view into its buffer instead of
  // the copy, which an immediate emit leaves empty.
  void printWithLine(OutputStream &stream, std::string_view sourceLine) const;

  const SourceManager *manager = nullptr;
  SourceLocation loc;
  std::string name = "<unknown>";
  int32_t line = 0;
  int32_t col = -1;
  DiagKind diagKind = DiagKind::Error;
  std::string text;
  std::string source;
  std::vector<ColumnRange> ranges;
};

class SourceManager {
public:
  SourceManager();
  ~SourceManager();
  SourceManager(const SourceManager &) = delete;
  SourceManager &operator=(const SourceManager &) = delete;

  // Takes ownership and returns the buffer's number: buffers count from 1 in
  // order of addition and are never removed, so locations stay valid.
  unsigned addBuffer(std::unique_ptr<TextBuffer> buffer);

  unsigned bufferCount() const { return static_cast<unsigned>(entries.size()); }
  // `number` is 1-based and must name an added buffer.
  const TextBuffer &buffer(unsigned number) const;

  // The first buffer (in order of addition) the location lies in; 0 when
  // none (always 0 for the null location).
  unsigned bufferHolding(SourceLocation location) const;

  // 1-based line of a location inside a buffer. `bufferNumber` 0 means
  // "find it with bufferHolding". The first query on a buffer builds its
  // line cache. A location outside the buffer (a caller error) gives 0.
  unsigned lineOf(SourceLocation location, unsigned bufferNumber = 0) const;

  // 1-based line and 1-based byte column; (0, 0) outside the buffer.
  std::pair<unsigned, unsigned> lineAndColumnOf(SourceLocation location,
                                                unsigned bufferNumber = 0) const;

  // A non-null location must lie in one of this manager's buffers.
  SourceDiagnostic makeDiagnostic(SourceLocation location, DiagKind kind, std::string_view message,
                                  std::span<const SourceRange> ranges = {}) const;
  SourceDiagnostic makeDiagnostic(SourceLocation location, DiagKind kind, std::string_view message,
                                  const SourceRange &range) const;

  // makeDiagnostic, then print on standardError().
  void emitDiagnostic(SourceLocation location, DiagKind kind, std::string_view message,
                      std::span<const SourceRange> ranges = {}) const;
  void emitDiagnostic(SourceLocation location, DiagKind kind, std::string_view message,
                      const SourceRange &range) const;
  void emitDiagnostic(OutputStream &stream, const SourceDiagnostic &diagnostic) const;

  // Every diagnostic of this manager is shown to `observer` (null: none)
  // when it is printed; the observer must outlive the printing.
  void setObserver(DiagnosticObserver *newObserver) { observer = newObserver; }
  DiagnosticObserver *diagnosticObserver() const { return observer; }

private:
  struct BufferEntry;

  // makeDiagnostic's work; the line is copied into the record only when
  // `copyLine` is set, and its view in the buffer is stored in `lineView`.
  SourceDiagnostic buildDiagnostic(SourceLocation location, DiagKind kind, std::string_view message,
                                   std::span<const SourceRange> ranges, bool copyLine,
                                   std::string_view &lineView) const;

  // Null when the location is not in the buffer (or in none, for 0).
  const BufferEntry *entryHolding(SourceLocation location, unsigned bufferNumber) const;

  std::vector<std::unique_ptr<BufferEntry>> entries;
  DiagnosticObserver *observer = nullptr;
};

} // namespace vetline
