#include "engine/check_engine.h"

#include "engine/canonical_text.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

using Prefixes = std::vector<std::string_view>;

CheckRequest requestWith(Prefixes checkPrefixes, Prefixes commentPrefixes) {
  CheckRequest request;
  request.checkPrefixes = std::move(checkPrefixes);
  request.commentPrefixes = std::move(commentPrefixes);
  return request;
}

struct ValidationCase {
  const char *name;
  Prefixes checkPrefixes;
  Prefixes commentPrefixes;
  bool valid;
  const char *message;
};

const ValidationCase validationCases[] = {
    {"defaults", {}, {}, true, ""},
    {"any position may hold digits, '-' or '_'",
     {"1A", "-B", "_C", "D-9_"},
     {"x_y", "-"},
     true,
     ""},
    {"empty check prefix",
     {"A", ""},
     {},
     false,
     "error: supplied check prefix must not be the empty string\n"},
    {"empty comment prefix",
     {},
     {""},
     false,
     "error: supplied comment prefix must not be the empty string\n"},
    {"dot",
     {"A.B"},
     {},
     false,
     "error: supplied check prefix must start with a letter and contain only alphanumeric "
     "characters, hyphens, and underscores: 'A.B'\n"},
    {"plus in a comment prefix",
     {},
     {"C+"},
     false,
     "error: supplied comment prefix must start with a letter and contain only alphanumeric "
     "characters, hyphens, and underscores: 'C+'\n"},
    {"line feed",
     {"A\nB"},
     {},
     false,
     "error: supplied check prefix must start with a letter and contain only alphanumeric "
     "characters, hyphens, and underscores: 'A\nB'\n"},
    {"repeated check prefix",
     {"A", "B", "A"},
     {},
     false,
     "error: supplied check prefix must be unique among check and comment prefixes: 'A'\n"},
    {"comment prefix clashes with the default check prefix",
     {},
     {"CHECK"},
     false,
     "error: supplied comment prefix must be unique among check and comment prefixes: 'CHECK'\n"},
    {"check prefix clashes with a default comment prefix",
     {"RUN"},
     {},
     false,
     "error: supplied check prefix must be unique among check and comment prefixes: 'RUN'\n"},
    {"check prefix repeated as a comment prefix",
     {"X"},
     {"Y", "X"},
     false,
     "error: supplied comment prefix must be unique among check and comment prefixes: 'X'\n"},
    {"defaults are seeded only for empty lists", {"COM"}, {"CHECK"}, true, ""},
    {"only the first bad check prefix is reported",
     {"a.b", ""},
     {""},
     false,
     "error: supplied check prefix must start with a letter and contain only alphanumeric "
     "characters, hyphens, and underscores: 'a.b'\n"},
};

TEST(CheckEngine, ValidatePrefixes) {
  for (const ValidationCase &c : validationCases) {
    SCOPED_TRACE(c.name);
    CheckEngine engine(requestWith(c.checkPrefixes, c.commentPrefixes));
    testing::internal::CaptureStderr();
    bool valid = engine.validatePrefixes();
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(valid, c.valid);
    EXPECT_EQ(printed, c.message);
  }
}

TEST(CheckEngine, BuildPrefixRegexInstallsDefaults) {
  CheckEngine engine(requestWith({}, {}));
  Regex regex = engine.buildPrefixRegex();
  ASSERT_TRUE(regex.isValid());
  EXPECT_TRUE(engine.request().isDefaultCheckPrefix);
  EXPECT_EQ(engine.request().checkPrefixes, Prefixes({"CHECK"}));
  EXPECT_EQ(engine.request().commentPrefixes, Prefixes({"COM", "RUN"}));

  CheckEngine explicitCheck(requestWith({"CHECK"}, {"XX"}));
  explicitCheck.buildPrefixRegex();
  EXPECT_FALSE(explicitCheck.request().isDefaultCheckPrefix);
  EXPECT_EQ(explicitCheck.request().commentPrefixes, Prefixes({"XX"}));
}

struct PrefixSearchCase {
  Prefixes checkPrefixes;
  Prefixes commentPrefixes;
  const char *text;
  const char *found; // nullptr: no match
};

