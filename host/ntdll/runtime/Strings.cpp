// Counted strings: initialising, converting between the ANSI code page (Latin-1 here) and UTF-16, and freeing.
#include <algorithm>
#include <cstring>

#include "host/ntdll/faults/Faults.h"
#include "platform/NativeApi.h"

namespace {

constexpr USHORT kMaxUnicodeBytes = 0xFFFC;  // so that the terminator still fits a 16-bit maximum length
constexpr USHORT kMaxAnsiBytes = 0xFFFE;
constexpr NTSTATUS kStatusInvalidParameter2 = MakeStatus(0xC00000F0);

}  // namespace

extern "C" {

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

}  // extern "C"
