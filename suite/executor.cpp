#include "suite/executor.h"

#include "suite/output_capture.h"
#include "suite/test_script.h"
#include "support/format.h"
#include "support/process/child_process.h"
#include "support/process/file_tree.h"
#include "support/process/paths.h"
#include "support/system_calls.h"
#include "support/text_buffer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <poll.h>
#include <set>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vetline::suite {
namespace {

// Every text this component shows. They are interface: never reword them.
namespace text {
// {0} the features missing.
constexpr std::string_view missingFeatures = "needs {0}";
constexpr std::string_view cannotPrepare = "cannot prepare '{0}': {1}";
constexpr std::string_view cannotStart = "cannot start bash for line {0}: {1}";
constexpr std::string_view cannotRead = "cannot read the test file: {0}";
// The variables of every test's environment.
constexpr std::string_view reportVariable = "VETLINE_REPORT";
constexpr std::string_view markerVariable = "VETLINE_SUITE_RUN";
} // namespace text

using Clock = std::chrono::steady_clock;

// Variables of the runner's environment that every test gets: a shell needs
// PATH and HOME, and the locale decides how programs read bytes.
constexpr std::string_view passedVariables[] = {"PATH",   "HOME",     "TMPDIR",      "LANG",
                                                "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LC_COLLATE"};

// What is read from a report file at most: a test that runs the tool in a
// loop must not fill the runner's memory.
constexpr size_t reportReadLimit = 8 << 20;

// Signals the loop takes as events.
constexpr int loopSignals[] = {SIGCHLD, SIGINT, SIGTERM, SIGHUP};

Clock::duration secondsToDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string_view valueOf(const std::vector<std::string> &environment, std::string_view name) {
  for (const std::string &entry : environment)
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
      return std::string_view(entry).substr(name.size() + 1);
  return {};
}

// Sets `name` in `environment`, replacing an earlier value.
void setVariable(std::vector<std::string> &environment, std::string_view name,
                 std::string_view value) {
  std::string entry = std::string(name) + "=" + std::string(value);
  for (std::string &existing : environment)
    if (existing.size() > name.size() && existing.starts_with(name) &&
        existing[name.size()] == '=') {
      existing = std::move(entry);
      return;
    }
  environment.push_back(std::move(entry));
}

std::vector<std::string> readReportLines(const std::string &path) {
  std::vector<std::string> lines;
  int fd = openReadOnly(path);
  if (fd < 0)
    return lines;
  std::string contents;
  char chunk[65536];
  ssize_t got;
  while (contents.size() < reportReadLimit && (got = readRetrying(fd, chunk, sizeof(chunk))) > 0)
    contents.append(chunk, size_t(got));
  ::close(fd);
  std::string_view rest = contents;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty())
      lines.emplace_back(line);
    if (end == std::string_view::npos)
      break;
    rest.remove_prefix(end + 1);
  }
  return lines;
}

// One RUN: line while its shell runs.
struct RunningCommand {
  pid_t pid = -1;
  bool hasExited = false;
  int waitStatus = 0;
  Clock::time_point exitedAt;
  // Standard output and error.
  int fds[2] = {-1, -1};
  std::unique_ptr<OutputCapture> captures[2];
  std::string marker;

  bool isOpen() const { return fds[0] >= 0 || fds[1] >= 0; }
  bool isDone() const { return hasExited && !isOpen(); }
  void closeStream(int which) {
    if (fds[which] >= 0)
      ::close(fds[which]);
    fds[which] = -1;
  }
};

// One run of one test.
struct Slot {
  const TestEntry *test = nullptr;
  unsigned repetition = 1;
  TestScript script;
  std::vector<std::string> commands;
  size_t next = 0;
  RunningCommand command;
  Clock::time_point started;
  Clock::time_point deadline = Clock::time_point::max();
  Clock::time_point killAt = Clock::time_point::max();
  bool isStopping = false;
  bool isInterrupted = false;
  std::string logBase;
  TestResult result;
};

} // namespace

