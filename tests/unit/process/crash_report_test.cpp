// Crash reporting, seen from outside: crash_probe installs it the way the
// tool does and then fails on request; these tests read its standard error
// and how it ended. The external symbolizer is played by
// fake-orvane-symbolizer, whose answers are predictable from its input.
// GCC 12 sees an uninitialised std::function inside std::regex when the
// sanitizers are on; a false positive in the library's own code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "support/process/crash_report.h"

#include "tests/unit/process/processes.h"
#include "tests/unit/process/scratch_dir.h"
#include "tests/unit/support/exact_text.h"
#include "tests/unit/support/sanitizer_build.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace vetline {
namespace {

using testing::isSanitizerBuild;
using testing::readWholeFile;
using testing::ScratchDir;
using testing::survivors;

const std::string probePath = CRASH_PROBE_PATH;
const std::string fakeSymbolizer = FAKE_SYMBOLIZER_PATH;

const std::string rawHeading =
    "Stack dump without symbol names (ensure you have orvane-symbolizer in your PATH or set the "
    "environment var `ORVANE_SYMBOLIZER_PATH` to point to it):\n";

// How a process ended, as a text that reads well in a failed comparison.
std::string describeStatus(int status) {
  if (WIFEXITED(status))
    return "exited with " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return std::string("killed by ") + sigabbrev_np(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::string killedBy(int signal) { return std::string("killed by ") + sigabbrev_np(signal); }

// Whether the sanitizer runtime (or anything else) handled `signal` before
// the crash reporting was installed; crash reporting then leaves it alone.
// This process never installs the crash reporting itself, so its actions
// are those the probe starts with.
bool handledBeforeStartUp(int signal) {
  struct sigaction action = {};
  sigaction(signal, nullptr, &action);
  return (action.sa_flags & SA_SIGINFO) ||
         (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
}

struct ProbeResult {
  std::string ending;
  std::string out;
  std::string err;
};

// One run of the probe. The environment is the test's own without the
// variables that steer symbolization, plus `settings` ("NAME=VALUE").
class Probe {
public:
  Probe(const std::vector<std::string> &arguments, const std::vector<std::string> &settings,
        const std::string &program = probePath)
      : errPath(scratch.path("stderr")) {
    std::vector<std::string> argumentTexts = {program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = settings;
    environment.push_back("TMPDIR=" + scratch.makeDir("tmp"));
    for (char **entry = environ; *entry; ++entry) {
      std::string_view inherited = *entry;
      std::string_view name = inherited.substr(0, inherited.find('=') + 1);
      bool isSet = inherited.starts_with("ORVANE_") || name == "TMPDIR=";
      for (const std::string &setting : settings)
        isSet = isSet || setting.starts_with(name);
      if (!isSet)
        environment.emplace_back(inherited);
    }

    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    std::vector<char *> argv = pointers(argumentTexts);
    std::vector<char *> envp = pointers(environment);
    pid = fork();
    if (pid == 0) {
      // Whatever the test runner ignores or blocks (nohup, say), the probe
      // starts with every signal at its default.
      for (int signal = 1; signal < NSIG; ++signal)
        std::signal(signal, SIG_DFL);
      sigset_t all;
      sigfillset(&all);
      sigprocmask(SIG_UNBLOCK, &all, nullptr);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int in = open("/dev/null", O_RDONLY);
      if (err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(ends[1], 1) < 0 || dup2(err, 2) < 0)
        _exit(120);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(121);
    }
    close(ends[1]);
    outFd = ends[0];
  }
  ~Probe() {
    if (outFd >= 0)
      close(outFd);
  }
  Probe(const Probe &) = delete;
  Probe &operator=(const Probe &) = delete;

  // Reads standard output up to and including the first line feed.
  std::string readLine() {
    std::string line;
    char c;
    while (read(outFd, &c, 1) == 1) {
      line += c;
      if (c == '\n')
        break;
    }
    return line;
  }

  ProbeResult finish() {
    ProbeResult result;
    char buffer[4096];
    ssize_t got;
    while ((got = read(outFd, buffer, sizeof(buffer))) > 0)
      result.out.append(buffer, size_t(got));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    result.ending = describeStatus(status);
    result.err = readWholeFile(errPath);
    return result;
  }

  pid_t processId() const { return pid; }
  // The directory TMPDIR names for the probe.
  std::vector<std::string> temporaryFiles() const { return scratch.list("tmp"); }
  const ScratchDir &dir() const { return scratch; }

private:
  static std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> result;
    for (std::string &text : texts)
      result.push_back(text.data());
    result.push_back(nullptr);
    return result;
  }

  ScratchDir scratch;
  std::string errPath;
  pid_t pid = -1;
  int outFd = -1;
};

ProbeResult runProbe(const std::vector<std::string> &arguments,
                     const std::vector<std::string> &settings = {"ORVANE_DISABLE_SYMBOLIZATION="}) {
  Probe probe(arguments, settings);
  return probe.finish();
}

std::string reportHead(const std::string &arguments) {
  return std::string(issueReportMessage) + "Stack dump:\n0.\tProgram arguments: " + arguments +
         "\n";
}

std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

// Checks the frames of a raw listing (the lines after its heading): the
// numbers count from 0 in a "%-2d" column, the module names fill a column
// as wide as the longest, addresses are "0x" and 16 digits, and a known
// symbol ends with " + " and its distance. Returns the frame lines.
std::vector<std::string> checkRawFrames(std::string_view frames) {
  std::vector<std::string> lines = linesOf(frames);
  EXPECT_FALSE(lines.empty());
  size_t width = 0;
  std::vector<std::string> modules;
  std::regex frameLine("([0-9]+) *  ?([^ ]+) +(0x[0-9a-f]{16})( .+ \\+ [0-9]+)?");
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    std::smatch match;
    if (!std::regex_match(lines[i], match, frameLine)) {
      ADD_FAILURE() << "not a raw frame line";
      continue;
    }
    EXPECT_EQ(match[1].str(), std::to_string(i));
    modules.push_back(match[2].str());
    width = std::max(width, match[2].str().size());
  }
  for (size_t i = 0; i < modules.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    std::string number = std::to_string(i);
    std::string expectedStart = number +
                                std::string(number.size() < 2 ? 2 - number.size() : 0, ' ') + " " +
                                modules[i] + std::string(width - modules[i].size(), ' ') + " 0x";
    EXPECT_TRUE(lines[i].starts_with(expectedStart)) << expectedStart;
  }
  return lines;
}

bool anyLineContains(const std::vector<std::string> &lines, std::string_view text) {
  for (const std::string &line : lines)
    if (line.find(text) != std::string::npos)
      return true;
  return false;
}

TEST(CrashReport, AbortPrintsTheReportWithTheArgumentsAndARawBacktrace) {
  ProbeResult result = runProbe(
      {"abort", "with space", "tab\there", "quote\"d", "back\\slash", "new\nline", "\x01", ""});
  EXPECT_EQ(result.ending, killedBy(SIGABRT));
  std::string head =
      reportHead(probePath + " abort \"with space\" tab\\there quote\\\"d back\\\\slash "
                             "new\\nline \\001 ") +
      rawHeading;
  ASSERT_TRUE(result.err.starts_with(head)) << result.err;
  std::vector<std::string> frames = checkRawFrames(result.err.substr(head.size()));
  // The probe exports its symbols, so the frames in it are named, demangled.
  EXPECT_TRUE(anyLineContains(frames, " vetline::writeBacktrace(vetline::OutputStream&) + "))
      << result.err;
  EXPECT_TRUE(anyLineContains(frames, "crash_probe")) << result.err;
  EXPECT_EQ(result.out, "");
}

// `text` as a regular expression that matches it and nothing else.
std::string literal(std::string_view text) {
  std::string pattern = testing::exactly(text);
  return pattern.substr(1, pattern.size() - 2);
}

TEST(CrashReport, FatalRoutinesPrintTheirMessageThenTheReport) {
  // The trace that reportUnreachable and the assertion routine print.
  const std::string trace = literal(rawHeading) + "0 .*\n([0-9]+ .*\n)*";
  struct Case {
    const char *mode;
    std::string before; // a regular expression for what precedes the report
  };
  const Case cases[] = {
      {"fatal", literal("ORVANE ERROR: probe fatal error\n")},
      {"unreachable", literal("probe unreachable\nUNREACHABLE executed!\n") + trace},
      {"assert", "Assertion failed: \\(argc < 0 && \"probe assertion\"\\), function [^\\n]*runMode"
                 "[^\\n]*, file [^\\n]*crash_probe\\.cpp, line [0-9]+\\.\\n" +
                     trace},
      {"assert-without-function",
       literal("Assertion failed: (probe assertion), file probe.cpp, line 7.\n") + trace},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mode);
    ProbeResult result = runProbe({c.mode});
    EXPECT_EQ(result.ending, killedBy(SIGABRT));
    std::string head = reportHead(probePath + " " + c.mode) + rawHeading;
    size_t at = result.err.find(head);
    ASSERT_NE(at, std::string::npos) << result.err;
    std::string before = result.err.substr(0, at);
    EXPECT_TRUE(std::regex_match(before, std::regex(c.before))) << before;
    checkRawFrames(result.err.substr(at + head.size()));
  }
}

TEST(CrashReport, AllocationFailureEndsWithTheOutOfMemoryMessage) {
  if (isSanitizerBuild)
    GTEST_SKIP() << "the sanitizer's allocator reports a failed allocation itself";
  ProbeResult result = runProbe({"out-of-memory"});
  EXPECT_EQ(result.ending, killedBy(SIGABRT));
  EXPECT_TRUE(result.err.starts_with("ORVANE ERROR: out of memory\nAllocation failed\n" +
                                     reportHead(probePath + " out-of-memory") + rawHeading))
      << result.err;
}

// A sanitizer that handles a signal reports it itself and fails the run;
// the crash reporting must not swallow that.
void expectSanitizerReport(const ProbeResult &result) {
  EXPECT_NE(result.ending, "exited with 0");
  // AddressSanitizer names itself; the undefined-behaviour sanitizer's
  // report is a "runtime error:" line.
  EXPECT_TRUE(result.err.find("Sanitizer") != std::string::npos ||
              result.err.find("runtime error: ") != std::string::npos)
      << result.err;
}

TEST(CrashReport, RealFaultsReportAndDieOfTheirSignal) {
  const std::pair<const char *, int> cases[] = {
      {"segv", SIGSEGV}, {"fpe", SIGFPE}, {"ill", SIGILL}, {"bus", SIGBUS}};
  for (const auto &[mode, signal] : cases) {
    SCOPED_TRACE(mode);
    ProbeResult result = runProbe({mode});
    // The undefined-behaviour sanitizer catches the null store and the
    // division before they fault.
    if (handledBeforeStartUp(signal) || (isSanitizerBuild && signal != SIGILL)) {
      expectSanitizerReport(result);
      continue;
    }
    EXPECT_EQ(result.ending, killedBy(signal));
    std::string head = reportHead(probePath + " " + mode) + rawHeading;
    ASSERT_TRUE(result.err.starts_with(head)) << result.err;
    checkRawFrames(result.err.substr(head.size()));
  }
}

// A fatal signal sent by another process is not delivered again when the
// handler returns; the process must still die of it after the report.
TEST(CrashReport, FatalSignalsFromAnotherProcessReportAndDie) {
  const int signals[] = {SIGSEGV, SIGABRT, SIGILL, SIGFPE,  SIGBUS,
                         SIGQUIT, SIGTRAP, SIGSYS, SIGXCPU, SIGXFSZ};
  for (int signal : signals) {
    SCOPED_TRACE(sigabbrev_np(signal));
    Probe probe({"wait"}, {"ORVANE_DISABLE_SYMBOLIZATION=1"});
    ASSERT_EQ(probe.readLine(), "ready\n");
    ASSERT_EQ(kill(probe.processId(), signal), 0);
    ProbeResult result = probe.finish();
    EXPECT_EQ(result.out, "");
    if (handledBeforeStartUp(signal)) {
      expectSanitizerReport(result);
      continue;
    }
    EXPECT_EQ(result.ending, killedBy(signal));
    std::string head = reportHead(probePath + " wait") + rawHeading;
    ASSERT_TRUE(result.err.starts_with(head)) << result.err;
    checkRawFrames(result.err.substr(head.size()));
  }
}

TEST(CrashReport, InterruptSignalsEndTheProcessWithoutAReport) {
  for (int signal : {SIGHUP, SIGINT, SIGTERM, SIGUSR2}) {
    SCOPED_TRACE(sigabbrev_np(signal));
    ProbeResult result = runProbe({"raise", std::to_string(signal)});
    EXPECT_EQ(result.ending, killedBy(signal));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
  }
}

TEST(CrashReport, InformationSignalIsIgnored) {
  ProbeResult raised = runProbe({"raise", std::to_string(SIGUSR1)});
  EXPECT_EQ(raised.ending, "exited with 0");
  EXPECT_EQ(raised.out, "survived\n");
  EXPECT_EQ(raised.err, "");

  Probe probe({"wait"}, {});
  ASSERT_EQ(probe.readLine(), "ready\n");
  ASSERT_EQ(kill(probe.processId(), SIGUSR1), 0);
  ProbeResult sent = probe.finish();
  EXPECT_EQ(sent.ending, "exited with 0");
  EXPECT_EQ(sent.out, "carried on\n");
  EXPECT_EQ(sent.err, "");
}

TEST(CrashReport, ClosedPipeCallsThePipeHandler) {
  ProbeResult result = runProbe({"pipe"});
  EXPECT_EQ(result.ending, "exited with 74");
  EXPECT_EQ(result.err, "");
}

TEST(CrashReport, CallbacksRunInSlotOrderAfterTheReport) {
  ProbeResult result = runProbe({"callbacks"});
  EXPECT_EQ(result.ending, killedBy(SIGABRT));
  std::string head = reportHead(probePath + " callbacks") + rawHeading;
  ASSERT_TRUE(result.err.starts_with(head)) << result.err;
  const std::string tail = "first extra callback\nsecond extra callback\n";
  ASSERT_TRUE(result.err.ends_with(tail)) << result.err;
  checkRawFrames(result.err.substr(head.size(), result.err.size() - head.size() - tail.size()));
}

void addNothing(void *) {}

void registerNineCallbacks() {
  for (int i = 0; i < 9; ++i) {
    addCrashCallback(addNothing, nullptr);
    if (i == 7)
      std::fputs("eight registered\n", stderr);
  }
}

TEST(CrashReportDeathTest, OnlyEightCallbacks) {
  EXPECT_EXIT(registerNineCallbacks(), ::testing::KilledBySignal(SIGABRT),
              testing::exactly("eight registered\n"
                               "ORVANE ERROR: too many signal callbacks already registered\n"));
}

TEST(CrashReport, SecondFaultDuringTheReportEndsTheProcessAtOnce) {
  ProbeResult result = runProbe({"fault-in-report"});
  std::string printed = std::string(issueReportMessage) +
                        "Stack dump:\n0.\tProgram arguments: " + probePath +
                        " fault-in-report\n1.\t";
  if (isSanitizerBuild) {
    EXPECT_TRUE(result.err.starts_with(printed)) << result.err;
    expectSanitizerReport(result);
    return;
  }
  EXPECT_EQ(result.ending, killedBy(SIGSEGV));
  EXPECT_EQ(result.err, printed);
}

TEST(CrashReport, HangingContextEntryIsCutOffByTheAlarm) {
  ProbeResult result = runProbe({"hang-in-report"});
  EXPECT_EQ(result.ending, killedBy(SIGALRM));
  EXPECT_EQ(result.err, std::string(issueReportMessage) + "Stack dump:\n0.\tProgram arguments: " +
                            probePath + " hang-in-report\n1.\t");
}

// What the fake symbolizer was given, from its log.
struct SymbolizerLog {
  std::map<std::string, std::string> fields; // arguments, input, output, error
  std::vector<std::pair<std::string, std::string>> frames;
};

SymbolizerLog readSymbolizerLog(const std::string &path) {
  SymbolizerLog log;
  for (const std::string &line : linesOf(readWholeFile(path))) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos)
      continue;
    std::string key = line.substr(0, colon), value = line.substr(colon + 2);
    if (key == "frame") {
      size_t space = value.rfind(' ');
      log.frames.emplace_back(value.substr(0, space), value.substr(space + 1));
    } else {
      log.fields[key] = value;
    }
  }
  return log;
}

