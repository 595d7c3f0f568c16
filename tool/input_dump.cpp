// The annotated input dump. Building is one pass over the match records;
// printing is one pass over the input lines with a cursor into the sorted
// annotations, so the dump costs O(input + annotations log annotations) plus
// the marked columns, and a repeated block its copies when it is shown.
// Tested by tests/unit/tool/input_dump_test.cpp and the
// end-to-end cases under tests/e2e/cases/dump/.
#include "tool/input_dump.h"

#include "support/error.h"
#include "support/source_manager.h"
#include "support/terminal_text.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace vetline {
namespace {

// Every text the dump shows besides the input and the records' own notes.
// They are interface (tests and users compare them byte for byte): never
// reword them. The markers' notes are in markerFor below.
namespace text {
constexpr std::string_view frameStart = "Input was:\n<<<<<<\n";
constexpr std::string_view frameEnd = ">>>>>>\n";
constexpr std::string_view explanationIntro =
    "The following description was requested by -dump-input=help to\n"
    "explain the input dump printed by Vetline.\n"
    "\n"
    "Related command-line options:\n"
    "\n"
    "  - -dump-input=<value> enables or disables the input dump\n"
    "  - -dump-input-filter=<value> filters the input lines\n"
    "  - -dump-input-context=<N> adjusts the context of filtered lines\n"
    "  - -v and -vv add more annotations\n"
    "  - -color forces colors to be enabled both in the dump and below\n"
    "  - -help documents the above options in more detail\n"
    "\n"
    "These options can also be set via VETLINE_OPTS.  For example, for\n"
    "maximum debugging output on failures:\n"
    "\n"
    "  $ VETLINE_OPTS='-dump-input-filter=all -vv -color' ninja check\n"
    "\n"
    "Input dump annotation format:\n"
    "\n";
} // namespace text

struct ExplanationItem {
  const char *label; // null for a continuation line
  const char *rest;
};

const ExplanationItem explanationItems[] = {
    {"L:", "     labels line number L of the input file"},
    {nullptr, "           An extra space is added after each input line to represent the"},
    {nullptr, "           newline character"},
    {"T:L", "    labels the only match result for either (1) a pattern of type T from"},
    {nullptr, "           line L of the check file if L is an integer or (2) the I-th implicit"},
    {nullptr, "           pattern if L is \"imp\" followed by an integer I (index origin one)"},
    {"T:L'N", "  labels the Nth match result for such a pattern"},
    {"^~~", "    marks good match (reported if -v)"},
    {"!~~", "    marks bad match, such as:"},
    {nullptr, "           - CHECK-NEXT on same line as previous match (error)"},
    {nullptr, "           - CHECK-NOT found (error)"},
    {nullptr, "           - CHECK-DAG overlapping match (discarded, reported if -vv)"},
    {"X~~", "    marks search range when no match is found, such as:"},
    {nullptr, "           - CHECK-NEXT not found (error)"},
    {nullptr, "           - CHECK-NOT not found (success, reported if -vv)"},
    {nullptr, "           - CHECK-DAG not found after discarded matches (error)"},
    {"?", "      marks fuzzy match when no match is found"},
    {"...", "    indicates elided input lines and annotations, as specified by"},
    {nullptr, "           -dump-input-filter and -dump-input-context"},
};

struct ColorWord {
  const char *word;
  TerminalColor color;
  bool background;
};

const ColorWord colorWords[] = {
    {"success", TerminalColor::Green, false},       {"error", TerminalColor::Red, false},
    {"fuzzy match", TerminalColor::Magenta, false}, {"discarded match", TerminalColor::Cyan, false},
    {"unmatched input", TerminalColor::Cyan, true},
};

constexpr uint32_t ToLineEnd = std::numeric_limits<uint32_t>::max();
constexpr uint32_t NoLineLeft = std::numeric_limits<uint32_t>::max();

AnnotationMarker markerFor(MatchKind kind) {
  switch (kind) {
  case MatchKind::ExpectedFound:
    return {'^', TerminalColor::Green, "", false};
  case MatchKind::ExcludedFound:
    return {'!', TerminalColor::Red, "error: no match expected", true};
  case MatchKind::WrongLine:
    return {'!', TerminalColor::Red, "error: match on wrong line", true};
  case MatchKind::Discarded:
    return {'!', TerminalColor::Cyan, "discard: overlaps earlier match", false};
  case MatchKind::ErrorAfterMatch:
    return {'!', TerminalColor::Red, "error: unknown error after match", true};
  case MatchKind::ExcludedAbsent:
    return {'X', TerminalColor::Green, "", false};
  case MatchKind::ExpectedMissing:
    return {'X', TerminalColor::Red, "error: no match found", true};
  case MatchKind::InvalidPattern:
    return {'X', TerminalColor::Red, "error: match failed for invalid pattern", true};
  case MatchKind::FuzzyCandidate:
    return {'?', TerminalColor::Magenta, "possible intended match", true};
  }
  VETLINE_UNREACHABLE("unexpected match type");
}

std::string_view kindAbbreviation(const DirectiveType &type) {
  if (type.kind == DirectiveKind::None)
    VETLINE_UNREACHABLE("unknown directive kind in a match record");
  return namesOf(type).dumpAbbreviation;
}

// The label without its per-location suffix: "next:12" or "not:imp2".
std::string baseLabel(const SourceManager &sourceManager, unsigned checkBufferNumber,
                      ImplicitBufferRange implicitBuffers, const MatchDiag &diag) {
  std::string label(kindAbbreviation(diag.directiveType));
  label += ':';
  unsigned buffer = sourceManager.bufferHolding(diag.checkLocation);
  if (buffer == checkBufferNumber) {
    label += std::to_string(sourceManager.lineAndColumnOf(diag.checkLocation, buffer).first);
  } else {
    // Signed, so that a location in no buffer at all cannot wrap into a
    // huge pattern number.
    int64_t index = int64_t{buffer} - int64_t{implicitBuffers.first} + 1;
    label += "imp";
    label += std::to_string(index);
  }
  return label;
}

// The marker of the record's kind, with the record's own note if it has one.
AnnotationMarker markerOf(const MatchDiag &diag) {
  AnnotationMarker marker = markerFor(diag.matchKind);
  if (diag.note.empty())
    return marker;
  marker.note = diag.note;
  // Substitution values and pattern errors sit at one position: a blank
  // mark keeps the column without claiming a match there.
  if (diag.startLine == diag.endLine && diag.startColumn == diag.endColumn)
    marker.markChar = ' ';
  // Only the error's own message gets the prefix; the fallback note
  // already carries it.
  if (diag.matchKind == MatchKind::ErrorAfterMatch)
    marker.note = "error: " + diag.note;
  return marker;
}

void appendContinuationLines(const MatchDiag &diag, const DumpAnnotation &first,
                             DumpAnnotationList &annotations) {
  for (uint32_t line = diag.startLine + 1; line <= diag.endLine && line != 0; ++line) {
    bool lastLine = line == diag.endLine;
    // A range ending at the very start of its last line has nothing there.
    if (lastLine && diag.endColumn == 1)
      break;
    DumpAnnotation next;
    next.recordIndex = first.recordIndex;
    next.label = first.label;
    next.firstLine = false;
    next.line = line;
    next.startColumn = 1;
    next.endColumn = lastLine ? diag.endColumn : ToLineEnd;
    next.marker = {'~', first.marker.color, "", first.marker.countsAsError};
    next.goodMatch = first.goodMatch;
    annotations.push_back(std::move(next));
  }
}

// The records [first, end) of `diags` that one record stands for `copies`
// times in a row with; a record outside repeated blocks is a block of one.
struct RecordBlock {
  size_t first;
  size_t end;
  uint32_t copies;
};

// Calls `visit(index, block)` for each record of `diags`, in order.
template <typename Visit> void visitBlocks(const MatchDiagList &diags, Visit visit) {
  RecordBlock block{0, 0, 1};
  for (size_t index = 0; index < diags.size(); ++index) {
    if (index >= block.end) {
      const MatchDiag &first = diags[index];
      size_t records = std::max<uint32_t>(first.repeatedRecords, 1);
      block = {index, std::min(index + records, diags.size()),
               std::max<uint32_t>(first.repeats, 1)};
    }
    visit(index, block);
  }
}

unsigned decimalDigits(uint64_t value) {
  unsigned digits = 0;
  for (; value != 0; value /= 10)
    ++digits;
  return digits;
}

// Records of one pattern share its check location; the suffix 'N tells
// them apart, but only when there is more than one. They are numbered in
// list order, each copy of a repeated block on from the copy before.
class LabelNumbers {
public:
  explicit LabelNumbers(const MatchDiagList &diags) : diags(diags) {
    visitBlocks(diags, [&](size_t index, const RecordBlock &block) {
      recordsPerLocation[diags[index].checkLocation.pointer()] += block.copies;
    });
  }

