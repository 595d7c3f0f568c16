#include "tool/run_report.h"

#include "engine/directive_type.h"
#include "support/cmdline/messages.h"
#include "support/format.h"
#include "support/output_stream.h"
#include "support/system_calls.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/file.h>
#include <unistd.h>
#include <unordered_map>

namespace vetline {

namespace {

namespace text {
constexpr const char *variable = "VETLINE_REPORT";
// {0} is the file, {1} the reason.
constexpr std::string_view cannotWrite = "vetline: cannot write the report to '{0}': {1}\n";
// {0} is the count of bytes left out.
constexpr std::string_view cutMarker = "...[{0} more bytes]";
constexpr std::string_view scanningFromHere = "scanning from here";
constexpr std::string_view intendedMatch = "possible intended match here";
constexpr std::string_view foundHere = "found here";
constexpr std::string_view nextMatchHere = "'next' match was here";
constexpr std::string_view substitutionLead = "with \"";
constexpr std::string_view substitutionMiddle = "\" equal to \"";
} // namespace text

constexpr int formatVersion = 1;
// What standard error may hold for the message of a run that could not
// check: its first line is all that is used.
constexpr size_t errorTextLimit = 64 * 1024;

using Json = nlohmann::ordered_json;
using Range = std::pair<ReportPosition, ReportPosition>;

std::string cut(std::string_view value) {
  if (value.size() <= maxReportedText)
    return std::string(value);
  return std::string(value.substr(0, maxReportedText)) +
         formatPositionalString(text::cutMarker, value.size() - maxReportedText);
}

Json position(const ReportPosition &at) {
  return Json{{"line", at.line}, {"column", at.column}, {"offset", at.offset}};
}

Json range(const std::optional<Range> &span) {
  if (!span)
    return nullptr;
  return Json{{"start", position(span->first)}, {"end", position(span->second)}};
}

const char *severity(DiagKind kind) {
  switch (kind) {
  case DiagKind::Error:
    return "error";
  case DiagKind::Warning:
    return "warning";
  case DiagKind::Remark:
    return "remark";
  case DiagKind::Note:
    return "note";
  }
  return "error";
}

// The reverse of the escapes substitution notes write values with (\\, \t,
// \n, \" and three octal digits).
std::string unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    char next = text[++i];
    if (next == 't')
      out.push_back('\t');
    else if (next == 'n')
      out.push_back('\n');
    else if (next >= '0' && next <= '7' && i + 2 < text.size()) {
      out.push_back(
          static_cast<char>((next - '0') * 64 + (text[i + 1] - '0') * 8 + (text[i + 2] - '0')));
      i += 2;
    } else
      out.push_back(next);
  }
  return out;
}

// Name and value of a note 'with "NAME" equal to "VALUE"'.
std::optional<std::pair<std::string, std::string>> substitutionIn(std::string_view note) {
  if (!note.starts_with(text::substitutionLead) || !note.ends_with('"'))
    return std::nullopt;
  note.remove_prefix(text::substitutionLead.size());
  note.remove_suffix(1);
  size_t middle = note.find(text::substitutionMiddle);
  if (middle == std::string_view::npos)
    return std::nullopt;
  return std::make_pair(unescape(note.substr(0, middle)),
                        unescape(note.substr(middle + text::substitutionMiddle.size())));
}

// Offsets of the starts of the lines of a text, to turn the dump records'
// lines and columns back into offsets.
class LineStarts {
public:
  explicit LineStarts(std::string_view text) : text(text) {
    starts.push_back(0);
    for (size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n')
        starts.push_back(i + 1);
  }
  ReportPosition at(uint32_t line, uint32_t column) const {
    ReportPosition result{line, column, 0};
    if (line >= 1 && line <= starts.size())
      result.offset =
          std::min<uint64_t>(starts[line - 1] + (column > 0 ? column - 1 : 0), text.size());
    return result;
  }

private:
  std::string_view text;
  std::vector<size_t> starts;
};

} // namespace

struct RunReport::Failure {
  std::string kind;
  std::string message;
  std::string file;
  ReportPosition check;
  std::string pattern;
  std::optional<Range> searched;
  std::optional<Range> match;
  std::optional<ReportPosition> possibleMatch;
  std::vector<std::pair<std::string, std::string>> substitutions;
  const char *pointer = nullptr;

  void addSubstitution(std::pair<std::string, std::string> substitution) {
    if (std::find(substitutions.begin(), substitutions.end(), substitution) == substitutions.end())
      substitutions.push_back(std::move(substitution));
  }
};

namespace {
// The report of the run in progress, for a run that ends the process
// before the driver can finish it.
RunReport *activeReport = nullptr;

void finishActiveReport(int status) {
  if (activeReport)
    activeReport->finish(status);
}
} // namespace

std::unique_ptr<RunReport> RunReport::fromEnvironment() {
  const char *path = std::getenv(text::variable);
  if (!path || !*path)
    return nullptr;
  return std::make_unique<RunReport>(path);
}

RunReport::RunReport(std::string path) : path(std::move(path)) {
  standardErrorStream().copyDeliveredTo(&errorText, errorTextLimit);
  activeReport = this;
  setExitObserver(finishActiveReport);
}

