// The numeric block parser: a hand-written recursive descent over the block
// text, one pass, no lookahead beyond the next non-blank byte. Each
// function takes the rest of the text by reference and advances it past
// what it read, so a node's text is the difference of two such views.
// Tested by numeric_expression_test.cpp.
#include "engine/numeric_expression.h"

#include "engine/engine_errors.h"
#include "engine/pattern.h"
#include "engine/pattern_context.h"
#include "support/format.h"
#include "support/small_vector.h"

#include <string>

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them. "{N}" stands for a value filled
// in by formatPositional.
namespace text {
constexpr std::string_view tooDeep = "numeric expression nested too deeply";
constexpr std::string_view emptyWithConstraint =
    "empty numeric expression should not have a constraint";
constexpr std::string_view badFormatSpec = "invalid matching format specification in expression";
constexpr std::string_view badPrecision = "invalid precision in format specifier";
constexpr std::string_view badFormatSpecifier = "invalid format specifier in expression";
constexpr std::string_view alternateFormNotHex = "alternate form only supported for hex values";
constexpr std::string_view trailingCharacters = "unexpected characters at end of expression '{0}'";
constexpr std::string_view parenthesesNotHere = "parenthesized expression not permitted here";
constexpr std::string_view unexpectedCall = "unexpected function call";
constexpr std::string_view badConstraintOrOperand = "invalid matching constraint or operand format";
constexpr std::string_view badOperand = "invalid operand format";
constexpr std::string_view unsupportedOperation = "unsupported operation '{0}'";
constexpr std::string_view missingOperand = "missing operand in expression";
constexpr std::string_view unclosedNested = "missing ')' at end of nested expression";
constexpr std::string_view undefinedFunction = "call to undefined function '{0}'";
constexpr std::string_view missingArgument = "missing argument";
constexpr std::string_view unclosedCall = "missing ')' at end of call expression";
constexpr std::string_view argumentCount = "function '{0}' takes 2 arguments but {1} given";
constexpr std::string_view badPseudoVariable = "invalid pseudo numeric variable '{0}'";
constexpr std::string_view definedInSameDirective =
    "numeric variable '{0}' defined earlier in the same CHECK directive";
constexpr std::string_view pseudoDefinition = "definition of pseudo numeric variable unsupported";
constexpr std::string_view stringNameTaken = "string variable with name '{0}' already exists";
constexpr std::string_view afterVariableName = "unexpected characters after numeric variable name";
constexpr std::string_view formatDiffers = "format different from previous variable definition";
// {0} and {2} the operands as written, {1} and {3} their format kinds.
constexpr std::string_view formatConflict =
    "implicit format conflict between '{0}' ({1}) and '{2}' ({3}), need an explicit format "
    "specifier";
} // namespace text

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimFront(std::string_view text) {
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  return text;
}

