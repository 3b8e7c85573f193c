// What a test may watch, or break, in the writes of a read-write mount: every write and flush of the device and of
// its undo journal, in the order they happen. The crash-state test records them; fault injection fails them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

class DeviceObserver {
 public:
  enum class File { kDevice, kJournal };
  virtual ~DeviceObserver() = default;
  // Before a write reaches `file`: a non-zero errno fails it with that error, and nothing is written.
  virtual int Writing(File file, int64_t offset, const void* data, size_t length) = 0;
  // After a flush of `file` succeeded.
  virtual void Synced(File file) = 0;
};

// Process-wide, null for none; set before mounting and cleared after unmounting.
void SetDeviceObserver(DeviceObserver* observer);
DeviceObserver* CurrentDeviceObserver();

}  // namespace host