const PrefixSearchCase prefixSearchCases[] = {
    {{}, {}, "x RUN: y CHECK: z", "RUN"},
    {{}, {}, "x COMCHECK", "COM"},
    {{}, {}, "check run com", nullptr},
    // Leftmost first, then the longest of the prefixes starting there.
    {{"A", "AB"}, {}, "xxABC", "AB"},
    {{"AB", "A"}, {}, "xxABC", "AB"},
    {{"FOO"}, {"FOO-BAR"}, "FOO-BAR:", "FOO-BAR"},
    {{"B"}, {}, "A-B", "B"},
    // Prefixes are literal: a '-' is not a range, '_' is no wildcard.
    {{"A-C"}, {}, "B A-C", "A-C"},
    {{"X_Y"}, {"P"}, "XaY", nullptr},
};

TEST(CheckEngine, PrefixRegexFindsLeftmostLongestPrefix) {
  for (const PrefixSearchCase &c : prefixSearchCases) {
    SCOPED_TRACE(c.text);
    CheckEngine engine(requestWith(c.checkPrefixes, c.commentPrefixes));
    ASSERT_TRUE(engine.validatePrefixes());
    Regex regex = engine.buildPrefixRegex();
    ASSERT_TRUE(regex.isValid());
    std::vector<std::string_view> matches;
    bool found = regex.match(c.text, &matches);
    if (!c.found) {
      EXPECT_FALSE(found);
      continue;
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(matches[0], c.found);
  }
}

std::string canonical(std::string_view text, bool strictWhitespace) {
  CheckRequest request;
  request.strictWhitespace = strictWhitespace;
  CheckEngine engine(request);
  std::unique_ptr<TextBuffer> buffer = makeTextBufferCopy(text, "in");
  SmallVector<char, 16> storage;
  storage.append({'o', 'l', 'd'});
  std::string_view result = engine.canonicalizeBuffer(*buffer, storage);
  EXPECT_EQ(result.data(), storage.data());
  EXPECT_EQ(storage.size(), result.size() + 1);
  EXPECT_EQ(result.data()[result.size()], '\0');
  // Rewriting the buffer itself gives the same text, shortened in place.
  std::string_view inPlace = engine.canonicalizeInPlace(*buffer);
  EXPECT_EQ(inPlace.data(), buffer->bufferStart());
  EXPECT_EQ(buffer->size(), inPlace.size());
  EXPECT_EQ(*buffer->bufferEnd(), '\0');
  EXPECT_EQ(inPlace, result);
  return std::string(result);
}

struct CanonicalCase {
  std::string text;
  std::string folded;
  std::string strict;
};

const CanonicalCase canonicalCases[] = {
    {"", "", ""},
    {"a \t b", "a b", "a \t b"},
    {"  lead\t\t", " lead ", "  lead\t\t"},
    {"a\r\nb\r\n", "a\nb\n", "a\nb\n"},
    {"a\rb", "a\rb", "a\rb"},
    {"end\r", "end\r", "end\r"},
    {"\r\r\n", "\r\n", "\r\n"},
    // A line feed ends a run of blanks; a CR inside a run ends it too.
    {" \n \t\n", " \n \n", " \n \t\n"},
    {"a \r\n b", "a \n b", "a \n b"},
    {"x \r \ty", "x \r y", "x \r \ty"},
    {std::string("n\0 \0", 4), std::string("n\0 \0", 4), std::string("n\0 \0", 4)},
    {"\v\f", "\v\f", "\v\f"},
    // Single spaces need no change; runs that straddle eight-byte words do.
    {"a b c d e f g h i j ", "a b c d e f g h i j ", "a b c d e f g h i j "},
    {"abcdefg  h", "abcdefg h", "abcdefg  h"},
    {"abcdefg \th", "abcdefg h", "abcdefg \th"},
    {"abcdef g\t", "abcdef g ", "abcdef g\t"},
    // The wide scan takes 64 bytes at a time: a run across a block's edge, a
    // CR LF across it, and a CR that ends the text right after a block.
    {std::string(63, 'a') + "  b", std::string(63, 'a') + " b", std::string(63, 'a') + "  b"},
    {std::string(63, 'a') + "\r\n", std::string(63, 'a') + "\n", std::string(63, 'a') + "\n"},
    {std::string(64, 'a') + "\r", std::string(64, 'a') + "\r", std::string(64, 'a') + "\r"},
    {std::string(64, '\t') + "\t\r\n", " \n", std::string(65, '\t') + "\n"},
};

// Every way of scanning, in place and into other room, on texts long
// enough for several wide blocks, with blank runs and CR LF pairs across
// their edges. The room is the text's size, so that the sanitizer build
// sees a write past it.
std::string scanned(std::string_view text, bool strictWhitespace, CanonicalScan scan,
                    bool inPlace) {
  std::unique_ptr<char[]> bytes(new char[text.size()]);
  std::memcpy(bytes.get(), text.data(), text.size());
  std::unique_ptr<char[]> room(new char[text.size()]);
  char *out = inPlace ? bytes.get() : room.get();
  char *written =
      canonicalizeBytes(bytes.get(), bytes.get() + text.size(), out, !strictWhitespace, scan);
  return std::string(out, written);
}

TEST(CheckEngine, CanonicalizeBuffer) {
  for (const CanonicalCase &c : canonicalCases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(canonical(c.text, false), c.folded);
    EXPECT_EQ(canonical(c.text, true), c.strict);
    for (CanonicalScan scan : {CanonicalScan::Best, CanonicalScan::Portable}) {
      EXPECT_EQ(scanned(c.text, false, scan, true), c.folded);
      EXPECT_EQ(scanned(c.text, true, scan, false), c.strict);
    }
  }
}

// A byte-at-a-time statement of the rules, to check the bulk-copying scan
// on texts where blanks, CRs and line feeds meet in every order.
std::string slowCanonical(std::string_view text, bool strictWhitespace) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
      continue;
    if (!strictWhitespace && (c == ' ' || c == '\t')) {
      out += ' ';
      while (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t'))
        ++i;
      continue;
    }
    out += c;
  }
  return out;
}

