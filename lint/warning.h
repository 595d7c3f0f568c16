// Linter warnings: the kinds, their short names (shown in brackets after
// each message and taken by the "disable" option), and one finding before
// it is printed. The short names are interface: scripts turn warnings off
// by them, so they never change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vetline::lint {

enum class WarningKind : uint32_t {
  DirectiveTypo = 0,
  NonPosixEscape = 1,
  UndefinedVariable = 2,
  UnusedVariable = 3,
  BlankRun = 4,
  DagImplicitGap = 5,
};

inline constexpr size_t warningKindCount = 6;

// "directive-typo", "non-posix-escape" and so on.
std::string_view warningName(WarningKind kind);

// Which kinds are reported; all of them unless turned off.
class WarningSet {
public:
  bool isEnabled(WarningKind kind) const { return enabled[size_t(kind)]; }
  void disable(WarningKind kind) { enabled[size_t(kind)] = false; }

private:
  std::array<bool, warningKindCount> enabled{true, true, true, true, true, true};
};

// One warning. `at` and `end` point into a buffer of the run's source
// manager; `end` null means no range is marked.
struct Finding {
  const char *at = nullptr;
  const char *end = nullptr;
  WarningKind kind = WarningKind::DirectiveTypo;
  std::string message;
};

using FindingList = std::vector<Finding>;

} // namespace vetline::lint
