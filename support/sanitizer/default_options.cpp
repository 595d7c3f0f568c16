// Linked only into sanitizer builds: options compiled into every executable,
// so that any sanitizer report ends the process by SIGABRT (status 134 in a
// shell), whatever the environment says. Left to the runtimes' own defaults
// a report exits with status 1, which a test suite reads as "a directive
// failed"; and an environment may set abort_on_error=0 or an exit code of
// its own. The options below cover the first case; the death callback, run
// by every report before the runtime exits, covers the second, and an early
// leak check covers the one report that does not die when told not to.
#include <sanitizer/common_interface_defs.h>

#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

extern "C" {

__attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return "abort_on_error=1:halt_on_error=1";
}

__attribute__((visibility("default"), used)) const char *__ubsan_default_options() {
  return "abort_on_error=1:halt_on_error=1:print_stacktrace=1";
}

__attribute__((visibility("default"), used)) const char *__lsan_default_options() {
  return "abort_on_error=1";
}

// Present when the runtime checks leaks.
__attribute__((weak)) int __lsan_do_recoverable_leak_check();

} // extern "C"

namespace {

// The report has been printed. The default action makes sure the process
// dies of SIGABRT even if a handler (a runtime's own with handle_abort, or
// crash reporting) is installed: the sanitizer's report is the one to read.
void abortAfterReport() {
  std::signal(SIGABRT, SIG_DFL);
  sigset_t abortOnly;
  sigemptyset(&abortOnly);
  sigaddset(&abortOnly, SIGABRT);
  sigprocmask(SIG_UNBLOCK, &abortOnly, nullptr);
  std::raise(SIGABRT);
  _exit(134);
}

// GCC links the address and the undefined-behaviour runtimes as separate
// shared libraries, each with its own copy of the callback setter and its
// own way to die, so every loaded object that has the setter gets the
// callback.
int installInObject(struct dl_phdr_info *info, size_t, void *) {
  if (!info->dlpi_name || !*info->dlpi_name)
    return 0;
  void *object = dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
  if (!object)
    return 0;
  using Setter = void (*)(void (*)());
  if (auto setter = reinterpret_cast<Setter>(dlsym(object, "__sanitizer_set_death_callback")))
    setter(abortAfterReport);
  dlclose(object);
  return 0;
}

// The runtime's own check at exit only reports when the environment sets
// an exit code of 0. This one runs just before it (exit handlers run in
// reverse order, and the runtime registered its own before this file's
// constructor ran), and leaves nothing for it to find.
void checkLeaksAtExit() {
  if (__lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check() != 0)
    abortAfterReport();
}

__attribute__((constructor)) void installDeathCallback() {
  // A runtime linked into the executable itself (clang) is not a loaded object.
  __sanitizer_set_death_callback(abortAfterReport);
  dl_iterate_phdr(installInObject, nullptr);
  std::atexit(checkLeaksAtExit);
}

} // namespace
