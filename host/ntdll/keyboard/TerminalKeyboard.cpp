// The terminal on standard input as the keyboard: raw mode, a thread that turns what is typed into strokes, and
// every way the terminal gets its settings back. A user must never be left at a shell that neither echoes nor
// edits lines, so the settings are restored when the keyboard is removed, in ExitHostProcess, at exit(), and on
// each signal whose default ends the process (only SIGKILL escapes; `stty sane` is the cure then).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "host/ntdll/keyboard/Keyboard.h"
#include "host/ntdll/keyboard/KeyboardDevice.h"
#include "host/ntdll/keyboard/TerminalKeys.h"

namespace host {
namespace {

// An Escape byte with nothing after it for this long was the Escape key, not the start of a sequence.
constexpr int kEscapeWaitMs = 50;

constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                  SIGFPE,  SIGSEGV, SIGPIPE,   SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
                                  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS};

termios g_savedSettings;         // written before g_raw is set, read only after it is taken
std::atomic<bool> g_raw{false};  // the terminal is in raw mode and g_savedSettings brings it back
struct sigaction g_previousActions[NSIG];
bool g_installed[NSIG];

void OnEndingSignal(int signal) {
  int savedErrno = errno;
  RestoreTerminal();
  // Then whatever the signal did before happens: the process ends (or dumps core, or a sanitizer reports). The
  // signal is blocked while this handler runs, so it arrives again as soon as the handler returns.
  sigaction(signal, &g_previousActions[signal], nullptr);
  raise(signal);
  errno = savedErrno;
}

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = &OnEndingSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : kEndingSignals) {
    if (g_installed[signal]) continue;
    struct sigaction previous {};
    sigaction(signal, nullptr, &previous);
    // An ignored signal ends nothing (nohup ignores SIGHUP); it stays ignored.
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;
    g_previousActions[signal] = previous;
    g_installed[signal] = true;
    sigaction(signal, &action, nullptr);
  }
}

void RemoveSignalHandlers() {
  for (int signal : kEndingSignals) {
    if (!g_installed[signal]) continue;
    sigaction(signal, &g_previousActions[signal], nullptr);
    g_installed[signal] = false;
  }
}

void RestoreTerminalAtExit() { RestoreTerminal(); }

// Reads the terminal until `wakeFd` becomes readable or the terminal goes away (the keyboard then stays, silent).
void ReadTerminal(int wakeFd) {
  TerminalKeyDecoder decoder;
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int ready = poll(fds, 2, decoder.Waiting() ? kEscapeWaitMs : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return;
    KeyRecords records;
    if (ready == 0) {
      decoder.Flush(&records);
    } else {
      unsigned char bytes[64];
      ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) return;
      for (ssize_t i = 0; i < got; ++i) decoder.Feed(bytes[i], &records);
    }
    if (!records.empty()) DeliverKeyRecords(records);
  }
}

struct TerminalSource {
  ~TerminalSource() {
    close(wake[0]);
    close(wake[1]);
  }

  void Stop() {
    // The pipe is open and empty, so the byte always goes in.
    ssize_t written = write(wake[1], "x", 1);
    (void)written;
    if (thread.joinable()) thread.join();
    RestoreTerminal();
    RemoveSignalHandlers();
  }

  int wake[2] = {-1, -1};
  std::thread thread;
};

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool UseTerminalKeyboard(std::string* error) {
  RemoveKeyboard();
  if (!isatty(STDIN_FILENO)) {
    *error = "standard input is not a terminal";
    return false;
  }
  // Changing or reading a terminal from the background stops the process; such a terminal is not ours to use.
  pid_t foreground = tcgetpgrp(STDIN_FILENO);
  if (foreground != -1 && foreground != getpgrp()) {
    *error = "standard input is a terminal that this process does not have in the foreground";
    return false;
  }
  termios settings;
  if (tcgetattr(STDIN_FILENO, &settings) != 0) {
    *error = Reason("cannot read the terminal's settings");
    return false;
  }
  auto source = std::make_shared<TerminalSource>();
  if (pipe2(source->wake, O_CLOEXEC) != 0) {
    *error = Reason("cannot make a pipe");
    return false;
  }

  g_savedSettings = settings;
  static const bool registered = std::atexit(&RestoreTerminalAtExit) == 0;
  (void)registered;
  InstallSignalHandlers();
  termios raw = settings;
  raw.c_lflag &= ~(ECHO | ICANON | IEXTEN);  // ISIG stays: Ctrl+C and Ctrl+\ still end the command
  raw.c_iflag &= ~(IXON | ICRNL | INLCR | IGNCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;  // a stopped command would leave the shell a raw terminal
  // Raw before the change is made: a signal arriving in between must still restore.
  g_raw.store(true);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
    *error = Reason("cannot put the terminal in raw mode");
    RestoreTerminal();
    RemoveSignalHandlers();
    return false;
  }
  AttachKeyboard([source] { source->Stop(); });
  source->thread = std::thread(&ReadTerminal, source->wake[0]);
  return true;
}

void RestoreTerminal() {
  if (g_raw.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedSettings);
}

}  // namespace host
