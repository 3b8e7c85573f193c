// Interrupt signals: SIGINT, SIGTERM and SIGHUP stop the program between two native calls. A move is one call, so
// stopping there never leaves clusters claimed by nobody; the process then ends as NtTerminateProcess ends it, with
// every drive unmounted cleanly and the registry saved.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/keyboard/Keyboard.h"

namespace host {
namespace {

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> g_pendingSignal{0};
thread_local int t_callsInProgress = 0;
std::atomic<bool> g_stopping{false};

void OnInterrupt(int signal) {
  // A second request, when the first has not been acted on, ends the process at once.
  if (g_pendingSignal.exchange(signal) != 0 && !g_stopping.load()) {
    RestoreTerminal();
    ::signal(signal, SIG_DFL);
    raise(signal);
  }
}

}  // namespace

void StopOnInterruptSignals() {
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : kInterruptSignals) {
    struct sigaction previous {};
    sigaction(signal, nullptr, &previous);
    // An ignored signal stays ignored (nohup ignores SIGHUP).
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

int PendingInterrupt() { return g_pendingSignal.load(); }

CallInProgress::CallInProgress() { ++t_callsInProgress; }
CallInProgress::~CallInProgress() { --t_callsInProgress; }

void StopIfInterrupted() {
  const int signal = g_pendingSignal.load(std::memory_order_relaxed);
  if (signal == 0 || t_callsInProgress != 0) return;
  // One thread ends the process; any other that calls meanwhile waits for the end.
  if (g_stopping.exchange(true)) {
    for (;;) pause();
  }
  std::fprintf(stderr,
               "spindraxel: interrupted by SIG%s: the program was stopped between two native calls and every drive was "
               "unmounted\n",
               signal == SIGINT    ? "INT"
               : signal == SIGTERM ? "TERM"
                                   : "HUP");
  ExitHostProcess(128 + signal);
}

}  // namespace host