// The listing the fake symbolizer's answers must turn into, without the
// addresses, which the test cannot know: one entry per printed line.
std::vector<std::string> expectedListingTexts(const SymbolizerLog &log) {
  std::vector<std::string> texts;
  for (size_t n = 0; n < log.frames.size(); ++n) {
    const auto &[object, offset] = log.frames[n];
    std::string index = std::to_string(n);
    if (n == 0)
      texts.push_back("inlined_" + offset + " inline.h:7");
    if (n % 3 == 0)
      texts.push_back("function_" + offset + " file_" + index + ".cpp:" + index);
    else if (n % 3 == 1)
      texts.push_back("function_" + offset + " (" + object + "+" + offset + ")");
    else
      texts.push_back("file_" + index + ".cpp:" + index);
  }
  return texts;
}

TEST(CrashReport, SymbolizedListing) {
  ScratchDir logDir;
  std::string logPath = logDir.path("log");
  Probe probe({"abort"},
              {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "FAKE_SYMBOLIZER_LOG=" + logPath});
  ProbeResult result = probe.finish();
  EXPECT_EQ(result.ending, killedBy(SIGABRT));
  EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});

  SymbolizerLog log = readSymbolizerLog(logPath);
  EXPECT_EQ(log.fields["arguments"], "--functions=linkage --inlining --demangle");
  // Pipes, not files: nothing is left on disk whatever ends the run.
  EXPECT_TRUE(std::regex_match(log.fields["input"], std::regex("pipe:\\[[0-9]+\\]")))
      << log.fields["input"];
  EXPECT_TRUE(std::regex_match(log.fields["output"], std::regex("pipe:\\[[0-9]+\\]")))
      << log.fields["output"];
  EXPECT_EQ(log.fields["error"], "/dev/null");
  ASSERT_FALSE(log.frames.empty());
  bool probeFrames = false;
  for (const auto &[object, offset] : log.frames) {
    EXPECT_TRUE(std::regex_match(offset, std::regex("0x[0-9a-f]+"))) << offset;
    probeFrames = probeFrames || object == probePath;
  }
  EXPECT_TRUE(probeFrames) << "no frame in the probe, which is named by its path";

  std::string head = reportHead(probePath + " abort");
  ASSERT_TRUE(result.err.starts_with(head)) << result.err;
  std::vector<std::string> lines = linesOf(result.err.substr(head.size()));
  std::vector<std::string> texts = expectedListingTexts(log);
  ASSERT_EQ(lines.size(), texts.size()) << result.err;
  // Every frame was resolved, so the frame count is the number of inputs.
  size_t width = size_t(std::log10(double(log.frames.size())) + 2);
  std::regex header(" *(#[0-9]+) 0x([0-9a-f]{16}) (.*)");
  std::map<std::string, uintptr_t> loadBases;
  size_t frame = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, header));
    EXPECT_EQ(match[1].str(), "#" + std::to_string(i));
    size_t numberSize = match[1].str().size();
    EXPECT_EQ(lines[i].find('#'), numberSize < width ? width - numberSize : 0);
    EXPECT_EQ(match[3].str(), texts[i]);
    // The inlined line and its frame share one address; each object's
    // frames share one load base: address minus offset.
    if (i == 0)
      continue;
    const auto &[object, offset] = log.frames[frame++];
    uintptr_t base = std::stoull(match[2].str(), nullptr, 16) - std::stoull(offset, nullptr, 16);
    auto [known, inserted] = loadBases.emplace(object, base);
    EXPECT_EQ(known->second, base) << object;
    EXPECT_EQ(base % 4096, 0u) << object;
  }
  EXPECT_EQ(result.err.find("symbolizer's standard error"), std::string::npos);
}

