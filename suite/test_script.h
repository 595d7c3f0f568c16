// A test file's own instructions, kept in its comments: the RUN: lines that
// make and check its output, the features it NEEDS:, and EXPECT-FAIL:. They
// are found by the check-file reader's rules for comment prefixes (see
// findCommentDirectives), so a line is a RUN: line for the runner exactly
// when it would be a RUN: comment for the tool. Then the placeholders of a
// command: {file}, {dir}, {tmp}, {vetline} and the suite's substitutions.
#pragma once

#include "support/error.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetline::suite {

struct ScriptCommand {
  // The command with its continuation lines joined, placeholders unexpanded.
  std::string text;
  // Of its first RUN: line.
  size_t line = 0;
};

struct TestScript {
  std::vector<ScriptCommand> commands;
  // Every feature named on the NEEDS: lines, in file order.
  std::vector<std::string> needs;
  // The reason given; set when the test is expected to fail.
  std::optional<std::string> expectFail;
};

// Reads the instructions of a test file. A RUN: line whose command ends in a
// backslash goes on with the next RUN: line. A file without any RUN: line,
// a continuation with no RUN: line after it, and a NUL byte in a command
// are errors whose message names the line ("line 3: ...").
Fallible<TestScript> parseTestScript(std::string_view fileText);

// The text that replaces one placeholder; null for an unknown name.
using PlaceholderLookup = std::function<const std::string *(std::string_view name)>;

// Replaces every "{name}" of `command` by its text. "{{" stands for a single
// '{'; a brace after '$' (bash's "${x}") and one not closing a placeholder
// name ("{a,b}", "{ x; }") stay as they are. An unknown name is an error.
Fallible<std::string> expandPlaceholders(std::string_view command, const PlaceholderLookup &lookup);

// `text` as one bash word: unchanged when it holds only characters that
// need no quoting, else in single quotes.
std::string shellQuote(std::string_view text);

} // namespace vetline::suite
