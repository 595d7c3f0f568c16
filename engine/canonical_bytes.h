// Canonical bytes: the rewrite that lets blanks and line ends compare alike
// before matching. A tab becomes a space, a run of blanks (spaces and tabs)
// one space, and a CR right before an LF is dropped (a lone CR stays); when
// blanks are kept, only the CR rule applies.
//
// A scalar kernel runs everywhere; vectorised kernels, picked at run time
// when the processor has them, give the same bytes block by block. Each is
// checked against a byte-at-a-time statement of the rules by
// check_engine_test.cpp.
#pragma once

namespace vetline {

enum class CanonicalKernel { Scalar, Avx2, Avx512 };

// Writes the canonical form of [pos, end) to `out`, which is either `pos`
// itself (the text never grows, so rewriting in place is safe) or room of
// the text's size elsewhere; returns the end of what was written. The bytes
// after that end, up to the room's size, may be overwritten with anything.
// In place, nothing is written before the first change (before the start
// of its 64-byte block, for the vector kernels), so the pages before it stay
// clean.
char *canonicalizeBytes(const char *pos, const char *end, char *out, bool foldBlanks);

// Whether this processor runs `kernel`.
bool canRunKernel(CanonicalKernel kernel);

// canonicalizeBytes with a chosen kernel, one the processor runs: for
// tests that compare the kernels.
char *canonicalizeBytesWith(CanonicalKernel kernel, const char *pos, const char *end, char *out,
                            bool foldBlanks);

} // namespace vetline
