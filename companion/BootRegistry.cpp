#include "companion/BootRegistry.h"

#include <algorithm>
#include <memory>

#include "native/BootSettings.h"

namespace companion {
namespace {

constexpr WCHAR kSessionManagerKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr WCHAR kCrashControlKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";
constexpr char16_t kProgramWord[] = u"sxboottime";
constexpr char16_t kDiskCheck[] = u"autocheck autochk *";
constexpr ULONG kLargestValue = 1 << 20;

class CKey {
 public:
  CKey(const WCHAR* path, ACCESS_MASK access) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes{sizeof attributes, nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    status_ = NtOpenKey(&key_, access, &attributes);
  }
  ~CKey() {
    if (key_ != nullptr) NtClose(key_);
  }
  NTSTATUS Status() const { return status_; }
  HANDLE get() const { return key_; }

 private:
  HANDLE key_ = nullptr;
  NTSTATUS status_;
};

// The value's type and data, read again with room for all of it when the first buffer was short.
NTSTATUS QueryValue(HANDLE key, const std::u16string& valueName, ULONG* type, std::vector<UCHAR>* data) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName.c_str());
  ULONG size = 2048;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<UCHAR> buffer(size);
    ULONG needed = 0;
    const NTSTATUS status = NtQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), size, &needed);
    if (NT_SUCCESS(status)) {
      const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
      *type = info->Type;
      data->assign(info->Data, info->Data + info->DataLength);
      return status;
    }
    if ((status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) || needed > kLargestValue) {
      return status;
    }
    size = needed;
  }
  return STATUS_BUFFER_OVERFLOW;
}

}  // namespace

std::u16string FoldedCase(std::u16string text) {
  for (char16_t& c : text) c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  return text;
}

std::u16string ProgramEntry(const std::u16string& configPath) { return std::u16string(kProgramWord) + u" " + configPath; }

bool IsProgramEntry(const std::u16string& entry) {
  size_t start = entry.find_first_not_of(u' ');
  if (start == std::u16string::npos) return false;
  const std::u16string word = FoldedCase(entry.substr(start, entry.find(u' ', start) - start));
  return word == kProgramWord || word == std::u16string(kProgramWord) + u".exe";
}

std::vector<std::u16string> WithProgramEntry(const std::vector<std::u16string>& entries, const std::u16string& entry) {
  auto folded = FoldedCase;
  // The same entry in another case is the entry: it stays where it is, and the list unchanged when it is the only one.
  bool present = false;
  for (const std::u16string& existing : entries) present = present || folded(existing) == folded(entry);
  std::vector<std::u16string> result;
  bool placed = false;
  for (const std::u16string& existing : entries) {
    const bool same = folded(existing) == folded(entry);
    if (IsProgramEntry(existing) && !(same && !placed)) continue;
    result.push_back(existing);
    placed = placed || same;
    if (!present && !placed && folded(existing) == kDiskCheck) {
      result.push_back(entry);
      placed = true;
    }
  }
  if (!placed) result.push_back(entry);
  return result;
}

NTSTATUS ReadBootExecute(std::vector<std::u16string>* entries) {
  CKey key(kSessionManagerKey, KEY_READ);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  ULONG type = 0;
  std::vector<UCHAR> data;
  const NTSTATUS status = QueryValue(key.get(), u"BootExecute", &type, &data);
  entries->clear();
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) return status;
  if (type != REG_MULTI_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
  *entries = ParseMultiString(reinterpret_cast<const WCHAR*>(data.data()), static_cast<ULONG>(data.size()));
  return STATUS_SUCCESS;
}

NTSTATUS WriteBootExecute(const std::vector<std::u16string>& entries) {
  CKey key(kSessionManagerKey, KEY_SET_VALUE);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  size_t units = 1;
  for (const std::u16string& entry : entries) units += entry.size() + 1;
  std::vector<WCHAR> buffer(units + 1);
  const LONG written = BuildMultiString(entries, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(WCHAR)));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"BootExecute");
  return NtSetValueKey(key.get(), &name, 0, REG_MULTI_SZ, buffer.data(),
                       static_cast<ULONG>(written) * static_cast<ULONG>(sizeof(WCHAR)));
}

NTSTATUS CheckBootExecuteWritable() { return CKey(kSessionManagerKey, KEY_SET_VALUE).Status(); }

NTSTATUS ReadRegistryString(const WCHAR* keyPath, const std::u16string& name, std::u16string* value) {
  CKey key(keyPath, KEY_READ);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  ULONG type = 0;
  std::vector<UCHAR> data;
  const NTSTATUS status = QueryValue(key.get(), name, &type, &data);
  if (!NT_SUCCESS(status)) return status;
  if (type != REG_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
  value->assign(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
  value->erase(std::min(value->size(), value->find(u'\0')));
  return STATUS_SUCCESS;
}

NTSTATUS ReadCrashControl(const std::u16string& name, ULONG* value) {
  CKey key(kCrashControlKey, KEY_READ);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  ULONG type = 0;
  std::vector<UCHAR> data;
  const NTSTATUS status = QueryValue(key.get(), name, &type, &data);
  if (!NT_SUCCESS(status)) return status;
  if (type != REG_DWORD || data.size() != sizeof(ULONG)) return STATUS_OBJECT_NAME_NOT_FOUND;
  *value = static_cast<ULONG>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<ULONG>(data[3]) << 24);
  return STATUS_SUCCESS;
}

}  // namespace companion
