// File-system services of the crash reporting: the temporary directory,
// files with unique random names created without races (and removed again
// by `RemoveOnExit`), program lookup along PATH, and the running
// executable's path. Paths are byte strings with '/' as the only separator.
// Failures come back as error codes (the system's error numbers); nothing
// here prints.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <system_error>

namespace vetline {

// The value of the first of TMPDIR, TMP, TEMP and TEMPDIR that is set, taken
// unchanged (an empty value means the current directory); "/tmp" when none is.
std::string temporaryDirectory();

// Creates a new file from `model`, in which every '%' stands for one random
// lower-case hexadecimal digit, opened for reading and writing with
// close-on-exec and `mode`. Names that exist already (or that permission is
// denied for) are retried, up to 128 names in all. On success `fd` and
// `path` hold the open descriptor and the name chosen.
std::error_code makeUniqueFile(std::string_view model, mode_t mode, int &fd, std::string &path);

// A unique file "PREFIX-%%%%%%" (then "." and the suffix, when there is one)
// with mode 0600, inside temporaryDirectory unless the prefix is absolute.
std::error_code makeTemporaryFile(std::string_view prefix, std::string_view suffix, int &fd,
                                  std::string &path);
// The same, with the descriptor closed again: only the name is kept, and
// reserved, because the file exists.
std::error_code makeTemporaryFile(std::string_view prefix, std::string_view suffix,
                                  std::string &path);

// Removes the file it names when it goes out of scope: regular files,
// symbolic links (not their targets) and empty directories; other kinds of
// file stay. A missing file is not an error.
class RemoveOnExit {
public:
  explicit RemoveOnExit(std::string path) : path(std::move(path)) {}
  ~RemoveOnExit();
  RemoveOnExit(const RemoveOnExit &) = delete;
  RemoveOnExit &operator=(const RemoveOnExit &) = delete;

private:
  std::string path;
};

// The path of the program `name`: a name with a '/' in it is returned as
// it is, without looking at the file. Otherwise the first directory of
// `directories` (or, when that is empty, of PATH) holding a runnable file of
// that name wins. ENOENT when there is none, or no PATH to search.
std::error_code lookUpProgram(std::string_view name, std::string &path,
                              std::span<const std::string_view> directories = {});

// Whether the process may read and execute `path` and it is a regular file
// (symbolic links followed).
bool isRunnable(const std::string &path);

bool fileExists(const std::string &path);

// The absolute path of the running executable with symbolic links resolved,
// or an empty text when it cannot be found.
std::string executablePath();

// `path` without its last component and the separators before it:
// "a/b/c" gives "a/b", "/a" gives "/", and "c" gives "".
std::string_view directoryOf(std::string_view path);

} // namespace vetline