TEST(CheckEngine, CanonicalizeBufferAgreesWithByteRules) {
  std::mt19937 random(20261210);
  const char specials[] = {' ', '\t', '\r', '\n', '\0'};
  for (int round = 0; round < 1200; ++round) {
    // Sparse texts too, so that long stretches without any blank or CR
    // are scanned in whole words.
    unsigned oneIn = 2u << (round % 4 * 2);
    std::string text;
    size_t length = random() % 300;
    for (size_t i = 0; i < length; ++i)
      text += random() % oneIn ? char('a' + random() % 3) : specials[random() % sizeof(specials)];
    SCOPED_TRACE(testing::PrintToString(text));
    ASSERT_EQ(canonical(text, false), slowCanonical(text, false));
    ASSERT_EQ(canonical(text, true), slowCanonical(text, true));
    for (bool strict : {false, true})
      for (CanonicalScan scan : {CanonicalScan::Best, CanonicalScan::Portable})
        for (bool inPlace : {false, true})
          ASSERT_EQ(scanned(text, strict, scan, inPlace), slowCanonical(text, strict))
              << "strict " << strict << ", portable " << (scan == CanonicalScan::Portable)
              << ", in place " << inPlace;
  }
}

// In place, the bytes before the first change are not written, so the pages
// they fill stay clean: here the first page is read-only, and a write faults.
TEST(CheckEngine, CanonicalizeInPlaceLeavesUnchangedPagesAlone) {
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  std::string text;
  while (text.size() < page)
    text += "a b\n";
  while (text.size() < 2 * page)
    text += "a \t\r\nb";
  text.resize(2 * page);
  for (CanonicalScan scan : {CanonicalScan::Best, CanonicalScan::Portable})
    for (bool strict : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "portable " << (scan == CanonicalScan::Portable) << " strict " << strict);
      void *map =
          mmap(nullptr, text.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      ASSERT_NE(map, MAP_FAILED);
      char *bytes = static_cast<char *>(map);
      std::copy(text.begin(), text.end(), bytes);
      ASSERT_EQ(mprotect(bytes, page, PROT_READ), 0);
      char *end = canonicalizeBytes(bytes, bytes + text.size(), bytes, !strict, scan);
      EXPECT_EQ(std::string(bytes, end), slowCanonical(text, strict));
      munmap(map, text.size());
    }
}

} // namespace
} // namespace vetline
