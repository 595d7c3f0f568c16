// The run sequence: arguments, dump settings, "-D" checks, prefixes, the
// check file, the directives, the input, checking, and the dump. Each step
// runs only when the ones before it did not end the run; the messages and
// exit statuses of the failures are relied on by test suites.
#include "tool/driver.h"

#include "engine/check_engine.h"
#include "support/error.h"
#include "support/format.h"
#include "support/output_stream.h"
#include "support/process/crash_report.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"
#include "tool/arguments.h"
#include "tool/input_dump.h"
#include "tool/run_report.h"

#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>

namespace vetline {
namespace {

// Every text the run sequence shows. They are interface (test suites
// compare them byte for byte): never reword them. "{N}" stands for a value
// filled in by formatPositional.
namespace text {
constexpr std::string_view noCheckFile = "<check-file> not specified\n";
// {0} is the argument that asked for help, version or the dump explanation.
constexpr std::string_view nothingChecked =
    "vetline: {0} given with a check file; nothing was checked\n";
constexpr std::string_view dumpHelpRequest = "-dump-input=help";
// {0} is kindCheck or kindInput.
constexpr std::string_view unreadableFile = "Could not open {0} file '{1}': {2}\n";
constexpr std::string_view kindCheck = "check";
constexpr std::string_view kindInput = "input";
constexpr std::string_view standardInputName = "<stdin>";
constexpr std::string_view emptyInput = "Vetline error: '{0}' is empty.\n";
// Followed by " ARGUMENT" for each argument, then a line feed.
constexpr std::string_view commandLineLead = "Vetline command line: ";
constexpr std::string_view dumpHeader = "\nInput file: {0}\nCheck file: {1}\n\n"
                                        "-dump-input=help explains the following input dump.\n\n";
} // namespace text

// Exit status of a run whose output pipe was closed under it.
constexpr int BrokenPipeStatus = 74;

void exitOnBrokenPipe() { _exit(BrokenPipeStatus); }

// The start-up of a run: crash reporting and the allocation-failure
// handler, installed once per process, and the arguments for the stack
// dump, which last as long as the run.
class RunHandlers {
public:
  RunHandlers(int argc, char **argv) : processSupport(argc, argv, exitOnBrokenPipe) {}
  ~RunHandlers() {
    // Standard output is buffered: write it out while the run's arguments
    // still head a crash report.
    standardOutput().flush();
  }
  RunHandlers(const RunHandlers &) = delete;
  RunHandlers &operator=(const RunHandlers &) = delete;

private:
  ProcessSupport processSupport;
};

void echoCommandLine(int argc, char **argv) {
  OutputStream &errors = standardError();
  errors << text::commandLineLead;
  for (int i = 0; i < argc; ++i) {
    errors << " ";
    if (argv[i])
      errors << argv[i];
  }
  errors << "\n";
}

// Canonicalises the bytes read in place and registers the buffer, which
// holds the canonical text from then on, under its own name: the run keeps
// one copy of each file.
std::string_view addCanonicalBuffer(const CheckEngine &engine, SourceManager &sourceManager,
                                    BufferOrError &read, unsigned *bufferNumber) {
  std::string_view text = engine.canonicalizeInPlace(*read);
  unsigned number = sourceManager.addBuffer(read.take());
  if (bufferNumber)
    *bufferNumber = number;
  return text;
}

// `kind` is text::kindCheck or text::kindInput.
int reportUnreadable(std::string_view kind, std::string_view name, std::error_code error) {
  standardError() << formatPositionalString(text::unreadableFile, kind, name, error.message());
  return 2;
}

void printDumpHeader(std::string_view inputName, std::string_view checkName) {
  standardError() << formatPositionalString(text::dumpHeader, inputName, checkName);
}

// Watches a source manager for a report, if any, while the manager lives.
class ReportWatch {
public:
  ReportWatch(RunReport *report, SourceManager &sourceManager) : report(report) {
    if (report)
      report->watch(sourceManager);
  }
  ~ReportWatch() {
    if (report)
      report->unwatch();
  }
  ReportWatch(const ReportWatch &) = delete;
  ReportWatch &operator=(const ReportWatch &) = delete;

private:
  RunReport *report;
};

// The steps from the engine's construction on. `args.inputFile` becomes
// text::standardInputName once standard input is read. `report` may be
// null.
int runCheck(int argc, char **argv, DriverArguments &args, const DumpSettings &dump,
             RunReport *report) {
  OutputStream &errors = standardError();
  const CheckRequest &request = args.request;
  if (report)
    report->setNames(args.checkFile, args.inputFile);
  CheckEngine engine(request);
  if (!engine.validateDefines())
    return 2;
  std::optional<Regex> prefixRegex = engine.preparePrefixRegex();
  if (!prefixRegex)
    return 2;
  if (report)
    report->setRequest(engine.request());

  SourceManager sourceManager;
  ReportWatch watch(report, sourceManager);
  BufferOrError checkFile = readWritableFileOrStdin(args.checkFile);
  if (!checkFile)
    return reportUnreadable(text::kindCheck, args.checkFile, checkFile.error());
  unsigned checkBufferNumber = 0;
  std::string_view checkText =
      addCanonicalBuffer(engine, sourceManager, checkFile, &checkBufferNumber);
  if (report)
    report->setBuffers(checkBufferNumber, 0);
  ImplicitBufferRange implicitBuffers;
  if (engine.loadDirectives(sourceManager, checkText, *prefixRegex, &implicitBuffers))
    return 2;

  BufferOrError inputFile = readWritableFileOrStdin(args.inputFile);
  if (args.inputFile == "-")
    args.inputFile = text::standardInputName;
  if (!inputFile)
    return reportUnreadable(text::kindInput, args.inputFile, inputFile.error());
  if (inputFile->size() == 0 && !request.allowEmptyInput) {
    errors << formatPositionalString(text::emptyInput, args.inputFile);
    echoCommandLine(argc, argv);
    return 2;
  }
  unsigned inputBufferNumber = 0;
  std::string_view inputText =
      addCanonicalBuffer(engine, sourceManager, inputFile, &inputBufferNumber);
  if (report)
    report->setBuffers(checkBufferNumber, inputBufferNumber);

  MatchDiagList diags;
  // The records change what is printed (good matches and substitution
  // notes go to the dump instead), so a report never asks for them.
  MatchDiagList *records = dump.mode == DumpMode::Never ? nullptr : &diags;
  VerifyCounts counts;
  bool passed = engine.verifyInput(sourceManager, inputText, records, &counts);
  if (report)
    report->setVerification(engine, records, counts);
  if (dump.mode == DumpMode::Always || (dump.mode == DumpMode::Fail && !passed)) {
    printDumpHeader(args.inputFile, args.checkFile);
    DumpAnnotationList annotations;
    uint32_t labelWidth = 0;
    buildAnnotations(sourceManager, checkBufferNumber, implicitBuffers, diags, annotations,
                     labelWidth);
    printAnnotatedInput(errors, request, dump.filter, dump.context, inputText, annotations,
                        labelWidth);
  }
  return passed ? 0 : 1;
}

// A run that help, version or the dump explanation ended checked nothing.
// With a check file named that is not a pass (a suite reading only the
// status must not count it as one), and the one line on standard error
// says why for whoever reads the log.
int explainedRunStatus(const DriverArguments &args, std::string_view request) {
  if (!args.namesCheckFile)
    return 0;
  standardOutput().flush();
  standardError() << formatPositionalString(text::nothingChecked, request);
  return 2;
}

// The run from the command line on; `report` may be null.
int runSteps(int argc, char **argv, RunReport *report) {
  DriverArguments args;
  if (!parseArguments(argc, argv, args))
    return 1;
  // Help, version and the dump explanation end the run before any check.
  if (args.helpOrVersionPrinted)
    return explainedRunStatus(args, args.helpOrVersionRequest);
  DumpSettings dump = resolveDumpSettings(args.dumpModes, args.dumpFilters, args.dumpContexts);
  if (dump.mode == DumpMode::Help) {
    printDumpExplanation(standardOutput());
    return explainedRunStatus(args, text::dumpHelpRequest);
  }
  if (args.checkFile.empty()) {
    standardError() << text::noCheckFile;
    return 2;
  }
  return runCheck(argc, argv, args, dump, report);
}

} // namespace

int runDriver(int argc, char **argv) {
  RunHandlers handlers(argc, argv);
  std::unique_ptr<RunReport> report = RunReport::fromEnvironment();
  int status = runSteps(argc, argv, report.get());
  if (report)
    report->finish(status);
  return status;
}

} // namespace vetline