// Where the symbolizer is found: the variable, the program's directory,
// PATH; and when it is not looked for at all.
TEST(CrashReport, SymbolizerLookupOrder) {
  ScratchDir scratch;
  std::string withSymbolizer = scratch.makeDir("with");
  ASSERT_EQ(symlink(fakeSymbolizer.c_str(), scratch.path("with/orvane-symbolizer").c_str()), 0);
  std::string empty = scratch.makeDir("empty");
  std::string besideProbe = scratch.makeDir("beside");
  ASSERT_EQ(symlink(fakeSymbolizer.c_str(), scratch.path("beside/orvane-symbolizer").c_str()), 0);
  ASSERT_EQ(symlink(probePath.c_str(), scratch.path("beside/probe").c_str()), 0);
  ASSERT_EQ(symlink(probePath.c_str(), scratch.path("empty/orvane-symbolizer-probe").c_str()), 0);
  ASSERT_EQ(symlink(probePath.c_str(), scratch.path("empty/probe").c_str()), 0);

  struct Case {
    const char *name;
    std::string program;
    std::vector<std::string> settings;
    bool symbolized;
  };
  const Case cases[] = {
      {"the variable",
       scratch.path("empty/probe"),
       {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "PATH=" + empty},
       true},
      {"a variable naming no file falls back to PATH",
       scratch.path("empty/probe"),
       {"ORVANE_SYMBOLIZER_PATH=/no/such/symbolizer", "PATH=" + withSymbolizer},
       true},
      {"the program's directory", scratch.path("beside/probe"), {"PATH=" + empty}, true},
      {"PATH", scratch.path("empty/probe"), {"PATH=" + empty + ":" + withSymbolizer}, true},
      {"nowhere", scratch.path("empty/probe"), {"PATH=" + empty}, false},
      {"disabled",
       scratch.path("empty/probe"),
       {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "ORVANE_DISABLE_SYMBOLIZATION="},
       false},
      {"never from within the symbolizer",
       scratch.path("empty/orvane-symbolizer-probe"),
       {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer},
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Probe probe({"abort"}, c.settings, c.program);
    ProbeResult result = probe.finish();
    EXPECT_EQ(result.ending, killedBy(SIGABRT));
    std::string head = reportHead(c.program + " abort");
    ASSERT_TRUE(result.err.starts_with(head)) << result.err;
    std::string listing = result.err.substr(head.size());
    if (c.symbolized)
      EXPECT_TRUE(std::regex_search(listing, std::regex("^ *#0 0x[0-9a-f]{16} inlined_0x")))
          << listing;
    else
      EXPECT_TRUE(listing.starts_with(rawHeading)) << listing;
    EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});
  }
}

