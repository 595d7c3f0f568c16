// Looking for directive-like words: the text is walked once, line by line;
// each line yields at most one candidate word at its start and one after
// each comment marker that follows a blank, and the reader's directives,
// in file order, are passed once alongside to skip the words they cover.
// A candidate costs a few edit distances between words of bounded length,
// so the whole walk is linear in the text. Tested by
// directive_typo_test.cpp and the linter's table in lint_test.cpp.
#include "lint/directive_typo.h"

#include "engine/directive_type.h"
#include "support/edit_distance.h"
#include "support/format.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace vetline::lint {

namespace {

// Every text of the directive-typo warning. They are interface (tests and
// users compare them byte for byte): never reword them. "{N}" stands for a
// value filled in by formatPositional.
namespace text {
// {0} the word as written.
constexpr std::string_view gluedPrefix = "'{0}' is not a directive (the '-' before it makes it "
                                         "part of a longer word); put a blank before it";
// {0} the word as written, {1} one of the reasons below (or nothing), {2}
// the directive probably meant.
constexpr std::string_view notADirective = "'{0}' is not a directive{1}; did you mean '{2}'?";
constexpr std::string_view modifierReason =
    " (a modifier block holds only 'LITERAL' and ends with '}:')";
constexpr std::string_view blankColonReason = " (no blank may stand before the ':')";
constexpr std::string_view dashReason = " (a suffix is joined to its prefix with '-')";
constexpr std::string_view noColonReason = " (no ':' follows it)";
constexpr std::string_view caseReason = " (directive names are case-sensitive)";
// Suggested for a COUNT written without its number.
constexpr std::string_view countPlaceholder = "<n>";
} // namespace text

// The bytes the reader takes as part of a word around a prefix.
bool isWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char upperByte(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upperByte(a[i]) != upperByte(b[i]))
      return false;
  return true;
}

// Every '_' and blank made a '-'.
std::string withDashes(std::string_view word) {
  std::string out(word);
  for (char &c : out)
    if (c == '_' || isBlank(c))
      c = '-';
  return out;
}

// `a` is `b` with two neighbouring bytes swapped.
bool isNeighbourSwap(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  size_t i = 0;
  while (i < a.size() && a[i] == b[i])
    ++i;
  if (i + 1 >= a.size() || a[i] != b[i + 1] || a[i + 1] != b[i])
    return false;
  return a.substr(i + 2) == b.substr(i + 2);
}

// Within `limit` edits; a swap of neighbours counts as one.
bool isWithinEdits(std::string_view a, std::string_view b, size_t limit) {
  size_t longer = std::max(a.size(), b.size());
  if (longer - std::min(a.size(), b.size()) > limit)
    return false;
  return boundedEditDistance(a, b, static_cast<uint32_t>(limit)) <= limit ||
         (limit >= 1 && isNeighbourSwap(a, b));
}

bool isNear(std::string_view word, const Spelling &spelling) {
  std::string_view text = spelling.text;
  std::string_view prefix = text.substr(0, spelling.prefixLength);
  if (word.starts_with(prefix))
    return isWithinEdits(word.substr(prefix.size()), text.substr(prefix.size()), 1);
  // A short prefix is too easily within one edit of an unrelated word.
  if (prefix.size() < 4 || word.empty() || word[0] != text[0])
    return false;
  return isWithinEdits(word, text, text.size() >= 12 ? 2 : 1);
}

Resemblance resemble(std::string_view word, std::string_view text, const Spelling &spelling) {
  if (word == text)
    return Resemblance::Exact;
  std::string dashed = withDashes(word);
  if (dashed == text)
    return Resemblance::Separator;
  if (equalsIgnoringCase(dashed, text))
    return Resemblance::Case;
  return isNear(dashed, spelling) ? Resemblance::Near : Resemblance::None;
}

// COUNT takes "-n" after "P-COUNT": the digits are set aside (with one
// separator before them) and the rest compared.
Resemblance resembleCount(std::string_view word, const Spelling &spelling,
                          std::string &suggestion) {
  size_t digitsAt = word.size();
  while (digitsAt > 0 && isDigit(word[digitsAt - 1]))
    --digitsAt;
  std::string_view digits = word.substr(digitsAt);
  std::string_view base = word.substr(0, digitsAt);
  char separator = 0;
  if (!digits.empty() && !base.empty() &&
      (base.back() == '-' || base.back() == '_' || isBlank(base.back()))) {
    separator = base.back();
    base.remove_suffix(1);
  }
  suggestion = spelling.text + "-" +
               (digits.empty() ? std::string(text::countPlaceholder) : std::string(digits));
  Resemblance resemblance = resemble(base, spelling.text, spelling);
  if (resemblance != Resemblance::Exact || (separator == '-' && !digits.empty()))
    return resemblance;
  return separator != 0 ? Resemblance::Separator : Resemblance::Near;
}

} // namespace

