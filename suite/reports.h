// What a program sees: the JSON report (one JSON object per line, one per
// test run, with the tool's own report records of that test embedded) and
// the JUnit XML report. Both are written as results come in, so memory does
// not grow with the suite: the JUnit testcases go to a side file first and
// are wrapped in their testsuite element, whose counts are known only at
// the end, when the report is closed.
#pragma once

#include "suite/test_result.h"
#include "support/error.h"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vetline::suite {

// `text` as XML 1.0 allows it in text and attributes: colour sequences
// removed, each byte that is not part of valid UTF-8 and each character XML
// forbids (control characters other than tab, line feed and carriage
// return) replaced by U+FFFD. The XML library escapes the rest.
std::string xmlSafeText(std::string_view text);

// The failing directives of the tool's report records, one line each:
// "FILE:LINE:COLUMN: KIND: MESSAGE", or the message of a check that could
// not run. Records that are not JSON objects are skipped.
std::string describeToolFailures(const std::vector<std::string> &records);

// A report file being written; nothing is printed here.
class ReportFile {
public:
  virtual ~ReportFile() = default;
  virtual Error add(const TestResult &result) = 0;
  // Completes the file.
  virtual Error close(double wallSeconds) = 0;
};

Fallible<std::unique_ptr<ReportFile>> openJsonReport(const std::string &path);
Fallible<std::unique_ptr<ReportFile>> openJunitReport(const std::string &path);

} // namespace vetline::suite