  // Appends the suffix of record `index` of `block` to `annotation`'s label
  // when it needs one; returns the length of the label's longest copy.
  size_t number(size_t index, const RecordBlock &block, DumpAnnotation &annotation) {
    const char *location = diags[index].checkLocation.pointer();
    if (recordsPerLocation[location] <= 1)
      return annotation.label.size();
    uint64_t number = labelledPerLocation[location]++;
    for (size_t other = block.first; block.copies > 1 && other < block.end; ++other)
      annotation.labelStep += diags[other].checkLocation.pointer() == location;
    annotation.label += '\'';
    annotation.label += std::to_string(number);
    annotation.labelNumber = number;
    uint64_t lastNumber = number + uint64_t{block.copies - 1} * annotation.labelStep;
    return annotation.label.size() - std::to_string(number).size() +
           std::to_string(lastNumber).size();
  }

  // Passes the numbers of the copies of `block` after the first.
  void skipCopies(const RecordBlock &block) {
    for (size_t index = block.first; index < block.end; ++index)
      labelledPerLocation[diags[index].checkLocation.pointer()] += block.copies - 1;
  }

private:
  const MatchDiagList &diags;
  std::unordered_map<const char *, uint64_t> recordsPerLocation;
  std::unordered_map<const char *, uint64_t> labelledPerLocation;
};

} // namespace