// However the symbolizer fails, the raw listing follows the report, with
// nothing of a partial symbolized listing before it, and no temporary file
// stays behind.
TEST(CrashReport, SymbolizerFailuresFallBackToTheRawListing) {
  ScratchDir scratch;
  std::string notExecutable = scratch.writeFile("orvane-symbolizer", "#!/bin/sh\n", 0644);
  struct Case {
    const char *name;
    std::vector<std::string> settings;
  };
  const Case cases[] = {
      {"it fails", {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "FAKE_SYMBOLIZER_MODE=fail"}},
      {"it answers short",
       {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "FAKE_SYMBOLIZER_MODE=short"}},
      {"it cannot be executed", {"ORVANE_SYMBOLIZER_PATH=" + notExecutable}},
      {"it is missing", {"ORVANE_SYMBOLIZER_PATH=/no/such/symbolizer", "PATH=/nonexistent"}},
      {"it hangs and is killed",
       {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "FAKE_SYMBOLIZER_MODE=hang",
        "FAKE_SYMBOLIZER_PID_FILE=" + scratch.path("pid")}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Probe probe({"abort"}, c.settings);
    if (std::string_view(c.name).find("hangs") != std::string_view::npos) {
      std::string pid;
      for (int wait = 0; wait < 1000 && !pid.ends_with("\n"); ++wait) {
        usleep(10000);
        pid = readWholeFile(scratch.path("pid"));
      }
      ASSERT_TRUE(pid.ends_with("\n")) << "the symbolizer never started";
      // Not even while it runs is there a file.
      EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});
      ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
    }
    ProbeResult result = probe.finish();
    EXPECT_EQ(result.ending, killedBy(SIGABRT));
    std::string head = reportHead(probePath + " abort") + rawHeading;
    ASSERT_TRUE(result.err.starts_with(head)) << result.err;
    checkRawFrames(result.err.substr(head.size()));
    EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});
  }
}

