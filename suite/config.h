// The suite configuration, vetline-suite.toml: which files are tests
// (suffixes), what the machine offers (features), the time limit, the
// suite's own placeholders and the tests' environment. The nearest file
// above a test is the one that applies; configurations do not inherit.
#pragma once

#include "support/error.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vetline::suite {

inline constexpr std::string_view configFileName = "vetline-suite.toml";

struct SuiteConfig {
  // The configuration file, and the folder it stands in (the suite's root,
  // from which test names are taken).
  std::string path;
  std::string root;
  // Shown in reports; the root folder's name unless the file names one.
  std::string name;
  std::vector<std::string> suffixes;
  std::vector<std::string> features;
  // Seconds per test; 0 for no limit.
  double timeout = 0;
  // In file order; names are unique.
  std::vector<std::pair<std::string, std::string>> substitutions;
  std::vector<std::pair<std::string, std::string>> environment;
  // Variables taken over from the runner's own environment when set there.
  std::vector<std::string> passEnvironment;
  // Files and folders below the root, as paths relative to it, that are
  // not looked at for tests.
  std::vector<std::string> exclude;

  bool hasFeature(std::string_view feature) const;
  // Whether the absolute `path` is or lies below an excluded path.
  bool isExcluded(std::string_view path) const;
  // Null when `name` is not one of the suite's substitutions.
  const std::string *substitution(std::string_view name) const;
};

// Whether `name` may name a placeholder: a letter or '_', then letters,
// digits, '_' and '-'.
bool isPlaceholderName(std::string_view name);

// The placeholders every test has, which a configuration may not redefine.
inline constexpr std::string_view builtInPlaceholders[] = {"file", "dir", "tmp", "vetline"};

// Reads the configuration `text` of the file `path` (a path with at least
// one '/'). The error's message is "PATH:LINE:COLUMN: error: ..." for a file
// that is not TOML or holds a bad key or value.
Fallible<SuiteConfig> parseConfig(std::string_view text, const std::string &path);

// Reads and parses the file `path`.
Fallible<SuiteConfig> readConfig(const std::string &path);

} // namespace vetline::suite
