// An NTFS image or partition mounted read-write through libntfs-3g: the storage under the host's file calls.
//
// Contract for callers:
// - Files are named between calls by their MFT reference (record number and sequence number, as Windows reports
//   in FileInternalInformation). No inode stays open between calls: the library keeps no single object per record,
//   and two open copies of one record overwrite each other's changes.
// - A reference whose record was deleted, or deleted and reused, answers STATUS_FILE_DELETED.
// - Every call takes LibraryLock(), so any thread may call; code that uses Raw() must hold it too.
// - Paths go through Lookup only. The library's own path helpers (ntfs_pathname_to_inode) keep a name cache
//   that this class does not maintain.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/NativeApi.h"

// The library's own name for its volume, declared so that this header need not include the library.
typedef struct _ntfs_volume ntfs_volume;

namespace host {

// The status NTFS on Windows gives for a failure that libntfs-3g reported as `error` (an errno value).
NTSTATUS StatusFromErrno(int error);

class NtfsVolume {
 public:
  // Mounts `device` (an image file or block device). On failure returns null and sets *error (when given) to one
  // line for a user: the file is missing, is not an NTFS volume, is already mounted, or the mount was refused.
  static std::unique_ptr<NtfsVolume> Mount(const std::string& device, std::string* error);
  // Unmounts; every change has reached the device afterwards.
  ~NtfsVolume();

  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  struct Node {
    uint64_t mftRef = 0;
    bool isDirectory = false;
    uint64_t size = 0;  // of the unnamed data stream; 0 for a directory
  };

  // Paths are volume-relative UTF-16 with backslash separators and no leading backslash; u"" is the root. Names
  // match regardless of case, as for a case-insensitive open on Windows.
  //
  // STATUS_OBJECT_NAME_INVALID: an empty, "." or ".." component, a name longer than 255, or a character NTFS
  //   refuses in Win32 names ("*/:<>?| and control characters); checked before anything is looked up.
  // STATUS_OBJECT_PATH_NOT_FOUND: a component before the last is missing or is not a directory.
  // STATUS_OBJECT_NAME_NOT_FOUND: only the last component is missing.
  NTSTATUS Lookup(const std::u16string& path, Node* node);
  // Creates an empty file or directory under the name exactly as given. STATUS_OBJECT_NAME_COLLISION when the name
  // exists in any case (the root included), STATUS_OBJECT_PATH_NOT_FOUND as for Lookup, STATUS_DISK_FULL when no
  // MFT record or cluster is left.
  NTSTATUS Create(const std::u16string& path, bool directory, Node* node);

  // Reads at most `length` bytes: fewer at the end of the file, none at or past it (still success; the caller
  // answers STATUS_END_OF_FILE). STATUS_INVALID_DEVICE_REQUEST on a directory.
  NTSTATUS Read(uint64_t mftRef, uint64_t offset, void* buffer, uint32_t length, uint32_t* bytesRead);
  // Writes all of `buffer`, extending the file as needed. A file that is not sparse stays so: a gap before
  // `offset` is allocated and reads as zeros, as on Windows. STATUS_INVALID_DEVICE_REQUEST on a directory,
  // STATUS_ACCESS_DENIED on the volume's own metadata files, STATUS_DISK_FULL when space runs out (the bytes
  // written before that stay).
  NTSTATUS Write(uint64_t mftRef, uint64_t offset, const void* buffer, uint32_t length);
  // Sets the end of file; growth allocates (sparse files grow by a hole) and reads as zeros.
  // STATUS_INVALID_PARAMETER on a directory.
  NTSTATUS SetSize(uint64_t mftRef, uint64_t size);
  NTSTATUS GetSize(uint64_t mftRef, uint64_t* size);  // 0 for a directory

  // Removes one name; the record goes once its last name is gone. STATUS_OBJECT_NAME_NOT_FOUND /
  // STATUS_OBJECT_PATH_NOT_FOUND as for Lookup, STATUS_DIRECTORY_NOT_EMPTY, STATUS_ACCESS_DENIED for the volume's
  // metadata files, STATUS_CANNOT_DELETE for the root.
  NTSTATUS Remove(const std::u16string& path);

  // Writes everything the library still holds (the metadata files it keeps open) and syncs the device.
  NTSTATUS Flush();

  // For the file-system controls: the mounted library volume. Use only while holding LibraryLock().
  ntfs_volume* Raw() { return vol_; }
  // The one process-wide lock around every libntfs-3g call: the library has no thread safety and shared state
  // across volumes, so one lock per volume would not do.
  std::recursive_mutex& LibraryLock();

  const std::string& Device() const { return device_; }

 private:
  NtfsVolume(ntfs_volume* vol, int lockFd, std::string device);

  ntfs_volume* vol_;
  int lockFd_;  // holds an exclusive flock on the device, so that no second mount writes it behind our back
  std::string device_;
};

}  // namespace host
