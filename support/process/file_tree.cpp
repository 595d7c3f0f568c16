#include "support/process/file_tree.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vetline {
namespace {

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

bool isDirectoryAt(int directoryFd, const char *name, bool followLinks) {
  struct stat info;
  if (::fstatat(directoryFd, name, &info, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  return S_ISDIR(info.st_mode);
}

// Removes what `name` names inside the open directory `parentFd`.
std::error_code removeAt(int parentFd, const char *name) {
  if (::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT)
    return {};
  if (errno != EISDIR && errno != EPERM)
    return lastError();
  if (!isDirectoryAt(parentFd, name, false))
    return lastError();
  ::fchmodat(parentFd, name, 0700, 0);
  int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return lastError();
  DIR *directory = ::fdopendir(fd);
  if (!directory) {
    ::close(fd);
    return lastError();
  }
  std::error_code failure;
  while (struct dirent *entry = ::readdir(directory)) {
    std::string_view child = entry->d_name;
    if (child == "." || child == "..")
      continue;
    if (std::error_code error = removeAt(fd, entry->d_name))
      failure = error;
  }
  ::closedir(directory);
  if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && !failure)
    failure = lastError();
  return failure;
}

} // namespace

std::error_code listDirectory(const std::string &path, std::vector<DirectoryEntry> &entries) {
  entries.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return lastError();
  DIR *directory = ::fdopendir(fd);
  if (!directory) {
    std::error_code error = lastError();
    ::close(fd);
    return error;
  }
  while (struct dirent *entry = ::readdir(directory)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    // The type in the entry saves a stat per file; links and file systems
    // that do not fill it in need one.
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
      isDirectory = isDirectoryAt(fd, entry->d_name, true);
    entries.push_back({std::string(name), isDirectory});
  }
  ::closedir(directory);
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry &a, const DirectoryEntry &b) { return a.name < b.name; });
  return {};
}

std::error_code makeDirectories(const std::string &path) {
  if (path.empty())
    return {};
  if (::mkdir(path.c_str(), 0777) == 0)
    return {};
  if (errno == EEXIST)
    return isDirectoryAt(AT_FDCWD, path.c_str(), true)
               ? std::error_code()
               : std::error_code(ENOTDIR, std::generic_category());
  if (errno != ENOENT)
    return lastError();
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0)
    return lastError();
  if (std::error_code error = makeDirectories(path.substr(0, slash)))
    return error;
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST)
    return {};
  return lastError();
}

std::error_code removeTree(const std::string &path) { return removeAt(AT_FDCWD, path.c_str()); }

} // namespace vetline
