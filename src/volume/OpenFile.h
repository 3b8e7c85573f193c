// OpenFile: the one routine through which the program opens files and volumes by native path, case-insensitively
// and with a kernel handle.
#pragma once

#include "platform/NativeApi.h"

// NtCreateFile on the zero-terminated native `path`; the other arguments pass through unchanged. On failure the
// handle is left null. Returns the status of NtCreateFile.
NTSTATUS OpenFile(const WCHAR* path, HANDLE* handle, ACCESS_MASK desiredAccess, ULONG fileAttributes, ULONG shareAccess,
                  ULONG createDisposition, ULONG createOptions);
