#include "host/ntfs/VolumeDevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "host/ntfs/NtfsLib.h"

namespace host {
namespace {

constexpr int64_t kBlock = static_cast<int64_t>(MoveJournal::kBlockSize);

std::atomic<DeviceObserver*> g_observer{nullptr};

VolumeDevice* Of(ntfs_device* dev) { return static_cast<VolumeDevice*>(dev->d_private); }

// Copies what `source` holds of the device bytes where its range [sourceOffset, + sourceLength) and the target's
// [targetOffset, + targetLength) overlap, if they do.
void CopyOverlap(uint8_t* target, int64_t targetOffset, int64_t targetLength, const uint8_t* source,
                 int64_t sourceOffset, int64_t sourceLength) {
  const int64_t from = std::max(targetOffset, sourceOffset);
  const int64_t to = std::min(targetOffset + targetLength, sourceOffset + sourceLength);
  if (from < to) {
    std::memcpy(target + (from - targetOffset), source + (from - sourceOffset), static_cast<size_t>(to - from));
  }
}

// The library's device operations over a VolumeDevice. The descriptor is the one the mount holds its lock on, so
// opening and closing only track the library's view.
int DeviceOpen(ntfs_device* dev, int flags) {
  if (NDevOpen(dev)) {
    errno = EBUSY;
    return -1;
  }
  if ((flags & O_ACCMODE) == O_RDONLY) NDevSetReadOnly(dev);
  if (Of(dev)->IsBlockDevice()) NDevSetBlock(dev);
  NDevSetOpen(dev);
  return 0;
}

int DeviceClose(ntfs_device* dev) {
  const int result = NDevDirty(dev) ? Of(dev)->Sync() : 0;
  NDevClearOpen(dev);
  return result;
}

s64 DeviceSeek(ntfs_device* dev, s64 offset, int whence) { return lseek(Of(dev)->Fd(), offset, whence); }

s64 DeviceRead(ntfs_device* dev, void* buffer, s64 count) {
  const off_t at = lseek(Of(dev)->Fd(), 0, SEEK_CUR);
  const s64 got = at < 0 ? -1 : Of(dev)->Read(buffer, count, at);
  if (got > 0) lseek(Of(dev)->Fd(), at + got, SEEK_SET);
  return got;
}

s64 DeviceWrite(ntfs_device* dev, const void* buffer, s64 count) {
  const off_t at = lseek(Of(dev)->Fd(), 0, SEEK_CUR);
  const s64 wrote = at < 0 ? -1 : Of(dev)->Write(buffer, count, at);
  if (wrote > 0) lseek(Of(dev)->Fd(), at + wrote, SEEK_SET);
  return wrote;
}

s64 DevicePread(ntfs_device* dev, void* buffer, s64 count, s64 offset) { return Of(dev)->Read(buffer, count, offset); }

s64 DevicePwrite(ntfs_device* dev, const void* buffer, s64 count, s64 offset) {
  return Of(dev)->Write(buffer, count, offset);
}

int DeviceSync(ntfs_device* dev) {
  if (Of(dev)->Sync() != 0) return -1;
  NDevClearDirty(dev);
  return 0;
}

int DeviceStat(ntfs_device* dev, struct stat* info) { return fstat(Of(dev)->Fd(), info); }

int DeviceIoctl(ntfs_device* dev, unsigned long request, void* argument) {
  return ioctl(Of(dev)->Fd(), request, argument);
}

ntfs_device_operations g_operations = {DeviceOpen,  DeviceClose,  DeviceSeek, DeviceRead, DeviceWrite,
                                       DevicePread, DevicePwrite, DeviceSync, DeviceStat, DeviceIoctl};

}  // namespace

void SetDeviceObserver(DeviceObserver* observer) { g_observer.store(observer); }
DeviceObserver* CurrentDeviceObserver() { return g_observer.load(); }

ntfs_device* VolumeDevice::NewLibraryDevice(const std::string& name) {
  return ntfs_device_alloc(name.c_str(), 0, &g_operations, this);
}

void VolumeDevice::RemoveJournal() {
  if (!broken_) journal_.Remove();
}

int VolumeDevice::Fail(int error) {
  if (firstWriteError_ == 0) firstWriteError_ = error;
  return error;
}

bool VolumeDevice::WriteThrough(const void* buffer, size_t count, int64_t offset) {
  int error = 0;
  if (DeviceObserver* observer = CurrentDeviceObserver()) {
    error = observer->Writing(DeviceObserver::File::kDevice, offset, buffer, count);
  }
  if (error == 0 && WriteAll(fd_, offset, buffer, count)) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const int64_t end = offset + static_cast<int64_t>(count);
    for (int64_t number = offset / kPage; number * kPage < end; ++number) {
      auto page = pages_.find(number);
      if (page != pages_.end()) CopyOverlap(page->second->data(), number * kPage, kPage, bytes, offset, end - offset);
    }
    UpdatePinned(buffer, static_cast<int64_t>(count), offset);
    return true;
  }
  errno = Fail(error != 0 ? error : errno);
  pages_.clear();
  pageOrder_.clear();
  nextEvicted_ = 0;
  // What a failed write left on the device is unknown: pinned bytes it touched are read from the device again.
  const int64_t end = offset + static_cast<int64_t>(count);
  pinned_.erase(std::remove_if(pinned_.begin(), pinned_.end(),
                               [&](const PinnedRange& range) {
                                 return offset < range.offset + static_cast<int64_t>(range.bytes.size()) &&
                                        range.offset < end;
                               }),
                pinned_.end());
  return false;
}

