// The numeric block parser: a hand-written recursive descent over the block
// text, one pass, no lookahead beyond the next non-blank byte. Each
// function takes the rest of the text by reference and advances it past
// what it read, so a node's text is the difference of two such views.
// The messages below are interface; do not reword them.
// Tested by numeric_expression_test.cpp.
#include "engine/numeric_expression.h"

#include "engine/engine_errors.h"
#include "support/format.h"
#include "engine/pattern.h"
#include "engine/pattern_context.h"

#include <string>
#include <vector>

namespace vetline {

namespace {

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

using NodeResult = Fallible<std::unique_ptr<ExprNode>>;

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
  NodeResult parseBinop(std::string_view whole, std::string_view &rest,
                        std::unique_ptr<ExprNode> left, uint32_t nesting);
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
  NodeResult tooDeep(std::string_view at) const {
    return error(at, "numeric expression nested too deeply");
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
      return errorAt(text.data(), "empty numeric expression should not have a constraint");
  } else {
    NodeResult ast = parseExpression(text, hasConstraint);
    if (!ast)
      return ast.extractError();
    block.expression.ast = std::move(*ast);
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
  const char *badSpec = "invalid matching format specification in expression";
  if (!spec.starts_with('%'))
    return error(spec, badSpec);
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
      return error(digits, "invalid precision in format specifier");
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
      return errorAt(spec.data(), "invalid format specifier in expression");
    }
    spec.remove_prefix(1);
  }
  bool isHex = kind == FormatKind::HexLowerCase || kind == FormatKind::HexUpperCase;
  if (alternateForm && !isHex)
    return errorAt(alternateAt, "alternate form only supported for hex values");
  spec = trimFront(spec);
  if (!spec.empty())
    return error(spec, badSpec);
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
    result = parseBinop(whole, expr, std::move(*result), 0);
    // The legacy form allows one operation only.
    if (result && isLegacy && !expr.empty())
      return error(expr, "unexpected characters at end of expression '" + std::string(expr) + "'");
  }
  return result;
}