RunReport::~RunReport() {
  standardErrorStream().copyDeliveredTo(nullptr, 0);
  if (activeReport == this) {
    activeReport = nullptr;
    setExitObserver(nullptr);
  }
}

void RunReport::setNames(std::string_view checkName, std::string_view inputName) {
  checkFile = checkName;
  inputFile = inputName;
  hasNames = true;
}

void RunReport::setRequest(const CheckRequest &request) {
  checkPrefixes.assign(request.checkPrefixes.begin(), request.checkPrefixes.end());
  commentPrefixes.assign(request.commentPrefixes.begin(), request.commentPrefixes.end());
}

void RunReport::watch(SourceManager &sourceManager) {
  sources = &sourceManager;
  sourceManager.setObserver(this);
}

void RunReport::unwatch() {
  if (sources)
    sources->setObserver(nullptr);
  sources = nullptr;
}

void RunReport::setBuffers(unsigned check, unsigned input) {
  checkBuffer = check;
  inputBuffer = input;
}

std::string RunReport::bufferKind(unsigned number) const {
  if (number == 0 || !sources)
    return "command-line";
  if (number == checkBuffer)
    return "check-file";
  if (number == inputBuffer)
    return "input";
  std::string_view name = sources->buffer(number).identifier();
  if (name == "Global defines")
    return "global-defines";
  if (name == "command line")
    return "implicit-check-not";
  return "command-line";
}

void RunReport::diagnosticPrinted(const SourceDiagnostic &diagnostic) {
  ReportDiagnostic entry;
  entry.kind = diagnostic.kind();
  entry.message = cut(diagnostic.message());
  entry.file = cut(diagnostic.bufferName() == "-" ? "<stdin>" : diagnostic.bufferName());
  entry.pointer = diagnostic.location().pointer();
  const SourceManager *manager = diagnostic.sourceManager();
  unsigned number = manager ? manager->bufferHolding(diagnostic.location()) : 0;
  entry.buffer = manager == sources ? bufferKind(number) : "command-line";
  if (diagnostic.lineNumber() > 0 && diagnostic.column() >= 0) {
    uint64_t column = static_cast<uint64_t>(diagnostic.column());
    uint64_t offset = 0;
    if (number != 0)
      offset = static_cast<uint64_t>(diagnostic.location().pointer() -
                                     manager->buffer(number).bufferStart());
    uint64_t lineStart = offset >= column ? offset - column : 0;
    uint64_t line = static_cast<uint64_t>(diagnostic.lineNumber());
    entry.position = {line, column + 1, offset};
    for (const SourceDiagnostic::ColumnRange &span : diagnostic.columnRanges())
      entry.ranges.push_back({{line, span.first + uint64_t{1}, lineStart + span.first},
                              {line, span.second + uint64_t{1}, lineStart + span.second}});
  }
  diagnostics.push_back(std::move(entry));
}

void RunReport::setVerification(const CheckEngine &engine, const MatchDiagList *diags,
                                const VerifyCounts &counts) {
  verified = true;
  checkedCount = counts.checked;
  if (!sources)
    return;
  struct Owner {
    const CheckPattern *pattern;
    std::string_view prefix;
  };
  std::unordered_map<const char *, Owner> owners;
  for (const CheckDirective &directive : engine.directives()) {
    owners.emplace(directive.pattern.location.pointer(),
                   Owner{&directive.pattern, directive.prefix});
    for (const CheckPattern &pattern : directive.notDagPatterns)
      owners.emplace(pattern.location.pointer(), Owner{&pattern, directive.prefix});
  }
  for (const CheckPattern &pattern : engine.implicitNotPatterns())
    owners.emplace(pattern.location.pointer(), Owner{&pattern, std::string_view()});

  Failure *current = nullptr;
  for (const ReportDiagnostic &diagnostic : diagnostics) {
    auto owner = owners.find(diagnostic.pointer);
    if (diagnostic.kind == DiagKind::Error && owner != owners.end()) {
      Failure failure;
      const Owner &found = owner->second;
      std::string_view message = diagnostic.message;
      // Implicit patterns belong to no directive: their message names the
      // kind they were checked as.
      failure.kind = !found.prefix.empty() ? directiveDescription(found.prefix, found.pattern->type)
                                           : std::string(message.substr(0, message.find(':')));
      failure.message = diagnostic.message;
      failure.file = diagnostic.file;
      failure.check = diagnostic.position;
      // The pattern runs to the end of its line, NUL bytes included.
      const TextBuffer &holder =
          sources->buffer(sources->bufferHolding(SourceLocation::fromPointer(diagnostic.pointer)));
      std::string_view line(diagnostic.pointer, size_t(holder.bufferEnd() - diagnostic.pointer));
      failure.pattern = cut(line.substr(0, line.find('\n')));
      failure.pointer = diagnostic.pointer;
      failures.push_back(std::move(failure));
      current = &failures.back();
      continue;
    }
    if (diagnostic.kind != DiagKind::Note) {
      current = nullptr;
      continue;
    }
    if (!current)
      continue;
    std::string_view note = diagnostic.message;
    Range here{diagnostic.position, diagnostic.position};
    if (note == text::scanningFromHere)
      current->searched = here;
    else if (note == text::intendedMatch)
      current->possibleMatch = diagnostic.position;
    else if (note == text::foundHere || note == text::nextMatchHere)
      current->match = diagnostic.ranges.empty() ? here : diagnostic.ranges.front();
    else if (auto substitution = substitutionIn(note))
      current->addSubstitution(std::move(*substitution));
  }

  if (!diags || failures.empty() || !sources || inputBuffer == 0)
    return;
  LineStarts lines(sources->buffer(inputBuffer).text());
  // One pass over the records: a run with a thousand failures has many
  // thousands of them.
  std::unordered_map<const char *, Failure *> byPlace;
  for (Failure &failure : failures)
    byPlace.emplace(failure.pointer, &failure);
  for (const MatchDiag &record : *diags) {
    auto place = byPlace.find(record.checkLocation.pointer());
    if (place == byPlace.end())
      continue;
    Failure &failure = *place->second;
    if (auto substitution = substitutionIn(record.note)) {
      failure.addSubstitution(std::move(*substitution));
      continue;
    }
    // Other notes (captures, errors after a match) carry their own
    // ranges, not the search's.
    if (!record.note.empty())
      continue;
    Range span{lines.at(record.startLine, record.startColumn),
               lines.at(record.endLine, record.endColumn)};
    switch (record.matchKind) {
    case MatchKind::ExpectedMissing:
      failure.searched = span;
      break;
    case MatchKind::ExcludedFound:
    case MatchKind::WrongLine:
      failure.match = span;
      break;
    case MatchKind::FuzzyCandidate:
      failure.possibleMatch = span.first;
      break;
    default:
      break;
    }
  }
}