bool VolumeDevice::WriteData(const void* buffer, size_t count, int64_t offset) {
  if (broken_) {
    errno = EIO;
    return false;
  }
  if (!WriteThrough(buffer, count, offset)) return false;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const int64_t end = offset + static_cast<int64_t>(count);
  for (auto it = staged_.lower_bound(offset / kBlock); it != staged_.end() && it->first * kBlock < end; ++it) {
    CopyOverlap(it->second.after.data(), it->first * kBlock, kBlock, bytes, offset, end - offset);
  }
  return true;
}

int VolumeDevice::SyncThrough() {
  if (!flushes_) return 0;
  if (fsync(fd_) != 0) return Fail(errno);
  if (DeviceObserver* observer = CurrentDeviceObserver()) observer->Synced(DeviceObserver::File::kDevice);
  return 0;
}

bool VolumeDevice::AllStaged(int64_t first, int64_t last) const {
  auto next = staged_.lower_bound(first);
  for (int64_t number = first; number <= last; ++number, ++next) {
    if (next == staged_.end() || next->first != number) return false;
  }
  return true;
}

bool VolumeDevice::Pin(int64_t offset, size_t length) {
  PinnedRange range{offset, std::vector<uint8_t>(length)};
  if (Read(range.bytes.data(), static_cast<int64_t>(length), offset) != static_cast<int64_t>(length)) return false;
  pinned_.push_back(std::move(range));
  return true;
}

void VolumeDevice::UpdatePinned(const void* buffer, int64_t count, int64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  for (PinnedRange& range : pinned_) {
    CopyOverlap(range.bytes.data(), range.offset, static_cast<int64_t>(range.bytes.size()), bytes, offset, count);
  }
}

const VolumeDevice::Page* VolumeDevice::CachedPage(int64_t number) {
  if (auto page = pages_.find(number); page != pages_.end()) return page->second.get();
  auto page = std::make_unique<Page>();
  if (pread(fd_, page->data(), kPage, number * kPage) != kPage) return nullptr;
  if (pageOrder_.size() < kCachedPages) {
    pageOrder_.push_back(number);
  } else {
    pages_.erase(pageOrder_[nextEvicted_]);
    pageOrder_[nextEvicted_] = number;
    nextEvicted_ = (nextEvicted_ + 1) % kCachedPages;
  }
  return pages_.emplace(number, std::move(page)).first->second.get();
}

int64_t VolumeDevice::ReadPages(uint8_t* buffer, int64_t count, int64_t offset) {
  for (int64_t number = offset / kPage; number * kPage < offset + count; ++number) {
    const Page* page = CachedPage(number);
    // A page past the end of the device, or one that does not read, is left to pread to answer.
    if (page == nullptr) return pread(fd_, buffer, static_cast<size_t>(count), static_cast<off_t>(offset));
    CopyOverlap(buffer, offset, count, page->data(), number * kPage, kPage);
  }
  return count;
}

int64_t VolumeDevice::Read(void* buffer, int64_t count, int64_t offset, bool cache) {
  for (const PinnedRange& range : pinned_) {
    if (count > 0 && offset >= range.offset &&
        offset + count <= range.offset + static_cast<int64_t>(range.bytes.size())) {
      std::memcpy(buffer, range.bytes.data() + (offset - range.offset), static_cast<size_t>(count));
      return count;
    }
  }
  // Staged writes are what the library last wrote there; a read they cover whole needs no device read (the bitmap
  // and MFT records a group of moves keeps changing).
  const bool covered = count > 0 && !staged_.empty() && AllStaged(offset / kBlock, (offset + count - 1) / kBlock);
  int64_t got = count;
  if (!covered && cache && count <= kCachedReadBytes) {
    got = ReadPages(static_cast<uint8_t*>(buffer), count, offset);
  } else if (!covered) {
    got = pread(fd_, buffer, static_cast<size_t>(count), static_cast<off_t>(offset));
  }
  if (got <= 0 || staged_.empty()) return got;
  auto* bytes = static_cast<uint8_t*>(buffer);
  const int64_t end = offset + got;
  for (auto it = staged_.lower_bound(offset / kBlock); it != staged_.end() && it->first * kBlock < end; ++it) {
    CopyOverlap(bytes, offset, got, it->second.after.data(), it->first * kBlock, kBlock);
  }
  return got;
}

