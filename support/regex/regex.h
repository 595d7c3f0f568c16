// Regex: the one way the rest of Vetline uses regular expressions. Compile a
// pattern (POSIX extended syntax, plus back-references \1 to \9 and the
// word-boundary brackets [[:<:]] and [[:>:]]), ask whether it compiled, search
// a text for the leftmost-longest match with its groups, ask what a match can
// begin with, and escape literal text so that it matches itself.
//
// Surprising parts: patterns and texts are byte views that may hold NUL
// bytes; a failed compilation is not reported at construction but by
// isValid() and match(); sub-match views point into the searched text (it is
// never copied), and a group that took no part in the match is an empty view
// whose data() is null.
#pragma once

#include <bitset>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

namespace regex {
struct Handle;
} // namespace regex

// Bit set chosen at construction.
enum class RegexOptions : unsigned {
  None = 0,
  IgnoreCase = 1,
  // '^' and '$' also match after and before a line feed; '.' and negated
  // bracket expressions do not match a line feed.
  Newline = 2,
  // POSIX basic syntax instead of extended; Vetline itself never sets it.
  BasicSyntax = 4,
};

constexpr RegexOptions operator|(RegexOptions a, RegexOptions b) {
  return static_cast<RegexOptions>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

constexpr bool hasOption(RegexOptions set, RegexOptions option) {
  return (static_cast<unsigned>(set) & static_cast<unsigned>(option)) != 0;
}

// What any match of a regex begins with, judged from the compiled pattern
// without searching (Regex::start), for a caller that skips text where no
// match can begin. It errs on the safe side: a byte said to begin a match
// may begin none, and a pattern said to match empty text may never do so.
struct RegexStart {
  // firstBytes[b]: a non-empty match may begin with byte b.
  std::bitset<256> firstBytes;
  bool canBeEmpty = false;
  // An anchor ('^') or word boundary may be tested where a match begins:
  // there, a search begun at that byte can find another match than one
  // begun earlier. Without it, every match a search finds past its first
  // byte is the one a search begun anywhere earlier finds.
  bool looksBehind = false;
};

class Regex {
public:
  // Compiles at once; a bad pattern is recorded, never reported here.
  explicit Regex(std::string_view pattern, RegexOptions options = RegexOptions::None);
  ~Regex();

  Regex(const Regex &) = delete;
  Regex &operator=(const Regex &) = delete;
  // A moved-from Regex is invalid ("invalid argument to regex routine").
  Regex(Regex &&other) noexcept;
  Regex &operator=(Regex &&other) noexcept;

  // True when the pattern compiled; otherwise `error` receives the message
  // of the error code (such as "parentheses not balanced").
  bool isValid(std::string &error) const;
  bool isValid() const { return errorCode == 0; }

  // The engine's error code: 0 when the pattern compiled.
  int getErrorCode() const { return errorCode; }

  // Number of parenthesised groups; 0 for an invalid pattern.
  unsigned subexpressionCount() const;

  // Size of the compiled program in operations, the measure of the size
  // limit; 0 for an invalid pattern.
  size_t operationCount() const;
  // Every pattern of at most this many operations is within the size limit.
  static constexpr size_t guaranteedOperations = size_t(1) << 17;

  // Searches `text` (its whole length, NUL bytes included) for the
  // leftmost-longest match. On a match, `matches` (when given) is replaced by
  // subexpressionCount() + 1 views into `text`: the whole match, then each
  // group's last iteration, or an empty view with null data for a group that
  // did not take part (for a text without data every view is empty without
  // data). Returns false when there is no match or the search
  // could not run; in the latter case `error` (when given; it is cleared
  // first) receives the message, such as "out of memory".
  bool match(std::string_view text, std::vector<std::string_view> *matches = nullptr,
             std::string *error = nullptr) const;

  // None for an invalid pattern or one with back-references.
  std::optional<RegexStart> start() const;

  // Returns `text` with every byte of ( ) ^ $ | * + ? . [ ] \ { } and every
  // NUL byte preceded by a backslash, so the result matches `text` itself.
  static std::string escape(std::string_view text);

  // The inverse of escape: the text that `pattern` matches when it holds
  // nothing but literal bytes and the escapes that escape writes, so that a
  // search may skip the regex engine. None when it holds any operator or
  // any other escape.
  static std::optional<std::string> unescape(std::string_view pattern);

private:
  regex::Handle *program = nullptr;
  int errorCode = 0;
};

} // namespace vetline
