// The linter: reads check files with the engine's own reader, so that it
// never disagrees with the tool about what a directive is, and reports the
// places that look like checks but check nothing (see docs/lint.md).
//
// Exit status of a run: 0 nothing found, 1 a warning was printed, 2 a file
// could not be read (or the reader reported an error in it) or an option
// was bad. Every file named is looked at, whatever happened to the others.
#pragma once

#include "engine/check_request.h"
#include "lint/warning.h"
#include "support/small_vector.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <cstddef>

namespace vetline {
class OutputStream;
}

namespace vetline::lint {

struct LintResult {
  // False when the reader reported an error (on standard error); the
  // findings the text still allows are made all the same.
  bool isReadable = true;
  FindingList findings;
};

// Canonicalises `file` into `storage` as the tool does, registers the
// result with `sourceManager` under the file's name and lints it. `request`
// is as the options give it (its prefixes valid, no defaults installed).
// The findings point into `storage`.
LintResult lintCheckFile(const TextBuffer &file, const CheckRequest &request,
                         SourceManager &sourceManager, SmallVectorImpl<char> &storage);

// Findings about the implicit-check-not and "-D" values themselves; their
// texts are registered with `sourceManager` as buffers named
// "command line".
FindingList lintOptionValues(const CheckRequest &request, SourceManager &sourceManager);

// Puts the findings in order of position: by buffer in the order the
// buffers were added, then by place in the buffer.
void sortFindings(FindingList &findings, const SourceManager &sourceManager);

// Prints the findings of the enabled kinds as warnings, in order of
// position, each message followed by its short name in brackets. After a
// few on one line the rest of that line's are left out, with a note
// saying so, so that a huge line is not printed once per finding. Returns
// the number of warnings printed.
size_t printFindings(FindingList &findings, const WarningSet &enabled,
                     const SourceManager &sourceManager, OutputStream &os);

// The program: parses the arguments and lints every file named; returns
// the exit status.
int runLinter(int argc, char **argv);

} // namespace vetline::lint
