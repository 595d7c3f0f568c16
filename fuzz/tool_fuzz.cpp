// Whole-tool fuzz target: one fuzz input becomes a check file and an input
// text, and the tool runs on them in-process through runDriver, the same
// code path as the entry point, with a fixed command line apart from a few
// flags. Every run must end with status 0, 1 or 2; anything else, a crash, a
// leak or a sanitizer report is a finding.
//
// Layout of a fuzz input (plain text, so seeds can be written by hand):
//
//   %flags smi        optional first line: one letter per flag (table below)
//   %opts -v          optional line: the value of VETLINE_OPTS for the run
//   %rsp --vv         optional line: a response file, named last on the
//                     command line as "@" and its path
//   CHECK: foo        the check file: every line up to the separator
//   %%%               the separator line
//   foo               the input: everything after the separator line
//
// The two optional option lines come in this order, after "%flags" if it is
// there; without them VETLINE_OPTS is unset and no response file is named.
// In both, "@RSP" stands for "@" and the response file's path, so the file
// can name itself or be named from the variable. Options can end a run
// early (help, version, a bad argument) but never the process.
// Without a separator line the same text serves as check file and input.
// Two more letters choose standard input, as the name "-": 'C' for the check
// file, 'I' for the input; with both, standard input holds the check text
// and the input reads what is left of it (nothing).
// Flags are passed as "=1" or "=0" on every run, so no run depends on an
// earlier one even if option values outlived a run.
//
// The letter 'O' asks for a verdict check instead: the check text is ignored
// and two check files are made from the input's plain lines (printable
// ASCII, no pattern syntax or directive words), each line as a "CHECK:" in
// input order. That file must pass (status 0); the same with one more CHECK
// of a word absent from the input must fail (status 1). Anything else is a
// false verdict and a finding.
//
// The tool's own output goes to /dev/null unless VETLINE_FUZZ_VERBOSE is set
// (use it to reproduce a finding); sanitizer reports still reach the
// original standard error.
#include "tool/driver.h"

#include "engine/check_request.h"
#include "engine/pattern.h"
#include "fuzz/quiet_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct FlagSpec {
  char letter;
  const char *on;
  const char *off;
};

const FlagSpec flagSpecs[] = {
    {'s', "--strict-whitespace=1", "--strict-whitespace=0"},
    {'m', "--match-full-lines=1", "--match-full-lines=0"},
    {'i', "--ignore-case=1", "--ignore-case=0"},
    {'e', "--enable-var-scope=1", "--enable-var-scope=0"},
    {'a', "--allow-empty=1", "--allow-empty=0"},
    {'u', "--allow-unused-prefixes=1", "--allow-unused-prefixes=0"},
    {'o', "--allow-deprecated-dag-overlap=1", "--allow-deprecated-dag-overlap=0"},
    {'v', "-v=1", "-v=0"},
    {'V', "--vv=1", "--vv=0"},
};

// Standard input holds the given file for one run.
class StdinFrom {
public:
  explicit StdinFrom(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    saved = dup(0);
    if (fd < 0 || saved < 0) {
      std::perror("tool_fuzz: redirecting standard input");
      std::abort();
    }
    dup2(fd, 0);
    close(fd);
  }
  ~StdinFrom() {
    dup2(saved, 0);
    close(saved);
  }
  StdinFrom(const StdinFrom &) = delete;
  StdinFrom &operator=(const StdinFrom &) = delete;

private:
  int saved;
};

constexpr std::string_view flagsLineStart = "%flags";
constexpr std::string_view optsLineStart = "%opts ";
constexpr std::string_view rspLineStart = "%rsp ";
constexpr std::string_view separatorLine = "%%%\n";

struct FuzzCase {
  std::string_view flags;
  std::optional<std::string_view> opts;
  std::optional<std::string_view> rsp;
  std::string_view check;
  std::string_view input;
};

// Takes the line starting with `start` off the front of `data`; the rest of
// the line, or nothing when `data` does not start with `start`.
std::optional<std::string_view> takeLine(std::string_view &data, std::string_view start) {
  if (data.substr(0, start.size()) != start)
    return std::nullopt;
  size_t end = data.find('\n');
  std::string_view line = data.substr(start.size(), end - start.size());
  data = end == std::string_view::npos ? std::string_view() : data.substr(end + 1);
  return line;
}

