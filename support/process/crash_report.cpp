// The signal handlers, the callback slots, the crash printer and the two
// backtrace listings. Everything the handler touches is made before a
// crash: the slots, the action records and the address array are static,
// the standard-error stream exists from the start-up on, and the unwinder
// is loaded by a first backtrace when the backtrace is armed. Only the
// symbolizer path allocates (its input, the child's arguments, its output),
// and the demangler of the raw listing; the handler that runFilter puts on
// the interrupt signals while the symbolizer runs only kills its process
// group and raises the signal again.
#include "support/process/crash_report.h"

#include "support/cmdline/library_options.h"
#include "support/error.h"
#include "support/format.h"
#include "support/process/paths.h"
#include "support/process/run_program.h"
#include "support/text_buffer.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace vetline {

// ---- Messages ----

const char issueReportMessage[] = "PLEASE submit a bug report to https://vetline.dev/issues and "
                                  "include the crash backtrace.\n";

namespace {

constexpr std::string_view unknownModule = "<unknown>";
constexpr std::string_view argumentsHeading = "Program arguments: ";
constexpr std::string_view stackDumpHeading = "Stack dump:\n";
constexpr std::string_view rawListingHeading =
    "Stack dump without symbol names (ensure you have orvane-symbolizer in your PATH or set "
    "the environment var `ORVANE_SYMBOLIZER_PATH` to point to it):\n";
constexpr const char *tooManyCallbacksMessage = "too many signal callbacks already registered";

// The alternate stack: a page for the kernel's signal frame and 64 KiB for
// the report.
constexpr size_t alternateStackSize = 4096 + 64 * 1024;
constexpr unsigned contextEntryAlarmSeconds = 5;
constexpr int maxBacktraceDepth = 256;

constexpr int interruptSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGUSR2};
constexpr int fatalSignals[] = {
    SIGILL, SIGTRAP, SIGABRT, SIGFPE, SIGBUS, SIGSEGV, SIGQUIT, SIGSYS, SIGXCPU, SIGXFSZ,
#ifdef SIGEMT
    SIGEMT,
#endif
};
constexpr int informationSignals[] = {
    SIGUSR1,
#ifdef SIGINFO
    SIGINFO,
#endif
};

enum class SlotState { Empty, Filling, Ready, Running };

struct CallbackSlot {
  CrashCallback callback = nullptr;
  void *argument = nullptr;
  std::atomic<SlotState> state{SlotState::Empty};
};

CallbackSlot callbackSlots[maxCrashCallbacks];

struct RegisteredSignal {
  int signal;
  struct sigaction previous;
};

constexpr size_t maxRegisteredSignals =
    std::size(interruptSignals) + std::size(fatalSignals) + std::size(informationSignals) + 1;
RegisteredSignal registeredSignals[maxRegisteredSignals];
std::atomic<unsigned> registeredCount{0};

std::atomic<void (*)()> pipeHandler{nullptr};

thread_local CrashContextEntry *newestContextEntry = nullptr;

// The program name as given at start-up, copied: the argument vector of an
// in-process run may be gone by the time of a crash.
char programName[PATH_MAX];

std::recursive_mutex &registrationLock() {
  static std::recursive_mutex lock;
  return lock;
}

bool isInterruptSignal(int signal) {
  for (int s : interruptSignals)
    if (s == signal)
      return true;
  return false;
}

// Faults that happen again with the same instruction once the handler
// returns, so the default action then ends the process where it failed. A
// signal sent by a process (a non-positive code), or one whose instruction
// is not repeated (a breakpoint trap, a system-call filter, a file-size or
// CPU limit), is raised again instead.
bool faultRecurs(int signal, const siginfo_t *info) {
  if (!info || info->si_code <= 0)
    return false;
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL;
}

void restorePreviousActions() {
  unsigned count = registeredCount.exchange(0);
  for (unsigned i = 0; i < count; ++i)
    sigaction(registeredSignals[i].signal, &registeredSignals[i].previous, nullptr);
}

void runCrashCallbacks() {
  for (CallbackSlot &slot : callbackSlots) {
    SlotState expected = SlotState::Ready;
    if (!slot.state.compare_exchange_strong(expected, SlotState::Running))
      continue;
    slot.callback(slot.argument);
    slot.callback = nullptr;
    slot.argument = nullptr;
    slot.state.store(SlotState::Empty);
  }
}

