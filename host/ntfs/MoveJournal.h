// The undo journal of cluster moves. Before a move writes the metadata that switches a file to its new clusters
// (the runlist in one or several MFT records, an attribute list, the bitmap), the device blocks it will overwrite
// are stored here and flushed; once the new metadata is on the device, the record is cleared. A record still set
// when the volume is next opened read-write means the move was cut off between the two: writing the stored blocks
// back returns the volume to its state before that move, the file on its old clusters (never freed) and the target
// clusters free again.
//
// Beside an image file as IMAGE.sxjournal; for a block device, in the state folder ($SPINDRAXEL_STATE_DIR, else
// $XDG_STATE_HOME/spindraxel, else ~/.local/state/spindraxel) as volume-SERIAL.sxjournal.
//
// A record is one write: a header with a checksum over the whole record, then (offset, block) pairs. A record that
// did not reach the disk whole fails its checksum and counts as none: nothing was written to the device after it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/ntfs/DeviceObserver.h"

namespace host {

// Writes all of `data` at `offset` of `fd`; false with errno set when a write fails (ENOSPC when one writes nothing).
bool WriteAll(int fd, int64_t offset, const void* data, size_t length);

class MoveJournal {
 public:
  static constexpr size_t kBlockSize = 512;

  // The journal's path for `device`, open as `fd`; "" with *error when a block device's state folder cannot be
  // made.
  static std::string PathFor(const std::string& device, int fd, std::string* error);

  MoveJournal() = default;
  ~MoveJournal();
  MoveJournal(const MoveJournal&) = delete;
  MoveJournal& operator=(const MoveJournal&) = delete;

  // Opens the journal for a read-write mount, creating it.
  bool Open(const std::string& path, std::string* error);
  // Stores the blocks (`offset`, kBlockSize bytes each) that a move of record `mftRef` is about to overwrite, and
  // flushes them: from here on, a crash is rolled back. 0 or the errno of the failed write.
  int Record(uint64_t mftRef, const std::vector<std::pair<int64_t, const uint8_t*>>& blocks);
  // Clears the record once the move's writes are on the device, and flushes. 0 or an errno.
  int Clear();
  // Closes and removes the file: the volume was unmounted with nothing to roll back.
  void Remove();
  // Without flushes the record still protects against a killed process (the page cache keeps the order of
  // writes), not against a power cut.
  void SetFlushes(bool flushes) { flushes_ = flushes; }

  // A move that was cut off: the record it belonged to and the blocks to write back.
  struct Unfinished {
    uint64_t mftRef = 0;
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> blocks;
  };
  // True when `path` holds a complete record that was not cleared.
  static bool ReadUnfinished(const std::string& path, Unfinished* unfinished);
  // Writes an unfinished move's blocks back to the device `fd`, syncs it, and clears the record. *rolledBack tells
  // whether there was one (and *mftRef names its file's record). False with *error when the device or the journal
  // could not be written; the record then stays, to be rolled back next time.
  static bool RollBack(int fd, const std::string& path, bool* rolledBack, uint64_t* mftRef, std::string* error);

 private:
  int Write(int64_t offset, const void* data, size_t length);
  int Sync();

  int fd_ = -1;
  std::string path_;
  bool flushes_ = true;
  std::vector<uint8_t> record_;
};

}  // namespace host