FuzzCase splitFuzzInput(std::string_view data) {
  FuzzCase result;
  result.flags = takeLine(data, flagsLineStart).value_or(std::string_view());
  result.opts = takeLine(data, optsLineStart);
  result.rsp = takeLine(data, rspLineStart);
  // The separator must be a whole line: at the start or right after a line feed.
  size_t at = data.substr(0, separatorLine.size()) == separatorLine ? 0 : std::string_view::npos;
  if (at == std::string_view::npos) {
    size_t found = data.find("\n" + std::string(separatorLine));
    if (found != std::string_view::npos)
      at = found + 1;
  }
  if (at == std::string_view::npos) {
    result.check = data;
    result.input = data;
  } else {
    result.check = data.substr(0, at);
    result.input = data.substr(at + separatorLine.size());
  }
  return result;
}

bool writeFile(const std::string &path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      close(fd);
      return false;
    }
    bytes.remove_prefix(size_t(written));
  }
  return close(fd) == 0;
}

// The private directory holding the two files, removed at process exit.
class Workspace {
public:
  Workspace() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vetline-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
      std::perror("tool_fuzz: mkdtemp");
      std::abort();
    }
    dir = buffer.data();
    checkPath = dir + "/check.txt";
    inputPath = dir + "/input.txt";
    rspPath = dir + "/args.rsp";
  }
  ~Workspace() {
    unlink(checkPath.c_str());
    unlink(inputPath.c_str());
    unlink(rspPath.c_str());
    rmdir(dir.c_str());
  }

  std::string dir;
  std::string checkPath;
  std::string inputPath;
  std::string rspPath;
};

// The option text with every "@RSP" naming the response file.
std::string withResponseFilePath(std::string_view text, const Workspace &workspace) {
  constexpr std::string_view placeholder = "@RSP";
  std::string result;
  for (size_t at; (at = text.find(placeholder)) != std::string_view::npos;) {
    result.append(text.substr(0, at)).append("@").append(workspace.rspPath);
    text.remove_prefix(at + placeholder.size());
  }
  return result.append(text);
}

// Sets VETLINE_OPTS for one run, or leaves it unset, and unsets it after.
class OptionsVariable {
public:
  explicit OptionsVariable(const std::optional<std::string> &value) {
    if (value)
      setenv("VETLINE_OPTS", value->c_str(), 1);
  }
  ~OptionsVariable() { unsetenv("VETLINE_OPTS"); }
  OptionsVariable(const OptionsVariable &) = delete;
  OptionsVariable &operator=(const OptionsVariable &) = delete;
};

// Writes the two files (and the response file), runs the tool on them and
// returns its exit status, which must be 0, 1 or 2.
int runTool(Workspace &workspace, std::string_view check, std::string_view input,
            std::string_view flags, std::optional<std::string_view> opts = std::nullopt,
            std::optional<std::string_view> rsp = std::nullopt) {
  if (!writeFile(workspace.checkPath, check) || !writeFile(workspace.inputPath, input) ||
      (rsp && !writeFile(workspace.rspPath, withResponseFilePath(*rsp, workspace)))) {
    std::perror("tool_fuzz: writing the case files");
    std::abort();
  }
  // "@RSP" without a response file names a missing one.
  if (!rsp)
    unlink(workspace.rspPath.c_str());
  // The argument texts stay alive for the whole process: the option parser
  // may keep views into them.
  static std::string programName = "vetline";
  static std::string dash = "-";
  static std::string devNull = "/dev/null";
  static std::string inputOption = "--input-file=" + workspace.inputPath;
  static std::string stdinOption = "--input-file=-";
  static std::string rspArgument = "@" + workspace.rspPath;
  bool checkFromStdin = flags.find('C') != std::string_view::npos;
  bool inputFromStdin = flags.find('I') != std::string_view::npos;
  std::vector<char *> argv;
  argv.push_back(programName.data());
  argv.push_back(checkFromStdin ? dash.data() : workspace.checkPath.data());
  argv.push_back(inputFromStdin ? stdinOption.data() : inputOption.data());
  for (const FlagSpec &flag : flagSpecs) {
    bool on = flags.find(flag.letter) != std::string_view::npos;
    argv.push_back(const_cast<char *>(on ? flag.on : flag.off));
  }
  if (rsp)
    argv.push_back(rspArgument.data());
  argv.push_back(nullptr);

  int status;
  {
    OptionsVariable optionsVariable(
        opts ? std::optional<std::string>(withResponseFilePath(*opts, workspace)) : std::nullopt);
    StdinFrom stdinFrom(checkFromStdin   ? workspace.checkPath
                        : inputFromStdin ? workspace.inputPath
                                         : devNull);
    QuietOutput quiet;
    status = vetline::runDriver(int(argv.size() - 1), argv.data());
  }
  if (status < 0 || status > 2) {
    std::fprintf(stderr, "tool_fuzz: runDriver returned %d, not 0, 1 or 2\n", status);
    std::abort();
  }
  return status;
}

