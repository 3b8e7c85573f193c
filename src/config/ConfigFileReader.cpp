#include "config/ConfigFileReader.h"

#include "log/Logger.h"

bool CConfigFileReader::Initialize() {
  SX_LOG_FUNCTION("CConfigFileReader::Initialize");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path_.c_str());
  OBJECT_ATTRIBUTES attributes{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr};
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = NtCreateFile(&file_, GENERIC_READ | SYNCHRONIZE, &attributes, &ioStatus, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (NT_SUCCESS(status)) return true;
  file_ = nullptr;
  SX_LOG(1, "Could not open config file: %ws, status: 0x%x", path_.c_str(), status);
  return false;
}
