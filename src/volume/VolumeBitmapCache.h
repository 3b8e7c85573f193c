// CVolumeBitmapCache: answers "is cluster n in use?" from one cached window of the volume's allocation bitmap,
// 524,288 clusters long. Clusters past the end of the volume, and (on request) the reserved zones, read as used,
// so a free-space search never proposes them; so does a cluster asked about while its window cannot be read, and
// the next question tries the read again.
#pragma once

#include <memory>
#include <vector>

#include "platform/NativeApi.h"

class CVolume;

class CVolumeBitmapCache {
 public:
  static constexpr LONGLONG kWindowClusters = 0x80000;
  static constexpr ULONG kBitmapBufferSize = 0x1001B;  // header, one window of bits, spare bytes

  CVolumeBitmapCache(std::shared_ptr<CVolume> volume, bool markReservedZones);
  CVolumeBitmapCache(const CVolumeBitmapCache&) = delete;
  CVolumeBitmapCache& operator=(const CVolumeBitmapCache&) = delete;

  // Makes the window cover `lcn` unless it already does and is not stale. 0 on success; an error status of the
  // bitmap request is logged and returned, leaving the cache as it was.
  NTSTATUS ReloadFromCluster(LONGLONG lcn);
  bool IsClusterUsed(LONGLONG lcn);
  // The next question reads the window again: the allocation has changed.
  void Invalidate() { stale_ = true; }

  // Whether the last reload asked the file system and failed.
  bool LastReadFailed() const { return lastReadFailed_; }

  // Whether the current window holds `lcn` on the volume (false while stale, after a failed read, past the end).
  bool Covers(LONGLONG lcn) const {
    LONGLONG start = GetWindowStart();
    return !stale_ && start <= lcn && lcn - start < windowClusters_;
  }

  // The window as it stands, for the free-space searches that scan it a word at a time: the first cluster, the
  // clusters of it on the volume, and its bits (least significant first; set means used).
  LONGLONG GetWindowStart() const;
  LONGLONG GetWindowClusters() const { return windowClusters_; }
  const UCHAR* GetWindowBits() const;

 private:
  void MarkReservedZones();
  void SetBits(LONGLONG from, LONGLONG to);
  VOLUME_BITMAP_BUFFER* Header() { return reinterpret_cast<VOLUME_BITMAP_BUFFER*>(buffer_.data()); }

  std::shared_ptr<CVolume> volume_;
  // 64-bit elements keep the header and the bits aligned for word-wise access.
  std::vector<ULONGLONG> buffer_;
  bool stale_ = true;
  bool lastReadFailed_ = false;
  LONGLONG windowClusters_ = 0;
  const bool markReservedZones_;
};
