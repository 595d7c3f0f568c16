// Whitespace canonicalisation of the check and input texts: a CR directly
// before a line feed is dropped (a lone CR stays), and, when blanks are
// folded, every run of spaces and tabs becomes one space. Tested by
// check_engine_test.cpp against a byte-at-a-time statement of the rules,
// through every way of scanning.
#pragma once

namespace vetline {

// How the text is scanned: the widest the processor offers, or the portable
// scan every processor has (for tests, which compare the two).
enum class CanonicalScan { Best, Portable };

// Writes the canonical form of [pos, end) to `out`, which is either `pos`
// itself (the text never grows, so rewriting in place is safe) or room of
// the text's size elsewhere; returns the end of what was written. Bytes that
// stay as they are and in place are not always written again.
char *canonicalizeBytes(const char *pos, const char *end, char *out, bool foldBlanks,
                        CanonicalScan scan = CanonicalScan::Best);

} // namespace vetline
