// The support library's own options besides help and version: "color"
// (which sets the colour policy of the output streams), the crash-report
// options, and hidden statistics, timer, debug-counter, random-seed and
// type-size options that change nothing in what this tool checks. Only
// "debug-counter" prints anything: one "DebugCounter Error: " line per
// value, none of which is a parse error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vetline::cl {

// Makes the options (once); the parser calls it before it starts.
void ensureLibraryOptions();

// "disable-symbolication" and "crash-diagnostics-dir", for crash reporting;
// false and empty until a parse sets them.
bool symbolicationDisabled();
std::string_view crashDiagnosticsDirectory();

// Validates one "debug-counter" value: every value that is not empty gets a
// message on the registry's error stream (standard error by default), since
// this tool registers no counter.
void checkDebugCounterValue(std::string_view value);

// Signed 64-bit number with an optional '-' and the automatic base
// prefixes ("0x", "0b", "0o", a leading "0"); false when it is not one.
bool parseSignedAutoBase(std::string_view text, int64_t &value);

// Puts every registered option back to its default and clears its count,
// so that one process can run several parses (tests, in-process fuzzing).
void resetAllOptions();

} // namespace vetline::cl