class Executor::Loop {
public:
  Loop(const Executor &owner, std::span<const TestEntry> tests)
      : owner(owner), settings(owner.settings), tests(tests), slots(std::max(settings.jobs, 1u)) {}

  Fallible<int> run();

private:
  bool hasWork() const;
  void fillSlots();
  bool startTest(std::unique_ptr<Slot> &slot, const TestEntry &test, unsigned repetition);
  Error prepareTest(Slot &slot);
  bool prepareCommands(Slot &slot);
  void startCommand(std::unique_ptr<Slot> &slot);
  void finishCommand(std::unique_ptr<Slot> &slot);
  void finishTest(std::unique_ptr<Slot> &slot, bool hasFailed);
  void finishEarly(std::unique_ptr<Slot> &slot, TestStatus status, std::string message);
  void waitForEvents();
  int pollTimeout(Clock::time_point now) const;
  void readSignals();
  void reapChildren();
  void readStreams(const std::vector<pollfd> &polled);
  void checkClocks(Clock::time_point now);
  void stopTest(Slot &slot, Clock::time_point now);
  void interrupt(int signal);
  void sweepOrphans();
  void killEveryChild();
  const std::vector<std::string> &environmentFor(const SuiteConfig &config);
  std::string scratchPath(const TestEntry &test, unsigned repetition) const {
    return owner.scratchPath(test, repetition);
  }
  Error ensureParent(const std::string &path);

  const Executor &owner;
  const ExecutorSettings &settings;
  std::span<const TestEntry> tests;
  std::vector<std::unique_ptr<Slot>> slots;
  size_t nextUnit = 0;
  int signalFd = -1;
  int interruptSignal = 0;
  uint64_t markerCount = 0;
  std::string markerLead = std::to_string(::getpid()) + "-";
  Clock::time_point nextTick = Clock::time_point::max();
  std::set<std::string> madeDirectories;
  std::vector<std::pair<const SuiteConfig *, std::vector<std::string>>> environments;
};

Fallible<int> Executor::Loop::run() {
  sigset_t signals, previous;
  sigemptyset(&signals);
  for (int signal : loopSignals)
    sigaddset(&signals, signal);
  ::sigprocmask(SIG_BLOCK, &signals, &previous);
  signalFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd < 0) {
    Error error = fromErrorCode(std::error_code(errno, std::generic_category()));
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return error;
  }
  // Without it, escaped descendants go to init and only the marker sweep
  // at the end could not find them; the run still works.
  (void)becomeChildSubreaper();
  if (owner.ticker)
    nextTick = Clock::now() + secondsToDuration(owner.tickSeconds);
  while (true) {
    if (!interruptSignal)
      fillSlots();
    if (!hasWork())
      break;
    waitForEvents();
  }
  killEveryChild();
  ::close(signalFd);
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  return interruptSignal;
}

bool Executor::Loop::hasWork() const {
  return std::any_of(slots.begin(), slots.end(), [](const auto &slot) { return slot != nullptr; });
}

void Executor::Loop::fillSlots() {
  size_t units = tests.size() * settings.repeat;
  for (std::unique_ptr<Slot> &slot : slots) {
    while (!slot && nextUnit < units) {
      size_t unit = nextUnit++;
      startTest(slot, tests[unit / settings.repeat], unsigned(unit % settings.repeat) + 1);
    }
  }
}

