#include "suite/runner.h"

#include "suite/console.h"
#include "suite/executor.h"
#include "suite/failed_tests.h"
#include "suite/options.h"
#include "suite/reports.h"
#include "suite/test_finder.h"
#include "support/cmdline/parser.h"
#include "support/error.h"
#include "support/format.h"
#include "support/output_stream.h"
#include "support/process/file_tree.h"
#include "support/process/paths.h"
#include "support/regex/regex.h"

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace vetline::suite {
namespace {

// Every text the runner's driver shows. They are interface (test suites
// compare them byte for byte): never reword them.
namespace text {
constexpr std::string_view overview =
    "runs every test of a suite from the RUN: lines in its test files and\n"
    "reports what failed (see the guide's chapter on vetline-suite)\n";
constexpr std::string_view error = "vetline-suite: error: {0}\n";
constexpr std::string_view note = "vetline-suite: {0}\n";
constexpr std::string_view badShard = "--shard takes K/N with 1 <= K <= N, not '{0}'";
constexpr std::string_view badFilter = "--filter: bad regex '{0}': {1}";
constexpr std::string_view badRepeat = "--repeat takes 1 or more";
constexpr std::string_view noBash = "bash is needed to run the tests, and none is on PATH";
constexpr std::string_view noTests = "no test found under the paths given";
constexpr std::string_view noMatch = "no test matches the filter";
constexpr std::string_view noFailed = "no test failed in the previous run";
constexpr std::string_view cannotMakeOutput = "cannot make the output folder '{0}': {1}";
constexpr std::string_view outputMark = "vetline-suite output: tests are not looked for here\n";
} // namespace text

constexpr double tickSeconds = 0.25;

void printError(std::string_view message) {
  standardError() << formatPositionalString(text::error, message);
}

bool parseShard(std::string_view given, unsigned &shard, unsigned &count) {
  size_t slash = given.find('/');
  uint64_t k = 0, n = 0;
  if (slash == std::string_view::npos || !parseRadixNumber(given.substr(0, slash), k) ||
      !parseRadixNumber(given.substr(slash + 1), n) || k < 1 || k > n || n > UINT32_MAX)
    return false;
  shard = unsigned(k);
  count = unsigned(n);
  return true;
}

unsigned terminalWidth() {
  winsize size{};
  if (::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

std::string vetlinePath() {
  if (!options::vetline.getValue().empty())
    return normalPath(options::vetline.getValue());
  std::string self = executablePath();
  return std::string(directoryOf(self)) + "/vetline";
}

std::vector<std::string> runnerEnvironment() {
  std::vector<std::string> environment;
  for (char **entry = environ; entry && *entry; ++entry)
    environment.emplace_back(*entry);
  return environment;
}

// The tests of this run after --filter, --shard and --failed; an error
// message (exit status 2) or a note (nothing to do, status 0) otherwise.
struct Selection {
  std::vector<TestEntry> tests;
  std::string error;
  std::string note;
};

Selection selectTests(std::vector<TestEntry> found, const std::string &failedList) {
  Selection selection;
  if (found.empty()) {
    selection.error = text::noTests;
    return selection;
  }
  if (!options::filter.getValue().empty()) {
    Regex regex(options::filter.getValue());
    std::string message;
    if (!regex.isValid(message)) {
      selection.error =
          formatPositionalString(text::badFilter, options::filter.getValue(), message);
      return selection;
    }
    std::erase_if(found, [&regex](const TestEntry &test) {
      return !regex.match(test.shownPath) && !regex.match(test.id);
    });
    if (found.empty()) {
      selection.error = text::noMatch;
      return selection;
    }
  }
  unsigned shard = 1, shardCount = 1;
  if (!options::shard.getValue().empty() &&
      !parseShard(options::shard.getValue(), shard, shardCount)) {
    selection.error = formatPositionalString(text::badShard, options::shard.getValue());
    return selection;
  }
  for (size_t i = 0; i < found.size(); ++i)
    if (isInShard(i, shard, shardCount))
      selection.tests.push_back(std::move(found[i]));
  if (options::failedOnly) {
    std::set<std::string> failed = readFailedTests(failedList);
    std::erase_if(selection.tests,
                  [&failed](const TestEntry &test) { return !failed.count(test.absolutePath); });
    if (selection.tests.empty())
      selection.note = text::noFailed;
  }
  return selection;
}

Error prepareOutput(const std::string &directory) {
  if (std::error_code error = makeDirectories(directory))
    return makeMessageError(
        inconvertibleErrorCode(),
        formatPositionalString(text::cannotMakeOutput, directory, error.message()));
  std::string mark = directory + "/" + std::string(outputFolderMark);
  if (!fileExists(mark)) {
    int fd = ::open(mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
      (void)!::write(fd, text::outputMark.data(), text::outputMark.size());
      ::close(fd);
    }
  }
  return success();
}

// Everything one run holds besides the tests.
class SuiteRun {
public:
  SuiteRun(std::vector<TestEntry> tests, const std::string &outputDirectory)
      : tests(std::move(tests)),
        failedList(outputDirectory + "/" + std::string(failedTestsFileName)) {}

  int run(ExecutorSettings &settings);

private:
  bool openReports();
  void take(TestResult &&result);
  // With --repeat, whether another run of the same test failed already: a
  // later pass must not make a flaky test forgotten.
  bool hasFailedBefore(const TestResult &result) const { return failedNow.count(result.test) > 0; }
  int finish(int signal, double wallSeconds);

  std::vector<TestEntry> tests;
  std::string failedList;
  // The previous run's failures, less those passing now, plus the new ones.
  std::set<std::string> failed;
  std::set<const TestEntry *> failedNow;
  std::vector<std::unique_ptr<ReportFile>> reports;
  std::unique_ptr<Console> console;
  size_t recorded = 0;
  size_t units = 0;
  bool hasReportError = false;
};

bool SuiteRun::openReports() {
  const std::pair<const cl::SingleOption<std::string> *,
                  Fallible<std::unique_ptr<ReportFile>> (*)(const std::string &)>
      kinds[] = {{&options::json, openJsonReport}, {&options::junit, openJunitReport}};
  for (const auto &[option, open] : kinds) {
    if (option->getValue().empty())
      continue;
    Fallible<std::unique_ptr<ReportFile>> report = open(option->getValue());
    if (!report) {
      printError(report.extractError().takePayload()->message());
      return false;
    }
    reports.push_back(std::move(*report));
  }
  return true;
}

void SuiteRun::take(TestResult &&result) {
  ++recorded;
  console->record(result);
  for (std::unique_ptr<ReportFile> &report : reports)
    if (Error error = report->add(result)) {
      if (!hasReportError)
        printError(error.takePayload()->message());
      hasReportError = true;
    }
  if (countsAsFailure(result.status)) {
    failed.insert(result.test->absolutePath);
    if (units > tests.size())
      failedNow.insert(result.test);
  } else if (result.status != TestStatus::Skipped && !hasFailedBefore(result))
    failed.erase(result.test->absolutePath);
}

int SuiteRun::run(ExecutorSettings &settings) {
  if (!openReports())
    return 2;
  units = tests.size() * settings.repeat;
  ConsoleSettings shown;
  shown.isTerminal = ::isatty(1) == 1;
  shown.keepsColors = colorOptionPolicy() == ColorPolicy::Force ||
                      (shown.isTerminal && colorOptionPolicy() != ColorPolicy::Suppress);
  shown.width = terminalWidth();
  shown.isQuiet = options::quiet;
  shown.slowest = options::slowest;
  shown.repeat = settings.repeat;
  console = std::make_unique<Console>(standardOutput(), shown, units);
  auto started = std::chrono::steady_clock::now();
  Executor executor(settings, [this](TestResult &&result) { take(std::move(result)); });
  if (shown.isTerminal)
    executor.setTicker([this] { console->tick(); }, tickSeconds);
  Fallible<int> signal = executor.run(tests);
  if (!signal) {
    printError(signal.extractError().takePayload()->message());
    return 2;
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return finish(*signal, wall);
}

int SuiteRun::finish(int signal, double wallSeconds) {
  console->printSummary(wallSeconds, units - recorded);
  for (std::unique_ptr<ReportFile> &report : reports)
    if (Error error = report->close(wallSeconds)) {
      printError(error.takePayload()->message());
      hasReportError = true;
    }
  if (Error error = writeFailedTests(failedList, failed))
    printError(error.takePayload()->message());
  if (signal)
    return 128 + signal;
  if (hasReportError)
    return 2;
  return console->failedCount() > 0 ? 1 : 0;
}

} // namespace

int runSuite(int argc, char **argv) {
  installOutOfMemoryHandler();
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i)
    args.emplace_back(argv[i] ? argv[i] : "");
  cl::ParseSettings parseSettings;
  parseSettings.overview = text::overview;
  parseSettings.errors = &standardError();
  if (!cl::parseArguments(args, parseSettings).ok)
    return 2;
  if (options::repeat < 1) {
    printError(text::badRepeat);
    return 2;
  }

  ExecutorSettings settings;
  settings.jobs =
      options::jobs > 0 ? options::jobs : std::max(1u, std::thread::hardware_concurrency());
  if (options::timeout.occurrences > 0)
    settings.timeout = options::timeout;
  settings.outputLimit = options::outputLimit;
  settings.outputDirectory = normalPath(options::output.getValue());
  settings.vetline = vetlinePath();
  settings.repeat = options::repeat;
  settings.runnerEnvironment = runnerEnvironment();
  if (lookUpProgram("bash", settings.bash)) {
    printError(text::noBash);
    return 2;
  }

  ConfigCache configs;
  Fallible<std::vector<TestEntry>> found = findTests(options::paths.getValues(), configs);
  if (!found) {
    printError(found.extractError().takePayload()->message());
    return 2;
  }
  std::string failedList = settings.outputDirectory + "/" + std::string(failedTestsFileName);
  Selection selection = selectTests(std::move(*found), failedList);
  if (!selection.error.empty()) {
    printError(selection.error);
    return 2;
  }
  if (options::list) {
    for (const TestEntry &test : selection.tests)
      standardOutput() << test.shownPath << "\n";
    standardOutput().flush();
    return 0;
  }
  if (!selection.note.empty()) {
    standardOutput() << formatPositionalString(text::note, selection.note);
    return 0;
  }
  if (Error error = prepareOutput(settings.outputDirectory)) {
    printError(error.takePayload()->message());
    return 2;
  }
  SuiteRun run(std::move(selection.tests), settings.outputDirectory);
  int status = run.run(settings);
  standardOutput().flush();
  return status;
}

} // namespace vetline::suite
