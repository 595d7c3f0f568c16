// Parsing a pattern text into a fixed string or one regular expression.
// Capture groups are numbered as the regex is built: each {{...}} piece and
// each definition opens one group, and a piece's own groups are counted
// after it, so the numbers recorded for definitions and back-references are
// those of the finished regex. Tested by pattern_test.cpp.
#include "engine/pattern.h"

#include "engine/check_request.h"
#include "engine/engine_errors.h"
#include "engine/pattern_context.h"
#include "support/format.h"
#include "support/output_stream.h"
#include "support/regex/regex.h"
#include "support/small_vector.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them. "{N}" stands for a value filled
// in by formatPositional.
namespace text {
constexpr std::string_view emptyCheckString = "found empty check string with prefix '{0}:'";
constexpr std::string_view nonEmptyForEmptyCheck =
    "found non-empty check string for empty check with prefix '{0}:'";
constexpr std::string_view unterminatedRegex = "found start of regex string with no end '}}'";
constexpr std::string_view invalidRegex = "invalid regex: {0}";
constexpr std::string_view missingClosingBracket = "missing closing \"]\" for regex variable";
constexpr std::string_view unterminatedBlock = "Invalid substitution block, no ]] found";
constexpr std::string_view unexpectedWhitespace = "unexpected whitespace";
constexpr std::string_view invalidDefinitionName = "invalid name in string variable definition";
constexpr std::string_view invalidUseName = "invalid name in string variable use";
constexpr std::string_view tooManyBackReferences = "Can't back-reference more than 9 variables";
constexpr std::string_view emptyVariableName = "empty variable name";
constexpr std::string_view invalidVariableName = "invalid variable name";
} // namespace text

bool exitsOnUnbalancedBracket = true;

bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool isNameByte(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view dropTrailingBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

class PatternParser {
public:
  PatternParser(CheckPattern &pattern, std::string_view prefix, SourceManager &sourceManager,
                const CheckRequest &request)
      : pattern(pattern), prefix(prefix), sourceManager(sourceManager), request(request) {}

  bool parse(std::string_view text);

private:
  bool parseBody(std::string_view text);
  bool parseRegexPiece(std::string_view &text);
  bool parseBlock(std::string_view &text);
  bool parseStringBlock(std::string_view block);
  bool parseStringDefinition(std::string_view block, std::string_view name);
  bool parseStringUse(std::string_view name);
  void appendLiteral(std::string_view &text);
  bool parseNumericBlockText(std::string_view block, bool isLegacy);
  bool addRegex(std::string_view piece, const char *at = nullptr);
  bool checkWholeRegex();
  bool piecesMakeAValidWhole(std::string_view whole) const;
  bool shareEarlierParse(std::string_view text, unsigned flags);
  void storeRegex();
  void addSubstitution(Substitution *substitution);
  size_t nextMarker(std::string_view marker, size_t &cached, size_t from) const;
  bool reportError(const char *at, std::string_view message) {
    sourceManager.emitDiagnostic(SourceLocation::fromPointer(at), DiagKind::Error, message);
    return true;
  }

  CheckPattern &pattern;
  std::string_view prefix;
  SourceManager &sourceManager;
  const CheckRequest &request;
  uint32_t nextGroup = 1;
  // The pattern text after dropping trailing blanks, and the offsets in it
  // of the next "{{" and "[[" found so far (npos: none left).
  std::string_view whole;
  size_t nextBraces = 0;
  size_t nextBrackets = 0;
  // The regex and its records as they are built; stored in the pattern at
  // the end, each in one piece.
  std::string regex;
  SmallVector<Substitution *, 4> substitutions;
  std::map<std::string_view, uint32_t> stringVarDefs;
  NameMap<NumericVarDef> *numericVarDefs = nullptr;
  // Where numeric values go, for checking the whole regex.
  SmallVector<size_t, 4> valueIndices;
  // The literal text, cut where substitutions go (views of the pattern
  // text), and how many bytes of the regex its escapes take: when that is
  // all of the regex, the pattern is plain text apart from its values.
  SmallVector<std::string_view, 4> literalPieces{std::string_view()};
  size_t literalRegexBytes = 0;
  // Set once a {{...}} piece, a variable's regex or a numeric wildcard is
  // added: only those can make the whole fail to compile.
  bool hasRegexPiece = false;
  // The compiled size of those pieces together.
  size_t pieceOperations = 0;
  // A numeric block's parse depends on the variables defined before it
  // (and defines some): such a pattern is never shared.
  bool hasNumericBlock = false;
};

bool PatternParser::parse(std::string_view text) {
  pattern.location = SourceLocation::fromPointer(text.data());
  pattern.ignoreCase = request.ignoreCase;
  bool isStrict = request.strictWhitespace;
  bool isFullLine = request.matchFullLines && pattern.type.kind != DirectiveKind::Not;
  if (!(isStrict && request.matchFullLines))
    text = dropTrailingBlanks(text);
  bool isEmptyKind = pattern.type.kind == DirectiveKind::Empty;
  if (text.empty()) {
    if (!isEmptyKind)
      return reportError(text.data(), formatPositionalString(text::emptyCheckString, prefix));
    regex = "(\n$)";
    storeRegex();
    return false;
  }
  if (isEmptyKind)
    return reportError(text.data(), formatPositionalString(text::nonEmptyForEmptyCheck, prefix));
  if (pattern.type.isLiteral()) {
    pattern.fixedText = text;
    return false;
  }
  if (isFullLine) {
    regex = isStrict ? "^" : "^ *";
  } else if (text.size() < 2 || (text.find("{{") == std::string_view::npos &&
                                 text.find("[[") == std::string_view::npos)) {
    pattern.fixedText = text;
    return false;
  }
  unsigned flags = (isFullLine ? 1u : 0u) | (isStrict ? 2u : 0u) | (pattern.ignoreCase ? 4u : 0u);
  if (shareEarlierParse(text, flags))
    return false;
  whole = text;
  // Escaping at most doubles the literal text; one allocation then holds
  // what most patterns build.
  regex.reserve(regex.size() + 2 * text.size() + 8);
  if (parseBody(text))
    return true;
  if (isFullLine)
    regex += isStrict ? "$" : " *$";
  if (checkWholeRegex())
    return true;
  storeRegex();
  if (!hasNumericBlock)
    pattern.context->rememberPattern(text, flags, &pattern.regexParts());
  return false;
}

// Apart from numeric blocks, a parse depends on the text and settings alone,
// except that a string variable may not be defined under the name of a
// numeric one, which a pattern in between may have defined.
bool PatternParser::shareEarlierParse(std::string_view text, unsigned flags) {
  PatternContext &context = *pattern.context;
  PatternRegex *parts = context.rememberedPattern(text, flags);
  if (!parts)
    return false;
  for (const StringVarDef &definition : parts->stringVarDefs)
    if (context.numericVar(definition.name))
      return false;
  pattern.shareRegexParts(parts);
  return true;
}

void PatternParser::storeRegex() {
  PatternRegex &parts = pattern.regexParts();
  ParseArena &arena = pattern.context->arena();
  parts.text = arena.copyText(regex);
  parts.substitutions = arena.copyOf(std::span<Substitution *const>(substitutions));
  SmallVector<StringVarDef, 4> defs;
  for (const auto &[name, group] : stringVarDefs)
    defs.push_back({name, group});
  parts.stringVarDefs = arena.copyOf(std::span<const StringVarDef>(defs));
  parts.numericVarDefs = numericVarDefs;
  parts.source = whole.data();
  // Everything else a pattern can hold writes bytes into the regex.
  if (!substitutions.empty() && literalRegexBytes == regex.size())
    parts.literalPieces = arena.copyOf(std::span<const std::string_view>(literalPieces));
}

void PatternParser::addSubstitution(Substitution *substitution) {
  substitutions.push_back(substitution);
  literalPieces.push_back({});
}

bool PatternParser::parseBody(std::string_view text) {
  while (!text.empty()) {
    if (text.starts_with("{{")) {
      if (parseRegexPiece(text))
        return true;
    } else if (text.starts_with("[[") && (text.size() < 3 || text[2] != '[')) {
      if (parseBlock(text))
        return true;
    } else {
      appendLiteral(text);
    }
  }
  return false;
}

// `text` starts with "{{"; consumes through the matching "}}".
bool PatternParser::parseRegexPiece(std::string_view &text) {
  size_t end = text.find("}}");
  if (end == std::string_view::npos)
    return reportError(text.data(), text::unterminatedRegex);
  regex += '(';
  ++nextGroup;
  if (addRegex(text.substr(2, end - 2)))
    return true;
  regex += ')';
  text.remove_prefix(end + 2);
  return false;
}

// Literal text up to the next "{{" or "[[" that starts after its first byte
// (so one '[' of "[[[" stays literal).
void PatternParser::appendLiteral(std::string_view &text) {
  size_t from = static_cast<size_t>(text.data() - whole.data()) + 1;
  size_t end = std::min(nextMarker("{{", nextBraces, from), nextMarker("[[", nextBrackets, from));
  std::string_view literal = text.substr(0, end - (from - 1));
  size_t regexSize = regex.size();
  regex += Regex::escape(literal);
  literalRegexBytes += regex.size() - regexSize;
  // Literal text is only cut by blocks: what follows a piece without a
  // block in between continues it.
  std::string_view &piece = literalPieces.back();
  piece = piece.empty() ? literal : std::string_view(piece.data(), piece.size() + literal.size());
  text.remove_prefix(literal.size());
}

// The first `marker` in `whole` at or after `from`. `cached` holds an earlier
// answer for a smaller `from`, still right while it lies at or after `from`:
// searching afresh each time would rescan the rest of a long line of many
// pieces once per piece.
size_t PatternParser::nextMarker(std::string_view marker, size_t &cached, size_t from) const {
  if (cached < from)
    cached = whole.find(marker, from);
  return std::min(cached, whole.size());
}

// What compiling a regex tells: whether it is valid (else the message) and
// how many groups it has.
struct RegexCheck {
  bool isValid = false;
  std::string error;
  unsigned groups = 0;
  size_t operations = 0;
};

// Whether a regex compiles depends on its text and options alone, and check
// files repeat the same few pieces ({{[0-9]+}}) and often whole lines on
// thousands of directives: each distinct regex is compiled once. The memo is
// dropped when it grows large, so a long run over ever new regexes keeps
// only a bounded number.
const RegexCheck &checkRegex(std::string_view regex, RegexOptions options) {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>()(key); }
  };
  static std::unordered_map<std::string, RegexCheck, Hash, std::equal_to<>> checked;
  // The options byte ends the key; the buffer is kept so that a lookup of
  // a regex seen before allocates nothing.
  static std::string key;
  constexpr size_t maxRemembered = 4096;
  key.assign(regex);
  key += static_cast<char>('0' + static_cast<unsigned>(options));
  auto found = checked.find(std::string_view(key));
  if (found != checked.end())
    return found->second;
  if (checked.size() >= maxRemembered)
    checked.clear();
  Regex compiled(regex, options);
  RegexCheck result;
  result.isValid = compiled.isValid(result.error);
  result.groups = compiled.subexpressionCount();
  result.operations = compiled.operationCount();
  return checked.emplace(key, std::move(result)).first->second;
}