NodeResult BlockParser::parseOperand(std::string_view &expr, AllowedOperand allowed,
                                     bool maybeInvalidConstraint, uint32_t nesting) {
  if (expr.starts_with('(')) {
    if (allowed != AllowedOperand::Any)
      return error(expr, "parenthesized expression not permitted here");
    return parseParenExpr(expr, nesting);
  }
  if (allowed != AllowedOperand::LegacyLiteral) {
    std::string_view rest = expr;
    Fallible<VariableName> name = parseVariableName(rest, sourceManager);
    if (name) {
      if (trimFront(rest).starts_with('(')) {
        if (allowed != AllowedOperand::Any)
          return error(name->name, "unexpected function call");
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
    return std::make_unique<ExprLiteral>(consumedPart(start, expr),
                                         ExprValue::fromUnsigned(magnitude));
  ExprValue negative;
  if (allowed == AllowedOperand::Any && consumeNegativeLiteral(expr, negative))
    return std::make_unique<ExprLiteral>(consumedPart(start, expr), negative);
  return error(start, maybeInvalidConstraint ? "invalid matching constraint or operand format"
                                             : "invalid operand format");
}

// Reads an operator and its right operand after `left`. `whole` starts
// where the text of the new node starts.
NodeResult BlockParser::parseBinop(std::string_view whole, std::string_view &rest,
                                   std::unique_ptr<ExprNode> left, uint32_t nesting) {
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
    return errorAt(operatorAt, "unsupported operation '" + std::string(1, rest.front()) + "'");
  }
  rest = trimFront(rest.substr(1));
  if (rest.empty())
    return error(rest, "missing operand in expression");
  AllowedOperand allowed = isLegacy ? AllowedOperand::LegacyLiteral : AllowedOperand::Any;
  NodeResult right = parseOperand(rest, allowed, false, nesting);
  if (!right)
    return right;
  if (std::max(left->depth, (*right)->depth) >= maxExpressionDepth)
    return tooDeep(consumedPart(whole, rest));
  return std::make_unique<ExprBinaryOp>(consumedPart(whole, rest), operation, std::move(left),
                                        std::move(*right));
}

// `expr` starts with '('.
NodeResult BlockParser::parseParenExpr(std::string_view &expr, uint32_t nesting) {
  if (nesting + 1 >= maxExpressionDepth)
    return tooDeep(expr);
  expr = trimFront(expr.substr(1));
  if (expr.empty())
    return error(expr, "missing operand in expression");
  NodeResult result = parseOperand(expr, AllowedOperand::Any, false, nesting + 1);
  expr = trimFront(expr);
  while (result && !expr.empty() && !expr.starts_with(')')) {
    std::string_view operatorStart = expr;
    result = parseBinop(operatorStart, expr, std::move(*result), nesting + 1);
    expr = trimFront(expr);
  }
  if (!result)
    return result;
  if (!expr.starts_with(')'))
    return error(expr, "missing ')' at end of nested expression");
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
    return error(name, "call to undefined function '" + std::string(name) + "'");
  if (nesting + 1 >= maxExpressionDepth)
    return tooDeep(expr);
  expr = trimFront(expr.substr(1));
  std::vector<std::unique_ptr<ExprNode>> arguments;
  while (!expr.empty() && !expr.starts_with(')')) {
    if (expr.starts_with(','))
      return error(expr, "missing argument");
    std::string_view argumentStart = expr;
    NodeResult argument = parseOperand(expr, AllowedOperand::Any, false, nesting + 1);
    while (argument && !expr.empty()) {
      expr = trimFront(expr);
      if (expr.starts_with(',') || expr.starts_with(')'))
        break;
      argument = parseBinop(argumentStart, expr, std::move(*argument), nesting + 1);
    }
    if (!argument)
      return argument;
    arguments.push_back(std::move(*argument));
    expr = trimFront(expr);
    if (!expr.starts_with(','))
      break;
    expr = trimFront(expr.substr(1));
    if (expr.starts_with(')'))
      return error(expr, "missing argument");
  }
  if (!expr.starts_with(')'))
    return error(expr, "missing ')' at end of call expression");
  expr.remove_prefix(1);
  if (arguments.size() != 2)
    return error(name, "function '" + std::string(name) + "' takes 2 arguments but " +
                           std::to_string(arguments.size()) + " given");
  if (std::max(arguments[0]->depth, arguments[1]->depth) >= maxExpressionDepth)
    return tooDeep(name);
  // The node's text is what follows the call, as the operand texts of a
  // format conflict then show where the call ends.
  return std::make_unique<ExprBinaryOp>(expr, operation, std::move(arguments[0]),
                                        std::move(arguments[1]));
}

NodeResult BlockParser::parseVariableUse(std::string_view name, bool isPseudo) {
  if (isPseudo && name != "@LINE")
    return error(name, "invalid pseudo numeric variable '" + std::string(name) + "'");
  NumericVar *variable = context.numericVar(name);
  if (!variable) {
    variable = context.makeNumericVar(name, std::nullopt);
    context.setNumericVar(name, variable);
  }
  if (variable->definitionLine && lineNumber && *variable->definitionLine == *lineNumber)
    return error(name, "numeric variable '" + std::string(name) +
                           "' defined earlier in the same CHECK directive");
  return std::make_unique<ExprVariableUse>(name, variable);
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
    return error(name, "definition of pseudo numeric variable unsupported");
  if (context.isStringVarDefined(name))
    return error(name, "string variable with name '" + std::string(name) + "' already exists");
  rest = trimFront(rest);
  if (!rest.empty())
    return error(rest, "unexpected characters after numeric variable name");
  if (NumericVar *existing = context.numericVar(name)) {
    if (!(existing->format == format))
      return errorAt(rest.data(), "format different from previous variable definition");
    return existing;
  }
  return context.makeNumericVar(name, lineNumber, format);
}

} // namespace

ExprNode::~ExprNode() = default;

Fallible<ExprValue> ExprVariableUse::eval() const {
  if (!variable->value)
    return newError<UndefinedVariableError>(text);
  return *variable->value;
}

Fallible<ValueFormat> ExprVariableUse::implicitFormat(const SourceManager &) const {
  return variable->format;
}

Fallible<ExprValue> ExprBinaryOp::eval() const {
  Fallible<ExprValue> leftValue = left->eval();
  Fallible<ExprValue> rightValue = right->eval();
  if (!leftValue || !rightValue)
    return combineErrors(leftValue.extractError(), rightValue.extractError());
  return operation(*leftValue, *rightValue);
}

Fallible<ValueFormat> ExprBinaryOp::implicitFormat(const SourceManager &sourceManager) const {
  Fallible<ValueFormat> leftFormat = left->implicitFormat(sourceManager);
  Fallible<ValueFormat> rightFormat = right->implicitFormat(sourceManager);
  if (!leftFormat || !rightFormat)
    return combineErrors(leftFormat.extractError(), rightFormat.extractError());
  if (leftFormat->kind == FormatKind::FormatUnset)
    return *rightFormat;
  if (rightFormat->kind == FormatKind::FormatUnset || *rightFormat == *leftFormat)
    return *leftFormat;
  return makeLocatedError(sourceManager, text,
                          "implicit format conflict between '" + std::string(left->text) + "' (" +
                              std::string(formatKindName(leftFormat->kind)) + ") and '" +
                              std::string(right->text) + "' (" +
                              std::string(formatKindName(rightFormat->kind)) +
                              "), need an explicit format specifier");
}

Fallible<NumericBlock> parseNumericBlock(std::string_view text, bool isLegacy,
                                         std::optional<size_t> lineNumber, PatternContext &context,
                                         const SourceManager &sourceManager) {
  return BlockParser(isLegacy, lineNumber, context, sourceManager).parse(text);
}

} // namespace vetline
