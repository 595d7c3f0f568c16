#include "engine/engine_errors.h"

#include "support/output_stream.h"

namespace vetline {

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

void NoMatchError::log(OutputStream &os) const { os << "String not found in input"; }

void ValueOverflowError::log(OutputStream &os) const { os << "overflow error"; }

void UndefinedVariableError::log(OutputStream &os) const { os << "undefined variable: " << name; }

void FailureReported::log(OutputStream &os) const { os << "error previously reported"; }

} // namespace vetline
