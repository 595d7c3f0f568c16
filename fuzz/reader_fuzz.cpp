// Reads arbitrary bytes as a check file: prefix search, directive syntax,
// pattern parsing, command-line definitions and implicit-check-not patterns,
// without checking any input. Besides crashes, checks that a file read
// without error yields directives whose locations lie inside the check text
// or a buffer the reader made.
// Input layout: byte 0 selects settings (bit 0 strict whitespace, bit 1
// full-line matching, bit 2 ignore case, bit 3 a second check prefix "CHK"
// with unused prefixes allowed, bit 4 the first line is an implicit-check-not
// pattern, bit 5 the next line is a "-D" definition); the rest is the check
// text. Set VETLINE_FUZZ_VERBOSE to see the diagnostics.
#include "engine/check_engine.h"
#include "engine/pattern.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include "fuzz/quiet_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace vetline;

std::string_view takeLine(std::string_view &text) {
  size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

bool isInside(const SourceManager &sources, SourceLocation location) {
  return sources.bufferHolding(location) != 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  setExitOnUnbalancedBracket(false);
  if (size < 1)
    return 0;
  unsigned settings = data[0];
  std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);

  CheckRequest request;
  request.strictWhitespace = (settings & 1) != 0;
  request.matchFullLines = (settings & 2) != 0;
  request.ignoreCase = (settings & 4) != 0;
  if (settings & 8) {
    request.checkPrefixes = {"CHECK", "CHK"};
    request.allowUnusedPrefixes = true;
  }
  if (settings & 16)
    request.implicitCheckNot.push_back(takeLine(text));
  if (settings & 32)
    request.globalDefines.push_back(takeLine(text));

  QuietOutput quiet;
  SourceManager sources;
  CheckEngine engine(request);
  Regex prefixRegex = engine.buildPrefixRegex();
  if (!prefixRegex.isValid())
    std::abort();
  unsigned number = sources.addBuffer(makeTextBufferCopy(text, "check.txt"));
  if (engine.loadDirectives(sources, sources.buffer(number).text(), prefixRegex, nullptr))
    return 0;
  for (const CheckDirective &directive : engine.directives()) {
    if (!isInside(sources, directive.location))
      std::abort();
    for (const CheckPattern &pattern : directive.notDagPatterns)
      if (!isInside(sources, pattern.location))
        std::abort();
  }
  for (const CheckPattern &pattern : engine.implicitNotPatterns())
    if (!isInside(sources, pattern.location))
      std::abort();
  return 0;
}
