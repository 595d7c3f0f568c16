#include "support/process/paths.h"

#include "support/system_calls.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vetline {
namespace {

constexpr int maxUniqueNameAttempts = 128;

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

// Fills `bytes` from the kernel's cryptographic random source. Falls back to
// the clock only when the source is unusable (a kernel without getrandom
// under a seccomp filter, say): create-new opens keep the names safe from
// collisions either way.
void fillRandom(unsigned char *bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t got = getrandom(bytes + done, count - done, 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    done += size_t(got);
  }
  if (done == count)
    return;
  static unsigned long state = 0;
  state +=
      static_cast<unsigned long>(getpid()) * 2654435761UL + static_cast<unsigned long>(clock());
  for (; done < count; ++done) {
    state = state * 6364136223846793005UL + 1442695040888963407UL;
    bytes[done] = static_cast<unsigned char>(state >> 33);
  }
}

void fillModel(std::string &name) {
  static constexpr char hexDigits[] = "0123456789abcdef";
  unsigned char random[64];
  size_t used = sizeof(random);
  for (char &c : name) {
    if (c != '%')
      continue;
    if (used == sizeof(random)) {
      fillRandom(random, sizeof(random));
      used = 0;
    }
    c = hexDigits[random[used++] & 15];
  }
}

} // namespace

std::string temporaryDirectory() {
  for (const char *name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"})
    if (const char *value = std::getenv(name))
      return value;
  return "/tmp";
}

std::error_code makeUniqueFile(std::string_view model, mode_t mode, int &fd, std::string &path) {
  std::error_code error;
  for (int attempt = 0; attempt < maxUniqueNameAttempts; ++attempt) {
    std::string name(model);
    fillModel(name);
    int opened = openNewFile(name, mode);
    if (opened >= 0) {
      fd = opened;
      path = std::move(name);
      return {};
    }
    error = lastError();
    if (errno != EEXIST && errno != EACCES)
      return error;
  }
  return error;
}

std::error_code makeTemporaryFile(std::string_view prefix, std::string_view suffix, int &fd,
                                  std::string &path) {
  std::string model;
  if (prefix.empty() || prefix.front() != '/') {
    model = temporaryDirectory();
    if (!model.empty() && model.back() != '/')
      model += '/';
  }
  model += prefix;
  model += "-%%%%%%";
  if (!suffix.empty()) {
    model += '.';
    model += suffix;
  }
  return makeUniqueFile(model, 0600, fd, path);
}

std::error_code makeTemporaryFile(std::string_view prefix, std::string_view suffix,
                                  std::string &path) {
  int fd = -1;
  if (std::error_code error = makeTemporaryFile(prefix, suffix, fd, path))
    return error;
  ::close(fd);
  return {};
}

RemoveOnExit::~RemoveOnExit() {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0)
    return;
  if (S_ISDIR(status.st_mode))
    ::rmdir(path.c_str());
  else if (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode))
    ::unlink(path.c_str());
}

std::error_code lookUpProgram(std::string_view name, std::string &path,
                              std::span<const std::string_view> directories) {
  if (name.find('/') != std::string_view::npos) {
    path = name;
    return {};
  }
  auto tryDirectory = [&](std::string_view directory) {
    std::string candidate(directory);
    candidate += '/';
    candidate += name;
    if (!isRunnable(candidate))
      return false;
    path = std::move(candidate);
    return true;
  };
  const std::error_code notFound = std::make_error_code(std::errc::no_such_file_or_directory);
  if (!directories.empty()) {
    for (std::string_view directory : directories)
      if (tryDirectory(directory))
        return {};
    return notFound;
  }
  const char *pathVariable = std::getenv("PATH");
  if (!pathVariable)
    return notFound;
  std::string_view rest = pathVariable;
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string_view directory = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (!directory.empty() && tryDirectory(directory))
      return {};
  }
  return notFound;
}

bool isRunnable(const std::string &path) {
  if (::access(path.c_str(), R_OK | X_OK) != 0)
    return false;
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool fileExists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

std::string executablePath() {
  // Linux has no auxiliary-vector entry with the executable's own path:
  // /proc/self/exe names it even after a change of directory; the name the
  // program was started with (AT_EXECFN) is the fallback where /proc is
  // missing.
  char resolved[PATH_MAX];
  if (::realpath("/proc/self/exe", resolved))
    return resolved;
  const char *started = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
  if (started && ::realpath(started, resolved))
    return resolved;
  return {};
}

std::string_view directoryOf(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos)
    return {};
  size_t end = path.find_last_not_of('/', slash);
  if (end == std::string_view::npos)
    return path.substr(0, 1);
  return path.substr(0, end + 1);
}

} // namespace vetline
