// The terminal-description query behind FdOutputStream::supportsColors. It
// lives alone because the terminfo header defines macros with common names.
#include "support/output_stream.h"

#include <mutex>

#include <curses.h>
#include <term.h>

namespace vetline {

namespace {

// The terminfo library keeps its current terminal in a global.
std::mutex &terminalLock() {
  static std::mutex *lock = new std::mutex;
  return *lock;
}

} // namespace

bool terminalSupportsColor(int fd) {
  std::lock_guard<std::mutex> guard(terminalLock());
  TERMINAL *previous = set_curterm(nullptr);
  int setupError = 0;
  // With an error pointer, a failed set-up returns instead of exiting.
  if (setupterm(nullptr, fd, &setupError) != OK) {
    set_curterm(previous);
    return false;
  }
  int colors = tigetnum(const_cast<char *>("colors"));
  TERMINAL *made = set_curterm(previous);
  del_curterm(made);
  return colors > 0;
}

} // namespace vetline