void buildAnnotations(const SourceManager &sourceManager, unsigned checkBufferNumber,
                      ImplicitBufferRange implicitBuffers, const MatchDiagList &diags,
                      DumpAnnotationList &annotations, uint32_t &labelWidth) {
  LabelNumbers numbers(diags);
  labelWidth = 0;
  size_t blockAnnotations = 0;
  visitBlocks(diags, [&](size_t index, const RecordBlock &block) {
    const MatchDiag &diag = diags[index];
    if (index == block.first)
      blockAnnotations = annotations.size();
    DumpAnnotation annotation;
    annotation.recordIndex = static_cast<uint32_t>(index);
    annotation.label = baseLabel(sourceManager, checkBufferNumber, implicitBuffers, diag);
    size_t width = numbers.number(index, block, annotation);
    labelWidth = std::max(labelWidth, static_cast<uint32_t>(width));

    annotation.marker = markerOf(diag);
    annotation.goodMatch = diag.matchKind == MatchKind::ExpectedFound;
    annotation.firstLine = true;
    annotation.line = diag.startLine;
    annotation.startColumn = diag.startColumn;

    if (diag.startLine == diag.endLine) {
      // An empty range still marks one column.
      uint32_t oneColumn = diag.startColumn == ToLineEnd ? ToLineEnd : diag.startColumn + 1;
      annotation.endColumn = std::max(oneColumn, diag.endColumn);
      annotations.push_back(std::move(annotation));
    } else {
      assert(block.copies == 1 && "the records of a repeated block lie on one line");
      annotation.endColumn = ToLineEnd;
      annotations.push_back(annotation);
      appendContinuationLines(diag, annotation, annotations);
    }
    if (block.copies > 1 && index + 1 == block.end) {
      annotations[blockAnnotations].copies = block.copies;
      annotations[blockAnnotations].blockSize =
          static_cast<uint32_t>(annotations.size() - blockAnnotations);
      numbers.skipCopies(block);
    }
  });
}