// Leaves `slot` empty when the test ended before any command ran.
bool Executor::Loop::startTest(std::unique_ptr<Slot> &slot, const TestEntry &test,
                               unsigned repetition) {
  slot = std::make_unique<Slot>();
  slot->test = &test;
  slot->repetition = repetition;
  slot->started = Clock::now();
  slot->result.test = &test;
  slot->result.repetition = repetition;
  BufferOrError file = readWritableFileOrStdin(test.absolutePath);
  if (!file) {
    finishEarly(slot, TestStatus::Broken,
                formatPositionalString(text::cannotRead, file.error().message()));
    return false;
  }
  Fallible<TestScript> script = parseTestScript(file->text());
  if (!script) {
    finishEarly(slot, TestStatus::Broken, script.extractError().takePayload()->message());
    return false;
  }
  slot->script = std::move(*script);
  if (slot->script.expectFail)
    slot->result.message = *slot->script.expectFail;
  std::string missing;
  for (const std::string &feature : slot->script.needs)
    if (!test.config->hasFeature(feature))
      missing += (missing.empty() ? "" : ", ") + feature;
  if (!missing.empty()) {
    finishEarly(slot, TestStatus::Skipped, formatPositionalString(text::missingFeatures, missing));
    return false;
  }
  if (!prepareCommands(*slot)) {
    finishEarly(slot, TestStatus::Broken, std::move(slot->result.message));
    return false;
  }
  if (Error error = prepareTest(*slot)) {
    finishEarly(slot, TestStatus::Broken, error.takePayload()->message());
    return false;
  }
  double limit = settings.timeout >= 0 ? settings.timeout : test.config->timeout;
  if (limit > 0)
    slot->deadline = slot->started + secondsToDuration(limit);
  startCommand(slot);
  return slot != nullptr;
}

// Expands the placeholders of every command before the first runs, so that
// a mistake in the last line does not leave the first half run.
bool Executor::Loop::prepareCommands(Slot &slot) {
  const TestEntry &test = *slot.test;
  std::string file = shellQuote(test.absolutePath);
  std::string directory = shellQuote(directoryOf(test.absolutePath));
  std::string scratch = shellQuote(scratchPath(test, slot.repetition));
  std::string vetline = shellQuote(settings.vetline);
  PlaceholderLookup lookup = [&](std::string_view name) -> const std::string * {
    if (name == "file")
      return &file;
    if (name == "dir")
      return &directory;
    if (name == "tmp")
      return &scratch;
    if (name == "vetline")
      return &vetline;
    return test.config->substitution(name);
  };
  for (const ScriptCommand &command : slot.script.commands) {
    Fallible<std::string> expanded = expandPlaceholders(command.text, lookup);
    if (!expanded) {
      slot.result.message = formatPositionalString(
          "line {0}: {1}", command.line, expanded.extractError().takePayload()->message());
      return false;
    }
    slot.commands.push_back(std::move(*expanded));
  }
  return true;
}

Error Executor::Loop::ensureParent(const std::string &path) {
  std::string parent(directoryOf(path));
  if (madeDirectories.count(parent))
    return success();
  if (std::error_code error = makeDirectories(parent))
    return makeMessageError(inconvertibleErrorCode(),
                            formatPositionalString(text::cannotPrepare, parent, error.message()));
  madeDirectories.insert(parent);
  return success();
}

// {tmp} is left for the test to make, without what an earlier run left
// there; the report file starts empty.
Error Executor::Loop::prepareTest(Slot &slot) {
  std::string scratch = scratchPath(*slot.test, slot.repetition);
  if (std::error_code error = removeTree(scratch))
    return makeMessageError(inconvertibleErrorCode(),
                            formatPositionalString(text::cannotPrepare, scratch, error.message()));
  if (Error error = ensureParent(scratch))
    return error;
  slot.logBase = settings.outputDirectory + "/log/" + slot.test->id;
  if (settings.repeat > 1)
    slot.logBase += "." + std::to_string(slot.repetition);
  if (Error error = ensureParent(slot.logBase))
    return error;
  ::unlink((slot.logBase + ".vetline.jsonl").c_str());
  return success();
}