// The process ids the fake symbolizer wrote to `path`, once it has (the
// symbolizer's own first, which is also its process group's); empty when
// it never did.
std::vector<pid_t> awaitSymbolizerPids(const std::string &path) {
  std::string text;
  for (int wait = 0; wait < 1000 && !text.ends_with("\n"); ++wait) {
    usleep(10000);
    text = readWholeFile(path);
  }
  std::vector<pid_t> pids;
  if (!text.ends_with("\n"))
    return pids;
  for (const std::string &word : linesOf(std::regex_replace(text, std::regex(" "), "\n")))
    pids.push_back(pid_t(std::stol(word)));
  return pids;
}

// A report whose symbolization failed: the head, then the raw listing.
void expectRawReport(const ProbeResult &result) {
  EXPECT_EQ(result.ending, killedBy(SIGABRT));
  std::string head = reportHead(probePath + " abort") + rawHeading;
  ASSERT_TRUE(result.err.starts_with(head)) << result.err;
  checkRawFrames(result.err.substr(head.size()));
}

// A symbolizer that never ends has five seconds (the tool's own limit, not
// shortened for the test); then its whole process group is killed, even a
// part that ignores SIGTERM, and the raw listing follows the report.
TEST(CrashReport, HangingSymbolizerIsKilledAtTheTimeLimit) {
  for (const char *mode : {"hang", "stubborn"}) {
    SCOPED_TRACE(mode);
    ScratchDir scratch;
    std::string pidFile = scratch.path("pid");
    Probe probe({"abort"}, {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer,
                            std::string("FAKE_SYMBOLIZER_MODE=") + mode,
                            "FAKE_SYMBOLIZER_PID_FILE=" + pidFile});
    ProbeResult result = probe.finish();
    expectRawReport(result);
    EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});
    std::vector<pid_t> pids = awaitSymbolizerPids(pidFile);
    ASSERT_EQ(pids.size(), std::string_view(mode) == "hang" ? 1u : 2u);
    EXPECT_EQ(survivors(pids, pids[0]), std::vector<pid_t>{});
  }
}