namespace {

// Shown output is gathered and written in blocks of about this size, because
// standard error is unbuffered and a write per piece costs a system call.
constexpr size_t PendingLimit = 64 * 1024;

uint64_t countLines(std::string_view text) {
  uint64_t lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  if (!text.empty() && text.back() != '\n')
    ++lines;
  return lines;
}

void writeRepeated(OutputStream &os, char byte, uint64_t count) {
  char chunk[256];
  std::memset(chunk, byte, sizeof chunk);
  for (; count > sizeof chunk; count -= sizeof chunk)
    os.write(chunk, sizeof chunk);
  os.write(chunk, static_cast<size_t>(count));
}

// The next line at or after `line` that the filter selects, judged from the
// annotations not yet printed; NoLineLeft when there is none.
uint32_t nextLineInFilter(DumpFilter filter, uint32_t line,
                          std::span<const DumpAnnotation> remaining) {
  if (filter == DumpFilter::All)
    return line;
  for (const DumpAnnotation &annotation : remaining) {
    if (filter == DumpFilter::AnnotationFull)
      return annotation.line;
    if (!annotation.firstLine)
      continue;
    if (filter == DumpFilter::Annotation || annotation.marker.countsAsError)
      return annotation.line;
  }
  return NoLineLeft;
}

bool insideGoodMatch(std::span<const DumpAnnotation *const> goodMatches, uint64_t column) {
  for (const DumpAnnotation *match : goodMatches)
    if (match->startColumn <= column && column < match->endColumn)
      return true;
  return false;
}

void writeShown(OutputStream &os, std::string_view text, bool escapeControls) {
  if (escapeControls)
    writeEscaped(os, text);
  else
    os << text;
}

// Writes one input line (`line`, its line feed included if it has one; the
// line feed is shown as a space). Under -v with colours, the text no good
// match covers is bold on cyan; the rest is written in runs between those
// colour changes.
void printInputLine(OutputStream &os, std::string_view line, bool verbose,
                    std::span<const DumpAnnotation *const> goodMatches, ColorPolicy colors,
                    bool escapeControls) {
  ColorScope scope(os, TerminalColor::KeepColor, false, false, colors);
  if (verbose)
    scope.setColor(TerminalColor::Cyan, true, true);
  bool endsWithLineFeed = !line.empty() && line.back() == '\n';
  std::string_view text = endsWithLineFeed ? line.substr(0, line.size() - 1) : line;
  size_t runStart = 0;
  bool wasInside = false;
  for (size_t column = 1; !goodMatches.empty() && column <= line.size(); ++column) {
    bool inside = insideGoodMatch(goodMatches, column);
    if (inside == wasInside)
      continue;
    size_t runEnd = std::min(column - 1, text.size());
    writeShown(os, text.substr(runStart, runEnd - runStart), escapeControls);
    runStart = runEnd;
    if (inside)
      scope.restoreColor();
    else
      scope.setColor(TerminalColor::Cyan, true, true);
    wasInside = inside;
  }
  writeShown(os, text.substr(runStart), escapeControls);
  if (endsWithLineFeed)
    os << ' ';
}

// The screen columns an input line's bytes take, walked left to right as a
// marker line is drawn under it. A line shown as it stands takes one column
// per byte. On a terminal a line with escaped bytes or tabs is measured: an
// escaped byte takes two columns, and a tab, which the terminal expands
// itself, reaches the next tab stop counted from the screen's left edge,
// where the number column begins. Bytes past the text take one column each,
// as the marks after the line feed do.
class ScreenColumns {
public:
  ScreenColumns(std::string_view text, uint64_t textScreenColumn, bool measured)
      : text(text), screenColumn(textScreenColumn), measured(measured) {}