// `at` locates errors when `piece` is not in the check text (a numeric
// block's wildcard, which a large precision can make too long a repetition).
bool PatternParser::addRegex(std::string_view piece, const char *at) {
  hasRegexPiece = true;
  // A piece alone is compiled for its syntax and its group count only, with
  // no options: the pattern's options apply to the whole (checkWholeRegex).
  const RegexCheck &check = checkRegex(piece, RegexOptions::None);
  if (!check.isValid)
    return reportError(at ? at : piece.data(),
                       formatPositionalString(text::invalidRegex, check.error));
  regex += piece;
  nextGroup += check.groups;
  pieceOperations += check.operations;
  return false;
}

// Every piece compiled alone, but the whole can still fail: a back-reference
// inside a piece may name the piece's own group, which is open in the whole.
// Values inserted later are escaped text or digits placed between complete
// atoms, so they cannot change whether it compiles, except that a numeric
// value (never empty) fills the group of a definition with an expression:
// one digit stands in for each. A regex made only of string substitutions
// is empty until then and has nothing to check.
bool PatternParser::checkWholeRegex() {
  // Without a regex piece the whole is escaped text, anchors, plain groups
  // and the digits standing in for values: it always compiles, and compiling
  // it would be most of the cost of reading such a pattern. Case folding
  // changes what the text compiles to, so it is checked all the same.
  if (!hasRegexPiece && !pattern.ignoreCase)
    return false;
  std::string_view whole = regex;
  std::string withValues;
  if (!valueIndices.empty()) {
    withValues = regex;
    for (auto index = valueIndices.rbegin(); index != valueIndices.rend(); ++index)
      withValues.insert(*index, 1, '0');
    whole = withValues;
  }
  if (whole.empty() || (!pattern.ignoreCase && piecesMakeAValidWhole(whole)))
    return false;
  const RegexCheck &check = checkRegex(whole, regexOptionsOf(pattern));
  if (!check.isValid)
    return reportError(pattern.location.pointer(),
                       formatPositionalString(text::invalidRegex, check.error));
  return false;
}

