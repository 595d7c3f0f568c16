#include "lint/linter.h"

#include "engine/check_engine.h"
#include "engine/check_reader.h"
#include "engine/pattern.h"
#include "engine/reading_options.h"
#include "lint/dag_gap.h"
#include "lint/directive_typo.h"
#include "lint/escape_check.h"
#include "lint/options.h"
#include "lint/variable_check.h"
#include "support/cmdline/parser.h"
#include "support/error.h"
#include "support/format.h"
#include "support/output_stream.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace vetline::lint {

namespace {

// Warnings shown for one line before the rest are left out.
constexpr size_t warningsPerLine = 4;

// Every text the linter's driver shows. They are interface (test suites
// compare them byte for byte): never reword them. "{N}" stands for a value
// filled in by formatPositional.
namespace text {
constexpr std::string_view overview =
    "finds the places in check files that look like checks but check\n"
    "nothing (see the guide's chapter on the linter)\n";
constexpr std::string_view unreadableFile = "Could not open check file '{0}': {1}\n";
// {0} is the argument that asked for help or version.
constexpr std::string_view nothingLinted =
    "vetline-lint: {0} given with a check file; nothing was linted\n";
// {0} is blankRunTab or blankRunSpaces.
constexpr std::string_view implicitPatternBlankRun =
    "implicit-check-not pattern holds {0}, which the input never holds (each run of spaces and "
    "tabs in it is read as one space), so the pattern never matches";
// {0} is the variable's name, {1} blankRunTab or blankRunSpaces.
constexpr std::string_view definitionBlankRun =
    "the value of '{0}' holds {1}, which the input never holds (each run of spaces and tabs in it "
    "is read as one space), so a pattern using it never matches";
constexpr std::string_view blankRunTab = "a tab";
constexpr std::string_view blankRunSpaces = "a run of blanks";
// After each warning's message, {0} its short name.
constexpr std::string_view warningNameSuffix = " [{0}]";
constexpr std::string_view warningsLeftOut = "further warnings on this line are not shown";
// The name of the buffers made for option values, and how they are written.
constexpr std::string_view optionBufferName = "command line";
constexpr std::string_view implicitPatternLead = "-implicit-check-not='";
constexpr std::string_view implicitPatternTrail = "'";
constexpr std::string_view definitionLead = "-D";
} // namespace text

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void findEscapes(std::span<const DirectiveSighting> sightings, FindingList &findings) {
  std::vector<PatternPiece> pieces;
  std::vector<SuspectEscape> escapes;
  for (const DirectiveSighting &sighting : sightings)
    if (sighting.type.kind != DirectiveKind::Comment && !sighting.type.isLiteral())
      findPatternEscapes(sighting.patternText, pieces, escapes, findings);
}

// The first tab or run of blanks in `value`, or an empty view. A pattern
// drops its trailing blanks before it is searched, so with
// `isPattern` a run at the end does not count.
std::string_view firstBlankRun(std::string_view value, bool isPattern) {
  for (size_t i = 0; i < value.size(); ++i) {
    if (!isBlank(value[i]))
      continue;
    size_t end = i + 1;
    while (end < value.size() && isBlank(value[end]))
      ++end;
    if (isPattern && end == value.size())
      return {};
    if (end - i > 1 || value[i] == '\t')
      return value.substr(i, end - i);
    i = end;
  }
  return {};
}

std::string_view blankRunWhat(std::string_view run) {
  return run == "\t" ? text::blankRunTab : text::blankRunSpaces;
}

// Registers `lead` + `value` + `trail` as a "command line" buffer and
// returns the view of `value` inside it.
std::string_view addOptionBuffer(SourceManager &sourceManager, std::string_view lead,
                                 std::string_view value, std::string_view trail) {
  std::string written(lead);
  written += value;
  written += trail;
  unsigned number = sourceManager.addBuffer(makeTextBufferCopy(written, text::optionBufferName));
  return sourceManager.buffer(number).text().substr(lead.size(), value.size());
}

void lintImplicitPatterns(const CheckRequest &request, SourceManager &sourceManager,
                          FindingList &findings) {
  std::vector<PatternPiece> pieces;
  std::vector<SuspectEscape> escapes;
  for (std::string_view given : request.implicitCheckNot) {
    std::string_view pattern = addOptionBuffer(sourceManager, text::implicitPatternLead, given,
                                               text::implicitPatternTrail);
    std::string_view run =
        request.strictWhitespace ? std::string_view() : firstBlankRun(pattern, true);
    if (!run.empty())
      findings.push_back(
          {run.data(), run.data() + run.size(), WarningKind::BlankRun,
           formatPositionalString(text::implicitPatternBlankRun, blankRunWhat(run))});
    findPatternEscapes(pattern, pieces, escapes, findings);
  }
}

void lintDefinitions(const CheckRequest &request, SourceManager &sourceManager,
                     FindingList &findings) {
  if (request.strictWhitespace)
    return;
  for (std::string_view given : request.globalDefines) {
    VariableEvent variable = commandLineVariable(given);
    if (variable.kind != VariableKind::String || variable.name.empty())
      continue;
    std::string_view value = given.substr(given.find('=') + 1);
    if (firstBlankRun(value, false).empty())
      continue;
    std::string_view definition = addOptionBuffer(sourceManager, text::definitionLead, given, "");
    std::string_view run = firstBlankRun(definition.substr(definition.find('=') + 1), false);
    findings.push_back(
        {run.data(), run.data() + run.size(), WarningKind::BlankRun,
         formatPositionalString(text::definitionBlankRun, variable.name, blankRunWhat(run))});
  }
}

} // namespace

