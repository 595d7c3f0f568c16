#include "lint/warning.h"

#include "support/error.h"

namespace vetline::lint {

std::string_view warningName(WarningKind kind) {
  switch (kind) {
  case WarningKind::DirectiveTypo:
    return "directive-typo";
  case WarningKind::NonPosixEscape:
    return "non-posix-escape";
  case WarningKind::UndefinedVariable:
    return "undefined-variable";
  case WarningKind::UnusedVariable:
    return "unused-variable";
  case WarningKind::BlankRun:
    return "blank-run";
  case WarningKind::DagImplicitGap:
    return "dag-implicit-gap";
  }
  VETLINE_UNREACHABLE("unknown warning kind");
}

} // namespace vetline::lint
