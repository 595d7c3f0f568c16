#include "engine/check_reader.h"

#include "engine/check_engine.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace vetline {
namespace {

struct SuffixCase {
  std::string_view afterPrefix;
  bool isComment;
  DirectiveKind kind;
  int32_t count;
  bool isLiteral;
  size_t end;
};

const SuffixCase suffixCases[] = {
    {": x", false, DirectiveKind::Plain, 1, false, 1},
    {"-NEXT: x", false, DirectiveKind::Next, 1, false, 6},
    {"-SAME:", false, DirectiveKind::Same, 1, false, 6},
    {"-NOT:", false, DirectiveKind::Not, 1, false, 5},
    {"-DAG:", false, DirectiveKind::Dag, 1, false, 5},
    {"-LABEL:", false, DirectiveKind::Label, 1, false, 7},
    {"-EMPTY:", false, DirectiveKind::Empty, 1, false, 7},
    {"-COUNT-3:", false, DirectiveKind::Plain, 3, false, 9},
    {"-COUNT-007:", false, DirectiveKind::Plain, 7, false, 11},
    {"-COUNT-2147483647:", false, DirectiveKind::Plain, 2147483647, false, 18},
    {"-COUNT-2{LITERAL}:", false, DirectiveKind::Plain, 2, true, 18},
    {"{LITERAL}:", false, DirectiveKind::Plain, 1, true, 10},
    {"-NOT{ LITERAL ,\tLITERAL\n}: x", false, DirectiveKind::Not, 1, true, 26},
    {": x", true, DirectiveKind::Comment, 1, false, 1},
    // Bad counts: after the digits, or after "COUNT-" when there are none.
    {"-COUNT-0:", false, DirectiveKind::BadCount, 1, false, 8},
    {"-COUNT-:", false, DirectiveKind::BadCount, 1, false, 7},
    {"-COUNT--2:", false, DirectiveKind::BadCount, 1, false, 9},
    {"-COUNT-2147483648:", false, DirectiveKind::BadCount, 1, false, 17},
    {"-COUNT-99999999999999999999999:", false, DirectiveKind::BadCount, 1, false, 30},
    {"-COUNT-3 :", false, DirectiveKind::BadCount, 1, false, 8},
    {"-COUNT-3", false, DirectiveKind::BadCount, 1, false, 8},
    {"-DAG-NOT:", false, DirectiveKind::BadNot, 1, false, 1},
    {"-NOT-EMPTY:", false, DirectiveKind::BadNot, 1, false, 1},
    {"-NEXT-NOT:", false, DirectiveKind::BadNot, 1, false, 1},
    // Not directives at all.
    {"-DAG-NOT{LITERAL}:", false, DirectiveKind::None, 1, false, 0},
    {"-NEXTX:", false, DirectiveKind::None, 1, false, 0},
    {"-NOT-LABEL:", false, DirectiveKind::None, 1, false, 0},
    {"-FOO:", false, DirectiveKind::None, 1, false, 0},
    {"-COUNT:", false, DirectiveKind::None, 1, false, 0},
    {"{LITERAL}", false, DirectiveKind::None, 1, false, 0},
    {"{LITERAL", false, DirectiveKind::None, 1, false, 0},
    {"{literal}:", false, DirectiveKind::None, 1, false, 0},
    {"{LITERAL,}:", false, DirectiveKind::None, 1, false, 0},
    {"{}:", false, DirectiveKind::None, 1, false, 0},
    {"-next:", false, DirectiveKind::None, 1, false, 0},
    {" :", false, DirectiveKind::None, 1, false, 0},
    {"", false, DirectiveKind::None, 1, false, 0},
    {"-NEXT: x", true, DirectiveKind::None, 1, false, 0},
    {"{LITERAL}:", true, DirectiveKind::None, 1, false, 0},
};

TEST(CheckReader, DirectiveSuffix) {
  for (const SuffixCase &c : suffixCases) {
    SCOPED_TRACE(std::string(c.afterPrefix) + (c.isComment ? " (comment)" : ""));
    DirectiveSuffix suffix = parseDirectiveSuffix(c.afterPrefix, c.isComment);
    EXPECT_EQ(suffix.type.kind, c.kind);
    if (c.kind == DirectiveKind::None)
      continue;
    EXPECT_EQ(suffix.type.count, c.count);
    EXPECT_EQ(suffix.type.isLiteral(), c.isLiteral);
    EXPECT_EQ(suffix.end, c.end);
  }
}

// Reads `checkText` (named "check.txt") with `request` and describes the
// directives, one per line: the description, '@' and the line, the pattern
// ("fixed" text or /regex/), "x" and the count when above 1, then each NOT or
// DAG pattern in brackets. On an error, "error:" and everything printed.
class Reader {
public:
  explicit Reader(CheckRequest request = {}) : engine(request) {}

