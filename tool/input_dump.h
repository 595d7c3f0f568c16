// The annotated input dump: turning the engine's match records into
// per-line annotations, printing the numbered input with them, and the
// explanation printed for -dump-input=help.
//
// NOT BUILT YET: the three operations are placeholders that print nothing and
// produce no annotations. The driver already calls them where the dump
// belongs, after printing the dump's header lines itself.
#pragma once

#include "engine/check_engine.h"
#include "support/output_stream.h"
#include "tool/driver.h"

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
  uint32_t recordIndex = 0;
  std::string label;
  bool firstLine = true;
  uint32_t line = 0;
  uint32_t startColumn = 0;
  // One past the last marked column; UINT32_MAX means to the end of the line.
  uint32_t endColumn = 0;
  AnnotationMarker marker;
  bool goodMatch = false;
};

using DumpAnnotationList = std::vector<DumpAnnotation>;

// Appends the annotations of `diags` to `annotations` and sets `labelWidth`
// to the length of the longest label. `checkBufferNumber` is the canonical
// check text's buffer.
void buildAnnotations(const SourceManager &sourceManager, unsigned checkBufferNumber,
                      ImplicitBufferRange implicitBuffers, const MatchDiagList &diags,
                      DumpAnnotationList &annotations, uint32_t &labelWidth);

// Prints the canonical input, numbered and annotated, to `stream`. Sorts
// `annotations` in place. Of `request` only `verbose` is read.
void printAnnotatedInput(OutputStream &stream, const CheckRequest &request, DumpFilter filter,
                         uint32_t contextLines, std::string_view inputText,
                         DumpAnnotationList &annotations, uint32_t labelWidth);

// The fixed explanation of the dump, for -dump-input=help.
void printDumpExplanation(OutputStream &stream);

} // namespace vetline