void crashHandler(int signal, siginfo_t *info, void *) {
  restorePreviousActions();
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_UNBLOCK, &all, nullptr);

  if (signal == SIGPIPE) {
    if (void (*handler)() = pipeHandler.exchange(nullptr))
      handler();
    raise(signal);
    return;
  }
  if (isInterruptSignal(signal)) {
    raise(signal);
    return;
  }
  runCrashCallbacks();
  if (!faultRecurs(signal, info))
    raise(signal);
}

void informationHandler(int) {
  int savedErrno = errno;
  errno = savedErrno;
}

void installAlternateStack() {
  stack_t current;
  if (sigaltstack(nullptr, &current) != 0)
    return;
  if ((current.ss_flags & SS_ONSTACK) ||
      (current.ss_sp && !(current.ss_flags & SS_DISABLE) && current.ss_size >= alternateStackSize))
    return;
  // Kept in a static so that leak checkers see the block as reachable.
  static void *block = nullptr;
  if (!block)
    block = std::malloc(alternateStackSize);
  if (!block)
    reportOutOfMemory();
  stack_t replacement = {};
  replacement.ss_sp = block;
  replacement.ss_size = alternateStackSize;
  if (sigaltstack(&replacement, nullptr) != 0) {
    std::free(block);
    block = nullptr;
  }
}