const std::vector<std::string> &Executor::Loop::environmentFor(const SuiteConfig &config) {
  for (const auto &[known, environment] : environments)
    if (known == &config)
      return environment;
  std::vector<std::string> environment;
  for (std::string_view name : passedVariables) {
    std::string_view value = valueOf(settings.runnerEnvironment, name);
    if (!value.empty())
      setVariable(environment, name, value);
  }
  for (const std::string &name : config.passEnvironment) {
    std::string_view value = valueOf(settings.runnerEnvironment, name);
    if (!value.empty())
      setVariable(environment, name, value);
  }
  for (const auto &[name, value] : config.environment)
    setVariable(environment, name, value);
  environments.emplace_back(&config, std::move(environment));
  return environments.back().second;
}

void Executor::Loop::startCommand(std::unique_ptr<Slot> &slot) {
  size_t index = slot->next;
  ChildSpec spec;
  spec.program = settings.bash;
  spec.arguments = {"bash", "--noprofile", "--norc", "-o", "pipefail", "-c", slot->commands[index]};
  spec.environment = environmentFor(*slot->test->config);
  RunningCommand &command = slot->command;
  command = RunningCommand();
  command.marker = markerLead + std::to_string(++markerCount);
  setVariable(spec.environment, text::reportVariable, slot->logBase + ".vetline.jsonl");
  setVariable(spec.environment, text::markerVariable, command.marker);
  spec.directory = std::string(directoryOf(slot->test->absolutePath));
  std::string spill = slot->logBase + "." + std::to_string(index + 1);
  command.captures[0] = std::make_unique<OutputCapture>(settings.outputLimit, spill + ".stdout");
  command.captures[1] = std::make_unique<OutputCapture>(settings.outputLimit, spill + ".stderr");
  Fallible<StartedChild> child = startChildInGroup(spec);
  if (!child) {
    size_t line = slot->script.commands[index].line;
    finishEarly(slot, TestStatus::Broken,
                formatPositionalString(text::cannotStart, line,
                                       child.extractError().takePayload()->message()));
    return;
  }
  command.pid = child->pid;
  command.fds[0] = child->outputFd;
  command.fds[1] = child->errorFd;
}

void Executor::Loop::finishCommand(std::unique_ptr<Slot> &slot) {
  RunningCommand &running = slot->command;
  CommandResult done;
  done.command = slot->commands[slot->next];
  done.line = slot->script.commands[slot->next].line;
  if (WIFEXITED(running.waitStatus))
    done.exitStatus = WEXITSTATUS(running.waitStatus);
  else if (WIFSIGNALED(running.waitStatus))
    done.signal = WTERMSIG(running.waitStatus);
  done.timedOut = slot->isStopping && !slot->isInterrupted;
  StreamCapture *streams[2] = {&done.output, &done.error};
  for (int i = 0; i < 2; ++i) {
    running.captures[i]->finish();
    streams[i]->shown = running.captures[i]->shown();
    streams[i]->size = running.captures[i]->totalSize();
    streams[i]->file = running.captures[i]->spillFile();
  }
  bool hasFailed = done.exitStatus != 0 || done.timedOut;
  slot->result.commands.push_back(std::move(done));
  running = RunningCommand();
  sweepOrphans();
  if (!hasFailed && ++slot->next < slot->commands.size() && !slot->isStopping) {
    startCommand(slot);
    return;
  }
  finishTest(slot, hasFailed);
}

void Executor::Loop::finishTest(std::unique_ptr<Slot> &slot, bool hasFailed) {
  if (slot->isInterrupted) {
    slot.reset();
    return;
  }
  TestResult &result = slot->result;
  bool isExpectedToFail = slot->script.expectFail.has_value();
  if (!result.commands.empty() && result.commands.back().timedOut)
    result.status = TestStatus::Timeout;
  else if (hasFailed)
    result.status = isExpectedToFail ? TestStatus::ExpectedFailure : TestStatus::Failed;
  else
    result.status = isExpectedToFail ? TestStatus::UnexpectedPass : TestStatus::Passed;
  result.vetlineRecords = readReportLines(slot->logBase + ".vetline.jsonl");
  result.seconds = secondsBetween(slot->started, Clock::now());
  owner.sink(std::move(result));
  slot.reset();
}