  // The columns the bytes from where the last call stopped up to 1-based
  // byte column `to` (not included) take; 0 when `to` is not past it.
  uint64_t advanceTo(uint64_t to) {
    if (to <= next)
      return 0;
    uint64_t columns = 0;
    if (measured) {
      for (uint64_t inText = std::min<uint64_t>(to, text.size() + 1); next < inText; ++next) {
        unsigned width = displayWidth(text[next - 1], screenColumn, true);
        screenColumn += width;
        columns += width;
      }
    }
    columns += to - next;
    screenColumn += to - next;
    next = to;
    return columns;
  }

private:
  std::string_view text;
  uint64_t screenColumn;
  bool measured;
  uint64_t next = 1;
};

// The label of `annotation` in copy `copy` (from 0) of its repeated block.
std::string labelOfCopy(const DumpAnnotation &annotation, uint32_t copy) {
  if (copy == 0 || annotation.labelStep == 0)
    return annotation.label;
  std::string number = std::to_string(annotation.labelNumber);
  return annotation.label.substr(0, annotation.label.size() - number.size()) +
         std::to_string(annotation.labelNumber + uint64_t{copy} * annotation.labelStep);
}

void printAnnotationLine(OutputStream &os, const DumpAnnotation &annotation, uint32_t copy,
                         ScreenColumns columns, uint64_t lineWidth, unsigned width,
                         ColorPolicy colors) {
  const AnnotationMarker &marker = annotation.marker;
  ColorScope scope(os, marker.color, true, false, colors);
  os << leftJustify(labelOfCopy(annotation, copy), width) << "  ";
  // 64-bit columns: a column at the 32-bit limit cannot wrap the counts.
  uint64_t start = std::max<uint64_t>(annotation.startColumn, 1);
  writeRepeated(os, ' ', columns.advanceTo(start));
  // A mark under a byte shown wider than one column covers all of it.
  os << marker.markChar;
  if (uint64_t markWidth = columns.advanceTo(start + 1); markWidth > 1)
    writeRepeated(os, marker.markChar, markWidth - 1);
  // Marks stop at the line's end, its line feed's column included.
  uint64_t markEnd = std::min<uint64_t>(annotation.endColumn, lineWidth + 1);
  uint64_t column = start + 1;
  if (markEnd > column) {
    writeRepeated(os, '~', columns.advanceTo(markEnd));
    column = markEnd;
  }
  if (!marker.note.empty()) {
    if (lineWidth + 1 > column)
      writeRepeated(os, ' ', columns.advanceTo(lineWidth + 1));
    os << ' ' << marker.note;
  }
  os << '\n';
}

// Collects shown output for the real stream and hands it over in blocks of
// PendingLimit bytes; a write of that size or more goes straight through, so
// a huge input line or mark run is never copied whole.
class PendingStream final : public OutputStream {
public:
  PendingStream(std::string &pending, OutputStream &target)
      : OutputStream(StreamKind::Other, true), pending(pending), target(target) {}

  void writeOut() {
    target << pending;
    pending.clear();
  }

protected:
  void deliver(const char *bytes, size_t count) override {
    delivered += count;
    if (pending.size() + count > PendingLimit)
      writeOut();
    if (count >= PendingLimit)
      target.write(bytes, count);
    else
      pending.append(bytes, count);
  }
  uint64_t deliveredCount() const override { return delivered; }

private:
  std::string &pending;
  OutputStream &target;
  uint64_t delivered = 0;
};

// Counts the line feeds a rendering would print, without keeping it.
class LineFeedCounter final : public OutputStream {
public:
  LineFeedCounter() : OutputStream(StreamKind::Other, true) {}
  size_t lineFeeds = 0;

protected:
  void deliver(const char *bytes, size_t count) override {
    delivered += count;
    lineFeeds += static_cast<size_t>(std::count(bytes, bytes + count, '\n'));
  }
  uint64_t deliveredCount() const override { return delivered; }

private:
  uint64_t delivered = 0;
};

// One input line set aside with its annotations; drawn again from the input
// when the run turns out to be shown.
struct HeldLine {
  uint32_t line;
  std::string_view text;
  std::span<const DumpAnnotation> annotations;
};

// Hidden lines wait here until the next shown line. A run of four lines or
// more is shown as three dot lines, so once it has four line feeds the
// lines themselves are no longer needed and are dropped.
class ElidedLines {
public:
  bool becomesDots() const { return dots; }

  void add(const HeldLine &held, size_t renderedLineFeeds) {
    if (dots)
      return;
    lines.push_back(held);
    lineFeeds += renderedLineFeeds;
    if (lineFeeds >= 4) {
      dots = true;
      lines.clear();
    }
  }

