#include "native/BootSettings.h"

#include <cstring>
#include <memory>

namespace {

constexpr WCHAR kCrashControlKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";
constexpr WCHAR kSessionManagerKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr WCHAR kProgramWord[] = u"sxboottime";
constexpr size_t kProgramWordLength = 10;
constexpr ULONG kValueBufferSize = 2048;
// A BootExecute list beyond this is not a list the system could boot with; it is left alone.
constexpr ULONG kLargestValue = 1 << 20;
constexpr ULONG kPartialHeaderSize = 12;

HANDLE OpenKey(const WCHAR* path) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes{sizeof attributes, nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  HANDLE key = nullptr;
  if (!NT_SUCCESS(NtOpenKey(&key, GENERIC_READ | GENERIC_WRITE, &attributes))) return nullptr;
  return key;
}

void SetDword(HANDLE key, const WCHAR* valueName, LONG value) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  NtSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value);
}

bool IsProgramEntry(const std::u16string& entry) {
  return entry.size() >= kProgramWordLength && entry.find(kProgramWord) != std::u16string::npos;
}

// Reads BootExecute into `buffer` (grown when the value is larger than its first size); false when it cannot be
// read, in which case the list must be left as it is.
bool QueryBootExecute(HANDLE key, std::unique_ptr<UCHAR[]>& buffer, ULONG& size) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"BootExecute");
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::memset(buffer.get(), 0, size);
    ULONG needed = 0;
    NTSTATUS status = NtQueryValueKey(key, &name, KeyValuePartialInformation, buffer.get(), size, &needed);
    if (NT_SUCCESS(status)) return true;
    if ((status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) || needed <= size ||
        needed > kLargestValue) {
      return false;
    }
    // Room for the terminators a rebuilt list may add to data that lacked them.
    size = needed + 2 * sizeof(WCHAR);
    buffer.reset(new UCHAR[size]);
  }
  return false;
}

}  // namespace

void EnableRestorePrivilege() {
  HANDLE token = nullptr;
  NtOpenProcessToken(NtCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY_SOURCE | TOKEN_QUERY, &token);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid.LowPart = SE_RESTORE_PRIVILEGE;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  NtAdjustPrivilegesToken(token, false, &privileges, sizeof privileges, nullptr, nullptr);
  if (token != nullptr) NtClose(token);
}

void RestoreBootSettings(LONG crashDumpEnabled, LONG logEvent) {
  EnableRestorePrivilege();
  if (HANDLE crashControl = OpenKey(kCrashControlKey)) {
    SetDword(crashControl, u"CrashDumpEnabled", crashDumpEnabled);
    SetDword(crashControl, u"LogEvent", logEvent);
    NtClose(crashControl);
  }

  HANDLE sessionManager = OpenKey(kSessionManagerKey);
  if (sessionManager == nullptr) return;
  ULONG size = kValueBufferSize;
  auto buffer = std::make_unique<UCHAR[]>(size);
  if (QueryBootExecute(sessionManager, buffer, size)) {
    const auto* value = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.get());
    const ULONG room = size - kPartialHeaderSize;
    const ULONG length = value->DataLength < room ? value->DataLength : room;
    // The data starts at an even offset, so it can be read as UTF-16 units in place.
    std::vector<std::u16string> entries =
        ParseMultiString(reinterpret_cast<const WCHAR*>(buffer.get() + kPartialHeaderSize), length);
    std::vector<std::u16string> kept;
    for (const auto& entry : entries) {
      if (!IsProgramEntry(entry)) kept.push_back(entry);
    }
    auto* data = reinterpret_cast<WCHAR*>(buffer.get());
    const LONG units = BuildMultiString(kept, data, size);
    if (units > 0) {
      UNICODE_STRING name;
      RtlInitUnicodeString(&name, u"BootExecute");
      NtSetValueKey(sessionManager, &name, 0, REG_MULTI_SZ, data, static_cast<ULONG>(units) * sizeof(WCHAR));
    }
  }
  NtClose(sessionManager);
}

std::vector<std::u16string> ParseMultiString(const WCHAR* data, ULONG length) {
  std::vector<std::u16string> strings;
  const ULONG units = length / sizeof(WCHAR);
  if (data == nullptr || units == 0 || data[0] == 0) return strings;
  std::u16string current;
  for (ULONG i = 0; i < units; ++i) {
    if (data[i] != 0) {
      current += data[i];
      continue;
    }
    strings.push_back(current);
    current.clear();
    if (i + 1 < units && data[i + 1] == 0) return strings;
  }
  if (!current.empty()) strings.push_back(current);
  return strings;
}

LONG BuildMultiString(const std::vector<std::u16string>& strings, WCHAR* buffer, ULONG size) {
  const ULONG capacity = size / sizeof(WCHAR);
  std::memset(buffer, 0, capacity * sizeof(WCHAR));
  if (strings.empty()) return capacity >= 2 ? 2 : 0;
  size_t needed = 1;
  for (const auto& text : strings) needed += text.size() + 1;
  if (needed > capacity) return 0;
  size_t at = 0;
  for (const auto& text : strings) {
    std::memcpy(buffer + at, text.data(), text.size() * sizeof(WCHAR));
    at += text.size() + 1;
  }
  return static_cast<LONG>(needed);
}