std::vector<Spelling> directiveSpellings(const CheckRequest &request) {
  std::vector<Spelling> spellings;
  std::set<std::string_view> seen;
  for (std::string_view prefix : request.checkPrefixes) {
    if (!seen.insert(prefix).second)
      continue;
    // The kinds written after a check prefix: the bare one and those with
    // a suffix word.
    for (const DirectiveKindNames &names : directiveKindNames)
      if (names.kind == DirectiveKind::Plain || !names.suffixWord.empty())
        spellings.push_back(
            {directiveDescription(prefix, {names.kind, 1, 0}), prefix.size(), false});
    // A count above 1 is what makes the description name COUNT.
    spellings.push_back(
        {directiveDescription(prefix, {DirectiveKind::Plain, 2, 0}), prefix.size(), true});
  }
  return spellings;
}

Guess guessDirective(std::string_view word, std::span<const Spelling> spellings) {
  // No spelling is near a word this much longer; counts add a few digits.
  constexpr size_t slack = 16;
  Guess best;
  for (const Spelling &spelling : spellings) {
    // Every resemblance keeps the first byte, up to its case: most words
    // are turned away here, before anything is copied or measured.
    if (word.empty() || upperByte(word[0]) != upperByte(spelling.text[0]) ||
        word.size() > spelling.text.size() + slack)
      continue;
    std::string suggestion = spelling.text;
    Resemblance resemblance = spelling.isCount ? resembleCount(word, spelling, suggestion)
                                               : resemble(word, spelling.text, spelling);
    if (resemblance < best.resemblance) {
      best.resemblance = resemblance;
      best.suggestion = std::move(suggestion);
    }
  }
  return best;
}

namespace {

// What follows a candidate word, which decides how it is compared.
enum class Form {
  Colon,      // WORD:
  Modifier,   // WORD{...
  BlankColon, // WORD :
  Split,      // WORD WORD:
  NoColon,    // WORD text
};

class TypoFinder {
public:
  TypoFinder(std::string_view text, std::span<const DirectiveSighting> sightings,
             const CheckRequest &request, FindingList &findings)
      : text(text), sightings(sightings), request(request), findings(findings),
        spellings(directiveSpellings(request)) {
    for (const auto *prefixes : {&request.checkPrefixes, &request.commentPrefixes})
      for (std::string_view prefix : *prefixes)
        if (!prefix.empty())
          startsPrefix[static_cast<unsigned char>(upperByte(prefix[0]))] = true;
  }

  void run();

private:
  void scanSegment(size_t start, size_t end);
  size_t markerEnd(size_t at, size_t end, bool isLineStart) const;
  void checkCandidate(size_t at, size_t end);
  size_t skipCovered(size_t at);
  bool readerTakes(size_t at) const;
  void checkForm(Form form, size_t at, size_t wordEnd, size_t formEnd, std::string_view key);
  void report(size_t at, size_t end, std::string message) {
    findings.push_back(
        {text.data() + at, text.data() + end, WarningKind::DirectiveTypo, std::move(message)});
  }
  std::string written(size_t at, size_t end) const {
    // Blanks are folded unless strict-whitespace; cap what the message shows.
    constexpr size_t longest = 80;
    return std::string(text.substr(at, std::min(end - at, longest)));
  }

