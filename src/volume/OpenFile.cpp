#include "volume/OpenFile.h"

NTSTATUS OpenFile(const WCHAR* path, HANDLE* handle, ACCESS_MASK desiredAccess, ULONG fileAttributes, ULONG shareAccess,
                  ULONG createDisposition, ULONG createOptions) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes{
      sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr};
  IO_STATUS_BLOCK ioStatus{};
  HANDLE opened = nullptr;
  NTSTATUS status = NtCreateFile(&opened, desiredAccess, &attributes, &ioStatus, nullptr, fileAttributes, shareAccess,
                                 createDisposition, createOptions, nullptr, 0);
  *handle = NT_SUCCESS(status) ? opened : nullptr;
  return status;
}