std::string_view trimBack(std::string_view text) {
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// `whole` up to where `rest` (a tail of it) starts.
std::string_view consumedPart(std::string_view whole, std::string_view rest) {
  return whole.substr(0, whole.size() - rest.size());
}

// An unsigned literal with automatic radix (or decimal only) from the front
// of `text`.
bool consumeLiteral(std::string_view &text, bool decimalOnly, uint64_t &value) {
  std::string_view rest = text;
  unsigned radix = decimalOnly ? 10 : consumeRadixPrefix(rest);
  if (!consumeDigits(rest, radix, value))
    return false;
  text = rest;
  return true;
}

// The same with a leading '-', in the signed 64-bit range.
bool consumeNegativeLiteral(std::string_view &text, ExprValue &value) {
  if (!text.starts_with('-'))
    return false;
  std::string_view rest = text.substr(1);
  uint64_t magnitude;
  if (!consumeLiteral(rest, false, magnitude) || magnitude > (uint64_t(1) << 63))
    return false;
  value = ExprValue{0 - magnitude, magnitude != 0};
  text = rest;
  return true;
}

struct FunctionEntry {
  std::string_view name;
  BinaryOperation operation;
};

const FunctionEntry functions[] = {
    {"add", add}, {"div", div}, {"max", max}, {"min", min}, {"mul", mul}, {"sub", sub},
};

// Where an operand may stand, and what it may be.
enum class AllowedOperand {
  LineVariable,  // the first operand of a legacy block: @LINE only
  LegacyLiteral, // its right operand: a decimal literal only
  Any,
};

using NodeResult = Fallible<const ExprNode *>;

// The explicit part of a format specifier.
struct FormatSpec {
  ValueFormat explicitFormat;
  // Used when neither the specifier nor the expression decides the kind.
  uint32_t fallbackPrecision = 0;
};

class BlockParser {
public:
  BlockParser(bool isLegacy, std::optional<size_t> lineNumber, PatternContext &context,
              const SourceManager &sourceManager)
      : isLegacy(isLegacy), lineNumber(lineNumber), context(context), sourceManager(sourceManager) {
  }

  Fallible<NumericBlock> parse(std::string_view text);

private:
  Fallible<FormatSpec> parseFormatSpec(std::string_view spec);
  NodeResult parseExpression(std::string_view &expr, bool hasConstraint);
  NodeResult parseOperand(std::string_view &expr, AllowedOperand allowed,
                          bool maybeInvalidConstraint, uint32_t nesting);
  NodeResult parseBinop(std::string_view whole, std::string_view &rest, const ExprNode *left,
                        uint32_t nesting);
  NodeResult parseParenExpr(std::string_view &expr, uint32_t nesting);
  NodeResult parseCall(std::string_view &expr, std::string_view name, uint32_t nesting);
  NodeResult parseVariableUse(std::string_view name, bool isPseudo);
  Fallible<NumericVar *> parseDefinition(std::string_view definition, ValueFormat format);

  Error error(std::string_view text, std::string_view message) const {
    return makeLocatedError(sourceManager, text, message);
  }
  // Located at `at`, without a range.
  Error errorAt(const char *at, std::string_view message) const {
    SourceLocation location = SourceLocation::fromPointer(at);
    return makeLocatedError(sourceManager, location, message, SourceRange{location, location});
  }
  NodeResult tooDeep(std::string_view at) const { return error(at, text::tooDeep); }
  template <typename Node, typename... Args> const ExprNode *makeNode(Args &&...args) {
    return context.arena().make<Node>(std::forward<Args>(args)...);
  }

  bool isLegacy;
  std::optional<size_t> lineNumber;
  PatternContext &context;
  const SourceManager &sourceManager;
};

Fallible<NumericBlock> BlockParser::parse(std::string_view text) {
  FormatSpec spec;
  size_t comma = text.find(',');
  if (comma != std::string_view::npos && comma < text.find('(')) {
    Fallible<FormatSpec> parsed = parseFormatSpec(text.substr(0, comma));
    if (!parsed)
      return parsed.extractError();
    spec = *parsed;
    text.remove_prefix(comma + 1);
  }
  std::optional<std::string_view> definition;
  if (size_t colon = text.find(':'); colon != std::string_view::npos) {
    definition = text.substr(0, colon);
    text.remove_prefix(colon + 1);
  }
  text = trimFront(text);
  bool hasConstraint = text.starts_with("==");
  if (hasConstraint)
    text = trimFront(text.substr(2));

  NumericBlock block;
  if (text.empty()) {
    if (hasConstraint)
      return errorAt(text.data(), text::emptyWithConstraint);
  } else {
    NodeResult ast = parseExpression(text, hasConstraint);
    if (!ast)
      return ast.extractError();
    block.expression.ast = *ast;
  }

  ValueFormat &format = block.expression.format;
  if (spec.explicitFormat.kind != FormatKind::FormatUnset) {
    format = spec.explicitFormat;
  } else if (block.expression.ast) {
    Fallible<ValueFormat> implicit = block.expression.ast->implicitFormat(sourceManager);
    if (!implicit)
      return implicit.extractError();
    format = *implicit;
  }
  if (format.kind == FormatKind::FormatUnset)
    format = ValueFormat{FormatKind::UnsignedDecimal, spec.fallbackPrecision, false};

  if (definition) {
    Fallible<NumericVar *> variable = parseDefinition(trimFront(*definition), format);
    if (!variable)
      return variable.extractError();
    block.definedVariable = *variable;
  }
  return block;
}

// `spec` is the text before the block's format comma.
Fallible<FormatSpec> BlockParser::parseFormatSpec(std::string_view spec) {
  spec = trimBack(trimFront(spec));
  if (!spec.starts_with('%'))
    return error(spec, text::badFormatSpec);
  spec.remove_prefix(1);
  const char *alternateAt = spec.data();
  bool alternateForm = spec.starts_with('#');
  if (alternateForm)
    spec.remove_prefix(1);
  FormatSpec result;
  uint32_t precision = 0;
  if (spec.starts_with('.')) {
    spec.remove_prefix(1);
    std::string_view digits = spec;
    uint64_t number;
    if (!consumeDigits(spec, 10, number) || number > UINT32_MAX)
      return error(digits, text::badPrecision);
    precision = static_cast<uint32_t>(number);
  }
  FormatKind kind = FormatKind::FormatUnset;
  if (!spec.empty()) {
    switch (spec.front()) {
    case 'u':
      kind = FormatKind::UnsignedDecimal;
      break;
    case 'd':
      kind = FormatKind::SignedDecimal;
      break;
    case 'x':
      kind = FormatKind::HexLowerCase;
      break;
    case 'X':
      kind = FormatKind::HexUpperCase;
      break;
    default:
      return errorAt(spec.data(), text::badFormatSpecifier);
    }
    spec.remove_prefix(1);
  }
  bool isHex = kind == FormatKind::HexLowerCase || kind == FormatKind::HexUpperCase;
  if (alternateForm && !isHex)
    return errorAt(alternateAt, text::alternateFormNotHex);
  spec = trimFront(spec);
  if (!spec.empty())
    return error(spec, text::badFormatSpec);
  if (kind != FormatKind::FormatUnset)
    result.explicitFormat = ValueFormat{kind, precision, alternateForm};
  result.fallbackPrecision = precision;
  return result;
}

// `expr` is the non-empty expression with its leading blanks removed.
NodeResult BlockParser::parseExpression(std::string_view &expr, bool hasConstraint) {
  expr = trimBack(expr);
  std::string_view whole = expr;
  AllowedOperand first = isLegacy ? AllowedOperand::LineVariable : AllowedOperand::Any;
  NodeResult result = parseOperand(expr, first, !hasConstraint, 0);
  while (result && !expr.empty()) {
    result = parseBinop(whole, expr, *result, 0);
    // The legacy form allows one operation only.
    if (result && isLegacy && !expr.empty())
      return error(expr, formatPositionalString(text::trailingCharacters, expr));
  }
  return result;
}

NodeResult BlockParser::parseOperand(std::string_view &expr, AllowedOperand allowed,
                                     bool maybeInvalidConstraint, uint32_t nesting) {
  if (expr.starts_with('(')) {
    if (allowed != AllowedOperand::Any)
      return error(expr, text::parenthesesNotHere);
    return parseParenExpr(expr, nesting);
  }
  if (allowed != AllowedOperand::LegacyLiteral &&
      (allowed == AllowedOperand::LineVariable || startsVariableName(expr))) {
    std::string_view rest = expr;
    Fallible<VariableName> name = parseVariableName(rest, sourceManager);
    if (name) {
      if (trimFront(rest).starts_with('(')) {
        if (allowed != AllowedOperand::Any)
          return error(name->name, text::unexpectedCall);
        expr = rest;
        return parseCall(expr, name->name, nesting);
      }
      expr = rest;
      return parseVariableUse(name->name, name->isPseudo);
    }
    if (allowed == AllowedOperand::LineVariable)
      return name.extractError();
    // Not a name: maybe a literal.
    discardError(name.extractError());
  }
  std::string_view start = expr;
  uint64_t magnitude;
  if (consumeLiteral(expr, allowed == AllowedOperand::LegacyLiteral, magnitude))
    return makeNode<ExprLiteral>(consumedPart(start, expr), ExprValue::fromUnsigned(magnitude));
  ExprValue negative;
  if (allowed == AllowedOperand::Any && consumeNegativeLiteral(expr, negative))
    return makeNode<ExprLiteral>(consumedPart(start, expr), negative);
  return error(start, maybeInvalidConstraint ? text::badConstraintOrOperand : text::badOperand);
}

// Reads an operator and its right operand after `left`. `whole` starts
// where the text of the new node starts.
NodeResult BlockParser::parseBinop(std::string_view whole, std::string_view &rest,
                                   const ExprNode *left, uint32_t nesting) {
  rest = trimFront(rest);
  if (rest.empty())
    return left;
  const char *operatorAt = rest.data();
  BinaryOperation operation = nullptr;
  switch (rest.front()) {
  case '+':
    operation = add;
    break;
  case '-':
    operation = sub;
    break;
  case '*':
    operation = mul;
    break;
  case '/':
    operation = div;
    break;
  default:
    return errorAt(operatorAt,
                   formatPositionalString(text::unsupportedOperation, rest.substr(0, 1)));
  }
  rest = trimFront(rest.substr(1));
  if (rest.empty())
    return error(rest, text::missingOperand);
  AllowedOperand allowed = isLegacy ? AllowedOperand::LegacyLiteral : AllowedOperand::Any;
  NodeResult right = parseOperand(rest, allowed, false, nesting);
  if (!right)
    return right;
  return makeNode<ExprBinaryOp>(consumedPart(whole, rest), operation, left, *right);
}

// `expr` starts with '('.
NodeResult BlockParser::parseParenExpr(std::string_view &expr, uint32_t nesting) {
  if (nesting + 1 >= maxExpressionDepth)
    return tooDeep(expr);
  expr = trimFront(expr.substr(1));
  if (expr.empty())
    return error(expr, text::missingOperand);
  NodeResult result = parseOperand(expr, AllowedOperand::Any, false, nesting + 1);
  expr = trimFront(expr);
  while (result && !expr.empty() && !expr.starts_with(')')) {
    std::string_view operatorStart = expr;
    result = parseBinop(operatorStart, expr, *result, nesting + 1);
    expr = trimFront(expr);
  }
  if (!result)
    return result;
  if (!expr.starts_with(')'))
    return error(expr, text::unclosedNested);
  expr.remove_prefix(1);
  return result;
}

// `expr` starts with the blanks, if any, and the '(' after `name`.
NodeResult BlockParser::parseCall(std::string_view &expr, std::string_view name, uint32_t nesting) {
  expr = trimFront(expr);
  BinaryOperation operation = nullptr;
  for (const FunctionEntry &function : functions)
    if (function.name == name)
      operation = function.operation;
  if (!operation)
    return error(name, formatPositionalString(text::undefinedFunction, name));
  if (nesting + 1 >= maxExpressionDepth)
    return tooDeep(expr);
  expr = trimFront(expr.substr(1));
  SmallVector<const ExprNode *, 2> arguments;
  while (!expr.empty() && !expr.starts_with(')')) {
    if (expr.starts_with(','))
      return error(expr, text::missingArgument);
    std::string_view argumentStart = expr;
    NodeResult argument = parseOperand(expr, AllowedOperand::Any, false, nesting + 1);
    while (argument && !expr.empty()) {
      expr = trimFront(expr);
      if (expr.starts_with(',') || expr.starts_with(')'))
        break;
      argument = parseBinop(argumentStart, expr, *argument, nesting + 1);
    }
    if (!argument)
      return argument;
    arguments.push_back(*argument);
    expr = trimFront(expr);
    if (!expr.starts_with(','))
      break;
    expr = trimFront(expr.substr(1));
    if (expr.starts_with(')'))
      return error(expr, text::missingArgument);
  }
  if (!expr.starts_with(')'))
    return error(expr, text::unclosedCall);
  expr.remove_prefix(1);
  if (arguments.size() != 2)
    return error(
        name, formatPositionalString(text::argumentCount, name, std::to_string(arguments.size())));
  // The node's text is what follows the call, as the operand texts of a
  // format conflict then show where the call ends.
  return makeNode<ExprBinaryOp>(expr, operation, arguments[0], arguments[1]);
}

NodeResult BlockParser::parseVariableUse(std::string_view name, bool isPseudo) {
  if (isPseudo && name != "@LINE")
    return error(name, formatPositionalString(text::badPseudoVariable, name));
  NumericVar *variable = context.numericVar(name);
  if (!variable) {
    variable = context.makeNumericVar(name, std::nullopt);
    context.setNumericVar(name, variable);
  }
  if (variable->definitionLine && lineNumber && *variable->definitionLine == *lineNumber)
    return error(name, formatPositionalString(text::definedInSameDirective, name));
  return makeNode<ExprVariableUse>(name, variable);
}

// `definition` is the text before the block's ':', leading blanks removed.
Fallible<NumericVar *> BlockParser::parseDefinition(std::string_view definition,
                                                    ValueFormat format) {
  std::string_view rest = definition;
  Fallible<VariableName> parsed = parseVariableName(rest, sourceManager);
  if (!parsed)
    return parsed.extractError();
  std::string_view name = parsed->name;
  if (parsed->isPseudo)
    return error(name, text::pseudoDefinition);
  if (context.isStringVarDefined(name))
    return error(name, formatPositionalString(text::stringNameTaken, name));
  rest = trimFront(rest);
  if (!rest.empty())
    return error(rest, text::afterVariableName);
  if (NumericVar *existing = context.numericVar(name)) {
    if (!(existing->format == format))
      return errorAt(rest.data(), text::formatDiffers);
    return existing;
  }
  return context.makeNumericVar(name, lineNumber, format);
}

} // namespace

