// Response files: an argument "@file" stands for the tokens of the file
// (tokenizer.h), expanded in place and recursively before the parse. The
// file may be UTF-8 (a byte-order mark is skipped) or UTF-16 of either byte
// order after its byte-order mark.
//
// Surprising: an argument naming a file that cannot be read, that is not a
// regular file or a pipe, that is being expanded already, or whose UTF-16
// is invalid stays as it is, without a message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vetline::cl {

// What response files may add to a command line, over all of them
// together. Without a bound, files that each name the next one twice double
// the list at every level. Far above any build system's command line.
struct ResponseFileLimits {
  size_t arguments = size_t{1} << 22;
  size_t bytes = size_t{1} << 28;
};

// Replaces each "@file" argument by the file's tokens, recursively; a file
// already being expanded, or one that cannot be read, stays as it is. Every
// expansion counts its file's tokens and bytes against `limits`; the
// expansion that goes past them stops the walk and returns false, with
// the message (naming the file as written and the limit) in `overLimit`.
bool expandResponseFiles(std::vector<std::string> &args, std::string *overLimit = nullptr,
                         const ResponseFileLimits &limits = {});

// Converts UTF-16 text after its byte-order mark (either byte order) to
// UTF-8; false when it is not valid UTF-16.
bool convertUtf16ToUtf8(std::string_view bytes, std::string &out);

} // namespace vetline::cl
