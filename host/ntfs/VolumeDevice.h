// The device under a read-write mount: the library's reads and writes of an image or partition, with the means to
// make a move's metadata writes atomic.
//
//   device.BeginStaging(mftRef);   // the library's writes are held back from here on; its reads see them
//   ... rewrite the runlist, set and clear bitmap bits ...
//   int error = device.Commit();   // old blocks journaled, writes applied, device synced, journal cleared
//
// After a failed Commit nothing more reaches the device (every write fails with EIO): the library's memory then
// holds metadata the device does not, and writing any of it could damage the volume. The first failed write of any
// kind is kept for the command to report.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/ntfs/MoveJournal.h"

struct ntfs_device;

namespace host {

class VolumeDevice {
 public:
  // Uses `fd`, open read-write and owned by the caller.
  VolumeDevice(int fd, bool isBlockDevice) : fd_(fd), isBlockDevice_(isBlockDevice) {}
  VolumeDevice(const VolumeDevice&) = delete;
  VolumeDevice& operator=(const VolumeDevice&) = delete;

  bool OpenJournal(const std::string& journalPath, std::string* error) { return journal_.Open(journalPath, error); }
  // Removes the journal file, when nothing is left to roll back.
  void RemoveJournal();

  // A library device over this one, for ntfs_device_mount (which takes it over: ntfs_umount frees it).
  ntfs_device* NewLibraryDevice(const std::string& name);

  // Whether commits flush (the default): without, a commit is safe against a killed process but not a power cut.
  void SetFlushes(bool flushes) {
    flushes_ = flushes;
    journal_.SetFlushes(flushes);
  }

  void BeginStaging(uint64_t mftRef);
  size_t StagedBytes() const { return staged_.size() * MoveJournal::kBlockSize; }
  // Makes the staged writes durable as one: 0, or the errno of the step that failed.
  int Commit();

  // Writes file data straight to the device, also while staging: for clusters free on the device, which no staged
  // metadata names yet. A staged block it overlaps takes the bytes too.
  bool WriteData(const void* buffer, size_t count, int64_t offset);

  // Keeps the device's bytes [offset, offset + length) in memory from now on: reads that fall inside are answered
  // from there, and every write keeps them current. For the volume bitmap, which every free-space search reads
  // whole. False when they cannot be read.
  bool Pin(int64_t offset, size_t length);

  // The errno of the first write or flush that failed; 0 when none did.
  int FirstWriteError() const { return firstWriteError_; }

  // What the library device's operations call. Reads of a few pages (MFT records, index blocks: a lookup by path
  // makes several) come from whole pages kept in memory, which every write to the device keeps current; `cache`
  // false reads around them (a move's data, read once).
  int64_t Read(void* buffer, int64_t count, int64_t offset, bool cache = true);
  int64_t Write(const void* buffer, int64_t count, int64_t offset);
  int Sync();
  int Fd() const { return fd_; }
  bool IsBlockDevice() const { return isBlockDevice_; }

 private:
  struct Block {
    std::array<uint8_t, MoveJournal::kBlockSize> before;
    std::array<uint8_t, MoveJournal::kBlockSize> after;
  };

  struct PinnedRange {
    int64_t offset;
    std::vector<uint8_t> bytes;  // as the library last wrote them, staged or not
  };

  static constexpr int64_t kPage = 4096;
  static constexpr int64_t kCachedReadBytes = 4 * kPage;  // reads up to this size go through cached pages
  static constexpr size_t kCachedPages = 8192;            // 32 MiB
  using Page = std::array<uint8_t, kPage>;

  bool WriteThrough(const void* buffer, size_t count, int64_t offset);
  void UpdatePinned(const void* buffer, int64_t count, int64_t offset);
  // The device's bytes [offset, offset + count) through cached pages, as pread answers.
  int64_t ReadPages(uint8_t* buffer, int64_t count, int64_t offset);
  const Page* CachedPage(int64_t number);
  // Whether blocks first..last are all staged.
  bool AllStaged(int64_t first, int64_t last) const;
  int SyncThrough();
  int Fail(int error);

  int fd_;
  bool isBlockDevice_;
  MoveJournal journal_;
  bool flushes_ = true;
  bool staging_ = false;
  bool broken_ = false;
  uint64_t stagedRecord_ = 0;
  std::map<int64_t, Block> staged_;  // by block number
  std::vector<PinnedRange> pinned_;
  std::unordered_map<int64_t, std::unique_ptr<Page>> pages_;  // device bytes, by page number
  std::vector<int64_t> pageOrder_;                            // the cached pages, the next to go at nextEvicted_
  size_t nextEvicted_ = 0;
  int firstWriteError_ = 0;
};

}  // namespace host