int64_t VolumeDevice::Write(const void* buffer, int64_t count, int64_t offset) {
  if (broken_) {
    errno = EIO;
    return -1;
  }
  if (!staging_) return WriteThrough(buffer, static_cast<size_t>(count), offset) ? count : -1;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const int64_t first = offset / kBlock, last = (offset + count - 1) / kBlock;
  // The blocks' old bytes in one read (a move's data staged here spans many blocks).
  std::unique_ptr<uint8_t[]> old;
  if (!AllStaged(first, last)) {
    const size_t length = static_cast<size_t>((last - first + 1) * kBlock);
    old.reset(new uint8_t[length]);  // read whole below
    if (pread(fd_, old.get(), length, first * kBlock) != static_cast<ssize_t>(length)) {
      errno = EIO;
      return -1;
    }
  }
  auto hint = staged_.lower_bound(first);
  for (int64_t number = first; number <= last; ++number) {
    const int64_t from = std::max(offset, number * kBlock);
    const int64_t to = std::min(offset + count, (number + 1) * kBlock);
    auto it = hint != staged_.end() && hint->first == number ? hint : staged_.find(number);
    if (it == staged_.end()) {
      it = staged_.emplace_hint(hint, std::piecewise_construct, std::forward_as_tuple(number), std::forward_as_tuple());
      Block& block = it->second;
      std::memcpy(block.before.data(), old.get() + (number - first) * kBlock, kBlock);
      // The bytes written below replace a whole block's.
      if (to - from < kBlock) block.after = block.before;
    }
    hint = std::next(it);
    std::memcpy(it->second.after.data() + (from - number * kBlock), bytes + (from - offset),
                static_cast<size_t>(to - from));
  }
  UpdatePinned(buffer, count, offset);
  return count;
}

int VolumeDevice::Sync() {
  if (broken_) {
    errno = EIO;
    return -1;
  }
  // A sync inside a move waits for its commit, which syncs.
  if (staging_) return 0;
  const int error = SyncThrough();
  errno = error;
  return error == 0 ? 0 : -1;
}

void VolumeDevice::BeginStaging(uint64_t mftRef) {
  // A group of moves of several files is named as the volume's.
  stagedRecord_ = staging_ && stagedRecord_ != mftRef ? ~uint64_t{0} : mftRef;
  staging_ = true;
}

int VolumeDevice::Commit() {
  staging_ = false;
  if (staged_.empty() || broken_) {
    staged_.clear();
    return broken_ ? EIO : 0;
  }
  std::map<int64_t, Block> staged;
  staged.swap(staged_);
  auto fail = [this](int error) {
    broken_ = true;
    return Fail(error);
  };
  // No staged block reaches the device before the record of its old bytes is durable: until the record is
  // cleared, a crash rolls everything back to the old clusters, whose bytes nothing has written over (straight
  // writes go only to clusters free on the device). The moved data thus needs no flush of its own: the one after
  // the staged blocks makes it durable with them, before the record is cleared.
  std::vector<std::pair<int64_t, const uint8_t*>> before;
  for (const auto& [number, block] : staged) before.emplace_back(number * kBlock, block.before.data());
  if (const int error = journal_.Record(stagedRecord_, before)) return fail(Fail(error));
  // Neighbouring blocks go in one write each.
  std::vector<uint8_t> bytes;
  for (auto run = staged.begin(); run != staged.end();) {
    auto end = std::next(run);
    while (end != staged.end() && end->first == std::prev(end)->first + 1) ++end;
    bytes.resize(static_cast<size_t>(std::distance(run, end)) * MoveJournal::kBlockSize);
    uint8_t* at = bytes.data();
    for (auto it = run; it != end; ++it, at += kBlock) std::memcpy(at, it->second.after.data(), kBlock);
    if (!WriteThrough(bytes.data(), bytes.size(), run->first * kBlock)) return fail(errno);
    run = end;
  }
  if (const int error = SyncThrough()) return fail(error);
  if (const int error = journal_.Clear()) return fail(Fail(error));
  return 0;
}

}  // namespace host