// A line that is the same fixed text in a check file: printable ASCII and
// spaces, something left after trimming, no "{{" or "[[", and no word a
// directive or comment prefix could be found in.
bool isPlainLine(std::string_view line) {
  for (char c : line)
    if (c < ' ' || c > '~')
      return false;
  if (line.find_first_not_of(' ') == std::string_view::npos)
    return false;
  for (std::string_view piece : {"{{", "[["})
    if (line.find(piece) != std::string_view::npos)
      return false;
  using Prefixes = std::span<const std::string_view>;
  for (Prefixes prefixes :
       {Prefixes(vetline::defaultCheckPrefixes), Prefixes(vetline::defaultCommentPrefixes)})
    for (std::string_view prefix : prefixes)
      if (line.find(prefix) != std::string_view::npos)
        return false;
  return true;
}

// Ends the process when the tool's status on `check` and `input` is not
// `expected`; `reason` says why it should have been.
void requireStatus(Workspace &workspace, const std::string &check, std::string_view input,
                   int expected, const char *reason) {
  int status = runTool(workspace, check, input, "");
  if (status != expected) {
    std::fprintf(stderr, "tool_fuzz: %s, but the status was %d, not %d\n", reason, status,
                 expected);
    std::abort();
  }
}

void checkVerdict(Workspace &workspace, std::string_view input) {
  constexpr size_t maxChecks = 256;
  std::string check;
  size_t checks = 0;
  for (size_t start = 0; start < input.size() && checks < maxChecks;) {
    size_t end = input.find('\n', start);
    std::string_view line = input.substr(start, end == std::string_view::npos ? end : end - start);
    start = end == std::string_view::npos ? input.size() : end + 1;
    if (!isPlainLine(line))
      continue;
    check += "CHECK: ";
    check += line;
    check += '\n';
    ++checks;
  }
  if (checks > 0)
    requireStatus(workspace, check, input, 0, "every CHECK is an input line, in order");
  if (input.empty())
    return;
  std::string absent = "absent";
  while (input.find(absent) != std::string_view::npos)
    absent += 'X';
  check += "CHECK: " + absent + "\n";
  requireStatus(workspace, check, input, 1, "the last CHECK is not in the input");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Workspace *workspace = [] {
    // Options from the caller's environment would make runs irreproducible.
    unsetenv("VETLINE_OPTS");
    // A stray ']' in a "[[...]]" block ends the process (status 1, with its
    // own end-to-end test); in process that would end the fuzzer, so here
    // it fails the pattern like any other malformed one.
    vetline::setExitOnUnbalancedBracket(false);
    static Workspace made;
    return &made;
  }();

  FuzzCase fuzzCase = splitFuzzInput(std::string_view(reinterpret_cast<const char *>(data), size));
  if (fuzzCase.flags.find('O') != std::string_view::npos) {
    checkVerdict(*workspace, fuzzCase.input);
    return 0;
  }
  std::string_view opts = fuzzCase.opts.value_or(""), rsp = fuzzCase.rsp.value_or("");
  // Options can name any file; a device or a kernel file can be endless
  // (/dev/zero), which only measures the fuzzer's patience.
  for (std::string_view systemFiles : {"/dev/", "/proc/", "/sys/"})
    if (opts.find(systemFiles) != std::string_view::npos ||
        rsp.find(systemFiles) != std::string_view::npos)
      return 0;
  runTool(*workspace, fuzzCase.check, fuzzCase.input, fuzzCase.flags, fuzzCase.opts, fuzzCase.rsp);
  return 0;
}