  std::string load(std::string_view checkText) {
    EXPECT_TRUE(engine.validatePrefixes());
    Regex prefixRegex = engine.buildPrefixRegex();
    EXPECT_TRUE(prefixRegex.isValid());
    unsigned number = sources.addBuffer(makeTextBufferCopy(checkText, "check.txt"));
    testing::internal::CaptureStderr();
    bool failed = engine.loadDirectives(sources, sources.buffer(number).text(), prefixRegex,
                                        &implicitBuffers);
    std::string printed = testing::internal::GetCapturedStderr();
    if (failed)
      return "error:" + printed;
    EXPECT_EQ(printed, "");
    std::string result;
    for (const CheckDirective &directive : engine.directives()) {
      result += describe(directive.prefix, directive.pattern);
      for (const CheckPattern &pattern : engine.implicitNotPatterns())
        result += " [" + describe(directive.prefix, pattern) + "]";
      for (const CheckPattern &pattern : directive.notDagPatterns)
        result += " [" + describe(directive.prefix, pattern) + "]";
      result += "\n";
    }
    return result;
  }

  static std::string describe(std::string_view prefix, const CheckPattern &pattern) {
    std::string result = directiveDescription(prefix, pattern.type) + "@";
    result += pattern.lineNumber ? std::to_string(*pattern.lineNumber) : "-";
    if (!pattern.fixedText.empty())
      result += " " + std::string(pattern.fixedText);
    else if (!pattern.regexText().empty())
      result += " /" + std::string(pattern.regexText()) + "/";
    if (pattern.type.count > 1)
      result += " x" + std::to_string(pattern.type.count);
    return result;
  }

