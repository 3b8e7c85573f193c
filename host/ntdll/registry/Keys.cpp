// Registry keys: NtOpenKey, NtQueryValueKey and NtSetValueKey over the host registry (host/Registry.h), with the
// statuses Windows gives. Key handles close through NtClose like every other handle. A handle keeps its key even
// when the registry is loaded anew; it then reaches a key that is no longer part of the registry.
#include <algorithm>
#include <cstring>

#include "host/ntdll/faults/CallTrace.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/objects/Objects.h"
#include "host/ntdll/registry/Registry.h"

using namespace host;

namespace {

constexpr ULONG kBasicHeaderSize = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
constexpr ULONG kFullHeaderSize = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialHeaderSize = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

struct KeyObject : Object {
  KeyObject(std::shared_ptr<RegistryKey> registryKey, ACCESS_MASK grantedAccess)
      : Object(ObjectType::Key), key(std::move(registryKey)), access(grantedAccess) {}
  const std::shared_ptr<RegistryKey> key;
  const ACCESS_MASK access;
};

// The specific rights a requested access mask stands for; generic rights map as the key type maps them.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & (GENERIC_READ | GENERIC_EXECUTE)) granted |= KEY_READ;
  if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  return granted;
}

std::u16string NameOf(const UNICODE_STRING& name) {
  if (name.Buffer == nullptr) return {};
  return std::u16string(name.Buffer, name.Length / sizeof(WCHAR));
}

ULONG AlignToUlong(ULONG offset) { return (offset + sizeof(ULONG) - 1) & ~ULONG{sizeof(ULONG) - 1}; }

