#include "suite/test_finder.h"

#include "support/format.h"
#include "support/process/file_tree.h"
#include "support/process/paths.h"

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace vetline::suite {
namespace {

// Every text this component shows. They are interface: never reword them.
namespace text {
// {0} the path, {1} the system's reason.
constexpr std::string_view unreadablePath = "cannot read '{0}': {1}";
// {0} the folder.
constexpr std::string_view noConfig =
    "no vetline-suite.toml in '{0}' or any folder above it: the suite has no configuration";
} // namespace text

std::string currentDirectory() {
  std::string buffer(4096, '\0');
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE)
      return "/";
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

std::string joinPath(std::string_view directory, std::string_view name) {
  if (directory == ".")
    return std::string(name);
  std::string joined(directory);
  if (joined.empty() || joined.back() != '/')
    joined += '/';
  joined += name;
  return joined;
}

bool hasSuffix(std::string_view name, const SuiteConfig &config) {
  return std::any_of(config.suffixes.begin(), config.suffixes.end(),
                     [name](const std::string &suffix) { return name.ends_with(suffix); });
}

std::string idOf(const std::string &absolutePath, const SuiteConfig &config) {
  std::string_view below = absolutePath;
  if (config.root != "/")
    below.remove_prefix(config.root.size());
  while (below.starts_with('/'))
    below.remove_prefix(1);
  return config.name + "/" + std::string(below);
}

class TreeWalker {
public:
  TreeWalker(ConfigCache &configs, std::vector<TestEntry> &tests)
      : configs(configs), tests(tests) {}

  Error addPath(const std::string &given);

private:
  Error walk(const std::string &shown, const std::string &absolute, const SuiteConfig *config);
  void add(const std::string &shown, const std::string &absolute, const SuiteConfig &config) {
    tests.push_back({shown, absolute, idOf(absolute, config), &config});
  }

  ConfigCache &configs;
  std::vector<TestEntry> &tests;
};

Error TreeWalker::addPath(const std::string &given) {
  std::string absolute = normalPath(given);
  struct stat info;
  if (::stat(absolute.c_str(), &info) != 0)
    return makeMessageError(inconvertibleErrorCode(),
                            formatPositionalString(text::unreadablePath, given,
                                                   std::generic_category().message(errno)));
  bool isDirectory = S_ISDIR(info.st_mode);
  std::string folder = isDirectory ? absolute : std::string(directoryOf(absolute));
  Fallible<const SuiteConfig *> config = configs.configFor(folder);
  if (!config)
    return config.extractError();
  if (!isDirectory) {
    add(given, absolute, **config);
    return success();
  }
  return walk(given, absolute, *config);
}

Error TreeWalker::walk(const std::string &shown, const std::string &absolute,
                       const SuiteConfig *config) {
  std::vector<DirectoryEntry> entries;
  if (std::error_code error = listDirectory(absolute, entries))
    return makeMessageError(inconvertibleErrorCode(),
                            formatPositionalString(text::unreadablePath, shown, error.message()));
  for (const DirectoryEntry &entry : entries) {
    if (entry.name == outputFolderMark)
      return success();
    if (entry.name == configFileName && !entry.isDirectory) {
      Fallible<const SuiteConfig *> own = configs.configFor(absolute);
      if (!own)
        return own.extractError();
      config = *own;
    }
  }
  for (const DirectoryEntry &entry : entries) {
    if (config->isExcluded(joinPath(absolute, entry.name)))
      continue;
    if (entry.isDirectory) {
      if (entry.name.starts_with('.'))
        continue;
      if (Error error = walk(joinPath(shown, entry.name), joinPath(absolute, entry.name), config))
        return error;
    } else if (entry.name != configFileName && hasSuffix(entry.name, *config)) {
      add(joinPath(shown, entry.name), joinPath(absolute, entry.name), *config);
    }
  }
  return success();
}

} // namespace

Fallible<const SuiteConfig *> ConfigCache::configFor(const std::string &directory) {
  Fallible<const SuiteConfig *> found = nearest(directory);
  if (found && !*found)
    return makeMessageError(inconvertibleErrorCode(),
                            formatPositionalString(text::noConfig, directory));
  return found;
}

Fallible<const SuiteConfig *> ConfigCache::nearest(const std::string &directory) {
  auto known = byDirectory.find(directory);
  if (known != byDirectory.end())
    return known->second;
  const SuiteConfig *found = nullptr;
  std::string candidate = joinPath(directory, configFileName);
  if (fileExists(candidate)) {
    Fallible<SuiteConfig> read = readConfig(candidate);
    if (!read)
      return read.extractError();
    configs.push_back(std::make_unique<SuiteConfig>(std::move(*read)));
    found = configs.back().get();
  } else if (directory != "/") {
    Fallible<const SuiteConfig *> above = nearest(std::string(directoryOf(directory)));
    if (!above)
      return above.extractError();
    found = *above;
  }
  byDirectory.emplace(directory, found);
  return found;
}

std::string normalPath(std::string_view path) {
  std::string start = path.starts_with('/') ? std::string() : currentDirectory();
  std::vector<std::string_view> parts;
  std::string whole = start + "/" + std::string(path);
  std::string_view rest = whole;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (part == "..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    if (slash == std::string_view::npos)
      break;
    rest.remove_prefix(slash + 1);
  }
  std::string normal;
  for (std::string_view part : parts) {
    normal += '/';
    normal += part;
  }
  return normal.empty() ? "/" : normal;
}

Fallible<std::vector<TestEntry>> findTests(const std::vector<std::string> &paths,
                                           ConfigCache &configs) {
  std::vector<TestEntry> tests;
  TreeWalker walker(configs, tests);
  for (const std::string &path : paths)
    if (Error error = walker.addPath(path))
      return error;
  // A file reached twice (two overlapping paths) runs once.
  std::stable_sort(tests.begin(), tests.end(), [](const TestEntry &a, const TestEntry &b) {
    return a.absolutePath < b.absolutePath;
  });
  tests.erase(std::unique(tests.begin(), tests.end(),
                          [](const TestEntry &a, const TestEntry &b) {
                            return a.absolutePath == b.absolutePath;
                          }),
              tests.end());
  std::sort(tests.begin(), tests.end(), [](const TestEntry &a, const TestEntry &b) {
    return a.id != b.id ? a.id < b.id : a.absolutePath < b.absolutePath;
  });
  return tests;
}

} // namespace vetline::suite