LintResult lintCheckFile(const TextBuffer &file, const CheckRequest &request,
                         SourceManager &sourceManager, SmallVectorImpl<char> &storage) {
  CheckEngine engine(request);
  Regex prefixRegex = engine.buildPrefixRegex();
  std::string_view checkText = engine.canonicalizeBuffer(file, storage);
  sourceManager.addBuffer(makeTextBufferView(checkText, file.identifier(), true));

  std::vector<DirectiveSighting> sightings;
  engine.setDirectiveListener(
      [&sightings](const DirectiveSighting &sighting) { sightings.push_back(sighting); });
  LintResult result;
  result.isReadable = !engine.loadDirectives(sourceManager, checkText, prefixRegex, nullptr);

  const CheckRequest &withDefaults = engine.request();
  findDirectiveTypos(checkText, sightings, withDefaults, result.findings);
  findEscapes(sightings, result.findings);
  // What the reader did not reach is unknown: a variable defined there, or
  // a NOT directive after a DAG group, would be missed.
  if (result.isReadable) {
    findVariableProblems(sightings, withDefaults, result.findings);
    findDagGaps(sightings, withDefaults, result.findings);
  }
  return result;
}

FindingList lintOptionValues(const CheckRequest &request, SourceManager &sourceManager) {
  FindingList findings;
  lintImplicitPatterns(request, sourceManager, findings);
  lintDefinitions(request, sourceManager, findings);
  return findings;
}

void sortFindings(FindingList &findings, const SourceManager &sourceManager) {
  std::vector<std::pair<unsigned, size_t>> order;
  order.reserve(findings.size());
  for (size_t i = 0; i < findings.size(); ++i)
    order.emplace_back(sourceManager.bufferHolding(SourceLocation::fromPointer(findings[i].at)), i);
  std::stable_sort(order.begin(), order.end(), [&findings](const auto &a, const auto &b) {
    if (a.first != b.first)
      return a.first < b.first;
    return findings[a.second].at < findings[b.second].at;
  });
  FindingList sorted;
  sorted.reserve(findings.size());
  for (const auto &entry : order)
    sorted.push_back(std::move(findings[entry.second]));
  findings = std::move(sorted);
}