// Writes one value record of `infoClass` into `buffer`. When the fixed header does not fit: STATUS_BUFFER_TOO_SMALL
// and nothing written; when the header fits but not the rest: STATUS_BUFFER_OVERFLOW with the header filled and as
// much of the name (or the partial record's data) as fits. *resultLength is always the size the whole record needs.
NTSTATUS WriteValueRecord(const RegistryValue& value, KEY_VALUE_INFORMATION_CLASS infoClass, UCHAR* buffer,
                          ULONG length, ULONG* resultLength) {
  const auto dataLength = static_cast<ULONG>(value.data.size());
  const auto nameLength = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  auto copyPart = [&](ULONG offset, const void* source, ULONG size) {
    const ULONG room = length > offset ? length - offset : 0;
    if (size > 0) std::memcpy(buffer + offset, source, std::min(size, room));
    return room >= size;
  };
  switch (infoClass) {
    case KeyValueBasicInformation: {
      *resultLength = kBasicHeaderSize + nameLength;
      if (length < kBasicHeaderSize) return STATUS_BUFFER_TOO_SMALL;
      KEY_VALUE_BASIC_INFORMATION header{0, value.type, nameLength, {}};
      std::memcpy(buffer, &header, kBasicHeaderSize);
      return copyPart(kBasicHeaderSize, value.name.data(), nameLength) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case KeyValueFullInformation: {
      // The data starts at the next ULONG boundary after the name; a value without data has offset 0.
      const ULONG dataOffset = dataLength == 0 ? 0 : AlignToUlong(kFullHeaderSize + nameLength);
      *resultLength = dataLength == 0 ? kFullHeaderSize + nameLength : dataOffset + dataLength;
      if (length < kFullHeaderSize) return STATUS_BUFFER_TOO_SMALL;
      KEY_VALUE_FULL_INFORMATION header{0, value.type, dataOffset, dataLength, nameLength, {}};
      std::memcpy(buffer, &header, kFullHeaderSize);
      if (!copyPart(kFullHeaderSize, value.name.data(), nameLength)) return STATUS_BUFFER_OVERFLOW;
      if (length < *resultLength) return STATUS_BUFFER_OVERFLOW;
      if (dataLength > 0) std::memcpy(buffer + dataOffset, value.data.data(), dataLength);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
      *resultLength = kPartialHeaderSize + dataLength;
      if (length < kPartialHeaderSize) return STATUS_BUFFER_TOO_SMALL;
      KEY_VALUE_PARTIAL_INFORMATION header{0, value.type, dataLength, {}};
      std::memcpy(buffer, &header, kPartialHeaderSize);
      return copyPart(kPartialHeaderSize, value.data.data(), dataLength) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

std::shared_ptr<KeyObject> LookupKey(HANDLE handle, ACCESS_MASK needed, NTSTATUS* status) {
  auto key = LookupHandleAs<KeyObject>(handle, ObjectType::Key, status);
  if (key && (key->access & needed) != needed) {
    *status = STATUS_ACCESS_DENIED;
    return nullptr;
  }
  return key;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI NtOpenKey(HANDLE* KeyHandle, ACCESS_MASK DesiredAccess, OBJECT_ATTRIBUTES* ObjectAttributes) {
  if (CallTraceEnabled()) TraceDetail(TraceName(ObjectAttributes));
  return TraceCall("NtOpenKey", [&]() -> NTSTATUS {
    if (KeyHandle == nullptr || ObjectAttributes == nullptr) return STATUS_ACCESS_VIOLATION;
    *KeyHandle = nullptr;
    if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    const ACCESS_MASK access = MapKeyAccess(DesiredAccess);
    if (access == 0) return STATUS_ACCESS_DENIED;
    const std::u16string name = ObjectNameOf(ObjectAttributes);

    std::shared_ptr<KeyObject> parent;
    if (ObjectAttributes->RootDirectory != nullptr) {
      NTSTATUS status;
      parent = LookupHandleAs<KeyObject>(ObjectAttributes->RootDirectory, ObjectType::Key, &status);
      if (!parent) return status;
      if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::shared_ptr<RegistryKey> key;
    {
      std::lock_guard<std::mutex> guard(RegistryMutex());
      NTSTATUS status = parent
                            ? FindRegistrySubkey(parent->key, name, &key)
                            : FindRegistryKey(name, (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0, &key);
      if (!NT_SUCCESS(status)) return status;
    }
    *KeyHandle = InsertHandle(std::make_shared<KeyObject>(key, access));
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, ULONG* ResultLength) {
  if (CallTraceEnabled()) TraceDetail(TraceName(ValueName));
  return TraceCall("NtQueryValueKey", [&]() -> NTSTATUS {
    NTSTATUS status;
    auto key = LookupKey(KeyHandle, KEY_QUERY_VALUE, &status);
    if (!key) return status;
    if (ValueName == nullptr || ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
      return STATUS_ACCESS_VIOLATION;
    }
    if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValueFullInformation &&
        KeyValueInformationClass != KeyValuePartialInformation) {
      return STATUS_INVALID_PARAMETER;
    }
    RegistryValue value;
    {
      std::lock_guard<std::mutex> guard(RegistryMutex());
      const RegistryValue* found = key->key->Value(NameOf(*ValueName));
      if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
      value = *found;
    }
    return WriteValueRecord(value, KeyValueInformationClass, static_cast<UCHAR*>(KeyValueInformation), Length,
                            ResultLength);
  });
}

NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName, ULONG /*TitleIndex*/, ULONG Type, PVOID Data,
                             ULONG DataSize) {
  if (CallTraceEnabled()) TraceDetail(TraceName(ValueName));
  return TraceCall("NtSetValueKey", [&]() -> NTSTATUS {
    NTSTATUS status;
    auto key = LookupKey(KeyHandle, KEY_SET_VALUE, &status);
    if (!key) return status;
    if (ValueName == nullptr || (Data == nullptr && DataSize != 0)) return STATUS_ACCESS_VIOLATION;
    const auto* bytes = static_cast<const uint8_t*>(Data);
    std::vector<uint8_t> data(bytes, bytes + DataSize);
    std::lock_guard<std::mutex> guard(RegistryMutex());
    if (key->key->SetValue(NameOf(*ValueName), Type, std::move(data))) MarkRegistryChanged();
    return STATUS_SUCCESS;
  });
}

}  // extern "C"