// A symbolizer that answers without end (well-formed frames, which would
// make a listing if they were taken) is read up to 1 MiB and killed: the
// report is the raw one, no bigger than without a symbolizer, and the
// symbolizer never got to write all it meant to.
TEST(CrashReport, FloodingSymbolizerIsCutOffAtTheCap) {
  ScratchDir scratch;
  std::string pidFile = scratch.path("pid");
  Probe probe({"abort"}, {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "FAKE_SYMBOLIZER_MODE=flood",
                          "FAKE_SYMBOLIZER_PID_FILE=" + pidFile});
  ProbeResult result = probe.finish();
  expectRawReport(result);
  ProbeResult unsymbolized = runProbe({"abort"});
  EXPECT_LT(result.err.size(), unsymbolized.err.size() + 1024);
  EXPECT_EQ(result.err.find("flood"), std::string::npos);
  EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});
  std::vector<pid_t> pids = awaitSymbolizerPids(pidFile);
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_EQ(survivors(pids, pids[0]), std::vector<pid_t>{});
  EXPECT_EQ(readWholeFile(pidFile + ".finished"), "<missing>");
}

// The tool killed while the symbolizer runs: it dies of that signal with the
// report's head printed, the symbolizer's whole group goes first, and no
// temporary file was ever made. SIGKILL cannot be caught, so there the
// symbolizer is only left with its input closed; no file stays either.
TEST(CrashReport, KilledDuringSymbolizationLeavesNothingBehind) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGKILL}) {
    SCOPED_TRACE(sigabbrev_np(signal));
    ScratchDir scratch;
    std::string pidFile = scratch.path("pid");
    Probe probe({"abort"},
                {"ORVANE_SYMBOLIZER_PATH=" + fakeSymbolizer, "FAKE_SYMBOLIZER_MODE=stubborn",
                 "FAKE_SYMBOLIZER_PID_FILE=" + pidFile});
    std::vector<pid_t> pids = awaitSymbolizerPids(pidFile);
    ASSERT_EQ(pids.size(), 2u) << "the symbolizer never started";
    EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});
    ASSERT_EQ(kill(probe.processId(), signal), 0);
    ProbeResult result = probe.finish();
    EXPECT_EQ(result.ending, killedBy(signal));
    EXPECT_EQ(result.err, reportHead(probePath + " abort"));
    EXPECT_EQ(probe.temporaryFiles(), std::vector<std::string>{});
    if (signal == SIGKILL)
      kill(-pids[0], SIGKILL);
    EXPECT_EQ(survivors(pids, pids[0]), std::vector<pid_t>{});
  }
}

} // namespace
} // namespace vetline