std::string RunReport::render(int status) const {
  Json record;
  record["format"] = formatVersion;
  record["tool"] = "vetline";
  record["version"] = cl::messages::versionNumber;
  record["checkFile"] = hasNames ? Json(cut(checkFile)) : Json(nullptr);
  record["input"] = hasNames ? Json(cut(inputFile)) : Json(nullptr);
  record["prefixes"] = checkPrefixes;
  record["commentPrefixes"] = commentPrefixes;
  record["status"] = status;
  const char *outcome = status == 0 ? "passed" : verified && status == 1 ? "failed" : "error";
  record["outcome"] = outcome;
  Json error = nullptr;
  if (std::strcmp(outcome, "error") == 0) {
    auto first = std::find_if(diagnostics.begin(), diagnostics.end(),
                              [](const ReportDiagnostic &d) { return d.kind == DiagKind::Error; });
    if (first != diagnostics.end())
      error = first->message;
    else if (!errorText.empty())
      error = cut(std::string_view(errorText).substr(0, errorText.find('\n')));
  }
  record["error"] = error;
  size_t failed = failures.size();
  record["directives"] = {{"checked", checkedCount},
                          {"passed", checkedCount > failed ? checkedCount - failed : 0},
                          {"failed", failed}};
  Json list = Json::array();
  for (const ReportDiagnostic &d : diagnostics) {
    Json entry{{"severity", severity(d.kind)},
               {"message", d.message},
               {"buffer", d.buffer},
               {"file", d.file},
               {"position", position(d.position)}};
    Json spans = Json::array();
    for (const Range &span : d.ranges)
      spans.push_back(range(span));
    entry["ranges"] = spans;
    list.push_back(std::move(entry));
  }
  record["diagnostics"] = std::move(list);
  Json failureList = Json::array();
  for (const Failure &f : failures) {
    Json substitutions = Json::array();
    for (const auto &[name, value] : f.substitutions)
      substitutions.push_back({{"name", cut(name)}, {"value", cut(value)}});
    failureList.push_back(
        {{"kind", f.kind},
         {"message", f.message},
         {"check",
          {{"file", f.file},
           {"line", f.check.line},
           {"column", f.check.column},
           {"offset", f.check.offset}}},
         {"pattern", f.pattern},
         {"searched", range(f.searched)},
         {"match", range(f.match)},
         {"possibleMatch", f.possibleMatch ? position(*f.possibleMatch) : Json(nullptr)},
         {"substitutions", std::move(substitutions)}});
  }
  record["failures"] = std::move(failureList);
  // Bytes that are not UTF-8 become U+FFFD instead of failing the dump.
  return record.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

void RunReport::finish(int status) {
  if (isFinished)
    return;
  isFinished = true;
  standardErrorStream().copyDeliveredTo(nullptr, 0);
  std::string line = render(status);
  int fd = openForAppend(path, 0666);
  bool written = fd >= 0;
  if (written) {
    // One record, one append: a lock keeps records of parallel runs whole
    // even beyond the size the system writes atomically.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    written = writeAll(fd, line.data(), line.size());
    int saved = errno;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    errno = saved;
  }
  if (!written)
    standardError() << formatPositionalString(text::cannotWrite, path, std::strerror(errno));
}

} // namespace vetline
