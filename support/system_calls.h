// System calls behind a seam: the output streams, the fatal-error writer,
// the input reader, the option library's response-file reader and the
// process support (temporary files, the symbolizer's pipes) open, read and
// write descriptors only through one table of function pointers, so that a
// unit test can replace an entry and make a call fail the way the system may
// (EINTR, EAGAIN, a short count, an error). The retrying loops built on the
// table live here, once.
//
// Surprising: the table is process-wide and replacing an entry is not
// synchronised; only a test with no other thread running may do it, and it
// must put the saved table back.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace vetline {

struct SystemCalls {
  // open(2) with a fixed argument list; `mode` counts only with O_CREAT.
  int (*open)(const char *path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void *into, size_t count);
  ssize_t (*pread)(int fd, void *into, size_t count, off_t offset);
  ssize_t (*write)(int fd, const void *bytes, size_t count);
  int (*poll)(struct pollfd *descriptors, nfds_t count, int timeout);
  // Behind the seam because a file's reported size is not always its true
  // one (files under /proc and /sys), and the reader's rules for that are
  // tested by reporting sizes that lie.
  int (*fstat)(int fd, struct stat *status);
};

// The table in use: the system's own calls unless a test replaced some.
SystemCalls &systemCalls();

// Opens `path` read-only and close-on-exec, again when interrupted; -1
// with errno set on failure.
int openReadOnly(const std::string &path);

// Creates `path` for reading and writing with `mode`, close-on-exec, and
// only if it did not exist (EEXIST otherwise); again when interrupted. -1
// with errno set on failure.
int openNewFile(const std::string &path, mode_t mode);

// Opens `path` for appending, creating it with `mode` (less the umask) when
// missing, close-on-exec and non-blocking: a FIFO without a reader fails at
// once (ENXIO) instead of waiting for one. -1 with errno set on failure.
int openForAppend(const std::string &path, mode_t mode);

// One read (or pread at `offset`) of at most `count` bytes, and of at most
// a gigabyte (some systems refuse larger ones). Again when interrupted, and
// after waiting until the descriptor is readable when it is non-blocking
// and has nothing yet (EAGAIN): retrying at once would spin the processor
// for as long as the writer lags. Returns what the call returned: a count
// that may be short, 0 at end of file, or -1 with errno set (EAGAIN when
// the wait itself failed).
ssize_t readRetrying(int fd, char *into, size_t count);
ssize_t preadRetrying(int fd, char *into, size_t count, off_t offset);

// Writes all `count` bytes, going on after short writes, again when
// interrupted and after waiting for room on a full non-blocking descriptor.
// False with errno set when a write fails (EIO when one writes nothing).
bool writeAll(int fd, const char *bytes, size_t count);

} // namespace vetline
