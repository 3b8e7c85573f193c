#include "host/ntfs/ReadOnlyVolume.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/ntfs/MountSafety.h"
#include "host/ntfs/MoveJournal.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"

namespace host {

std::unique_ptr<ReadOnlyVolume> ReadOnlyVolume::Open(const std::string& device, const std::string& verb,
                                                     std::string* error) {
  const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + device + ": " + std::strerror(errno);
    return nullptr;
  }
  const std::string shortDevice = HasNtfsSignature(fd) ? CheckDeviceHoldsVolume(fd) : "";
  if (!shortDevice.empty()) {
    close(fd);
    *error = "cannot " + verb + " " + device + ": " + shortDevice;
    return nullptr;
  }
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    close(fd);
    *error = "cannot " + verb + " " + device + ": it is mounted by this or another process";
    return nullptr;
  }
  // The volume's metadata is half old, half new until the interrupted move is rolled back, which writes.
  std::string journalError;
  const std::string journal = MoveJournal::PathFor(device, fd, &journalError);
  MoveJournal::Unfinished unfinished;
  if (!journal.empty() && MoveJournal::ReadUnfinished(journal, &unfinished)) {
    close(fd);
    *error = "cannot " + verb + " " + device + ": a move on it was interrupted (" + journal +
             "); roll it back with: spindraxel check --repair " + device;
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = ntfs_mount(device.c_str(), NTFS_MNT_RDONLY);
  if (vol == nullptr) {
    *error = "cannot mount " + device + " read-only: " + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  ntfs_set_ignore_case(vol);
  return std::unique_ptr<ReadOnlyVolume>(new ReadOnlyVolume(vol, fd));
}

ReadOnlyVolume::~ReadOnlyVolume() {
  {
    std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
    ntfs_umount(vol_, FALSE);
  }
  close(lockFd_);
}

}  // namespace host