size_t printFindings(FindingList &findings, const WarningSet &enabled,
                     const SourceManager &sourceManager, OutputStream &os) {
  sortFindings(findings, sourceManager);
  size_t printed = 0;
  unsigned line = 0;
  unsigned buffer = 0;
  size_t onLine = 0;
  for (const Finding &finding : findings) {
    if (!enabled.isEnabled(finding.kind))
      continue;
    SourceLocation location = SourceLocation::fromPointer(finding.at);
    unsigned findingBuffer = sourceManager.bufferHolding(location);
    unsigned findingLine = sourceManager.lineOf(location, findingBuffer);
    if (findingBuffer != buffer || findingLine != line) {
      buffer = findingBuffer;
      line = findingLine;
      onLine = 0;
    }
    if (++onLine > warningsPerLine) {
      if (onLine == warningsPerLine + 1)
        sourceManager.emitDiagnostic(
            os, sourceManager.makeDiagnostic(location, DiagKind::Note, text::warningsLeftOut));
      continue;
    }
    SourceRange range;
    if (finding.end)
      range = {location, SourceLocation::fromPointer(finding.end)};
    std::string message = finding.message + formatPositionalString(text::warningNameSuffix,
                                                                   warningName(finding.kind));
    sourceManager.emitDiagnostic(
        os, sourceManager.makeDiagnostic(location, DiagKind::Warning, message, range));
    ++printed;
  }
  return printed;
}

namespace {

// The run's settings from the options, as the tool fills them.
CheckRequest makeRequest() {
  CheckRequest request;
  vetline::options::fillReadingSettings(
      request, {options::checkPrefixes, options::commentPrefixes, options::strictWhitespace,
                options::implicitCheckNot, options::globalDefines, options::allowUnusedPrefixes,
                options::matchFullLines});
  return request;
}

// The tool's checks of the "-D" values and the prefixes before anything is
// read, with its messages.
bool checkSettings(const CheckRequest &request) {
  CheckEngine engine(request);
  return engine.validateDefines() && engine.preparePrefixRegex();
}

// Lints one named file; returns its exit status (0, 1 or 2).
int lintNamedFile(std::string_view name, const CheckRequest &request, const WarningSet &enabled) {
  // Read like the tool reads: into owned memory, never mapped, so a file
  // truncated meanwhile is an error and not a fault on vanished pages.
  BufferOrError file = readWritableFileOrStdin(name);
  if (!file) {
    standardError() << formatPositionalString(text::unreadableFile, name, file.error().message());
    return 2;
  }
  SourceManager sourceManager;
  SmallVector<char, 4096> storage;
  LintResult result = lintCheckFile(*file, request, sourceManager, storage);
  size_t printed = printFindings(result.findings, enabled, sourceManager, standardError());
  return !result.isReadable ? 2 : printed > 0 ? 1 : 0;
}

} // namespace

int runLinter(int argc, char **argv) {
  installOutOfMemoryHandler();
  // One bad pattern must not end the run before the other files are seen.
  setExitOnUnbalancedBracket(false);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i)
    args.emplace_back(argv[i] ? argv[i] : "");
  cl::ParseSettings settings;
  settings.overview = text::overview;
  settings.errors = &standardError();
  settings.mayExit = false;
  cl::ParseResult parsed = cl::parseArguments(args, settings);
  if (parsed.exitCode >= 0) {
    // Help and version lint nothing: with a file named that must not read
    // as a clean result.
    if (!parsed.namesPositional)
      return parsed.exitCode;
    standardOutput().flush();
    standardError() << formatPositionalString(text::nothingLinted, parsed.stoppedBy);
    return 2;
  }
  if (!parsed.ok)
    return 2;

  CheckRequest request = makeRequest();
  if (!checkSettings(request))
    return 2;
  WarningSet enabled;
  for (WarningKind kind : options::disabledWarnings)
    enabled.disable(kind);

  SourceManager optionSources;
  FindingList optionFindings = lintOptionValues(request, optionSources);
  int status = printFindings(optionFindings, enabled, optionSources, standardError()) > 0 ? 1 : 0;
  for (const std::string &name : options::checkFiles)
    status = std::max(status, lintNamedFile(name, request, enabled));
  standardOutput().flush();
  return status;
}

} // namespace vetline::lint
