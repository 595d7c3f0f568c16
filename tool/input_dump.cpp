// The annotated input dump. Building is one pass over the match records;
// printing is one pass over the input lines with a cursor into the sorted
// annotations, so the dump costs O(input + annotations log annotations) plus
// the marked columns. Tested by tests/unit/tool/input_dump_test.cpp and the
// end-to-end cases under tests/e2e/cases/dump/.
#include "tool/input_dump.h"

#include "support/error.h"
#include "support/source_manager.h"

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_map>

namespace vetline {
namespace {

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

const char *kindAbbreviation(const DirectiveType &type) {
  switch (type.kind) {
  case DirectiveKind::Plain:
    return type.count > 1 ? "count" : "check";
  case DirectiveKind::Next:
    return "next";
  case DirectiveKind::Same:
    return "same";
  case DirectiveKind::Not:
    return "not";
  case DirectiveKind::Dag:
    return "dag";
  case DirectiveKind::Label:
    return "label";
  case DirectiveKind::Empty:
    return "empty";
  case DirectiveKind::Comment:
    return "com";
  case DirectiveKind::EndOfFile:
    return "eof";
  case DirectiveKind::BadNot:
    return "bad-not";
  case DirectiveKind::BadCount:
    return "bad-count";
  case DirectiveKind::None:
    break;
  }
  VETLINE_UNREACHABLE("unknown directive kind in a match record");
}

// The label without its per-location suffix: "next:12" or "not:imp2".
std::string baseLabel(const SourceManager &sourceManager, unsigned checkBufferNumber,
                      ImplicitBufferRange implicitBuffers, const MatchDiag &diag) {
  std::string label = kindAbbreviation(diag.directiveType);
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

} // namespace

void buildAnnotations(const SourceManager &sourceManager, unsigned checkBufferNumber,
                      ImplicitBufferRange implicitBuffers, const MatchDiagList &diags,
                      DumpAnnotationList &annotations, uint32_t &labelWidth) {
  // Records of one pattern share its check location; the suffix 'N tells
  // them apart, but only when there is more than one.
  std::unordered_map<const char *, uint32_t> recordsPerLocation;
  for (const MatchDiag &diag : diags)
    ++recordsPerLocation[diag.checkLocation.pointer()];
  std::unordered_map<const char *, uint32_t> labelledPerLocation;

  labelWidth = 0;
  for (size_t index = 0; index < diags.size(); ++index) {
    const MatchDiag &diag = diags[index];
    DumpAnnotation annotation;
    annotation.recordIndex = static_cast<uint32_t>(index);
    annotation.label = baseLabel(sourceManager, checkBufferNumber, implicitBuffers, diag);
    const char *location = diag.checkLocation.pointer();
    if (recordsPerLocation[location] > 1) {
      annotation.label += '\'';
      annotation.label += std::to_string(labelledPerLocation[location]++);
    }
    labelWidth = std::max(labelWidth, static_cast<uint32_t>(annotation.label.size()));

    annotation.marker = markerFor(diag.matchKind);
    if (!diag.note.empty()) {
      annotation.marker.note = diag.note;
      if (diag.startLine == diag.endLine && diag.startColumn == diag.endColumn)
        annotation.marker.markChar = ' ';
      // Only the error's own message gets the prefix; the fallback note
      // already carries it.
      if (diag.matchKind == MatchKind::ErrorAfterMatch)
        annotation.marker.note = "error: " + diag.note;
    }
    annotation.goodMatch = diag.matchKind == MatchKind::ExpectedFound;
    annotation.firstLine = true;
    annotation.line = diag.startLine;
    annotation.startColumn = diag.startColumn;

    if (diag.startLine == diag.endLine) {
      // An empty range still marks one column.
      uint32_t oneColumn =
          diag.startColumn == ToLineEnd ? ToLineEnd : diag.startColumn + 1;
      annotation.endColumn = std::max(oneColumn, diag.endColumn);
      annotations.push_back(std::move(annotation));
      continue;
    }
    annotation.endColumn = ToLineEnd;
    annotations.push_back(annotation);
    appendContinuationLines(diag, annotation, annotations);
  }
}

namespace {

struct DumpLayout {
  // Width of the line-number and label column, spacing included.
  unsigned width = 0;
  ColorPolicy colors = ColorPolicy::Suppress;
};

unsigned decimalDigits(uint64_t value) {
  unsigned digits = 0;
  for (; value != 0; value /= 10)
    ++digits;
  return digits;
}

uint64_t countLines(std::string_view text) {
  uint64_t lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  if (!text.empty() && text.back() != '\n')
    ++lines;
  return lines;
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

// Writes the hidden lines gathered in `elided`, as they are when they take
// at most three lines, else as three dot lines; then empties `elided`.
void flushElidedLines(OutputStream &stream, std::string &elided, unsigned width) {
  if (elided.empty())
    return;
  if (std::count(elided.begin(), elided.end(), '\n') < 4) {
    stream << elided;
  } else {
    for (int i = 0; i < 3; ++i) {
      {
        ColorScope dots(stream, TerminalColor::Black, true);
        dots << rightJustify(".", width);
      }
      stream << '\n';
    }
  }
  elided.clear();
}

bool insideGoodMatch(std::span<const DumpAnnotation *const> goodMatches, uint64_t column) {
  for (const DumpAnnotation *match : goodMatches)
    if (match->startColumn <= column && column < match->endColumn)
      return true;
  return false;
}

// Writes one input line from `text` (without its line feed, which is shown
// as a space) and returns the number of bytes it used, line feed included.
size_t printInputLine(OutputStream &os, std::string_view text, bool verbose,
                      std::span<const DumpAnnotation *const> goodMatches, ColorPolicy colors) {
  ColorScope scope(os, TerminalColor::KeepColor, false, false, colors);
  // Under -v the text no good match covered stands out.
  if (verbose)
    scope.setColor(TerminalColor::Cyan, true, true);
  bool wasInside = false;
  size_t used = 0;
  while (used < text.size()) {
    char byte = text[used++];
    bool inside = !goodMatches.empty() && insideGoodMatch(goodMatches, used);
    if (inside && !wasInside)
      scope.restoreColor();
    else if (!inside && wasInside)
      scope.setColor(TerminalColor::Cyan, true, true);
    wasInside = inside;
    if (byte == '\n') {
      os << ' ';
      break;
    }
    os << byte;
  }
  return used;
}

void printAnnotationLine(OutputStream &os, const DumpAnnotation &annotation, uint64_t lineWidth,
                         const DumpLayout &layout) {
  const AnnotationMarker &marker = annotation.marker;
  ColorScope scope(os, marker.color, true, false, layout.colors);
  os << leftJustify(annotation.label, layout.width) << "  ";
  // Columns are 64-bit here so that a column at the 32-bit limit cannot
  // wrap the loops below.
  uint64_t start = std::max<uint64_t>(annotation.startColumn, 1);
  for (uint64_t column = 1; column < start; ++column)
    os << ' ';
  os << marker.markChar;
  uint64_t column = start + 1;
  for (; column < annotation.endColumn && column <= lineWidth; ++column)
    os << '~';
  if (!marker.note.empty()) {
    for (; column <= lineWidth; ++column)
      os << ' ';
    os << ' ' << marker.note;
  }
  os << '\n';
}

} // namespace

void printAnnotatedInput(OutputStream &stream, const CheckRequest &request, DumpFilter filter,
                         uint32_t contextLines, std::string_view inputText,
                         DumpAnnotationList &annotations, uint32_t labelWidth) {
  stream << "Input was:\n<<<<<<\n";
  std::stable_sort(annotations.begin(), annotations.end(),
                   [](const DumpAnnotation &a, const DumpAnnotation &b) {
                     if (a.line != b.line)
                       return a.line < b.line;
                     return a.recordIndex < b.recordIndex;
                   });

  DumpLayout layout;
  layout.width = std::max<unsigned>(labelWidth, decimalDigits(countLines(inputText))) + 3;
  std::string elided;
  StringOutputStream elidedStream(elided);
  {
    ColorScope probe(stream);
    layout.colors = probe.willColor() ? ColorPolicy::Force : ColorPolicy::Suppress;
  }
  if (layout.colors == ColorPolicy::Force)
    elidedStream.allowColors(true);

  // 64-bit, so that adding a context of up to 2^32 - 1 lines cannot wrap.
  uint64_t previousInFilter = 0;
  uint64_t nextInFilter = 0;
  size_t cursor = 0;
  size_t position = 0;
  std::vector<const DumpAnnotation *> goodMatches;
  for (uint32_t line = 1; position < inputText.size() || cursor < annotations.size(); ++line) {
    if (nextInFilter < line)
      nextInFilter = nextLineInFilter(filter, line, std::span(annotations).subspan(cursor));
    if (nextInFilter == line)
      previousInFilter = line;
    bool hidden = (previousInFilter == 0 || previousInFilter + contextLines < line) &&
                  (nextInFilter == NoLineLeft || line + uint64_t{contextLines} < nextInFilter);
    if (!hidden)
      flushElidedLines(stream, elided, layout.width);
    OutputStream &os = hidden ? elidedStream : stream;

    {
      ColorScope number(os, TerminalColor::Black, true, false, layout.colors);
      os << paddedDecimal(line, layout.width) << ": ";
    }
    goodMatches.clear();
    if (request.verbose && layout.colors == ColorPolicy::Force)
      for (size_t i = cursor; i < annotations.size() && annotations[i].line <= line; ++i)
        if (annotations[i].goodMatch)
          goodMatches.push_back(&annotations[i]);
    size_t lineWidth = printInputLine(os, inputText.substr(position), request.verbose,
                                      goodMatches, layout.colors);
    position += lineWidth;
    os << '\n';

    // `<=` rather than `==`: an annotation on a line already passed (only
    // line 0 could be) is drawn here instead of stalling the cursor.
    for (; cursor < annotations.size() && annotations[cursor].line <= line; ++cursor)
      printAnnotationLine(os, annotations[cursor], lineWidth, layout);
  }
  flushElidedLines(stream, elided, layout.width);
  stream << ">>>>>>\n";
}

namespace {

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
    {"success", TerminalColor::Green, false},
    {"error", TerminalColor::Red, false},
    {"fuzzy match", TerminalColor::Magenta, false},
    {"discarded match", TerminalColor::Cyan, false},
    {"unmatched input", TerminalColor::Cyan, true},
};

} // namespace

void printDumpExplanation(OutputStream &stream) {
  stream << "The following description was requested by -dump-input=help to\n"
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
