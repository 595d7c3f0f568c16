// Run report: the opt-in machine-readable record of one run. When the
// variable VETLINE_REPORT names a file, the driver feeds a RunReport as the
// run goes (names, prefixes, every located diagnostic as it is printed,
// what the verifier found) and the report appends one JSON object on one
// line to that file at the end, whatever the outcome.
//
// Surprising parts:
// - Nothing the run prints changes: the report watches standard error and
//   the source manager, it never writes to either, except one warning line
//   when the file cannot be written.
// - Records of parallel runs never interleave: each is written with one
//   append under an exclusive lock on the file.
// - Strings are cut at maxReportedText bytes with a marker, and bytes that
//   are not UTF-8 become U+FFFD, so the record is valid JSON whatever the
//   input holds (see the guide).
#pragma once

#include "engine/check_engine.h"
#include "support/source_manager.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vetline {

// Longest string kept in a record; longer ones end in a marker.
inline constexpr size_t maxReportedText = 4096;

// A place in one of the run's buffers: 1-based line and column, 0-based
// byte offset.
struct ReportPosition {
  uint64_t line = 0;
  uint64_t column = 0;
  uint64_t offset = 0;
};

struct ReportDiagnostic {
  DiagKind kind = DiagKind::Error;
  std::string message;
  // "check-file", "input", "command-line", "implicit-check-not" or
  // "global-defines".
  std::string buffer;
  std::string file;
  ReportPosition position;
  // Half-open ranges on the diagnostic's line.
  std::vector<std::pair<ReportPosition, ReportPosition>> ranges;
  // The location the diagnostic points at, to tie notes to failures.
  const char *pointer = nullptr;
};

class RunReport final : public DiagnosticObserver {
public:
  // Null when VETLINE_REPORT is unset or empty: the run then pays nothing.
  static std::unique_ptr<RunReport> fromEnvironment();

  explicit RunReport(std::string path);
  ~RunReport();
  RunReport(const RunReport &) = delete;
  RunReport &operator=(const RunReport &) = delete;

  void setNames(std::string_view checkFile, std::string_view inputFile);
  // The prefixes in force, once the defaults are installed.
  void setRequest(const CheckRequest &request);
  // Watches the located diagnostics of `sourceManager`, whose buffers
  // `checkBuffer` (the check file) and `inputBuffer` (0 until read) are.
  void watch(SourceManager &sourceManager);
  // Before the watched source manager goes away.
  void unwatch();
  void setBuffers(unsigned checkBuffer, unsigned inputBuffer);
  // What the verifier found; `diags` may be null. The engine and the
  // source manager must still live.
  void setVerification(const CheckEngine &engine, const MatchDiagList *diags,
                       const VerifyCounts &counts);

  // Appends the record for a run that ends with `status`. A file that cannot
  // be opened or written costs one warning line on standard error.
  void finish(int status);

  void diagnosticPrinted(const SourceDiagnostic &diagnostic) override;

  // The record as it would be written, for tests.
  std::string render(int status) const;

private:
  std::string path;
  std::string checkFile;
  std::string inputFile;
  bool hasNames = false;
  std::vector<std::string> checkPrefixes;
  std::vector<std::string> commentPrefixes;
  // What standard error received, for the message of a run that could not
  // check anything.
  std::string errorText;
  SourceManager *sources = nullptr;
  unsigned checkBuffer = 0;
  unsigned inputBuffer = 0;
  std::vector<ReportDiagnostic> diagnostics;
  struct Failure;
  std::vector<Failure> failures;
  size_t checkedCount = 0;
  bool verified = false;
  bool isFinished = false;

  std::string bufferKind(unsigned number) const;
};

} // namespace vetline
