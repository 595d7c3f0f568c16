// Directory trees for a runner's output folder and test discovery: listing
// one directory, making a path with its parents, removing a whole tree. Paths
// are byte strings with '/' as the only separator; failures come back as the
// system's error codes and nothing here prints.
#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace vetline {

struct DirectoryEntry {
  std::string name;
  // Symbolic links are followed: a link to a directory is a directory.
  bool isDirectory = false;
};

// The entries of `path` other than "." and "..", sorted by name byte for
// byte, so that every machine walks a tree in the same order.
std::error_code listDirectory(const std::string &path, std::vector<DirectoryEntry> &entries);

// Makes `path` and any missing parent with mode 0777 (less the umask); an
// existing directory is not an error.
std::error_code makeDirectories(const std::string &path);

// Removes `path` and, when it is a directory, everything in it, without
// following symbolic links; a missing path is not an error. Directories the
// process may not write are made writable first, since a test may leave one
// behind.
std::error_code removeTree(const std::string &path);

} // namespace vetline
