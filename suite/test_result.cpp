#include "suite/test_result.h"

#include "support/error.h"

namespace vetline::suite {

std::string_view statusName(TestStatus status) {
  switch (status) {
  case TestStatus::Passed:
    return "passed";
  case TestStatus::Failed:
    return "failed";
  case TestStatus::Skipped:
    return "skipped";
  case TestStatus::ExpectedFailure:
    return "expected-failure";
  case TestStatus::UnexpectedPass:
    return "unexpected-pass";
  case TestStatus::Timeout:
    return "timeout";
  case TestStatus::Broken:
    return "broken";
  }
  VETLINE_UNREACHABLE("unknown test status");
}

bool countsAsFailure(TestStatus status) {
  return status == TestStatus::Failed || status == TestStatus::UnexpectedPass ||
         status == TestStatus::Timeout || status == TestStatus::Broken;
}

} // namespace vetline::suite
