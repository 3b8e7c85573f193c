#include "volume/VolumeBitmapCache.h"

#include "log/Logger.h"
#include "volume/Volume.h"

CVolumeBitmapCache::CVolumeBitmapCache(std::shared_ptr<CVolume> volume, bool markReservedZones)
    : volume_(std::move(volume)),
      buffer_((kBitmapBufferSize + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG)),
      markReservedZones_(markReservedZones) {}

LONGLONG CVolumeBitmapCache::GetWindowStart() const {
  return reinterpret_cast<const VOLUME_BITMAP_BUFFER*>(buffer_.data())->StartingLcn.QuadPart;
}

const UCHAR* CVolumeBitmapCache::GetWindowBits() const {
  return reinterpret_cast<const VOLUME_BITMAP_BUFFER*>(buffer_.data())->Buffer;
}

NTSTATUS CVolumeBitmapCache::ReloadFromCluster(LONGLONG lcn) {
  SX_LOG_FUNCTION("CVolumeBitmapCache::ReloadFromCluster");
  if (Covers(lcn)) return STATUS_SUCCESS;

  STARTING_LCN_INPUT_BUFFER input{};
  input.StartingLcn.QuadPart = lcn & ~(kWindowClusters - 1);
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = NtFsControlFile(volume_->GetHandle(), nullptr, nullptr, nullptr, &ioStatus, FSCTL_GET_VOLUME_BITMAP,
                                    &input, sizeof input, Header(), kBitmapBufferSize);
  lastReadFailed_ = NT_ERROR(status);
  if (lastReadFailed_) {
    SX_LOG(1, "NtFsControlFile error. Code: 0x%x", status);
    return status;
  }
  stale_ = false;
  LONGLONG size = Header()->BitmapSize.QuadPart;
  windowClusters_ = size < 0 ? 0 : (size < kWindowClusters ? size : kWindowClusters);
  if (windowClusters_ < kWindowClusters) SetBits(windowClusters_, kWindowClusters);
  if (markReservedZones_) MarkReservedZones();
  return STATUS_SUCCESS;
}

void CVolumeBitmapCache::MarkReservedZones() {
  const LONGLONG start = GetWindowStart();
  for (const SReservedZone& zone : volume_->GetReservedZones()) {
    if (zone.Start >= zone.End) continue;
    LONGLONG from = zone.Start - start;
    LONGLONG to = zone.End - start;
    if (to <= 0 || from >= windowClusters_) continue;
    SetBits(from < 0 ? 0 : from, to < windowClusters_ ? to : windowClusters_);
  }
}

void CVolumeBitmapCache::SetBits(LONGLONG from, LONGLONG to) {
  UCHAR* bytes = Header()->Buffer;
  // Single bits up to a byte boundary, whole bytes at once, then the bits of the last partial byte.
  for (; from < to && from % 8 != 0; ++from) bytes[from / 8] |= static_cast<UCHAR>(1u << (from % 8));
  const LONGLONG wholeBytes = (to - from) / 8;
  if (wholeBytes > 0) memset(bytes + from / 8, 0xFF, static_cast<size_t>(wholeBytes));
  for (from += wholeBytes * 8; from < to; ++from) bytes[from / 8] |= static_cast<UCHAR>(1u << (from % 8));
}

bool CVolumeBitmapCache::IsClusterUsed(LONGLONG lcn) {
  SX_LOG_FUNCTION("CVolumeBitmapCache::IsClusterUsed");
  NTSTATUS status = ReloadFromCluster(lcn);
  if (NT_ERROR(status)) {
    SX_LOG(1, "Error occured while reloading from cluster %I64d. Marking cluster as used", lcn);
    return true;
  }
  if (!Covers(lcn)) return true;
  LONGLONG offset = lcn - GetWindowStart();
  return (GetWindowBits()[offset / 8] >> (offset % 8)) & 1;
}
