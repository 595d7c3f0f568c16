// The annotated input dump: turning the engine's match records into
// per-line annotations (buildAnnotations), printing the numbered input with
// them under the dump filter (printAnnotatedInput), and the explanation
// printed for -dump-input=help (printDumpExplanation).
//
// Surprising: annotations on one input line are drawn in the order the
// engine made their records, not by column. Hidden runs of lines are
// buffered, escape sequences included, and replaced by three dot lines only
// when that is shorter than the run itself.
#pragma once

#include "engine/check_request.h"
#include "engine/match_diag.h"
#include "support/output_stream.h"
#include "tool/dump_settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

class SourceManager;

// How one annotation is drawn.
struct AnnotationMarker {
  char markChar = ' ';
  TerminalColor color = TerminalColor::Black;
  std::string note;
  // The annotation's line is selected by the "error" dump filter.
  bool countsAsError = false;
};

// One annotation under one input line; a record spanning several lines
// yields one annotation per line.
struct DumpAnnotation {
  // Index of the MatchDiag it comes from, in list order from 0.
  uint32_t recordIndex = 0;
  std::string label;
  // False on the continuation lines of a record spanning several lines.
  bool firstLine = true;
  uint32_t line = 0;
  uint32_t startColumn = 0;
  // One past the last marked column; UINT32_MAX means to the end of the line.
  uint32_t endColumn = 0;
  AnnotationMarker marker;
  // The record's kind is ExpectedFound.
  bool goodMatch = false;
  // Repeated records (MatchDiag::repeats) make one block of annotations
  // drawn `copies` times in a row; its first annotation holds both counts.
  uint32_t copies = 1;
  uint32_t blockSize = 1;
  // In a repeated block, the label ends in `labelNumber` (after its '\''),
  // which grows by `labelStep` from one copy to the next.
  uint64_t labelNumber = 0;
  uint32_t labelStep = 0;
};

using DumpAnnotationList = std::vector<DumpAnnotation>;

// Appends the annotations of `diags` to `annotations` and sets `labelWidth`
// to the length of the longest label, repeated blocks counted with every
// copy. `checkBufferNumber` is the canonical
// check text's buffer; a check location in any other buffer is labelled as
// an implicit-check-not pattern, numbered from `implicitBuffers.first`.
// Prints nothing.
void buildAnnotations(const SourceManager &sourceManager, unsigned checkBufferNumber,
                      ImplicitBufferRange implicitBuffers, const MatchDiagList &diags,
                      DumpAnnotationList &annotations, uint32_t &labelWidth);

// Prints the canonical input, numbered and annotated, to `stream`, framed by
// "Input was:\n<<<<<<\n" and ">>>>>>\n". Sorts `annotations` in place by
// line, then record. Of `request` only `verbose` is read. Colours are used
// when a ColorScope on `stream` would colour. When `stream` is a terminal,
// the input's control bytes are shown in caret notation (terminal_text.h),
// and marks widen under them and under tabs; any other stream gets the
// input's bytes as they are.
void printAnnotatedInput(OutputStream &stream, const CheckRequest &request, DumpFilter filter,
                         uint32_t contextLines, std::string_view inputText,
                         DumpAnnotationList &annotations, uint32_t labelWidth);

// The fixed explanation of the dump, for -dump-input=help. Labels and colour
// names are styled only when a ColorScope on `stream` would colour.
void printDumpExplanation(OutputStream &stream);

} // namespace vetline
