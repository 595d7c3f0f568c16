// The check engine's error kinds. Parsing makes LocatedError values (a
// diagnostic about the check file plus the range it is about), matching adds
// NoMatchError, ValueOverflowError and UndefinedVariableError, and the
// reporting code returns FailureReported once it has printed a failure, so
// that nothing is printed twice. None of them has a natural error code: all
// return the inconvertible code.
#pragma once

#include "support/error.h"
#include "support/source_manager.h"

#include <string>
#include <string_view>

namespace vetline {

// A diagnostic of kind error, made when the error arose (so it carries its
// own copy of the source line), and a separate range that the match records
// use to place the error. `log` prints the whole diagnostic; `message` is
// only its message text.
class LocatedError final : public PayloadKind<LocatedError> {
public:
  LocatedError(SourceDiagnostic diagnostic, SourceRange range)
      : diag(std::move(diagnostic)), errorRange(range) {}

  void log(OutputStream &os) const override;
  std::string message() const override { return diag.message(); }
  std::error_code asErrorCode() const override { return inconvertibleErrorCode(); }

  const SourceDiagnostic &diagnostic() const { return diag; }
  SourceRange range() const { return errorRange; }

private:
  SourceDiagnostic diag;
  SourceRange errorRange;
};

// A LocatedError at `location` with `range` (which may be empty or null).
Error makeLocatedError(const SourceManager &sourceManager, SourceLocation location,
                       std::string_view message, SourceRange range);
// The usual form: located at the first byte of `text` (a view into a buffer
// of `sourceManager`), with `text` as the range.
Error makeLocatedError(const SourceManager &sourceManager, std::string_view text,
                       std::string_view message);

// The pattern does not occur in the searched text. Never shown as such:
// the match reports turn it into their "not found" diagnostics.
class NoMatchError final : public PayloadKind<NoMatchError> {
public:
  void log(OutputStream &os) const override;
  std::error_code asErrorCode() const override { return inconvertibleErrorCode(); }
};

// Numeric arithmetic or conversion left the representable range.
class ValueOverflowError final : public PayloadKind<ValueOverflowError> {
public:
  void log(OutputStream &os) const override;
  std::error_code asErrorCode() const override { return inconvertibleErrorCode(); }
};

// A variable was used while it had no value. `name` views the check text or
// a command-line buffer, which outlive the error.
class UndefinedVariableError final : public PayloadKind<UndefinedVariableError> {
public:
  explicit UndefinedVariableError(std::string_view name) : name(name) {}

  void log(OutputStream &os) const override;
  std::error_code asErrorCode() const override { return inconvertibleErrorCode(); }

  std::string_view variableName() const { return name; }

private:
  std::string_view name;
};

// A failure that has already been printed; its holder only needs to know
// that something failed.
class FailureReported final : public PayloadKind<FailureReported> {
public:
  void log(OutputStream &os) const override;
  std::error_code asErrorCode() const override { return inconvertibleErrorCode(); }
};

} // namespace vetline
