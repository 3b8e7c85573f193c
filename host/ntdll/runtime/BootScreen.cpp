// The boot screen: what NtDisplayString shows, kept for tests and echoed to standard output.
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "text/Utf.h"
#include "platform/NativeApi.h"

namespace {

struct Screen {
  std::mutex mutex;
  std::string text;
  bool echo = true;
  host::ScreenObserver observer;
};

Screen& GetScreen() {
  static Screen* screen = new Screen();
  return *screen;
}

}  // namespace

namespace host {

std::string ScreenText() {
  std::lock_guard<std::mutex> guard(GetScreen().mutex);
  return GetScreen().text;
}

void ClearScreenText() {
  std::lock_guard<std::mutex> guard(GetScreen().mutex);
  GetScreen().text.clear();
}

void SetScreenObserver(ScreenObserver observer) {
  std::lock_guard<std::mutex> guard(GetScreen().mutex);
  GetScreen().observer = std::move(observer);
}

void SetScreenEcho(bool toStandardOutput) {
  std::lock_guard<std::mutex> guard(GetScreen().mutex);
  GetScreen().echo = toStandardOutput;
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI NtDisplayString(UNICODE_STRING* String) {
  return host::TraceCall("NtDisplayString", [&]() -> NTSTATUS {
    if (String == nullptr || (String->Length != 0 && String->Buffer == nullptr)) return STATUS_ACCESS_VIOLATION;
    std::string text = text::Utf16ToUtf8(std::u16string_view(String->Buffer, String->Length / sizeof(WCHAR)));
    Screen& screen = GetScreen();
    std::lock_guard<std::mutex> guard(screen.mutex);
    screen.text += text;
    if (screen.observer) screen.observer(text, false);
    if (screen.echo) {
      // Unbuffered, so the boot screen and the exit status never disagree about what was shown.
      const char* data = text.data();
      size_t left = text.size();
      while (left != 0) {
        ssize_t written = write(STDOUT_FILENO, data, left);
        if (written <= 0) break;
        data += written;
        left -= static_cast<size_t>(written);
      }
    }
    if (screen.observer) screen.observer(text, true);
    return STATUS_SUCCESS;
  });
}

}  // extern "C"
