// What one command printed on one stream, in bounded memory: the first and
// the last bytes are kept, and once the output outgrows the limit all of it
// goes to a file as well (the bytes held so far first, then everything
// read), so a test that prints gigabytes costs the limit in memory and the
// whole output stays on disk for the person who needs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vetline::suite {

class OutputCapture {
public:
  // `limit` bytes are kept in memory (half from the start, half from the
  // end); `spillPath` is where the whole output goes when there is more.
  OutputCapture(size_t limit, std::string spillPath);
  ~OutputCapture();
  OutputCapture(const OutputCapture &) = delete;
  OutputCapture &operator=(const OutputCapture &) = delete;

  void append(std::string_view bytes);
  // Closes the spill file, if one was opened.
  void finish();

  uint64_t totalSize() const { return total; }
  bool isCut() const { return total > limit; }
  // Where the whole output is; empty while it fits (or when the file could
  // not be written, which the output then says).
  const std::string &spillFile() const { return spilled ? spillPath : empty; }
  // The output when it fits; otherwise the head, a marker line saying how
  // much was left out and where the whole is, and the tail.
  std::string shown() const;

private:
  void startSpill();
  std::string orderedTail() const;

  size_t limit;
  std::string spillPath;
  std::string head;
  // A ring of the last bytes; `tailStart` is the oldest.
  std::string tail;
  size_t tailStart = 0;
  uint64_t total = 0;
  int spillFd = -1;
  bool spilled = false;
  bool spillFailed = false;
  static inline const std::string empty;
};

} // namespace vetline::suite
