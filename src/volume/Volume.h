// CVolume: one NTFS volume opened by its native device path (\??\C:): its handle, its size in clusters, the
// cluster ranges no file may be moved into (the MFT zone), and its drive letter.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/NativeApi.h"
#include "volume/FreeSpaceIndex.h"

// A half-open cluster range [Start, End) inside the volume; Start == End covers nothing.
struct SReservedZone {
  LONGLONG Start;
  LONGLONG End;
};

class CVolume {
 public:
  CVolume() = default;
  ~CVolume();
  CVolume(const CVolume&) = delete;
  CVolume& operator=(const CVolume&) = delete;

  // Opens the volume at `path` (six characters, \??\X:), learns its cluster count and MFT zone. True when both
  // queries succeeded; the drive letter is taken from the path whatever happened.
  bool Initialize(const WCHAR* path);

  LONGLONG GetTotalClusters() const { return totalClusters_; }
  HANDLE GetHandle() const { return handle_; }
  const std::vector<SReservedZone>& GetReservedZones() const { return reservedZones_; }
  WCHAR GetDriveLetter() const { return driveLetter_; }
  const std::u16string& GetPath() const { return path_; }
  // What the free-space searches remember of the bitmap between two searches.
  CFreeSpaceIndex& GetFreeSpaceIndex() { return freeSpaceIndex_; }

 private:
  NTSTATUS QueryTotalClusters();
  // Appends the MFT zone, clamped into the volume, to `zones`.
  NTSTATUS GetVolumeInfo(std::vector<SReservedZone>& zones);

  std::u16string path_;
  HANDLE handle_ = nullptr;
  LONGLONG totalClusters_ = 0;
  std::vector<SReservedZone> reservedZones_;
  WCHAR driveLetter_ = 0;
  CFreeSpaceIndex freeSpaceIndex_;
};

// Flushes the volume's buffers through a second, writable handle, with hard-error pop-ups off meanwhile. Every
// failure is logged; the result is that of restoring the hard-error mode.
NTSTATUS FlushBuffers(std::shared_ptr<CVolume> volume);
