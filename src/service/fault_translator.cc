#include "service/fault_translator.h"

#include <signal.h>
#include <string.h>

#include <mutex>

namespace kv {
namespace {

thread_local bool t_translating = false;

[[noreturn]] void Throw(int sig) {
  if (sig == SIGFPE) throw divisionbyzero_exception();
  throw accessviolation_exception();
}

void Handler(int sig, siginfo_t*, void*) {
  if (!t_translating) {
    // Not a command or schedule thread: fall back to the default action.
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  // Unblock the signal (we leave the handler by throwing, not by returning), then throw.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  Throw(sig);
}

void InstallProcessHandlers() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = Handler;
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, nullptr);
  sigaction(SIGBUS, &sa, nullptr);
  sigaction(SIGFPE, &sa, nullptr);
}

}  // namespace

void InstallFaultTranslator() {
  static std::once_flag once;
  std::call_once(once, InstallProcessHandlers);
  t_translating = true;
}

}  // namespace kv
