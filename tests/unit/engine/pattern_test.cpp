#include "engine/pattern.h"

#include "engine/check_engine.h"
#include "engine/engine_errors.h"
#include "engine/pattern_context.h"
#include "support/output_stream.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

enum Flags : unsigned {
  NoFlags = 0,
  FullLines = 1,
  Strict = 2,
  Literal = 4,
};

// Parses one pattern written on line 1 of a buffer named "check.txt" and
// describes the result: "fixed:TEXT", or "regex:REGEX" followed by
// " def:NAME=GROUP" per string definition, " num:NAME=GROUP" per numeric
// one and " sub:TEXT@INDEX" per substitution, or "error:" and everything
// printed to standard error.
class PatternParse {
public:
  std::string parse(std::string_view text, DirectiveKind kind = DirectiveKind::Plain,
                    unsigned flags = NoFlags) {
    CheckRequest request;
    request.matchFullLines = (flags & FullLines) != 0;
    request.strictWhitespace = (flags & Strict) != 0;
    unsigned number = sources.addBuffer(makeTextBufferCopy(text, "check.txt"));
    std::string_view stored = sources.buffer(number).text();
    DirectiveType type{kind, 1, (flags & Literal) != 0 ? LiteralModifier : 0u};
    pattern = std::make_unique<CheckPattern>(type, 1, &context);
    testing::internal::CaptureStderr();
    bool failed = pattern->compilePattern(stored, "CHECK", sources, request);
    std::string printed = testing::internal::GetCapturedStderr();
    if (failed)
      return "error:" + printed;
    EXPECT_EQ(printed, "");
    return describe(*pattern);
  }

  static std::string describe(const CheckPattern &pattern) {
    if (!pattern.fixedText.empty())
      return "fixed:" + std::string(pattern.fixedText);
    std::string result = "regex:" + std::string(pattern.regexText());
    for (const auto &[name, group] : pattern.stringVarDefs())
      result += " def:" + std::string(name) + "=" + std::to_string(group);
    if (pattern.numericVarDefs())
      for (const auto &entry : *pattern.numericVarDefs())
        result += " num:" + std::string(entry.key()) + "=" + std::to_string(entry.value.group);
    for (const Substitution *substitution : pattern.substitutions())
      result += " sub:" + std::string(substitution->fromText) + "@" +
                std::to_string(substitution->insertIndex);
    return result;
  }

  SourceManager sources;
  PatternContext context;
  std::unique_ptr<CheckPattern> pattern;
};

struct ParseCase {
  const char *name;
  std::string_view text;
  DirectiveKind kind;
  unsigned flags;
  const char *expected;
};

