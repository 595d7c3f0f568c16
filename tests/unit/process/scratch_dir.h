// A fresh directory under /tmp for one test, removed with everything in it
// when the test ends, and helpers to make files in it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vetline::testing {

class ScratchDir {
public:
  ScratchDir() {
    char model[] = "/tmp/vetline-process-test-XXXXXX";
    if (mkdtemp(model))
      root = model;
    EXPECT_FALSE(root.empty()) << "mkdtemp failed";
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  std::string path(std::string_view name) const { return root + "/" + std::string(name); }

  std::string makeDir(std::string_view name) const {
    std::string made = path(name);
    EXPECT_EQ(mkdir(made.c_str(), 0755), 0) << made;
    return made;
  }

  std::string writeFile(std::string_view name, std::string_view bytes, mode_t mode = 0644) const {
    std::string made = path(name);
    int fd = open(made.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    EXPECT_GE(fd, 0) << made;
    if (fd >= 0) {
      EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
      close(fd);
      chmod(made.c_str(), mode);
    }
    return made;
  }

  // The names in directory `name` ("" for the root), sorted.
  std::vector<std::string> list(std::string_view name = "") const {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(name.empty() ? root : path(name)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  const std::string &rootPath() const { return root; }

private:
  std::string root;
};

inline std::string readWholeFile(const std::string &path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return "<missing>";
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0)
    text.append(buffer, size_t(got));
  close(fd);
  return text;
}

// Sets (or with no value, unsets) an environment variable for the scope.
class ScopedEnv {
public:
  ScopedEnv(const char *name, const char *value) : name(name) {
    if (const char *old = std::getenv(name))
      saved = old, hadValue = true;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (hadValue)
      setenv(name, saved.c_str(), 1);
    else
      unsetenv(name);
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
  const char *name;
  std::string saved;
  bool hadValue = false;
};

} // namespace vetline::testing