  std::string_view text;
  std::span<const DirectiveSighting> sightings;
  const CheckRequest &request;
  FindingList &findings;
  std::vector<Spelling> spellings;
  // The first sighting that may still cover a candidate, and where its
  // prefix starts: every offset before that is not covered.
  size_t nextSighting = 0;
  size_t nextCoverStart = 0;
  // Indexed by an upper-cased byte: whether a prefix starts with it. Every
  // directive-like word does, so most words end their check here.
  bool startsPrefix[256] = {};
};

void TypoFinder::run() {
  size_t start = 0;
  while (start <= text.size()) {
    const void *found = std::memchr(text.data() + start, '\n', text.size() - start);
    size_t end = found ? size_t(static_cast<const char *>(found) - text.data()) : text.size();
    // A lone CR ends the line text as well, for the reader and for the
    // diagnostics.
    size_t segment = start;
    while (const void *cr = std::memchr(text.data() + segment, '\r', end - segment)) {
      size_t crAt = size_t(static_cast<const char *>(cr) - text.data());
      scanSegment(segment, crAt);
      segment = crAt + 1;
    }
    scanSegment(segment, end);
    start = end + 1;
  }
}

// A comment marker starting at `at`: at a line's start any run of '/', '#',
// ';', '!', '*', '%' and '-' but a lone '-' (a list item); further on, a run
// starting with "//" or "/*", or made of '#', ';', '!' or at least two '-'
// alone. Returns its end, or npos when there is none.
bool isMarkerByte(char c) {
  switch (c) {
  case '/':
  case '#':
  case ';':
  case '!':
  case '*':
  case '%':
  case '-':
    return true;
  default:
    return false;
  }
}

size_t TypoFinder::markerEnd(size_t at, size_t end, bool isLineStart) const {
  size_t runEnd = at;
  while (runEnd < end && isMarkerByte(text[runEnd]))
    ++runEnd;
  std::string_view run = text.substr(at, runEnd - at);
  if (run.empty())
    return std::string_view::npos;
  if (isLineStart)
    return run == "-" ? std::string_view::npos : runEnd;
  if (run.starts_with("//") || run.starts_with("/*"))
    return runEnd;
  for (char only : {'#', ';', '!', '-'}) {
    if (run.find_first_not_of(only) != std::string_view::npos)
      continue;
    if (only == '-' && run.size() < 2)
      return std::string_view::npos;
    return runEnd;
  }
  return std::string_view::npos;
}

void TypoFinder::scanSegment(size_t start, size_t end) {
  size_t i = start;
  while (i < end && isBlank(text[i]))
    ++i;
  if (i >= end)
    return;
  size_t marker = markerEnd(i, end, true);
  size_t wordAt = marker == std::string_view::npos ? i : marker;
  while (wordAt < end && isBlank(text[wordAt]))
    ++wordAt;
  checkCandidate(wordAt, end);
  for (size_t k = std::max(i, wordAt) + 1; k < end; ++k) {
    if (!isMarkerByte(text[k]) || !isBlank(text[k - 1]))
      continue;
    size_t uncovered = skipCovered(k);
    if (uncovered != k) {
      k = uncovered - 1;
      continue;
    }
    size_t after = markerEnd(k, end, false);
    if (after == std::string_view::npos)
      continue;
    while (after < end && isBlank(text[after]))
      ++after;
    checkCandidate(after, end);
    k = after;
  }
}

// The end of the reader's directive (prefix to pattern end) that covers
// `at`, or `at` itself when none does. Offsets must not decrease from one
// call to the next.
size_t TypoFinder::skipCovered(size_t at) {
  if (at < nextCoverStart)
    return at;
  const char *where = text.data() + at;
  while (nextSighting < sightings.size()) {
    const DirectiveSighting &sighting = sightings[nextSighting];
    const char *coverEnd = sighting.patternText.data() + sighting.patternText.size();
    if (where < coverEnd) {
      nextCoverStart = size_t(sighting.prefix.data() - text.data());
      return at >= nextCoverStart ? size_t(coverEnd - text.data()) : at;
    }
    ++nextSighting;
  }
  nextCoverStart = text.size() + 1;
  return at;
}

// Whether the reader, coming to `at`, would take it as a directive (or a
// malformed one it reports). Only words the reader never reached get here:
// after an error it stopped reading.
bool TypoFinder::readerTakes(size_t at) const {
  std::string_view rest = text.substr(at);
  std::string_view longest;
  bool isComment = false;
  for (std::string_view prefix : request.checkPrefixes)
    if (rest.starts_with(prefix) && prefix.size() > longest.size())
      longest = prefix;
  for (std::string_view prefix : request.commentPrefixes) {
    if (rest.starts_with(prefix) && prefix.size() > longest.size()) {
      longest = prefix;
      isComment = true;
    }
  }
  if (longest.empty())
    return false;
  return parseDirectiveSuffix(rest.substr(longest.size()), isComment).type.kind !=
         DirectiveKind::None;
}

size_t wordEndFrom(std::string_view text, size_t at, size_t end) {
  while (at < end && isWordByte(text[at]))
    ++at;
  return at;
}

void TypoFinder::checkCandidate(size_t at, size_t end) {
  // A '-' before a prefix (a marker such as "--", or a lone one) makes the
  // reader take the prefix as part of a longer word.
  bool isGlued = at > 0 && at < end && text[at - 1] == '-';
  while (at < end && text[at] == '-') {
    ++at;
    isGlued = true;
  }
  if (at >= end || !startsPrefix[static_cast<unsigned char>(upperByte(text[at]))] ||
      skipCovered(at) != at)
    return;
  size_t wordEnd = wordEndFrom(text, at, end);
  if (readerTakes(at)) {
    if (isGlued) {
      // Show the prefix and suffix up to the ':' when it is on this line.
      size_t colon = text.substr(0, end).find(':', wordEnd);
      size_t shownEnd = colon == std::string_view::npos ? wordEnd : colon + 1;
      report(at, wordEnd, formatPositionalString(text::gluedPrefix, written(at, shownEnd)));
    }
    return;
  }
  std::string_view word = text.substr(at, wordEnd - at);
  if (wordEnd >= end)
    return;
  char next = text[wordEnd];
  if (next == ':') {
    checkForm(Form::Colon, at, wordEnd, wordEnd + 1, word);
    return;
  }
  if (next == '{') {
    // Show the block up to its '}' and the ':' after it, when close by.
    size_t close = text.substr(wordEnd, std::min<size_t>(end - wordEnd, 64)).find('}');
    size_t formEnd = close == std::string_view::npos ? wordEnd + 1 : wordEnd + close + 1;
    if (formEnd < end && text[formEnd] == ':')
      ++formEnd;
    checkForm(Form::Modifier, at, wordEnd, formEnd, word);
    return;
  }
  if (!isBlank(next))
    return;
  size_t after = wordEnd;
  while (after < end && isBlank(text[after]))
    ++after;
  if (after >= end)
    return;
  if (text[after] == ':') {
    checkForm(Form::BlankColon, at, wordEnd, after + 1, word);
    return;
  }
  size_t secondEnd = wordEndFrom(text, after, end);
  if (secondEnd > after && secondEnd < end && text[secondEnd] == ':') {
    std::string joined =
        std::string(word) + "-" + std::string(text.substr(after, secondEnd - after));
    if (guessDirective(joined, spellings).resemblance != Resemblance::None) {
      checkForm(Form::Split, at, wordEnd, secondEnd + 1, joined);
      return;
    }
  }
  checkForm(Form::NoColon, at, wordEnd, wordEnd, word);
}

void TypoFinder::checkForm(Form form, size_t at, size_t wordEnd, size_t formEnd,
                           std::string_view key) {
  Guess guess = guessDirective(key, spellings);
  if (guess.resemblance == Resemblance::None)
    return;
  std::string_view reason;
  switch (guess.resemblance) {
  case Resemblance::Exact:
    // The reader took every exact spelling followed by ':' already.
    if (form == Form::Colon)
      return;
    reason = form == Form::Modifier     ? text::modifierReason
             : form == Form::BlankColon ? text::blankColonReason
             : form == Form::Split      ? text::dashReason
                                        : text::noColonReason;
    break;
  case Resemblance::Separator:
    reason = text::dashReason;
    break;
  case Resemblance::Case:
    reason = text::caseReason;
    break;
  case Resemblance::Near:
  case Resemblance::None:
    break;
  }
  // Without a colon only the exact spelling is suspicious, as any word may
  // open a sentence; a bare prefix of one to three bytes ("A") too often
  // is an ordinary word.
  if (form == Form::NoColon &&
      (guess.resemblance != Resemblance::Exact || guess.suggestion.size() < 4))
    return;
  std::string shown = written(at, form == Form::NoColon ? wordEnd : formEnd);
  std::string meant = guess.suggestion;
  if (form == Form::Modifier) {
    meant += '{';
    meant += literalModifierWord;
    meant += '}';
  }
  meant += ':';
  report(at, form == Form::NoColon ? wordEnd : formEnd,
         formatPositionalString(text::notADirective, shown, reason, meant));
}

} // namespace

void findDirectiveTypos(std::string_view checkText, std::span<const DirectiveSighting> sightings,
                        const CheckRequest &request, FindingList &findings) {
  TypoFinder(checkText, sightings, request, findings).run();
}

} // namespace vetline::lint
