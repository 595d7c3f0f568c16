#include "lint/pattern_scan.h"

#include "engine/check_engine.h"
#include "engine/pattern.h"
#include "engine/pattern_context.h"
#include "lint/variable_check.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace vetline::lint {
namespace {

std::string pieces(std::string_view text) {
  std::vector<PatternPiece> found;
  scanPattern(text, found);
  std::string out;
  for (const PatternPiece &piece : found) {
    switch (piece.kind) {
    case PieceKind::Regex:
      out += "re<" + std::string(piece.text) + ">";
      break;
    case PieceKind::StringDefinition:
      out += "def<" + std::string(piece.text) + ":" + std::string(piece.regex) + ">";
      break;
    case PieceKind::StringUse:
      out += "use<" + std::string(piece.text) + ">";
      break;
    case PieceKind::NumericBlock:
      out += "num<" + std::string(piece.text) + ">";
      break;
    }
  }
  return out;
}

struct ScanCase {
  const char *text;
  const char *pieces;
};

const ScanCase scanCases[] = {
    {"plain text", ""},
    {"a{{b|c}}d", "re<b|c>"},
    {"{{}}", "re<>"},
    {"{{a}}}}", "re<a>"},
    {"a[[[b]]", "use<b>"},
    {"[[X:[0-9]+]] [[X]]", "def<X:[0-9]+>use<X>"},
    {"[[X:a:b]]", "def<X:a:b>"},
    {"[[X:\\]]]x", "def<X:\\]>"},
    {"[[#%x,N:M+1]][[@LINE+1]]", "num<%x,N:M+1>use<@LINE+1>"},
    // Malformed pieces end the scan where the parser reports them.
    {"{{a}} {{b", "re<a>"},
    {"[[X]] [[Y:a]b]] [[Z]]", "use<X>"},
    {"[[X", ""},
};

TEST(PatternScan, Pieces) {
  for (const ScanCase &c : scanCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(pieces(c.text), c.pieces);
  }
}

// The scan and the pattern parser agree on which string variables a
// pattern defines and which it substitutes (a use after a definition in
// the same pattern is a back-reference, so the parser makes no
// substitution for it).
TEST(PatternScan, AgreesWithTheParser) {
  const char *patterns[] = {
      "[[A:a]] [[B]] x{{c}}[[A]]", "a[[[B]] [[C:x]]", "[[D:(x)]]{{(y)}}[[E:z]][[E]]",
      "{{a}}[[F]]{{b}}[[G:\\]]]",  "[[[[H]]",         "x[[I:{{]][[I]]}}",
  };
  for (const char *text : patterns) {
    SCOPED_TRACE(text);
    SourceManager sources;
    unsigned number = sources.addBuffer(makeTextBufferCopy(text, "pattern"));
    PatternContext context;
    CheckPattern pattern({DirectiveKind::Plain, 1, 0}, 1, &context);
    ASSERT_FALSE(
        pattern.compilePattern(sources.buffer(number).text(), "CHECK", sources, CheckRequest()));
    std::string parsed;
    for (const auto &[name, group] : pattern.stringVarDefs())
      parsed += "def " + std::string(name) + "\n";
    for (const Substitution *substitution : pattern.substitutions())
      parsed += "use " + std::string(substitution->fromText) + "\n";

    std::vector<VariableEvent> events;
    std::vector<PatternPiece> scratch;
    patternVariables(text, events, scratch);
    std::string defs;
    std::string uses;
    std::set<std::string_view> defined;
    for (const VariableEvent &event : events) {
      if (event.isDefinition) {
        if (defined.insert(event.name).second)
          defs += "def " + std::string(event.name) + "\n";
      } else if (!defined.contains(event.name)) {
        uses += "use " + std::string(event.name) + "\n";
      }
    }
    // stringVarDefs is ordered by name; so are these test patterns' names.
    EXPECT_EQ(defs + uses, parsed);
  }
}

struct EscapeCase {
  const char *regex;
  const char *escapes;
};

const EscapeCase escapeCases[] = {
    {"\\d+\\.\\w", "0:d 5:w "},
    {"a\\<b\\>", "1:< 4:> "},
    {"[\\d\\w\\q]", "1:d[] 3:w[] "},
    {"[]\\d]", "2:d[] "},
    {"[^]\\s]\\S", "3:s[] 6:S "},
    {"[[:alpha:]\\d]\\b", "10:d[] 13:b "},
    {"[[.\\d.]]", ""},
    {"[[:<:]]x[[:>:]]", ""},
    {"\\\\d \\( \\1 \\{", ""},
    {"[abc", ""},
    {"\\", ""},
};

TEST(PatternScan, SuspectEscapes) {
  for (const EscapeCase &c : escapeCases) {
    SCOPED_TRACE(c.regex);
    std::vector<SuspectEscape> escapes;
    findSuspectEscapes(c.regex, escapes);
    std::string out;
    for (const SuspectEscape &escape : escapes)
      out +=
          std::to_string(escape.offset) + ":" + escape.letter + (escape.isInBracket ? "[] " : " ");
    EXPECT_EQ(out, c.escapes);
  }
}

// A line of ten megabytes of markers and pieces is scanned in one pass.
TEST(PatternScan, LongLines) {
  std::string text;
  for (int i = 0; i < 1000000; ++i)
    text += "a[[[X]]{{y}}";
  std::vector<PatternPiece> found;
  scanPattern(text, found);
  EXPECT_EQ(found.size(), 2000000u);
  std::string brackets(10 << 20, '[');
  scanPattern(brackets, found);
  EXPECT_TRUE(found.empty());
}

} // namespace
} // namespace vetline::lint
