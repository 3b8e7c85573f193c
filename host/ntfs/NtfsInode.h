// Inodes and attributes of libntfs-3g as owned objects, shared by the parts of NtfsVolume. Internal to the host
// platform; include after host/NtfsLib.h's C++ prerequisites, as that header asks.
#pragma once

#include <memory>

#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"

namespace host {

struct InodeCloser {
  void operator()(ntfs_inode* inode) const { ntfs_inode_close(inode); }
};
using UniqueInode = std::unique_ptr<ntfs_inode, InodeCloser>;

struct AttrCloser {
  void operator()(ntfs_attr* attr) const { ntfs_attr_close(attr); }
};
using UniqueAttr = std::unique_ptr<ntfs_attr, AttrCloser>;

inline bool IsDirectory(const ntfs_inode* inode) { return (inode->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0; }

// $MFT, $Bitmap, $LogFile and the rest: the mounted library caches their layout, and Windows refuses to change
// them through file calls.
inline bool IsMetadataRecord(uint64_t mftRef) { return MREF(mftRef) < FILE_first_user; }

// Opens record `mftRef` as the file it named when the reference was handed out: STATUS_FILE_DELETED when the
// record was freed or reused since.
inline NTSTATUS OpenRecord(ntfs_volume* vol, uint64_t mftRef, UniqueInode* inode) {
  ntfs_inode* opened = ntfs_inode_open(vol, MREF(mftRef));
  if (opened == nullptr) return errno == ENOENT ? STATUS_FILE_DELETED : StatusFromErrno(errno);
  UniqueInode owned(opened);
  // The library ignores sequence numbers, so without this a stale reference would reach the file that reused the
  // record. A reference without one (a bare record number) is taken as given.
  const uint16_t sequence = MSEQNO(mftRef);
  if (sequence != 0 && sequence != le16_to_cpu(opened->mrec->sequence_number)) return STATUS_FILE_DELETED;
  *inode = std::move(owned);
  return STATUS_SUCCESS;
}

// The one open stream that the cluster calls keep between calls (see NtfsVolume): the unnamed data stream of a
// file, its runlist mapped whole.
struct NtfsVolume::CachedStream {
  uint64_t mftRef = 0;
  UniqueInode inode;
  UniqueAttr attr;      // declared after the inode, so closed before it
  size_t runCount = 0;  // elements of attr->rl before its terminator
};

// The file that Write last wrote, kept open for the next write (log lines come one at a time): its record is
// written when it is closed or synced, not after every line.
struct NtfsVolume::WrittenFile {
  uint64_t mftRef = 0;  // with the record's sequence number
  UniqueInode inode;
  UniqueAttr data;  // declared after the inode, so closed before it
};

}  // namespace host