  SourceManager sources;
  CheckEngine engine;
  ImplicitBufferRange implicitBuffers{7, 7};
};

struct LoadCase {
  const char *name;
  std::string_view checkText;
  const char *expected;
};

const LoadCase loadCases[] = {
    {"plain and next", "CHECK: foo\nCHECK-NEXT: bar\n", "CHECK@1 foo\nCHECK-NEXT@2 bar\n"},
    {"words and suffixes", "x CHECK-SAME: a\nCHECK-EMPTY:\nCHECK-LABEL: l\nCHECK-COUNT-3: c{{d}}\n",
     "error:check.txt:1:3: error: found 'CHECK-SAME' without previous 'CHECK: line\n"
     "x CHECK-SAME: a\n  ^\n"},
    {"kinds and counts",
     "CHECK: a\nCHECK-SAME: b\nCHECK-EMPTY:\nCHECK-LABEL: l\nCHECK-COUNT-3: c{{d}}\n"
     "CHECK{LITERAL}: {{e\n",
     "CHECK@1 a\nCHECK-SAME@2 b\nCHECK-EMPTY@3 /(\n$)/\nCHECK-LABEL@4 l\n"
     "CHECK-COUNT@5 /c(d)/ x3\nCHECK{LITERAL}@6 {{e\n"},
    {"NOT and DAG wait for the next positive directive",
     "CHECK-NOT: a\nCHECK-DAG: b\nCHECK: c\nCHECK-DAG: d\nCHECK-NEXT: e\nCHECK-NOT: f\n",
     "CHECK@3 c [CHECK-NOT@1 a] [CHECK-DAG@2 b]\nCHECK-NEXT@5 e [CHECK-DAG@4 d]\n"
     "implicit EOF@7 [CHECK-NOT@6 f]\n"},
    {"glued and unknown occurrences are skipped",
     "XCHECK: a\nCHECK-FOO: b\n_CHECK: c\nCHECKS: d\nCHECK\n",
     "error:error: no check strings found with prefix 'CHECK:'\n"},
    {"an occurrence after a blank or punctuation counts", "(CHECK: a) .CHECK: b\n",
     "CHECK@1 a) .CHECK: b\n"},
    {"first bytes of the prefix on the way",
     "C C C C C C C C C C C C C C C C C C C C CHECK: a\n"
     "CC CHEC CHECK: b\nCHECKCHECK: c\n",
     "CHECK@1 a\nCHECK@2 b\n"},
    {"a skipped word swallows glued prefixes", "XCHECK-CHECK: a\nfoo CHECK: b\n", "CHECK@2 b\n"},
    {"comment lines are skipped whatever they hold",
     "COM: CHECK: {{\nRUN: [[X\nCHECK: a\nCOM-NEXT: CHECK-NEXT: b\n",
     "CHECK@3 a\nCHECK-NEXT@4 b\n"},
    {"NOT before NEXT leaves no previous line", "CHECK-NOT: a\nCHECK-NEXT: b\n",
     "error:check.txt:2:1: error: found 'CHECK-NEXT' without previous 'CHECK: line\n"
     "CHECK-NEXT: b\n^\n"},
    {"EMPTY first", "CHECK-EMPTY:\n",
     "error:check.txt:1:1: error: found 'CHECK-EMPTY' without previous 'CHECK: line\n"
     "CHECK-EMPTY:\n^\n"},
    {"label with a variable", "CHECK: a\n  CHECK-LABEL: [[X]]\n",
     "error:check.txt:2:3: error: found 'CHECK-LABEL:' with variable definition or use\n"
     "  CHECK-LABEL: [[X]]\n  ^\n"},
    {"bad count", "CHECK: a\nCHECK-COUNT-0: x\n",
     "error:check.txt:2:14: error: invalid count in -COUNT specification on prefix 'CHECK'\n"
     "CHECK-COUNT-0: x\n             ^\n"},
    {"bad count without digits", "CHECK-COUNT-x: a\n",
     "error:check.txt:1:13: error: invalid count in -COUNT specification on prefix 'CHECK'\n"
     "CHECK-COUNT-x: a\n            ^\n"},
    {"bad count at the very end", "CHECK: a\nCHECK-COUNT-",
     "error:check.txt:2:6: error: invalid count in -COUNT specification on prefix 'CHECK'\n"
     "CHECK-COUNT-\n     ^\n"},
    {"bad not", "CHECK-DAG-NOT: a\n",
     "error:check.txt:1:7: error: unsupported -NOT combo on prefix 'CHECK'\n"
     "CHECK-DAG-NOT: a\n      ^\n"},
    {"pattern error stops reading", "CHECK: a\nCHECK: {{b\nCHECK-NEXT:\n",
     "error:check.txt:2:8: error: found start of regex string with no end '}}'\n"
     "CHECK: {{b\n       ^\n"},
    {"directive ending the text has an empty pattern", "CHECK: a\nCHECK:",
     "error:check.txt:2:7: error: found empty check string with prefix 'CHECK:'\nCHECK:\n      "
     "^\n"},
    {"prefix ending the text", "CHECK: a\nCHECK", "CHECK@1 a\n"},
    {"unterminated modifier block", "CHECK: a\nCHECK{LITERAL", "CHECK@1 a\n"},
    {"modifier block over two lines keeps later lines right",
     "CHECK{\nLITERAL}: a\nCHECK: b\nCHECK-NOT: c\n",
     "CHECK{LITERAL}@1 a\nCHECK@3 b\nimplicit EOF@5 [CHECK-NOT@4 c]\n"},
    {"carriage returns end patterns but not lines", "CHECK: a\rCHECK-SAME: b\r\rCHECK: c\n",
     "CHECK@1 a\nCHECK-SAME@1 b\nCHECK@1 c\n"},
};

TEST(CheckReader, LoadDirectives) {
  for (const LoadCase &c : loadCases) {
    SCOPED_TRACE(c.name);
    Reader reader;
    EXPECT_EQ(reader.load(c.checkText), c.expected);
  }
}

TEST(CheckReader, NulBytesStayInPatterns) {
  Reader reader;
  ASSERT_EQ(reader.load(std::string_view("CHECK: a\0b\n", 11)), std::string("CHECK@1 a\0b\n", 12));
  EXPECT_EQ(reader.engine.directives()[0].pattern.fixedText.size(), 3u);
}

TEST(CheckReader, DirectiveFields) {
  Reader reader;
  ASSERT_EQ(reader.load("CHECK:   a b  \nCHECK-NOT: x\n"),
            "CHECK@1 a b\nimplicit EOF@3 [CHECK-NOT@2 x]\n");
  const char *start = reader.sources.buffer(1).bufferStart();
  const CheckDirective &first = reader.engine.directives()[0];
  EXPECT_EQ(first.prefix.data(), start);
  EXPECT_EQ(first.location.pointer(), start + 9);
  EXPECT_EQ(first.pattern.location.pointer(), start + 9);
  const CheckDirective &end = reader.engine.directives()[1];
  EXPECT_EQ(end.prefix, "CHECK");
  EXPECT_EQ(end.location.pointer(), start + 27);
  EXPECT_EQ(reader.implicitBuffers.first, 0u);
  EXPECT_EQ(reader.implicitBuffers.end, 0u);
}

TEST(CheckReader, UnusedPrefixes) {
  struct PrefixCase {
    const char *name;
    bool allowUnused;
    std::string_view checkText;
    const char *expected;
  };
  const PrefixCase cases[] = {
      {"B unused", false, "A: x\n", "error:error: no check strings found with prefix 'B:'\n"},
      {"B unused but allowed", true, "A: x\n", "A@1 x\n"},
      {"none used", false, "C: x\n",
       "error:error: no check strings found with prefixes 'A:', 'B:'\n"},
      {"none used, even when allowed", true, "",
       "error:error: no check strings found with prefixes 'A:', 'B:'\n"},
      {"comment prefixes do not count", true, "RUN: x\nCOM: y\n",
       "error:error: no check strings found with prefixes 'A:', 'B:'\n"},
      {"both used", false, "B: x\nA-NEXT: y\n", "B@1 x\nA-NEXT@2 y\n"},
  };
  for (const PrefixCase &c : cases) {
    SCOPED_TRACE(c.name);
    CheckRequest request;
    request.checkPrefixes = {"B", "A", "B"};
    request.allowUnusedPrefixes = c.allowUnused;
    Reader reader(request);
    // Validation refuses the duplicate; the reader still sees each once.
    testing::internal::CaptureStderr();
    (void)reader.engine.validatePrefixes();
    (void)testing::internal::GetCapturedStderr();
    Regex prefixRegex = reader.engine.buildPrefixRegex();
    unsigned number = reader.sources.addBuffer(makeTextBufferCopy(c.checkText, "check.txt"));
    testing::internal::CaptureStderr();
    bool failed = reader.engine.loadDirectives(reader.sources, reader.sources.buffer(number).text(),
                                               prefixRegex, nullptr);
    std::string printed = testing::internal::GetCapturedStderr();
    std::string result = "error:" + printed;
    if (!failed) {
      EXPECT_EQ(printed, "");
      result.clear();
      for (const CheckDirective &directive : reader.engine.directives())
        result += Reader::describe(directive.prefix, directive.pattern) + "\n";
    }
    EXPECT_EQ(result, c.expected);
  }
}

TEST(CheckReader, ImplicitCheckNot) {
  CheckRequest request;
  request.implicitCheckNot = {"bad", "wor{{s}}e"};
  Reader reader(request);
  // With the default prefix, implicit patterns alone make a check file.
  EXPECT_EQ(reader.load("nothing here\n"),
            "implicit EOF@2 [CHECK-NOT@- bad] [CHECK-NOT@- /wor(s)e/]\n");
  // Buffer 1 is the check text.
  ASSERT_EQ(reader.sources.bufferCount(), 3u);
  EXPECT_EQ(reader.implicitBuffers.first, 2u);
  EXPECT_EQ(reader.implicitBuffers.end, 4u);
  EXPECT_EQ(reader.sources.buffer(2).identifier(), "command line");
  EXPECT_EQ(reader.sources.buffer(3).text(), "-implicit-check-not='wor{{s}}e'");
  EXPECT_EQ(reader.engine.implicitNotPatterns()[0].location.pointer(),
            reader.sources.buffer(2).bufferStart() + 21);
}

// Settings of the request that change what the reader files.
struct RequestCase {
  const char *name;
  CheckRequest request;
  std::string_view checkText;
  const char *expected;
};

const RequestCase requestCases[] = {
    {"strict full lines keep leading blanks",
     {.strictWhitespace = true, .matchFullLines = true},
     "CHECK:  a \n",
     "CHECK@1 /^  a $/\n"},
    {"implicit NOT patterns precede each group",
     {.implicitCheckNot = {"bad"}},
     "CHECK-DAG: a\nCHECK: b\nCHECK: c\n",
     "CHECK@2 b [CHECK-NOT@- bad] [CHECK-DAG@1 a]\nCHECK@3 c [CHECK-NOT@- bad]\n"
     "implicit EOF@4 [CHECK-NOT@- bad]\n"},
    {"implicit NOT patterns alone need the default prefix",
     {.checkPrefixes = {"CHECK"}, .implicitCheckNot = {"bad"}},
     "nothing\n",
     "error:error: no check strings found with prefix 'CHECK:'\n"},
    {"an implicit NOT pattern's error points into its buffer",
     {.implicitCheckNot = {"a{{b"}},
     "CHECK: x\n",
     "error:command line:1:23: error: found start of regex string with no end '}}'\n"
     "-implicit-check-not='a{{b'\n                      ^\n"},
    {"errors of global defines come first",
     {.globalDefines = {"=1", "@X=2"}},
     "CHECK: {{\n",
     "error:Global defines:1:19: error: empty variable name\n"
     "Global define #1: =1\n                  ^\n\n"
     "Global defines:2:19: error: invalid name in string variable definition '@X'\n"
     "Global define #2: @X=2\n                  ^\n\n"},
};

TEST(CheckReader, RequestSettings) {
  for (const RequestCase &c : requestCases) {
    SCOPED_TRACE(c.name);
    Reader reader(c.request);
    EXPECT_EQ(reader.load(c.checkText), c.expected);
  }
}

TEST(CheckReader, ManyDirectivesAndLongLines) {
  std::string text;
  for (int i = 0; i < 100000; ++i)
    text += i % 2 ? "CHECK-NEXT: b\n" : "CHECK: a\n";
  text += std::string(1 << 20, 'x') + " CHECK-NOT: y";
  Reader reader;
  std::string result = reader.load(text);
  ASSERT_EQ(reader.engine.directives().size(), 100001u);
  const CheckDirective &last = reader.engine.directives().back();
  EXPECT_EQ(last.pattern.type.kind, DirectiveKind::EndOfFile);
  EXPECT_EQ(last.pattern.lineNumber, 100002u);
  EXPECT_EQ(last.notDagPatterns.at(0).fixedText, "y");
}

// The listener hears every directive the reader finds, comments included,
// with its pattern text, and also the one whose pattern then fails.
TEST(CheckReader, ListenerHearsEachDirective) {
  Reader reader;
  std::string heard;
  reader.engine.setDirectiveListener([&heard](const DirectiveSighting &sighting) {
    heard += directiveDescription(sighting.prefix, sighting.type) + " <" +
             std::string(sighting.patternText) + ">\n";
  });
  EXPECT_EQ(reader.load("COM: note\nx CHECK:  a b \nCHECK-NOT{LITERAL}: {{\nXCHECK: no\n"
                        "CHECK-DAG: {{(}}\nCHECK: never\n"),
            "error:check.txt:5:14: error: invalid regex: parentheses not balanced\n"
            "CHECK-DAG: {{(}}\n             ^\n");
  EXPECT_EQ(heard, "COM <note>\nCHECK <a b >\nCHECK-NOT{LITERAL} <{{>\nCHECK-DAG <{{(}}>\n");
}

// What a companion program finds of its own comment-like words: where each
// one stands, which of them it takes on one line, and the text it keeps.
std::string commentDirectives(std::string_view text) {
  std::string found;
  for (const CommentSighting &sighting : findCommentDirectives(text, {"RUN", "RUN-X", "NEEDS"}))
    found += std::string(sighting.prefix) + "@" + std::to_string(sighting.line) + " <" +
             std::string(sighting.text) + ">\n";
  return found.empty() ? "<none>" : found;
}

struct CommentCase {
  const char *text;
  const char *found;
};

const CommentCase commentCases[] = {
    {"RUN: a", "RUN@1 <a>\n"},
    {"// RUN:   a b  \n", "RUN@1 <a b  >\n"},
    {"#RUN:a\n;RUN:b", "RUN@1 <a>\nRUN@2 <b>\n"},
    // Inside a word, or without its colon, the word is no directive.
    {"XRUN: a\nRUN_X: b\nRUN : c\nRUN-Y: d", "<none>"},
    {"-RUN: a", "<none>"},
    // The longest prefix at a place wins; one directive per line.
    {"RUN-X: a RUN: b\nx NEEDS: c RUN: d", "RUN-X@1 <a RUN: b>\nNEEDS@2 <c RUN: d>\n"},
    // A word is skipped whole, so a prefix later on the line still counts.
    {"RUNS RUN: a", "RUN@1 <a>\n"},
    {"a\r\nRUN: b\r\n\nRUN:\r\n", "RUN@2 <b>\nRUN@4 <>\n"},
};

TEST(CheckReader, CommentDirectives) {
  for (const CommentCase &c : commentCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(commentDirectives(c.text), c.found);
  }
  // A NUL byte is text like any other.
  EXPECT_EQ(commentDirectives(std::string_view("\0RUN: a\0b\n", 10)),
            std::string("RUN@1 <a\0b>\n", 12));
}

} // namespace
} // namespace vetline
