#include "engine/engine_errors.h"

#include "support/output_stream.h"

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them.
namespace text {
constexpr std::string_view noMatch = "String not found in input";
constexpr std::string_view valueOverflow = "overflow error";
constexpr std::string_view undefinedVariable = "undefined variable: ";
constexpr std::string_view failureReported = "error previously reported";
} // namespace text

} // namespace

void LocatedError::log(OutputStream &os) const { diag.print(os); }

Error makeLocatedError(const SourceManager &sourceManager, SourceLocation location,
                       std::string_view message, SourceRange range) {
  // The range is kept beside the diagnostic, not inside it: the rendered
  // error shows no '~' marks.
  return newError<LocatedError>(sourceManager.makeDiagnostic(location, DiagKind::Error, message),
                                range);
}

Error makeLocatedError(const SourceManager &sourceManager, std::string_view text,
                       std::string_view message) {
  return makeLocatedError(sourceManager, SourceLocation::fromPointer(text.data()), message,
                          SourceRange::of(text));
}

void NoMatchError::log(OutputStream &os) const { os << text::noMatch; }

void ValueOverflowError::log(OutputStream &os) const { os << text::valueOverflow; }

void UndefinedVariableError::log(OutputStream &os) const { os << text::undefinedVariable << name; }

void FailureReported::log(OutputStream &os) const { os << text::failureReported; }

} // namespace vetline
