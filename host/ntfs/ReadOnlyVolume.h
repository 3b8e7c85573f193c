// An NTFS image or partition mounted read-only through libntfs-3g, for the offline tools that only look at a
// volume (the consistency check, the fragmentation analysis and the cluster map).
//
//   std::unique_ptr<host::ReadOnlyVolume> volume = host::ReadOnlyVolume::Open("disk.img", "check", &error);
//   std::lock_guard<std::recursive_mutex> lock(host::NtfsVolume::LibraryLock());
//   ntfs_volume* vol = volume->Raw();
//
// While open it holds a shared flock on the device: a read-write mount of this system (NtfsVolume takes an
// exclusive one) cannot start meanwhile, and Open refuses a device such a mount holds, or one with an interrupted move
// not yet rolled back (see MoveJournal). Names are matched without case, as Windows opens them.
#pragma once

#include <memory>
#include <string>

typedef struct _ntfs_volume ntfs_volume;

namespace host {

class ReadOnlyVolume {
 public:
  // On failure returns null with a one-line reason in *error; `verb` says what the caller meant to do
  // ("cannot check disk.img: it is mounted by this or another process").
  static std::unique_ptr<ReadOnlyVolume> Open(const std::string& device, const std::string& verb, std::string* error);
  ~ReadOnlyVolume();
  ReadOnlyVolume(const ReadOnlyVolume&) = delete;
  ReadOnlyVolume& operator=(const ReadOnlyVolume&) = delete;

  // The mounted library volume; use only while holding NtfsVolume::LibraryLock().
  ntfs_volume* Raw() const { return vol_; }

 private:
  ReadOnlyVolume(ntfs_volume* vol, int lockFd) : vol_(vol), lockFd_(lockFd) {}

  ntfs_volume* vol_;
  int lockFd_;
};

}  // namespace host