void Executor::Loop::finishEarly(std::unique_ptr<Slot> &slot, TestStatus status,
                                 std::string message) {
  TestResult &result = slot->result;
  result.status = status;
  result.message = std::move(message);
  if (!slot->logBase.empty())
    result.vetlineRecords = readReportLines(slot->logBase + ".vetline.jsonl");
  result.seconds = secondsBetween(slot->started, Clock::now());
  owner.sink(std::move(result));
  slot.reset();
}

void Executor::Loop::waitForEvents() {
  std::vector<pollfd> polled;
  polled.push_back({signalFd, POLLIN, 0});
  for (const std::unique_ptr<Slot> &slot : slots)
    if (slot)
      for (int fd : slot->command.fds)
        if (fd >= 0)
          polled.push_back({fd, POLLIN, 0});
  int ready = ::poll(polled.data(), polled.size(), pollTimeout(Clock::now()));
  if (ready < 0 && errno != EINTR)
    fatalError("vetline-suite: poll failed");
  if (ready > 0) {
    if (polled[0].revents)
      readSignals();
    readStreams(polled);
  }
  Clock::time_point now = Clock::now();
  checkClocks(now);
  for (std::unique_ptr<Slot> &slot : slots)
    if (slot && slot->command.isDone())
      finishCommand(slot);
  if (now >= nextTick) {
    owner.ticker();
    nextTick = now + secondsToDuration(owner.tickSeconds);
  }
}

int Executor::Loop::pollTimeout(Clock::time_point now) const {
  Clock::time_point wake = nextTick;
  Clock::duration pipeGrace = secondsToDuration(settings.pipeGraceSeconds);
  for (const std::unique_ptr<Slot> &slot : slots) {
    if (!slot)
      continue;
    wake = std::min({wake, slot->deadline, slot->killAt});
    if (slot->command.hasExited)
      wake = std::min(wake, slot->command.exitedAt + pipeGrace);
  }
  if (wake == Clock::time_point::max())
    return -1;
  if (wake <= now)
    return 0;
  // Round up, or the loop would wake a little early and spin.
  auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
  return int(std::min<long long>(milliseconds, 60000));
}

void Executor::Loop::readSignals() {
  signalfd_siginfo info;
  while (::read(signalFd, &info, sizeof(info)) == ssize_t(sizeof(info))) {
    if (info.ssi_signo == SIGCHLD)
      continue;
    interrupt(int(info.ssi_signo));
  }
  // SIGCHLD merges: one notice may stand for many children.
  reapChildren();
}