  // Hands over the run: its lines (none for dots), then starts a new run.
  bool take(std::vector<HeldLine> &out) {
    bool wasDots = dots;
    out.swap(lines);
    lines.clear();
    lineFeeds = 0;
    dots = false;
    return wasDots;
  }

private:
  std::vector<HeldLine> lines;
  size_t lineFeeds = 0;
  bool dots = false;
};

class DumpPrinter {
public:
  DumpPrinter(OutputStream &stream, bool verbose, unsigned width, ColorPolicy colors,
              bool escapeControls)
      : stream(stream), verbose(verbose), width(width), colors(colors),
        escapeControls(escapeControls), lineStream(pending, stream) {}

  void printLine(uint32_t line, std::string_view text, bool hidden,
                 std::span<const DumpAnnotation> annotations);
  void finish() {
    flushElidedLines();
    writePending();
  }

private:
  void render(OutputStream &os, const HeldLine &held);
  void renderInputLine(OutputStream &os, const HeldLine &held);
  size_t lineFeedsOf(const HeldLine &held);
  void flushElidedLines();
  void writePending() { lineStream.writeOut(); }

  OutputStream &stream;
  bool verbose;
  unsigned width;
  ColorPolicy colors;
  // Decided by the real stream: set-aside lines are rendered into others.
  bool escapeControls;
  std::string pending;
  PendingStream lineStream;
  ElidedLines elided;
  std::vector<HeldLine> released;
  std::vector<const DumpAnnotation *> goodMatches;
};

// Prints one input line and its annotations, or sets them aside when the
// filter hides them.
void DumpPrinter::printLine(uint32_t line, std::string_view text, bool hidden,
                            std::span<const DumpAnnotation> annotations) {
  if (hidden && elided.becomesDots())
    return;
  HeldLine held{line, text, annotations};
  if (hidden) {
    elided.add(held, lineFeedsOf(held));
    return;
  }
  flushElidedLines();
  // Shown lines obey the real stream's own colour gate; set-aside ones
  // carry colours whenever the dump has them.
  lineStream.allowColors(colors == ColorPolicy::Force && stream.colorsAllowed());
  render(lineStream, held);
}

// Calls `draw(block, copies)` for each block of `annotations`: a repeated
// block with its copies, every other annotation as a block of one.
template <typename Draw> void forEachBlock(std::span<const DumpAnnotation> annotations, Draw draw) {
  while (!annotations.empty()) {
    size_t size = std::clamp<size_t>(annotations[0].blockSize, 1, annotations.size());
    draw(annotations.first(size), annotations[0].copies);
    annotations = annotations.subspan(size);
  }
}

void DumpPrinter::render(OutputStream &os, const HeldLine &held) {
  renderInputLine(os, held);
  // The text starts after the number column and ": ", as the marks do after
  // the label column and two spaces.
  bool measured = escapeControls && !held.annotations.empty() &&
                  findWideByte(held.text, true) != std::string_view::npos;
  ScreenColumns columns(held.text, width + 2, measured);
  forEachBlock(held.annotations, [&](std::span<const DumpAnnotation> block, uint32_t copies) {
    for (uint32_t copy = 0; copy < copies; ++copy)
      for (const DumpAnnotation &annotation : block)
        printAnnotationLine(os, annotation, copy, columns, held.text.size(), width, colors);
  });
}

void DumpPrinter::renderInputLine(OutputStream &os, const HeldLine &held) {
  {
    ColorScope number(os, TerminalColor::Black, true, false, colors);
    os << paddedDecimal(held.line, width) << ": ";
  }
  goodMatches.clear();
  if (verbose && colors == ColorPolicy::Force)
    for (const DumpAnnotation &annotation : held.annotations)
      if (annotation.goodMatch)
        goodMatches.push_back(&annotation);
  printInputLine(os, held.text, verbose, goodMatches, colors, escapeControls);
  os << '\n';
}

// The line feeds render would write, counting each repeated block once and
// multiplying: its copies differ only in the numbers of their labels.
size_t DumpPrinter::lineFeedsOf(const HeldLine &held) {
  LineFeedCounter counter;
  renderInputLine(counter, held);
  size_t lineFeeds = counter.lineFeeds;
  forEachBlock(held.annotations, [&](std::span<const DumpAnnotation> block, uint32_t copies) {
    LineFeedCounter once;
    for (const DumpAnnotation &annotation : block)
      printAnnotationLine(once, annotation, 0, ScreenColumns(held.text, width + 2, false),
                          held.text.size(), width, colors);
    lineFeeds += once.lineFeeds * copies;
  });
  return lineFeeds;
}

// Writes the set-aside run as it is when it takes at most three lines, else
// as three dot lines.
void DumpPrinter::flushElidedLines() {
  bool dots = elided.take(released);
  if (!released.empty()) {
    lineStream.allowColors(colors == ColorPolicy::Force);
    for (const HeldLine &held : released)
      render(lineStream, held);
    released.clear();
  }
  if (!dots)
    return;
  writePending();
  for (int i = 0; i < 3; ++i) {
    {
      ColorScope dots(stream, TerminalColor::Black, true);
      dots << rightJustify(".", width);
    }
    stream << '\n';
  }
}

} // namespace

