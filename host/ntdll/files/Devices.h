// The \Device directory of the host's object namespace, as the file calls reach it. NtCreateFile hands every name
// under \Device\ here, and NtReadFile and NtCancelIoFile hand every device handle; everything else is a file on a
// drive. The keyboard class device is the only device there is.
#pragma once

#include <memory>

#include "host/ntdll/objects/Objects.h"

namespace host {

// An open device: what NtReadFile and NtCancelIoFile do on its handles.
struct DeviceObject : Object {
  DeviceObject() : Object(ObjectType::Device) {}
  // The read after NtReadFile has found the handle. Returns STATUS_PENDING when the read completes later; the
  // status block and `event` then say when and how.
  virtual NTSTATUS Read(HANDLE event, IO_STATUS_BLOCK* ioStatus, PVOID buffer, ULONG length) = 0;
  // Completes the calling thread's pending requests on this handle as cancelled, before returning.
  virtual void CancelIo() = 0;
};

// False when `attributes` names nothing under \Device\, so that the name is the file calls' to resolve. Otherwise
// true, with the outcome in *status: the device, or STATUS_OBJECT_NAME_NOT_FOUND for a name \Device does not hold
// and STATUS_OBJECT_PATH_NOT_FOUND for a path through one, as the object manager answers.
bool OpenDevice(const OBJECT_ATTRIBUTES* attributes, ACCESS_MASK access, ULONG options,
                std::shared_ptr<DeviceObject>* device, NTSTATUS* status);

// The device `handle` names, or null when it names something else.
std::shared_ptr<DeviceObject> LookupDevice(HANDLE handle);

}  // namespace host