const ParseCase parseCases[] = {
    {"single brace stays fixed", "{", DirectiveKind::Plain, NoFlags, "fixed:{"},
    {"no blocks stays fixed", "a.b*c", DirectiveKind::Plain, NoFlags, "fixed:a.b*c"},
    {"trailing blanks dropped", "abc \t ", DirectiveKind::Plain, NoFlags, "fixed:abc"},
    {"regex piece and escaped literal", "{{a|b}}c.", DirectiveKind::Plain, NoFlags,
     "regex:(a|b)c\\."},
    {"triple bracket keeps one literal", "a[[[b]]", DirectiveKind::Plain, NoFlags,
     "regex:a\\[ sub:b@3"},
    {"definition keeps its brackets", "[[X:[0-9]+]]", DirectiveKind::Plain, NoFlags,
     "regex:([0-9]+) def:X=1"},
    {"definition may contain colons", "[[X:a:b]]", DirectiveKind::Plain, NoFlags,
     "regex:(a:b) def:X=1"},
    {"escaped bracket in definition", "[[X:a\\]]]", DirectiveKind::Plain, NoFlags,
     "regex:(a\\]) def:X=1"},
    {"use after definition is a back-reference", "[[X:a]] [[X]]", DirectiveKind::Plain, NoFlags,
     "regex:(a) \\1 def:X=1"},
    {"use before definition is a substitution", "[[X]] [[X:a]]", DirectiveKind::Plain, NoFlags,
     "regex: (a) def:X=1 sub:X@0"},
    {"piece groups shift definitions", "{{(a)(b)}}[[X:(c)]]d[[X]]", DirectiveKind::Plain, NoFlags,
     "regex:((a)(b))((c))d\\4 def:X=4"},
    {"redefinition takes the later group", "[[X:a]][[X:b]][[X]]", DirectiveKind::Plain, NoFlags,
     "regex:(a)(b)\\2 def:X=2"},
    {"global and substitution index", "x[[$G]]y[[H]]", DirectiveKind::Plain, NoFlags,
     "regex:xy sub:$G@1 sub:H@2"},
    {"ninth definition back-referenced",
     "[[A:a]][[B:b]][[C:c]][[D:d]][[E:e]][[F:f]][[G:g]][[H:h]][[I:i]][[I]]", DirectiveKind::Plain,
     NoFlags,
     "regex:(a)(b)(c)(d)(e)(f)(g)(h)(i)\\9 def:A=1 def:B=2 def:C=3 def:D=4 def:E=5 def:F=6 "
     "def:G=7 def:H=8 def:I=9"},
    {"literal escapes every metacharacter", "()^$|*+?.[]\\{}{{x}}", DirectiveKind::Plain, NoFlags,
     "regex:\\(\\)\\^\\$\\|\\*\\+\\?\\.\\[\\]\\\\\\{\\}(x)"},
    {"full line anchors", "a{{b}}", DirectiveKind::Plain, FullLines, "regex:^ *a(b) *$"},
    {"full line anchors plain text too", "a.b", DirectiveKind::Plain, FullLines,
     "regex:^ *a\\.b *$"},
    {"strict full line keeps trailing blanks", "a  ", DirectiveKind::Plain, FullLines | Strict,
     "regex:^a  $"},
    {"strict alone drops trailing blanks", "a{{b}} ", DirectiveKind::Plain, Strict, "regex:a(b)"},
    {"NOT is never anchored", "a{{b}}", DirectiveKind::Not, FullLines, "regex:a(b)"},
    {"NOT without blocks stays fixed", "a", DirectiveKind::Not, FullLines, "fixed:a"},
    {"LITERAL keeps braces", "a{{b", DirectiveKind::Plain, Literal, "fixed:a{{b"},
    {"LITERAL keeps brackets", "[[X]]", DirectiveKind::Plain, Literal | FullLines, "fixed:[[X]]"},
    {"empty line pattern", "", DirectiveKind::Empty, NoFlags, "regex:(\n$)"},
    {"empty line pattern with blanks", "  ", DirectiveKind::Empty, FullLines, "regex:(\n$)"},

    {"empty pattern", " ", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:1: error: found empty check string with prefix 'CHECK:'\n \n^\n"},
    {"text on an empty-line directive", "x", DirectiveKind::Empty, NoFlags,
     "error:check.txt:1:1: error: found non-empty check string for empty check with prefix "
     "'CHECK:'\nx\n^\n"},
    {"unterminated regex piece", "a{{b}", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:2: error: found start of regex string with no end '}}'\na{{b}\n ^\n"},
    {"empty regex piece", "x{{}}", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:4: error: invalid regex: empty (sub)expression\nx{{}}\n   ^\n"},
    {"bad regex in definition", "ab[[X:a(]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:7: error: invalid regex: parentheses not balanced\nab[[X:a(]]\n      ^\n"},
    {"back-reference into its own open group", "x{{([a-z]+) \\1}}", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:1: error: invalid regex: invalid backreference number\n"
     "x{{([a-z]+) \\1}}\n^\n"},
    {"unterminated block", "a[[X", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:2: error: Invalid substitution block, no ]] found\na[[X\n ^\n"},
    {"block of two brackets only", "a[[", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:2: error: Invalid substitution block, no ]] found\na[[\n ^\n"},
    {"blank in the name", "[[X Y]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:4: error: unexpected whitespace\n[[X Y]]\n   ^\n"},
    {"pseudo-variable defined", "[[@LINE:x]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:3: error: invalid name in string variable definition\n[[@LINE:x]]\n  ^\n"},
    {"junk between name and colon", "[[X+:x]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:3: error: invalid name in string variable definition\n[[X+:x]]\n  ^\n"},
    {"expression as a string use", "[[X+1]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:3: error: invalid name in string variable use\n[[X+1]]\n  ^\n"},
    {"empty block", "a[[]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:4: error: empty variable name\na[[]]\n   ^\n\n"},
    {"name starting with a digit", "[[1X]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:3: error: invalid variable name\n[[1X]]\n  ^\n\n"},
    {"tenth definition back-referenced",
     "[[A:a]][[B:b]][[C:c]][[D:d]][[E:e]][[F:f]][[G:g]][[H:h]][[I:i]][[J:j]][[J]]",
     DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:73: error: Can't back-reference more than 9 variables\n"
     "[[A:a]][[B:b]][[C:c]][[D:d]][[E:e]][[F:f]][[G:g]][[H:h]][[I:i]][[J:j]][[J]]\n"
     "                                                                        ^\n"},
    {"numeric use", "a [[#N]]", DirectiveKind::Plain, NoFlags, "regex:a  sub:N@2"},
    {"numeric definition", "[[#%x,A:]]", DirectiveKind::Plain, NoFlags,
     "regex:([0-9a-f]+) num:A=1"},
    {"wildcard group counted", "[[#%.2,A:]] [[B:x]]", DirectiveKind::Plain, NoFlags,
     "regex:(([1-9][0-9]*)?[0-9]{2}) (x) def:B=3 num:A=1"},
    {"definition with expression", "[[#A:B+1]]!", DirectiveKind::Plain, NoFlags,
     "regex:()! num:A=1 sub:A:B+1@1"},
    {"wildcard only", "x[[#%X,]]", DirectiveKind::Plain, NoFlags, "regex:x[0-9A-F]+"},
    {"legacy line expression", "[[@LINE+1]]:", DirectiveKind::Plain, NoFlags,
     "regex:: sub:@LINE+1@0"},
    {"use of a definition from the same block", "[[#A:A+1]]", DirectiveKind::Plain, NoFlags,
     "regex:() num:A=1 sub:A:A+1@1"},
    {"full line with a numeric value", "n [[#@LINE]]", DirectiveKind::Plain, FullLines,
     "regex:^ *n  *$ sub:@LINE@5"},
    {"use after a definition on one line", "[[#A:]] [[#A+1]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:12: error: numeric variable 'A' defined earlier in the same CHECK "
     "directive\n[[#A:]] [[#A+1]]\n           ^\n\n"},
    {"string definition of a numeric variable", "[[#A:]] [[A:x]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:11: error: numeric variable with name 'A' already exists\n"
     "[[#A:]] [[A:x]]\n          ^\n"},
    {"numeric block error", "ab [[#1+]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:9: error: missing operand in expression\nab [[#1+]]\n        ^\n\n"},
    {"precision beyond a repetition count", "n [[#%.300,A:]]", DirectiveKind::Plain, NoFlags,
     "regex:n (([1-9][0-9]*)?[0-9]{255}[0-9]{45}) num:A=1"},
    {"blank in a legacy expression", "[[@LINE + 1]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:8: error: unexpected whitespace\n[[@LINE + 1]]\n       ^\n"},
    {"legacy expression with a variable", "[[@LINE+N]]", DirectiveKind::Plain, NoFlags,
     "error:check.txt:1:9: error: invalid operand format\n[[@LINE+N]]\n        ^\n\n"},
};

TEST(Pattern, Parse) {
  for (const ParseCase &c : parseCases) {
    SCOPED_TRACE(c.name);
    PatternParse parser;
    EXPECT_EQ(parser.parse(c.text, c.kind, c.flags), c.expected);
  }
}

// Whether a regex compiles is remembered by its text and options from one
// pattern to the next, and a context parses a pattern without numeric
// blocks once per text and settings: reading every case again, with the
// answers then coming from memory, must give the same result, in a new
// context and in the same one.
TEST(Pattern, ParseIsTheSameWhenRepeated) {
  for (int round = 1; round <= 2; ++round) {
    for (const ParseCase &c : parseCases) {
      SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
      PatternParse parser;
      EXPECT_EQ(parser.parse(c.text, c.kind, c.flags), c.expected);
      // A numeric block's parse depends on the variables defined before.
      if (c.text.find("[[#") == std::string_view::npos &&
          c.text.find("[[@") == std::string_view::npos) {
        EXPECT_EQ(parser.parse(c.text, c.kind, c.flags), c.expected);
      }
    }
  }
  PatternParse parser;
  EXPECT_EQ(parser.parse("a{{b}}", DirectiveKind::Plain, FullLines), "regex:^ *a(b) *$");
  EXPECT_EQ(parser.parse("a{{b}}", DirectiveKind::Plain, FullLines | Strict), "regex:^a(b)$");
  EXPECT_EQ(parser.parse("a{{b}}", DirectiveKind::Not, FullLines), "regex:a(b)");
  EXPECT_EQ(parser.parse("a{{b}}"), "regex:a(b)");
}

// Reading a pattern compiles its whole regex only when its pieces alone do
// not settle it: pieces that compile alone, each in a group of its own
// between escaped text and anchors, make a whole that compiles, as long as
// no back-reference names a group by number. Random pieces over the
// metacharacters hold the parser to that.
TEST(Pattern, PiecesValidAloneMakeAValidWhole) {
  std::mt19937 random(11);
  const std::string_view tokens[] = {"a", ".", "(",   ")",     "(a)", "[a-]", "^", "$", "|", "*",
                                     "+", "?", "{1}", "{1,2}", "\\1", "\\.",  "{", "]", ","};
  auto randomPiece = [&] {
    std::string piece;
    for (size_t count = 1 + random() % 5; count > 0; --count)
      piece += tokens[random() % std::size(tokens)];
    return piece;
  };
  auto validAlone = [](const std::string &piece) {
    for (size_t i = 0; i + 1 < piece.size(); ++i)
      if (piece[i] == '\\' && piece[i + 1] >= '1' && piece[i + 1] <= '9')
        return false;
    return Regex(piece).isValid();
  };
  size_t tried = 0;
  while (tried < 3000) {
    std::string first = randomPiece();
    std::string second = randomPiece();
    if (!validAlone(first) || !validAlone(second))
      continue;
    ++tried;
    for (const std::string &whole :
         {"^ *x(" + first + ")\\.(" + second + ") *$", "(" + first + ")(" + second + ")0"}) {
      std::string error;
      EXPECT_TRUE(Regex(whole, RegexOptions::Newline).isValid(error)) << whole << ": " << error;
    }
  }
}

TEST(Pattern, KeepsLocationCaseAndNulBytes) {
  PatternParse parser;
  std::string text("a\0b{{c}} ", 9);
  EXPECT_EQ(parser.parse(text), std::string("regex:a\\\0b(c)", 13));
  EXPECT_EQ(parser.pattern->location.pointer(), parser.sources.buffer(1).bufferStart());
  EXPECT_FALSE(parser.pattern->ignoreCase);
  EXPECT_EQ(parser.pattern->lineNumber, 1u);
}

TEST(Pattern, DefinitionsAreMarkedInTheContext) {
  PatternParse parser;
  EXPECT_EQ(parser.parse("[[X:a]][[Y]]"), "regex:(a) def:X=1 sub:Y@3");
  EXPECT_TRUE(parser.context.isStringVarDefined("X"));
  EXPECT_FALSE(parser.context.isStringVarDefined("Y"));
  EXPECT_TRUE(parser.pattern->hasVariables());
}

TEST(Pattern, DefinitionClashingWithNumericVariable) {
  PatternParse parser;
  parser.context.setNumericVar("N", parser.context.makeNumericVar("N", std::nullopt));
  EXPECT_EQ(parser.parse("[[N:a]]"),
            "error:check.txt:1:3: error: numeric variable with name 'N' already exists\n"
            "[[N:a]]\n  ^\n");
}

TEST(Pattern, CopiesShareSubstitutions) {
  PatternParse parser;
  ASSERT_EQ(parser.parse("[[X]]"), "regex: sub:X@0");
  CheckPattern copy = *parser.pattern;
  ASSERT_EQ(copy.substitutions().size(), 1u);
  EXPECT_EQ(copy.substitutions()[0], parser.pattern->substitutions()[0]);
}

// What parsing makes for a pattern stays in the context for the whole run:
// thousands of patterns later, and after a line of more substitutions than
// one block of the context's storage holds, each pattern still reads as it
// did right after parsing.
TEST(Pattern, RecordsOutliveLaterPatterns) {
  SourceManager sources;
  PatternContext context;
  context.makeLineVariable();
  CheckRequest request;
  std::string wide;
  for (int i = 0; i < 3000; ++i)
    wide += "[[X]]-";
  std::vector<CheckPattern> patterns;
  std::vector<std::string> described;
  for (size_t line = 1; line <= 2000; ++line) {
    std::string number = std::to_string(line);
    std::string text = line == 1000 ? wide
                                    : "v" + number + " [[#@LINE+" + number + "]] [[#%x,N" + number +
                                          ":]] [[S:x[0-9]+]] [[S]] [[T]]";
    unsigned buffer = sources.addBuffer(makeTextBufferCopy(text, "check.txt"));
    patterns.emplace_back(DirectiveType{DirectiveKind::Plain, 1, 0}, line, &context);
    ASSERT_FALSE(
        patterns.back().compilePattern(sources.buffer(buffer).text(), "CHECK", sources, request));
    described.push_back(PatternParse::describe(patterns.back()));
  }
  EXPECT_EQ(patterns[999].substitutions().size(), 3000u);
  EXPECT_EQ(described[1], "regex:v2  ([0-9a-f]+) (x[0-9]+) \\2  def:S=2 num:N2=1 sub:@LINE+2@3 "
                          "sub:T@29");
  for (size_t i = 0; i < patterns.size(); ++i)
    ASSERT_EQ(PatternParse::describe(patterns[i]), described[i]) << "line " << i + 1;
}

TEST(Pattern, UnbalancedBracketEndsTheProcess) {
  SourceManager sources;
  PatternContext context;
  unsigned number = sources.addBuffer(makeTextBufferCopy("ab [[X:a]b]]", "check.txt"));
  CheckPattern pattern({DirectiveKind::Plain, 1, 0}, 1, &context);
  EXPECT_EXIT(
      (void)pattern.compilePattern(sources.buffer(number).text(), "CHECK", sources, CheckRequest()),
      testing::ExitedWithCode(1),
      "^check.txt:1:9: error: missing closing \"]\" for regex variable\n"
      "ab \\[\\[X:a\\]b\\]\\]\n"
      "        \\^\n$");
}

TEST(Pattern, UnbalancedBracketFailsWhenExitingIsOff) {
  setExitOnUnbalancedBracket(false);
  PatternParse parser;
  std::string result = parser.parse("ab [[X:a]b]]");
  setExitOnUnbalancedBracket(true);
  EXPECT_EQ(result, "error:check.txt:1:9: error: missing closing \"]\" for regex variable\n"
                    "ab [[X:a]b]]\n        ^\n");
}

TEST(Pattern, StringSubstitutionEscapesItsValue) {
  PatternContext context;
  StringVarSubstitution substitution(&context, "X", 0);
  Fallible<std::string> missing = substitution.valueText();
  ASSERT_FALSE(missing);
  Error error = missing.extractError();
  ASSERT_TRUE(error.isKindOf<UndefinedVariableError>());
  EXPECT_EQ(error.payload()->message(), "undefined variable: X");

  context.setStringValue("X", "a.b");
  Fallible<std::string> value = substitution.valueText();
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, "a\\.b");
}

struct NameCase {
  std::string_view text;
  const char *expected; // "name|pseudo|rest" or the error message
};

const NameCase nameCases[] = {
    {"X", "X|0|"},
    {"_a1-b", "_a1|0|-b"},
    {"$glob:x", "$glob|0|:x"},
    {"@LINE+1", "@LINE|1|+1"},
    {"", "empty variable name"},
    {"@", "invalid variable name"},
    {"$1", "invalid variable name"},
    {"-x", "invalid variable name"},
};

TEST(Pattern, ParseVariableName) {
  SourceManager sources;
  for (const NameCase &c : nameCases) {
    SCOPED_TRACE(c.text);
    unsigned number = sources.addBuffer(makeTextBufferCopy(c.text, "names"));
    std::string_view text = sources.buffer(number).text();
    Fallible<VariableName> name = parseVariableName(text, sources);
    if (!name) {
      Error error = name.extractError();
      ASSERT_TRUE(error.isKindOf<LocatedError>());
      EXPECT_EQ(error.payload()->message(), c.expected);
      continue;
    }
    EXPECT_EQ(std::string(name->name) + "|" + (name->isPseudo ? "1" : "0") + "|" +
                  std::string(text),
              c.expected);
  }
}

// The text after "[[" -> where the block ends: "end N", "stray N" or
// "none". The pattern parser and the linter's scan both rely on it.
struct BlockEndCase {
  const char *inner;
  const char *expected;
};

const BlockEndCase blockEndCases[] = {
    {"X]]", "end 1"},     {"X:[ab]]]", "end 6"}, {"X:[[:alpha:]]]]", "end 13"},
    {"X:\\]]]", "end 4"}, {"X]y]]", "stray 1"},  {"X:a]b]]", "stray 3"},
    {"X:[a]", "none"},    {"X]", "stray 1"},     {"X", "none"},
    {"", "none"},
};

TEST(Pattern, FindBlockEnd) {
  for (const BlockEndCase &c : blockEndCases) {
    SCOPED_TRACE(c.inner);
    BlockEnd found = findBlockEnd(c.inner);
    std::string shown = found.offset == std::string_view::npos
                            ? "none"
                            : (found.isStray ? "stray " : "end ") + std::to_string(found.offset);
    EXPECT_EQ(shown, c.expected);
  }
}

} // namespace
} // namespace vetline