// Each piece compiled alone, and in the whole it stands in a group of its
// own between escaped text, digits and anchors: the whole compiles too,
// unless a back-reference names a group by number (the pieces' places
// change what it names), or the whole passes a size limit that no piece
// passed alone (the operations, or the nesting its group adds). Compiling a
// whole of distinct text is most of the cost of reading it otherwise.
bool PatternParser::piecesMakeAValidWhole(std::string_view whole) const {
  // Far below the nesting limit, even with a level for every byte.
  constexpr size_t maxLength = 256;
  if (whole.size() > maxLength ||
      pieceOperations + 4 * whole.size() + 16 > Regex::guaranteedOperations)
    return false;
  for (size_t i = 0; i + 1 < whole.size(); ++i)
    if (whole[i] == '\\' && whole[i + 1] >= '1' && whole[i + 1] <= '9')
      return false;
  return true;
}

// `text` starts with "[[" (not "[[["); consumes through the closing "]]".
bool PatternParser::parseBlock(std::string_view &text) {
  std::string_view inner = text.substr(2);
  BlockEnd found = findBlockEnd(inner);
  if (found.isStray) {
    reportError(inner.data() + found.offset, text::missingClosingBracket);
    if (!exitsOnUnbalancedBracket)
      return true;
    standardError().flush();
    standardOutput().flush();
    exitProcess(1);
  }
  if (found.offset == std::string_view::npos)
    return reportError(text.data(), text::unterminatedBlock);
  size_t end = found.offset;
  std::string_view block = inner.substr(0, end);
  text.remove_prefix(2 + end + 2);
  if (block.starts_with('#'))
    return parseNumericBlockText(block.substr(1), false);
  return parseStringBlock(block);
}

// `block` is the text after '#', or all of a legacy @LINE block.
bool PatternParser::parseNumericBlockText(std::string_view block, bool isLegacy) {
  hasNumericBlock = true;
  PatternContext &context = *pattern.context;
  Fallible<NumericBlock> parsed =
      parseNumericBlock(block, isLegacy, pattern.lineNumber, context, sourceManager);
  if (!parsed) {
    printAllErrors(parsed.extractError(), standardError(), "");
    return true;
  }
  NumericVar *defined = parsed->definedVariable;
  Expression &expression = parsed->expression;
  size_t insertIndex = regex.size();
  if (defined) {
    regex += '(';
    ++insertIndex;
    if (!numericVarDefs)
      numericVarDefs = context.makeNumericVarDefs();
    (*numericVarDefs)[defined->name] = NumericVarDef{defined, nextGroup};
    // Uses in later blocks and patterns find this definition.
    context.setNumericVar(defined->name, defined);
    ++nextGroup;
  }
  if (!expression.ast) {
    Fallible<std::string> wildcard = expression.format.wildcardRegex();
    if (!wildcard)
      VETLINE_UNREACHABLE("a parsed numeric block has a real format");
    if (addRegex(*wildcard, block.data()))
      return true;
  }
  if (defined)
    regex += ')';
  if (expression.ast) {
    valueIndices.push_back(insertIndex);
    addSubstitution(
        context.arena().make<ExpressionSubstitution>(&context, block, insertIndex, expression));
  }
  return false;
}

bool PatternParser::parseStringBlock(std::string_view block) {
  size_t colon = block.find(':');
  std::string_view namePart = block.substr(0, colon);
  size_t blank = namePart.find_first_of(" \t");
  if (blank != std::string_view::npos)
    return reportError(namePart.data() + blank, text::unexpectedWhitespace);
  std::string_view rest = block;
  Fallible<VariableName> parsed = parseVariableName(rest, sourceManager);
  if (!parsed) {
    printAllErrors(parsed.extractError(), standardError(), "");
    return true;
  }
  std::string_view name = parsed->name;
  if (colon != std::string_view::npos) {
    if (parsed->isPseudo || !rest.starts_with(':'))
      return reportError(name.data(), text::invalidDefinitionName);
    return parseStringDefinition(block.substr(colon + 1), name);
  }
  if (parsed->isPseudo)
    return parseNumericBlockText(block, true);
  if (!rest.empty())
    return reportError(name.data(), text::invalidUseName);
  return parseStringUse(name);
}

