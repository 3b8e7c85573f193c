// The boot screen, the heap, counted strings and ntdll's printf family on the host.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "host/Faults.h"
#include "host/Host.h"
#include "host/MsFormat.h"
#include "platform/NativeApi.h"

namespace {

constexpr USHORT kMaxUnicodeBytes = 0xFFFC;  // so that the terminator still fits a 16-bit maximum length
constexpr USHORT kMaxAnsiBytes = 0xFFFE;
constexpr NTSTATUS kStatusInvalidParameter2 = MakeStatus(0xC00000F0);

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

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string Utf16ToUtf8(const WCHAR* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendUtf8(&out, c);
  }
  return out;
}

// Copies an expansion into a caller's buffer the way ntdll's _vsnprintf does: a terminator only when there is
// room for it, -1 when the text does not fit.
template <typename Char>
int CopyTruncated(const std::basic_string<Char>& text, Char* buffer, size_t count) {
  if (text.size() < count) {
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = Char(0);
    return static_cast<int>(text.size());
  }
  std::copy_n(text.begin(), count, buffer);
  return text.size() == count ? static_cast<int>(count) : -1;
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
    std::string text = Utf16ToUtf8(String->Buffer, String->Length / sizeof(WCHAR));
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

PVOID NTAPI RtlAllocateHeap(PVOID, ULONG Flags, SIZE_T Size) {
  NTSTATUS injected;
  if (host::InjectFault("RtlAllocateHeap", &injected)) {
    host::RecordCall("RtlAllocateHeap", STATUS_NO_MEMORY);
    return nullptr;
  }
  // Every block is a separate allocation, so the sanitizers see the system's own mistakes.
  size_t bytes = Size == 0 ? 1 : Size;
  return (Flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
}

BOOLEAN NTAPI RtlFreeHeap(PVOID, ULONG, PVOID BaseAddress) {
  std::free(BaseAddress);
  return 1;
}

void NTAPI RtlInitUnicodeString(UNICODE_STRING* DestinationString, const WCHAR* SourceString) {
  size_t bytes = 0;
  if (SourceString != nullptr) {
    while (SourceString[bytes / sizeof(WCHAR)] != u'\0') bytes += sizeof(WCHAR);
  }
  bytes = std::min<size_t>(bytes, kMaxUnicodeBytes);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = SourceString != nullptr ? static_cast<USHORT>(bytes + sizeof(WCHAR)) : 0;
  DestinationString->Buffer = const_cast<WCHAR*>(SourceString);
}

void NTAPI RtlInitAnsiString(ANSI_STRING* DestinationString, const CHAR* SourceString) {
  size_t bytes = SourceString != nullptr ? std::min<size_t>(strlen(SourceString), kMaxAnsiBytes) : 0;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = SourceString != nullptr ? static_cast<USHORT>(bytes + 1) : 0;
  DestinationString->Buffer = const_cast<CHAR*>(SourceString);
}

// The host's ANSI code page is Latin-1: each byte widens to the code point of its value.
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(UNICODE_STRING* DestinationString, const ANSI_STRING* SourceString,
                                            BOOLEAN AllocateDestinationString) {
  return host::TraceCall("RtlAnsiStringToUnicodeString", [&]() -> NTSTATUS {
    size_t needed = static_cast<size_t>(SourceString->Length) * sizeof(WCHAR) + sizeof(WCHAR);
    if (needed > 0xFFFF) return kStatusInvalidParameter2;
    if (AllocateDestinationString) {
      auto* buffer = static_cast<WCHAR*>(RtlAllocateHeap(nullptr, 0, needed));
      if (buffer == nullptr) return STATUS_NO_MEMORY;
      DestinationString->Buffer = buffer;
      DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (DestinationString->MaximumLength < needed - sizeof(WCHAR)) {
      return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
      DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    }
    DestinationString->Length = static_cast<USHORT>(needed - sizeof(WCHAR));
    if (DestinationString->MaximumLength >= needed) DestinationString->Buffer[SourceString->Length] = u'\0';
    return STATUS_SUCCESS;
  });
}

// Characters outside Latin-1 become '?', as the default character of a conversion does.
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(ANSI_STRING* DestinationString, const UNICODE_STRING* SourceString,
                                            BOOLEAN AllocateDestinationString) {
  return host::TraceCall("RtlUnicodeStringToAnsiString", [&]() -> NTSTATUS {
    size_t characters = SourceString->Length / sizeof(WCHAR);
    size_t needed = characters + 1;
    if (needed > 0xFFFF) return kStatusInvalidParameter2;
    if (AllocateDestinationString) {
      auto* buffer = static_cast<CHAR*>(RtlAllocateHeap(nullptr, 0, needed));
      if (buffer == nullptr) return STATUS_NO_MEMORY;
      DestinationString->Buffer = buffer;
      DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (DestinationString->MaximumLength < characters) {
      return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < characters; ++i) {
      WCHAR c = SourceString->Buffer[i];
      DestinationString->Buffer[i] = c < 0x100 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Length = static_cast<USHORT>(characters);
    if (DestinationString->MaximumLength >= needed) DestinationString->Buffer[characters] = '\0';
    return STATUS_SUCCESS;
  });
}

void NTAPI RtlFreeUnicodeString(UNICODE_STRING* UnicodeString) {
  RtlFreeHeap(nullptr, 0, UnicodeString->Buffer);
  *UnicodeString = UNICODE_STRING{};
}

void NTAPI RtlFreeAnsiString(ANSI_STRING* AnsiString) {
  RtlFreeHeap(nullptr, 0, AnsiString->Buffer);
  *AnsiString = ANSI_STRING{};
}

int NtdllVsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  return CopyTruncated(host::MsFormatNarrow(format, args), buffer, count);
}

int NtdllSnprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = NtdllVsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

int NtdllSnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int result = CopyTruncated(host::MsFormatWide(format, args), buffer, count);
  va_end(args);
  return result;
}

}  // extern "C"