void Executor::Loop::reapChildren() {
  while (true) {
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
      return;
    pid_t pid = info.si_pid;
    RunningCommand *line = nullptr;
    for (std::unique_ptr<Slot> &slot : slots)
      if (slot && slot->command.pid == pid && !slot->command.hasExited)
        line = &slot->command;
    // The group's number stays reserved while its leader is unreaped, so
    // the kill reaches this line's leftovers and no one else.
    if (line)
      signalGroup(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (line) {
      line->hasExited = true;
      line->waitStatus = status;
      line->exitedAt = Clock::now();
    }
  }
}

void Executor::Loop::readStreams(const std::vector<pollfd> &polled) {
  char chunk[65536];
  for (std::unique_ptr<Slot> &slot : slots) {
    if (!slot)
      continue;
    RunningCommand &command = slot->command;
    for (int which = 0; which < 2; ++which) {
      int fd = command.fds[which];
      if (fd < 0)
        continue;
      auto entry =
          std::find_if(polled.begin(), polled.end(), [fd](const pollfd &p) { return p.fd == fd; });
      if (entry == polled.end() || entry->revents == 0)
        continue;
      // One read per wake-up at most per stream keeps a chatty test from
      // starving the others.
      ssize_t got = ::read(fd, chunk, sizeof(chunk));
      if (got > 0)
        command.captures[which]->append(std::string_view(chunk, size_t(got)));
      else if (got == 0 || (errno != EAGAIN && errno != EINTR))
        command.closeStream(which);
    }
  }
}

void Executor::Loop::checkClocks(Clock::time_point now) {
  Clock::duration pipeGrace = secondsToDuration(settings.pipeGraceSeconds);
  for (std::unique_ptr<Slot> &slot : slots) {
    if (!slot)
      continue;
    if (!slot->isStopping && now >= slot->deadline)
      stopTest(*slot, now);
    if (now >= slot->killAt) {
      if (slot->command.pid > 0 && !slot->command.hasExited)
        signalGroup(slot->command.pid, SIGKILL);
      slot->killAt = Clock::time_point::max();
    }
    RunningCommand &command = slot->command;
    if (command.hasExited && command.isOpen() && now >= command.exitedAt + pipeGrace) {
      // Something outside the group still holds the pipes: stop reading,
      // so its next write ends it, and kill it by its marker.
      command.closeStream(0);
      command.closeStream(1);
    }
  }
}

void Executor::Loop::stopTest(Slot &slot, Clock::time_point now) {
  slot.isStopping = true;
  slot.deadline = Clock::time_point::max();
  if (slot.command.pid > 0 && !slot.command.hasExited) {
    signalGroup(slot.command.pid, SIGTERM);
    slot.killAt = now + secondsToDuration(settings.killGraceSeconds);
  }
}

void Executor::Loop::interrupt(int signal) {
  Clock::time_point now = Clock::now();
  // A second interrupt does not wait for the grace.
  bool isAgain = interruptSignal != 0;
  interruptSignal = signal;
  for (std::unique_ptr<Slot> &slot : slots) {
    if (!slot)
      continue;
    slot->isInterrupted = true;
    if (!slot->isStopping)
      stopTest(*slot, now);
    if (isAgain)
      slot->killAt = now;
  }
}

// Kills the children that a finished line left behind outside its group.
// Those without a marker (they cleared their environment) and those of a
// line still running wait for the end of the run.
void Executor::Loop::sweepOrphans() {
  std::vector<pid_t> children = listChildren();
  for (pid_t child : children) {
    bool isRunningLine = false;
    for (const std::unique_ptr<Slot> &slot : slots)
      isRunningLine |= slot && slot->command.pid == child;
    if (isRunningLine)
      continue;
    std::string marker = environmentValueOf(child, text::markerVariable);
    if (marker.empty() || !marker.starts_with(markerLead))
      continue;
    bool isLive = false;
    for (const std::unique_ptr<Slot> &slot : slots)
      isLive |= slot && slot->command.pid > 0 && slot->command.marker == marker;
    if (!isLive)
      ::kill(child, SIGKILL);
  }
}

void Executor::Loop::killEveryChild() {
  // Each round kills the children there are; their own children come to
  // the runner as they die, for the next round. A pid cannot be reused
  // while its process is an unreaped child, so no stranger is hit.
  for (int round = 0; round < 1000; ++round) {
    std::vector<pid_t> children = listChildren();
    if (children.empty())
      break;
    for (pid_t child : children) {
      signalGroup(child, SIGKILL);
      ::kill(child, SIGKILL);
    }
    for (pid_t child : children)
      while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
  }
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

Executor::Executor(const ExecutorSettings &settings, ResultSink sink)
    : settings(settings), sink(std::move(sink)) {}

Executor::~Executor() = default;

void Executor::setTicker(std::function<void()> newTicker, double seconds) {
  ticker = std::move(newTicker);
  tickSeconds = seconds;
}

Fallible<int> Executor::run(std::span<const TestEntry> tests) {
  Loop loop(*this, tests);
  return loop.run();
}

std::string Executor::scratchPath(const TestEntry &test, unsigned repetition) const {
  std::string path = settings.outputDirectory + "/tmp/" + test.id;
  if (settings.repeat > 1)
    path += "." + std::to_string(repetition);
  return path;
}

} // namespace vetline::suite
