// NOT BUILT YET: placeholders for the annotated input dump. They print
// nothing and make no annotations, so a failing run shows the dump's header
// lines and nothing after them, and -dump-input=help prints nothing.
#include "tool/input_dump.h"

namespace vetline {

void buildAnnotations(const SourceManager &, unsigned, ImplicitBufferRange, const MatchDiagList &,
                      DumpAnnotationList &, uint32_t &labelWidth) {
  labelWidth = 0;
}

void printAnnotatedInput(OutputStream &, const CheckRequest &, DumpFilter, uint32_t,
                         std::string_view, DumpAnnotationList &, uint32_t) {}

void printDumpExplanation(OutputStream &) {}

} // namespace vetline
