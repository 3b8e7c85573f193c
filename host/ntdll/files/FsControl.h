// The NTFS file-system controls of NtFsControlFile on image drives, with the buffer layouts of NativeApi.h and
// the statuses NTFS gives on Windows. Internal to the host platform: Files.cpp resolves handles and holds the
// drive's lock around each call.
//
// Common to all four: a null buffer with a nonzero length is STATUS_ACCESS_VIOLATION (the I/O manager's probe), an
// input shorter than its structure STATUS_INVALID_PARAMETER, a handle of the wrong kind (a file where a volume is
// needed or the reverse) STATUS_INVALID_PARAMETER, and an unknown code STATUS_INVALID_DEVICE_REQUEST. Each control
// runs inside its own TraceCall ("FSCTL_MOVE_FILE", ...), so faults can be injected per control.
#pragma once

#include <cstdint>
#include <string>

#include "platform/NativeApi.h"

namespace host {

class NtfsVolume;

// What a handle given to a control names.
struct FsControlTarget {
  NtfsVolume* volume = nullptr;  // the drive's volume; set only for the handle the control was called on
  char drive = 0;
  bool isVolume = false;
  uint64_t mftRef = 0;  // of a file or directory
  std::u16string path;  // volume-relative, as it was opened
};

// What `handle` names, for a handle passed inside an input buffer (MOVE_FILE_DATA.FileHandle).
// STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH as for any call taking a file handle.
NTSTATUS DescribeFileHandle(HANDLE handle, FsControlTarget* target);

// Runs control `code` on `target`. *information is the number of bytes written to `output`, also for
// STATUS_BUFFER_OVERFLOW.
//
// FSCTL_GET_NTFS_VOLUME_DATA (volume): 96 bytes of NTFS_VOLUME_DATA_BUFFER, with the test overrides applied;
//   STATUS_BUFFER_TOO_SMALL for less room.
// FSCTL_GET_VOLUME_BITMAP (volume, STARTING_LCN_INPUT_BUFFER): from StartingLcn rounded down to a multiple of 8;
//   BitmapSize counts the clusters from there to the end of the volume. STATUS_BUFFER_OVERFLOW with the whole
//   bytes that fit, STATUS_BUFFER_TOO_SMALL when not even the 16-byte header does, STATUS_INVALID_PARAMETER for a
//   StartingLcn that is negative or not inside the volume.
// FSCTL_GET_RETRIEVAL_POINTERS (file or directory, STARTING_VCN_INPUT_BUFFER): the extents from the one holding
//   StartingVcn (the answer's StartingVcn is that extent's start); Lcn -1 for holes. STATUS_END_OF_FILE for a
//   resident stream or StartingVcn at or past the allocation, STATUS_BUFFER_OVERFLOW when more extents remain,
//   STATUS_BUFFER_TOO_SMALL when not even one fits.
// FSCTL_MOVE_FILE (volume, MOVE_FILE_DATA naming a file on the same volume): see NtfsVolume::MoveClusters; also
//   STATUS_INVALID_PARAMETER for a target range past the end of the volume, and the test overrides' refusals and
//   redirections.
NTSTATUS RunFsControl(const FsControlTarget& target, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                      ULONG outputLength, ULONG_PTR* information);

}  // namespace host
