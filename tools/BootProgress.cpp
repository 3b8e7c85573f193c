#include "BootProgress.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

struct Progress {
  std::mutex mutex;
  std::string file;     // the last line of the boot screen that names a file ("C:\Data\a.bin")
  std::string pending;  // screen text after the last line end
  bool shown = false;   // a status line is on the terminal now
  bool screenBusy = false;
  bool ended = false;
};

Progress& State() {
  static auto* progress = new Progress();  // the redraw thread may still reach it while the process exits
  return *progress;
}

void WriteError(const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t wrote = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (wrote <= 0) return;
    done += static_cast<size_t>(wrote);
  }
}

// Under the state's lock.
void Clear(Progress& progress) {
  if (progress.shown) WriteError("\r\033[K");
  progress.shown = false;
}

bool NamesFile(const std::string& line) { return line.size() > 3 && line[1] == ':' && line[2] == '\\'; }

void ObserveScreen(const std::string& text, bool echoed) {
  Progress& progress = State();
  std::lock_guard<std::mutex> guard(progress.mutex);
  progress.screenBusy = !echoed;
  if (echoed) return;
  Clear(progress);
  progress.pending += text;
  for (size_t end; (end = progress.pending.find('\n')) != std::string::npos;) {
    const std::string line = progress.pending.substr(0, end);
    if (NamesFile(line)) progress.file = line;
    progress.pending.erase(0, end + 1);
  }
}

void Redraw() {
  std::string last;
  for (;;) {
    std::this_thread::sleep_for(kRedrawInterval);
    Progress& progress = State();
    std::lock_guard<std::mutex> guard(progress.mutex);
    if (progress.ended) return;
    if (progress.screenBusy || progress.file.empty()) continue;
    const std::string line = "spindraxel: " + progress.file + ": " +
                             std::to_string(host::CallCount("FSCTL_MOVE_FILE")) + " moves asked so far";
    if (progress.shown && line == last) continue;
    WriteError("\r\033[K" + line);
    progress.shown = true;
    last = line;
  }
}

}  // namespace

void StartBootProgress() {
  if (!isatty(STDERR_FILENO)) return;
  host::SetScreenObserver(ObserveScreen);
  host::AddExitHook([] {
    Progress& progress = State();
    std::lock_guard<std::mutex> guard(progress.mutex);
    Clear(progress);
    progress.ended = true;
  });
  std::thread(Redraw).detach();
}
