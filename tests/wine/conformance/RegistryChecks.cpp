// The registry as the one-shot clean-up uses it: a value read as KeyValuePartialInformation into a buffer that may
// be too small (its size then comes back, with STATUS_BUFFER_TOO_SMALL when not even the fixed part fits and
// STATUS_BUFFER_OVERFLOW when only that part does), values written back, and the privilege the write needs.
//
// The runner makes the key below before the run: no native call the system uses creates keys.
#include "Harness.h"

namespace {

constexpr WCHAR kKey[] = u"\\Registry\\Machine\\Software\\Zenmoria\\Conformance";
constexpr WCHAR kMultiData[] = u"ab\0cd\0";  // the array's own terminator ends the list
constexpr ULONG kMultiSize = sizeof kMultiData;
constexpr ULONG kFixed = 12;  // up to KEY_VALUE_PARTIAL_INFORMATION::Data
constexpr ULONG kWhole = kFixed + kMultiSize;

HANDLE OpenKey(const WCHAR* path, ACCESS_MASK access, NTSTATUS expected) {
  SObjectName name(path);
  HANDLE key = nullptr;
  if (!CHECK_STATUS(expected, NtOpenKey(&key, access, name.Get()))) {
    ConformancePrint("     the runner makes HKLM\\Software\\Zenmoria\\Conformance\n");
    return nullptr;
  }
  return key;
}

NTSTATUS SetValue(HANDLE key, const WCHAR* valueName, ULONG type, const void* data, ULONG size) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  return NtSetValueKey(key, &name, 0, type, const_cast<void*>(data), size);
}

NTSTATUS Query(HANDLE key, const WCHAR* valueName, void* buffer, ULONG length, ULONG* resultLength) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  *resultLength = 0xDEADBEEF;
  return NtQueryValueKey(key, &name, KeyValuePartialInformation, buffer, length, resultLength);
}

struct SSizeCase {
  ULONG length;
  NTSTATUS status;
};

// No room, less than the fixed part, exactly that part, one byte short of the whole record, the whole record.
constexpr SSizeCase kSizes[] = {{0, STATUS_BUFFER_TOO_SMALL},
                                {kFixed - 1, STATUS_BUFFER_TOO_SMALL},
                                {kFixed, STATUS_BUFFER_OVERFLOW},
                                {kWhole - 1, STATUS_BUFFER_OVERFLOW},
                                {kWhole, STATUS_SUCCESS}};

void SmallBuffersReportTheSizeNeeded(HANDLE key) {
  for (const SSizeCase& test : kSizes) {
    alignas(8) UCHAR buffer[64];
    memset(buffer, 0xCC, sizeof buffer);
    ULONG needed = 0;
    const bool statusOk = CHECK_STATUS(test.status, Query(key, u"Multi", buffer, test.length, &needed));
    if (!(CHECK_EQ(kWhole, needed) && statusOk)) ConformancePrint("     length %u\n", test.length);
    if (test.status != STATUS_BUFFER_TOO_SMALL) {
      // The fixed part is filled in, so the caller learns the type and the data's size.
      const auto* partial = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      CHECK_EQ(REG_MULTI_SZ, partial->Type);
      CHECK_EQ(kMultiSize, partial->DataLength);
    }
    CHECK_EQ(0xCC, buffer[test.length]);
  }
}

void ValuesAreWrittenAndReadBack(HANDLE key) {
  alignas(8) UCHAR buffer[64];
  ULONG needed = 0;
  const auto* partial = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  const LONG dword = 7;
  CHECK_STATUS(STATUS_SUCCESS, SetValue(key, u"CrashDumpEnabled", REG_DWORD, &dword, sizeof dword));
  if (CHECK_STATUS(STATUS_SUCCESS, Query(key, u"CRASHDUMPENABLED", buffer, sizeof buffer, &needed))) {
    CHECK_EQ(REG_DWORD, partial->Type);
    CHECK_EQ(7, *reinterpret_cast<const LONG*>(partial->Data));
  }
  // Replacing a value with an empty list, as the clean-up does when only its own entry was there.
  const WCHAR empty[2] = {0, 0};
  CHECK_STATUS(STATUS_SUCCESS, SetValue(key, u"Emptied", REG_MULTI_SZ, empty, sizeof empty));
  if (CHECK_STATUS(STATUS_SUCCESS, Query(key, u"Emptied", buffer, sizeof buffer, &needed))) {
    CHECK_EQ(sizeof empty, partial->DataLength);
  }
  CHECK_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Query(key, u"Missing", buffer, sizeof buffer, &needed));
}

void AccessAndPrivilegeAreChecked() {
  OpenKey(u"\\Registry\\Machine\\Software\\Zenmoria\\Missing", KEY_READ, STATUS_OBJECT_NAME_NOT_FOUND);
  if (HANDLE readOnly = OpenKey(kKey, KEY_QUERY_VALUE, STATUS_SUCCESS)) {
    const LONG dword = 1;
    CHECK_STATUS(STATUS_ACCESS_DENIED, SetValue(readOnly, u"Refused", REG_DWORD, &dword, sizeof dword));
    NtClose(readOnly);
  }
  HANDLE token = nullptr;
  if (CHECK_STATUS(
          STATUS_SUCCESS,
          NtOpenProcessToken(NtCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY_SOURCE | TOKEN_QUERY, &token))) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid.LowPart = SE_RESTORE_PRIVILEGE;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    CHECK_STATUS(STATUS_SUCCESS,
                 NtAdjustPrivilegesToken(token, false, &privileges, sizeof privileges, nullptr, nullptr));
    NtClose(token);
  }
}

}  // namespace

void RegistryChecks(const SConformanceEnvironment&) {
  HANDLE key = OpenKey(kKey, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS);
  if (key == nullptr) return;
  if (CHECK_STATUS(STATUS_SUCCESS, SetValue(key, u"Multi", REG_MULTI_SZ, kMultiData, kMultiSize))) {
    SmallBuffersReportTheSizeNeeded(key);
  }
  ValuesAreWrittenAndReadBack(key);
  NtClose(key);
  AccessAndPrivilegeAreChecked();
}