bool PatternParser::parseStringDefinition(std::string_view piece, std::string_view name) {
  PatternContext &context = *pattern.context;
  if (context.numericVar(name))
    return reportError(name.data(), PatternContext::numericNameTakenMessage(name));
  regex += '(';
  stringVarDefs[name] = nextGroup;
  context.markStringVarDefined(name);
  ++nextGroup;
  if (addRegex(piece))
    return true;
  regex += ')';
  return false;
}

bool PatternParser::parseStringUse(std::string_view name) {
  auto defined = stringVarDefs.find(name);
  if (defined != stringVarDefs.end()) {
    uint32_t group = defined->second;
    if (group < 1 || group > 9)
      return reportError(name.data(), text::tooManyBackReferences);
    regex += '\\';
    regex += static_cast<char>('0' + group);
    return false;
  }
  PatternContext &context = *pattern.context;
  addSubstitution(context.arena().make<StringVarSubstitution>(&context, name, regex.size()));
  return false;
}

} // namespace

RegexOptions regexOptionsOf(const CheckPattern &pattern) {
  return pattern.ignoreCase ? RegexOptions::Newline | RegexOptions::IgnoreCase
                            : RegexOptions::Newline;
}

void setExitOnUnbalancedBracket(bool isEnabled) { exitsOnUnbalancedBracket = isEnabled; }

Fallible<std::string> StringVarSubstitution::valueText() const {
  std::optional<std::string_view> value = context->stringValue(fromText);
  if (!value)
    return newError<UndefinedVariableError>(fromText);
  return Regex::escape(*value);
}

Error StringVarSubstitution::appendValue(std::string &needle) const {
  std::optional<std::string_view> value = context->stringValue(fromText);
  if (!value)
    return newError<UndefinedVariableError>(fromText);
  needle += *value;
  return success();
}

Fallible<std::string> ExpressionSubstitution::valueText() const {
  Fallible<ExprValue> value = expression.ast->eval();
  if (!value)
    return value.extractError();
  return expression.format.matchingText(*value);
}

// A number's text holds no metacharacter: it is the inserted text itself.
Error ExpressionSubstitution::appendValue(std::string &needle) const {
  Fallible<std::string> text = valueText();
  if (!text)
    return text.extractError();
  needle += *text;
  return success();
}

std::string_view CheckPattern::inOwnText(std::string_view view) const {
  const char *own = location.pointer();
  if (!regex || !regex->source || regex->source == own || view.data() < regex->source)
    return view;
  return {own + (view.data() - regex->source), view.size()};
}

PatternRegex &CheckPattern::regexParts() {
  if (!regex)
    regex = context->makePatternRegex();
  return *regex;
}

bool CheckPattern::compilePattern(std::string_view text, std::string_view prefix,
                                  SourceManager &sourceManager, const CheckRequest &request) {
  return PatternParser(*this, prefix, sourceManager, request).parse(text);
}

BlockEnd findBlockEnd(std::string_view inner) {
  size_t depth = 0;
  for (size_t i = 0; i < inner.size(); ++i) {
    char c = inner[i];
    if (c == '\\') {
      ++i;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (depth > 0)
        --depth;
      else if (i + 1 < inner.size() && inner[i + 1] == ']')
        return {i, false};
      else
        return {i, true};
    }
  }
  return {};
}

bool startsVariableName(std::string_view text) {
  size_t i = !text.empty() && (text[0] == '@' || text[0] == '$') ? 1 : 0;
  return i < text.size() && isNameStart(text[i]);
}

Fallible<VariableName> parseVariableName(std::string_view &text,
                                         const SourceManager &sourceManager) {
  if (text.empty())
    return makeLocatedError(sourceManager, text, text::emptyVariableName);
  VariableName result;
  size_t i = 0;
  if (text[0] == '@' || text[0] == '$') {
    result.isPseudo = text[0] == '@';
    i = 1;
  }
  if (!startsVariableName(text))
    return makeLocatedError(sourceManager, text, text::invalidVariableName);
  while (i < text.size() && isNameByte(text[i]))
    ++i;
  result.name = text.substr(0, i);
  text.remove_prefix(i);
  return result;
}

} // namespace vetline
