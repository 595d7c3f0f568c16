// Expansion walks the arguments once with a stack of the files being
// expanded; each file is read once however often it is named. Tested by
// response_file_test.cpp.
#include "support/cmdline/response_file.h"

#include "support/cmdline/tokenizer.h"
#include "support/system_calls.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

namespace vetline::cl {

namespace {

void appendUtf8(std::string &out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(char(code));
  } else if (code < 0x800) {
    out.push_back(char(0xC0 | (code >> 6)));
    out.push_back(char(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(char(0xE0 | (code >> 12)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(char(0x80 | (code & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (code >> 18)));
    out.push_back(char(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(char(0x80 | (code & 0x3F)));
  }
}

} // namespace

bool convertUtf16ToUtf8(std::string_view bytes, std::string &out) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0)
    return false;
  unsigned char b0 = bytes[0], b1 = bytes[1];
  bool little = b0 == 0xFF && b1 == 0xFE;
  if (!little && !(b0 == 0xFE && b1 == 0xFF))
    return false;
  auto unit = [&](size_t at) -> uint32_t {
    unsigned char lo = bytes[at], hi = bytes[at + 1];
    return little ? uint32_t(lo | (hi << 8)) : uint32_t(hi | (lo << 8));
  };
  out.clear();
  for (size_t at = 2; at < bytes.size(); at += 2) {
    uint32_t code = unit(at);
    if (code >= 0xDC00 && code <= 0xDFFF)
      return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (at + 2 >= bytes.size())
        return false;
      uint32_t low = unit(at + 2);
      if (low < 0xDC00 || low > 0xDFFF)
        return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      at += 2;
    }
    appendUtf8(out, code);
  }
  return true;
}

namespace {

struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity &other) const {
    return device == other.device && inode == other.inode;
  }
};

// Reads a whole response file. Only regular files and pipes: a device such
// as /dev/zero would never end. Reading stops soon after the text grows
// longer than `maxBytes`; the caller refuses such a file.
bool readResponseFile(const std::string &path, size_t maxBytes, FileIdentity &identity,
                      std::string &text) {
  int fd = openReadOnly(path);
  if (fd < 0)
    return false;
  struct stat status;
  if (::fstat(fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode))) {
    ::close(fd);
    return false;
  }
  identity = {status.st_dev, status.st_ino};
  text.clear();
  char block[65536];
  while (text.size() <= maxBytes) {
    ssize_t count = readRetrying(fd, block, sizeof block);
    if (count < 0) {
      ::close(fd);
      return false;
    }
    if (count == 0)
      break;
    text.append(block, size_t(count));
  }
  ::close(fd);
  return true;
}

bool identityOf(const std::string &path, FileIdentity &identity) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0)
    return false;
  identity = {status.st_dev, status.st_ino};
  return true;
}

// The tokens of a response file's text, or false when it cannot be used.
bool responseFileTokens(std::string &text, std::vector<std::string> &tokens) {
  bool utf16 = text.size() >= 2 &&
               (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0);
  if (utf16) {
    std::string converted;
    if (!convertUtf16ToUtf8(text, converted))
      return false; // "Could not convert UTF16 to UTF8": the argument stays.
    text = std::move(converted);
  }
  std::string_view view = text;
  if (view.size() >= 3 && view.substr(0, 3) == "\xEF\xBB\xBF")
    view.remove_prefix(3);
  tokenizeCommandLine(view, tokens);
  return true;
}

// Whether a file being expanded (frame 0 is the argument list itself, not
// a file) is the file `identity`.
template <typename Frame>
bool isActive(const std::vector<Frame> &frames, const FileIdentity &identity) {
  return std::any_of(frames.begin() + 1, frames.end(),
                     [&](const Frame &f) { return f.identity == identity; });
}

// A response file as first read under one name. Later references to the
// name reuse it, so a file named a million times is read once.
struct ResponseFile {
  bool usable = false;
  FileIdentity identity{};
  size_t bytes = 0;
  std::vector<std::string> tokens;
};

void loadResponseFile(const std::string &path, size_t maxBytes, ResponseFile &file) {
  std::string text;
  if (!readResponseFile(path, maxBytes, file.identity, text))
    return;
  file.bytes = text.size();
  // Too long to expand: only its size matters now.
  file.usable = file.bytes > maxBytes || responseFileTokens(text, file.tokens);
}

} // namespace

// Walks the arguments with a stack of files being expanded and builds a new
// list, so that each token is moved once however many files there are (an
// in-place replacement would move the whole tail at every expansion).
bool expandResponseFiles(std::vector<std::string> &args, std::string *overLimit,
                         const ResponseFileLimits &limits) {
  struct Frame {
    std::vector<std::string> tokens;
    size_t next;
    FileIdentity identity;
  };
  std::vector<std::string> result;
  result.reserve(args.size());
  std::vector<Frame> frames;
  frames.push_back({std::move(args), 0, {}});
  std::unordered_map<std::string, ResponseFile> files;
  size_t arguments = 0, bytes = 0;
  while (!frames.empty()) {
    Frame &frame = frames.back();
    if (frame.next == frame.tokens.size()) {
      frames.pop_back();
      continue;
    }
    std::string &arg = frame.tokens[frame.next++];
    if (arg.empty() || arg[0] != '@') {
      result.push_back(std::move(arg));
      continue;
    }
    std::string path = arg.substr(1);
    auto [entry, isNew] = files.try_emplace(path);
    ResponseFile &file = entry->second;
    if (isNew) {
      // A file being expanded stays as it is, and is not read (a pipe
      // would lose what it holds).
      FileIdentity identity{};
      if (identityOf(path, identity) && isActive(frames, identity)) {
        files.erase(entry);
        result.push_back(std::move(arg));
        continue;
      }
      loadResponseFile(path, limits.bytes - bytes, file);
    }
    if (!file.usable || isActive(frames, file.identity)) {
      result.push_back(std::move(arg));
      continue;
    }
    bool tooManyBytes = file.bytes > limits.bytes - bytes;
    if (tooManyBytes || file.tokens.size() > limits.arguments - arguments) {
      if (overLimit)
        *overLimit = "Response file '" + path + "' expands the command line past " +
                     (tooManyBytes ? std::to_string(limits.bytes) + " bytes"
                                   : std::to_string(limits.arguments) + " arguments");
      result.push_back(std::move(arg));
      args = std::move(result);
      return false;
    }
    bytes += file.bytes;
    arguments += file.tokens.size();
    frames.push_back({file.tokens, 0, file.identity});
  }
  args = std::move(result);
  return true;
}

} // namespace vetline::cl
