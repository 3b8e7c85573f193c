// Drives backed by a folder of the host (`--drive L=/var/log/spindraxel`): the program's files there are the
// host's own, for logs that must not go into the volume being defragmented. Files and folders only: the volume
// controls answer STATUS_INVALID_DEVICE_REQUEST. Names match without regard to case, as on NTFS.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ntfs/NtfsVolume.h"
#include "platform/NativeApi.h"

namespace host {

struct FolderEntry {
  int fd = -1;
  bool isDirectory = false;
  uint64_t id = 0;  // the host's inode: who has the same file open, for sharing checks
};

// Opens or creates `path` (volume-relative, '\'-separated, empty for the folder itself) in `folder` as
// NtCreateFile would with `disposition` and `options`; *information is FILE_OPENED or FILE_CREATED. An existing
// file is not emptied here: that waits until the sharing checks have let the open through.
NTSTATUS OpenInFolder(const std::string& folder, const std::u16string& path, bool trailingBackslash,
                      ACCESS_MASK access, ULONG disposition, ULONG options, FolderEntry* entry,
                      ULONG_PTR* information);

// Writes all `length` bytes at *offset, or at the end of the file with `atEnd` (*offset then says where).
NTSTATUS WriteInFolder(int fd, bool atEnd, const void* buffer, ULONG length, uint64_t* offset);

// Removes `path` from `folder` (a file, or an empty folder).
NTSTATUS RemoveInFolder(const std::string& folder, const std::u16string& path);

// The folder open as `fd`, listed as NTFS lists a directory: "." and ".." first unless `isRoot` (the drive's own
// folder), then every name in the order of its upper-case spelling. Files are archived, read-only without write
// permission; what cannot be examined (a dangling link) is left out.
NTSTATUS ListFolder(int fd, bool isRoot, std::vector<NtfsVolume::DirectoryEntry>* entries);

// `name` in upper case as names compare on these drives: letters A to Z only.
std::u16string UpcaseInFolder(std::u16string name);


}  // namespace host