bool hasDefaultAction(const struct sigaction &action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

// Hooks `signal` and records its previous action, unless it is ignored or
// already handled (SIGPIPE excepted: a closed pipe must end the run with
// the pipe handler's status whatever the caller set).
void hookSignal(int signal, const struct sigaction &action) {
  RegisteredSignal &record = registeredSignals[registeredCount.load()];
  if (sigaction(signal, nullptr, &record.previous) != 0)
    return;
  if (signal != SIGPIPE && !hasDefaultAction(record.previous))
    return;
  if (sigaction(signal, &action, nullptr) != 0)
    return;
  record.signal = signal;
  registeredCount.fetch_add(1);
}

bool isRegistered(int signal) {
  unsigned count = registeredCount.load();
  for (unsigned i = 0; i < count; ++i)
    if (registeredSignals[i].signal == signal)
      return true;
  return false;
}

struct sigaction crashAction() {
  struct sigaction action = {};
  action.sa_sigaction = crashHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  return action;
}

void printCrashReport(void *) { printCrashContext(standardError()); }

void writeBacktraceToStandardError(void *) { writeBacktrace(standardError()); }

// The frames' addresses; static, so that collecting them needs no memory.
void *backtraceAddresses[maxBacktraceDepth];

// Module and symbol of every frame of the raw listing.
Dl_info frameInfo[maxBacktraceDepth];

std::string_view moduleNameOf(const Dl_info &info) {
  if (!info.dli_fname)
    return unknownModule;
  std::string_view path = info.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void writeSymbol(OutputStream &os, const char *symbol) {
  int status = 0;
  char *demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  if (demangled && status == 0)
    os << demangled;
  else
    os << symbol;
  std::free(demangled);
}

void writeRawListing(OutputStream &os, void *const *addresses, int depth) {
  int width = 0;
  for (int i = 0; i < depth; ++i) {
    if (!dladdr(addresses[i], &frameInfo[i]))
      frameInfo[i] = Dl_info{};
    width = std::max(width, static_cast<int>(moduleNameOf(frameInfo[i]).size()));
  }
  for (int i = 0; i < depth; ++i) {
    const Dl_info &info = frameInfo[i];
    std::string_view module = moduleNameOf(info);
    os << printfFormat("%-2d", i)
       << printfFormat(" %-*.*s", width, static_cast<int>(module.size()), module.data())
       << printfFormat(" %#0*lx", 18, reinterpret_cast<unsigned long>(addresses[i]));
    if (info.dli_sname) {
      os << ' ';
      writeSymbol(os, info.dli_sname);
      os << printfFormat(" + %tu", static_cast<const char *>(addresses[i]) -
                                       static_cast<const char *>(info.dli_saddr));
    }
    os << '\n';
  }
}

} // namespace

CrashContextEntry::CrashContextEntry() : older(newestContextEntry) { newestContextEntry = this; }

CrashContextEntry::~CrashContextEntry() { newestContextEntry = older; }

void ProgramArgumentsEntry::print(OutputStream &os) const {
  os << argumentsHeading;
  for (int i = 0; i < argc; ++i) {
    if (i > 0)
      os << ' ';
    std::string_view argument = argv[i] ? argv[i] : "";
    bool quoted = argument.find(' ') != std::string_view::npos;
    if (quoted)
      os << '"';
    os.writeWithEscapes(argument);
    if (quoted)
      os << '"';
  }
  os << '\n';
}

void addCrashCallback(CrashCallback callback, void *argument) {
  bool claimed = false;
  for (CallbackSlot &slot : callbackSlots) {
    SlotState expected = SlotState::Empty;
    if (!slot.state.compare_exchange_strong(expected, SlotState::Filling))
      continue;
    slot.callback = callback;
    slot.argument = argument;
    slot.state.store(SlotState::Ready);
    claimed = true;
    break;
  }
  if (!claimed)
    fatalError(tooManyCallbacksMessage);
  installSignalHandlers();
}

void installSignalHandlers() {
  std::lock_guard<std::recursive_mutex> guard(registrationLock());
  if (registeredCount.load() != 0) {
    if (pipeHandler.load() && !isRegistered(SIGPIPE))
      hookSignal(SIGPIPE, crashAction());
    return;
  }
  installAlternateStack();

  struct sigaction crash = crashAction();
  for (int signal : interruptSignals)
    hookSignal(signal, crash);
  for (int signal : fatalSignals)
    hookSignal(signal, crash);
  if (pipeHandler.load())
    hookSignal(SIGPIPE, crash);

  struct sigaction information = {};
  information.sa_handler = informationHandler;
  information.sa_flags = SA_ONSTACK;
  sigemptyset(&information.sa_mask);
  for (int signal : informationSignals)
    hookSignal(signal, information);
}

void setPipeHandler(void (*handler)()) { pipeHandler.store(handler); }

void printCrashContext(OutputStream &os) {
  os << issueReportMessage;
  if (newestContextEntry) {
    os << stackDumpHeading;
    // Reverse the list for an oldest-first walk without recursion (the
    // stack may be nearly spent), then put it back.
    CrashContextEntry *reversed = nullptr;
    for (CrashContextEntry *entry = newestContextEntry, *older; entry; entry = older) {
      older = entry->older;
      entry->older = reversed;
      reversed = entry;
    }
    unsigned index = 0;
    for (CrashContextEntry *entry = reversed; entry; entry = entry->older) {
      os << index++ << ".\t";
      alarm(contextEntryAlarmSeconds);
      entry->print(os);
      alarm(0);
    }
    CrashContextEntry *restored = nullptr;
    for (CrashContextEntry *entry = reversed, *newer; entry; entry = newer) {
      newer = entry->older;
      entry->older = restored;
      restored = entry;
    }
  }
  os.flush();
}

std::string_view crashProgramName() { return programName; }

void armCrashBacktrace(const char *name) {
  std::strncpy(programName, name ? name : "", sizeof(programName) - 1);
  static std::atomic<bool> armed{false};
  if (!armed.exchange(true)) {
    // The first backtrace loads the unwinder, which must not happen for the
    // first time inside a crash.
    void *frame[1];
    backtrace(frame, 1);
    setStackTracePrinter(writeBacktrace);
    addCrashCallback(writeBacktraceToStandardError, nullptr);
  }
  installSignalHandlers();
}

void writeBacktrace(OutputStream &os) {
  int depth = backtrace(backtraceAddresses, maxBacktraceDepth);
  if (depth <= 0)
    return;
  if (symbolizeStackTrace(os, backtraceAddresses, depth))
    return;
  os << rawListingHeading;
  writeRawListing(os, backtraceAddresses, depth);
}

ProcessSupport::ProcessSupport(int argc, char **argv, void (*onBrokenPipe)()) {
  // Made now, so that the crash handler never constructs it.
  standardError();
  setPipeHandler(onBrokenPipe);
  installSignalHandlers();
  arguments.emplace(argc, argv);
  static std::atomic<bool> printerAdded{false};
  if (!printerAdded.exchange(true))
    addCrashCallback(printCrashReport, nullptr);
  armCrashBacktrace(argc > 0 ? argv[0] : nullptr);
  installOutOfMemoryHandler();
}

} // namespace vetline
