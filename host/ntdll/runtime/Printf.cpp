// ntdll's printf family, over the Microsoft expansion rules of MsFormat.
#include <algorithm>
#include <cstdarg>
#include <string>

#include "host/ntdll/runtime/MsFormat.h"
#include "platform/NativeApi.h"

namespace {

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

extern "C" {

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