Fallible<ExprValue> ExprVariableUse::eval() const {
  if (!variable->value)
    return newError<UndefinedVariableError>(text);
  return *variable->value;
}

Fallible<ValueFormat> ExprVariableUse::implicitFormat(const SourceManager &) const {
  return variable->format;
}

namespace {

// The operations down the left spine from `top`, innermost last, and the
// operand the spine ends in. A chain is as long as the block allows, so
// walking it by recursion could exhaust the stack; right operands recurse
// only as deep as the nesting, which the parser bounds.
using Spine = SmallVector<const ExprBinaryOp *, 8>;

const ExprNode *leftSpine(const ExprBinaryOp *top, Spine &spine) {
  const ExprNode *node = top;
  while (const ExprBinaryOp *operation = node->asBinaryOp()) {
    spine.push_back(operation);
    node = operation->left;
  }
  return node;
}

Fallible<ValueFormat> combineFormats(const ExprBinaryOp &node, Fallible<ValueFormat> leftFormat,
                                     Fallible<ValueFormat> rightFormat,
                                     const SourceManager &sourceManager) {
  if (!leftFormat || !rightFormat)
    return combineErrors(leftFormat.extractError(), rightFormat.extractError());
  if (leftFormat->kind == FormatKind::FormatUnset)
    return *rightFormat;
  if (rightFormat->kind == FormatKind::FormatUnset || *rightFormat == *leftFormat)
    return *leftFormat;
  return makeLocatedError(sourceManager, node.text,
                          formatPositionalString(text::formatConflict, node.left->text,
                                                 formatKindName(leftFormat->kind), node.right->text,
                                                 formatKindName(rightFormat->kind)));
}

} // namespace

Fallible<ExprValue> ExprBinaryOp::eval() const {
  Spine spine;
  Fallible<ExprValue> value = leftSpine(this, spine)->eval();
  for (size_t i = spine.size(); i-- > 0;) {
    Fallible<ExprValue> rightValue = spine[i]->right->eval();
    if (!value || !rightValue)
      value = combineErrors(value.extractError(), rightValue.extractError());
    else
      value = spine[i]->operation(*value, *rightValue);
  }
  return value;
}

Fallible<ValueFormat> ExprBinaryOp::implicitFormat(const SourceManager &sourceManager) const {
  Spine spine;
  Fallible<ValueFormat> format = leftSpine(this, spine)->implicitFormat(sourceManager);
  for (size_t i = spine.size(); i-- > 0;)
    format = combineFormats(*spine[i], std::move(format),
                            spine[i]->right->implicitFormat(sourceManager), sourceManager);
  return format;
}

Fallible<NumericBlock> parseNumericBlock(std::string_view text, bool isLegacy,
                                         std::optional<size_t> lineNumber, PatternContext &context,
                                         const SourceManager &sourceManager) {
  return BlockParser(isLegacy, lineNumber, context, sourceManager).parse(text);
}

} // namespace vetline
