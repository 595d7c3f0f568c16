// Numeric expressions: the parser for the text of a numeric block ([[#...]]
// in a pattern, or a "-D#..." definition, and the older [[@LINE+n]] form)
// and the expression trees it builds, which evaluate to an ExprValue and
// choose the format their value is matched in.
//
// Block layout: [format specifier ","] [NAME ":"] ["=="] [expression].
// Expressions read left to right with no precedence (2+3*4 is 20); operands
// are literals in any radix, variables, @LINE, parenthesised expressions and
// the calls add, sub, mul, div, max, min.
//
// Surprising parts:
// - Parsing enters variables met for the first time in the context's table
//   (a use before any definition makes a variable without value); they stay
//   even when the block then fails.
// - A use of a variable defined on the same directive line is an error,
//   because the value would come from the previous match, not this one.
// - Nesting (parentheses and calls) deeper than maxExpressionDepth is
//   refused, so that evaluating a tree cannot exhaust the stack. A chain
//   (1+1+...+1) nests nothing, whatever its length: it is a left-deep
//   tree, and its left spine is walked in a loop.
#pragma once

#include "engine/numeric_value.h"
#include "support/error.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vetline {

class PatternContext;
class SourceManager;
struct NumericVar;

// Nesting levels (parentheses, calls) a block may hold.
inline constexpr uint32_t maxExpressionDepth = 256;

class ExprBinaryOp;

// Nodes live in the PatternContext's arena, which never runs destructors,
// and point at each other there.
class ExprNode {
public:
  explicit ExprNode(std::string_view text) : text(text) {}
  ExprNode(const ExprNode &) = delete;
  ExprNode &operator=(const ExprNode &) = delete;

  virtual Fallible<ExprValue> eval() const = 0;
  // FormatUnset when the node has no opinion (a literal).
  virtual Fallible<ValueFormat> implicitFormat(const SourceManager &sourceManager) const = 0;
  // This node as an operation or call; null for operands.
  virtual const ExprBinaryOp *asBinaryOp() const { return nullptr; }

  // The source text the node was parsed from, for messages; views the
  // check text or a command-line buffer.
  std::string_view text;

protected:
  ~ExprNode() = default;
};

class ExprLiteral final : public ExprNode {
public:
  ExprLiteral(std::string_view text, ExprValue literal) : ExprNode(text), literal(literal) {}
  Fallible<ExprValue> eval() const override { return literal; }
  Fallible<ValueFormat> implicitFormat(const SourceManager &) const override {
    return ValueFormat();
  }

  ExprValue literal;
};

// Evaluates to the variable's current value; an UndefinedVariableError
// naming the variable (`text`, as written here) while it has none.
class ExprVariableUse final : public ExprNode {
public:
  ExprVariableUse(std::string_view name, NumericVar *variable)
      : ExprNode(name), variable(variable) {}
  Fallible<ExprValue> eval() const override;
  Fallible<ValueFormat> implicitFormat(const SourceManager &) const override;

  // Owned by the PatternContext.
  NumericVar *variable;
};

using BinaryOperation = Fallible<ExprValue> (*)(ExprValue, ExprValue);

class ExprBinaryOp final : public ExprNode {
public:
  ExprBinaryOp(std::string_view text, BinaryOperation operation, const ExprNode *left,
               const ExprNode *right)
      : ExprNode(text), left(left), right(right), operation(operation) {}
  // Both operands' errors, joined, when both fail.
  Fallible<ExprValue> eval() const override;
  // The left operand's format, or the right one's when the left has none; a
  // LocatedError naming both when they differ.
  Fallible<ValueFormat> implicitFormat(const SourceManager &sourceManager) const override;
  const ExprBinaryOp *asBinaryOp() const override { return this; }

  const ExprNode *left;
  const ExprNode *right;
  BinaryOperation operation;
};

struct Expression {
  // Null for a block that only matches (and maybe defines) a value; in the
  // context's arena.
  const ExprNode *ast = nullptr;
  // Never FormatUnset.
  ValueFormat format;
};

// What a numeric block says: the expression, and the variable it defines
// (owned by the context; not yet entered in its table when new).
struct NumericBlock {
  Expression expression;
  NumericVar *definedVariable = nullptr;
};

// Parses `text` (the block after its '#', or the whole of a legacy @LINE
// block when `isLegacy`; a view into a buffer of `sourceManager`).
// `lineNumber` is the directive's line, absent for command-line definitions
// and implicit patterns. Errors are LocatedErrors; nothing is printed.
Fallible<NumericBlock> parseNumericBlock(std::string_view text, bool isLegacy,
                                         std::optional<size_t> lineNumber, PatternContext &context,
                                         const SourceManager &sourceManager);

} // namespace vetline