void printAnnotatedInput(OutputStream &stream, const CheckRequest &request, DumpFilter filter,
                         uint32_t contextLines, std::string_view inputText,
                         DumpAnnotationList &annotations, uint32_t labelWidth) {
  stream << text::frameStart;
  std::stable_sort(annotations.begin(), annotations.end(),
                   [](const DumpAnnotation &a, const DumpAnnotation &b) {
                     if (a.line != b.line)
                       return a.line < b.line;
                     return a.recordIndex < b.recordIndex;
                   });

  unsigned width = std::max<unsigned>(labelWidth, decimalDigits(countLines(inputText))) + 3;
  ColorPolicy colors = ColorPolicy::Suppress;
  {
    ColorScope probe(stream);
    if (probe.willColor())
      colors = ColorPolicy::Force;
  }
  // Input bytes must not drive the user's terminal; files and pipes get them
  // as they are.
  DumpPrinter printer(stream, request.verbose, width, colors, stream.isTerminal());

  // 64-bit, so that adding a context of up to 2^32 - 1 lines cannot wrap.
  uint64_t previousInFilter = 0;
  uint64_t nextInFilter = 0;
  size_t cursor = 0;
  size_t position = 0;
  for (uint32_t line = 1; position < inputText.size() || cursor < annotations.size(); ++line) {
    if (nextInFilter < line)
      nextInFilter = nextLineInFilter(filter, line, std::span(annotations).subspan(cursor));
    if (nextInFilter == line)
      previousInFilter = line;
    bool hidden = (previousInFilter == 0 || previousInFilter + contextLines < line) &&
                  (nextInFilter == NoLineLeft || line + uint64_t{contextLines} < nextInFilter);

    size_t lineEnd = inputText.find('\n', position);
    lineEnd = lineEnd == std::string_view::npos ? inputText.size() : lineEnd + 1;
    // `<=` rather than `==`: an annotation on a line already passed (only
    // line 0 could be) is drawn here instead of stalling the cursor.
    size_t annotationEnd = cursor;
    while (annotationEnd < annotations.size() && annotations[annotationEnd].line <= line)
      ++annotationEnd;
    printer.printLine(line, inputText.substr(position, lineEnd - position), hidden,
                      std::span(annotations).subspan(cursor, annotationEnd - cursor));
    position = lineEnd;
    cursor = annotationEnd;
  }
  printer.finish();
  stream << text::frameEnd;
}

void printDumpExplanation(OutputStream &stream) {
  stream << text::explanationIntro;
  for (const ExplanationItem &item : explanationItems) {
    if (item.label) {
      stream << "  - ";
      ColorScope(stream, TerminalColor::KeepColor, true) << item.label;
    }
    stream << item.rest << '\n';
  }
  stream << "  - colors ";
  bool first = true;
  for (const ColorWord &word : colorWords) {
    if (!first)
      stream << ", ";
    first = false;
    ColorScope(stream, word.color, true, word.background) << word.word;
  }
  stream << '\n';
}

} // namespace vetline
