#include "host/ntdll/files/FsControl.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "host/ntdll/faults/CallTrace.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/faults/FsOverrides.h"
#include "host/ntfs/NtfsVolume.h"

namespace host {
namespace {

std::atomic<uint64_t> g_clustersMoved{0};

constexpr ULONG kBitmapHeaderSize = offsetof(VOLUME_BITMAP_BUFFER, Buffer);          // 16
constexpr ULONG kPointersHeaderSize = offsetof(RETRIEVAL_POINTERS_BUFFER, Extents);  // 16
constexpr ULONG kExtentSize = sizeof(RETRIEVAL_POINTERS_BUFFER::Extents[0]);         // 16

// Caller buffers have no alignment promise, so every field goes through memcpy.
template <typename T>
T ReadInput(const void* input) {
  T value;
  std::memcpy(&value, input, sizeof value);
  return value;
}

void WriteInt64(void* output, size_t offset, int64_t value) {
  std::memcpy(static_cast<uint8_t*>(output) + offset, &value, sizeof value);
}

NTSTATUS GetNtfsVolumeData(const FsControlTarget& target, PVOID output, ULONG outputLength, ULONG_PTR* information) {
  if (!target.isVolume) return STATUS_INVALID_PARAMETER;
  if (outputLength < sizeof(NTFS_VOLUME_DATA_BUFFER)) return STATUS_BUFFER_TOO_SMALL;
  NTFS_VOLUME_DATA_BUFFER data;
  const NTSTATUS status = target.volume->GetVolumeData(&data);
  if (!NT_SUCCESS(status)) return status;
  ApplyVolumeDataOverrides(target.drive, &data);
  std::memcpy(output, &data, sizeof data);
  *information = sizeof data;
  return STATUS_SUCCESS;
}

NTSTATUS GetVolumeBitmap(const FsControlTarget& target, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength, ULONG_PTR* information) {
  if (!target.isVolume || inputLength < sizeof(STARTING_LCN_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
  if (outputLength < kBitmapHeaderSize) return STATUS_BUFFER_TOO_SMALL;
  const int64_t total = target.volume->TotalClusters();
  const int64_t asked = ReadInput<STARTING_LCN_INPUT_BUFFER>(input).StartingLcn.QuadPart;
  if (asked < 0 || asked >= total) return STATUS_INVALID_PARAMETER;
  const int64_t start = asked & ~(NtfsStrict() ? kStrictBitmapAlignment - 1 : int64_t{7});
  const int64_t clusters = total - start;
  const uint64_t wanted = static_cast<uint64_t>((clusters + 7) / 8);
  const size_t room = outputLength - kBitmapHeaderSize;
  const size_t bytes = static_cast<size_t>(std::min<uint64_t>(wanted, room));

  WriteInt64(output, offsetof(VOLUME_BITMAP_BUFFER, StartingLcn), start);
  WriteInt64(output, offsetof(VOLUME_BITMAP_BUFFER, BitmapSize), clusters);
  if (bytes != 0) {
    const NTSTATUS status = target.volume->ReadBitmap(start, bytes, static_cast<uint8_t*>(output) + kBitmapHeaderSize);
    if (!NT_SUCCESS(status)) return status;
  }
  *information = kBitmapHeaderSize + bytes;
  return bytes < wanted ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// The runs of an overridden file from the one holding `vcn`, as NtfsVolume::GetRuns gives real ones.
NTSTATUS OverriddenRuns(const std::vector<OverrideExtent>& extents, int64_t vcn, size_t maxRuns,
                        std::vector<NtfsVolume::Run>* runs, bool* more) {
  runs->clear();
  *more = false;
  int64_t start = 0;
  for (const OverrideExtent& extent : extents) {
    if (extent.nextVcn > vcn || !runs->empty()) {
      if (runs->size() == maxRuns) {
        *more = true;
        break;
      }
      runs->push_back(NtfsVolume::Run{start, extent.lcn, extent.nextVcn - start});
    }
    start = extent.nextVcn;
  }
  return runs->empty() ? STATUS_END_OF_FILE : STATUS_SUCCESS;
}

NTSTATUS GetRetrievalPointers(const FsControlTarget& target, PVOID input, ULONG inputLength, PVOID output,
                              ULONG outputLength, ULONG_PTR* information) {
  if (target.isVolume || inputLength < sizeof(STARTING_VCN_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
  if (outputLength < kPointersHeaderSize + kExtentSize) return STATUS_BUFFER_TOO_SMALL;
  const int64_t vcn = ReadInput<STARTING_VCN_INPUT_BUFFER>(input).StartingVcn.QuadPart;
  if (vcn < 0) return STATUS_INVALID_PARAMETER;
  const size_t room = (outputLength - kPointersHeaderSize) / kExtentSize;

  std::vector<NtfsVolume::Run> runs;
  bool more = false;
  std::vector<OverrideExtent> extents;
  const NTSTATUS status = FindRetrievalPointersOverride(target.drive, target.path, &extents)
                              ? OverriddenRuns(extents, vcn, room, &runs, &more)
                              : target.volume->GetRuns(target.mftRef, vcn, room, &runs, &more);
  if (!NT_SUCCESS(status)) return status;

  const ULONG count = static_cast<ULONG>(runs.size());
  std::memcpy(output, &count, sizeof count);
  WriteInt64(output, offsetof(RETRIEVAL_POINTERS_BUFFER, StartingVcn), runs.front().vcn);
  for (size_t i = 0; i < runs.size(); ++i) {
    const size_t at = kPointersHeaderSize + i * kExtentSize;
    WriteInt64(output, at, runs[i].vcn + runs[i].length);
    WriteInt64(output, at + sizeof(LARGE_INTEGER), runs[i].lcn);
  }
  *information = kPointersHeaderSize + runs.size() * kExtentSize;
  return more ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS MoveFile(const FsControlTarget& target, PVOID input, ULONG inputLength) {
  if (!target.isVolume || inputLength < sizeof(MOVE_FILE_DATA)) return STATUS_INVALID_PARAMETER;
  const MOVE_FILE_DATA move = ReadInput<MOVE_FILE_DATA>(input);
  FsControlTarget file;
  NTSTATUS status = DescribeFileHandle(move.FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  if (file.isVolume || file.drive != target.drive) return STATUS_INVALID_PARAMETER;

  const int64_t count = move.ClusterCount;
  int64_t lcn = move.StartingLcn.QuadPart;
  const int64_t total = target.volume->TotalClusters();
  if (count == 0 || lcn < 0 || lcn >= total || count > total - lcn) return STATUS_INVALID_PARAMETER;
  if (FindMoveRefusal(target.drive, lcn, count, &status)) return status;
  int64_t landing = 0;
  if (FindMoveRedirect(target.drive, lcn, &landing)) {
    if (landing == kAnyFreeLcn) {
      status = target.volume->FindFreeRun(count, lcn, count, &landing);
      if (!NT_SUCCESS(status)) return status;
    }
    if (landing < 0 || landing >= total || count > total - landing) return STATUS_ALREADY_COMMITTED;
    lcn = landing;
  }
  const bool strict = NtfsStrict();
  if (strict && OverlapsFreedClusters(target.drive, lcn, count)) return STATUS_ALREADY_COMMITTED;
  // The clusters the move will free: the runs of the range as they are before it.
  const int64_t vcn = move.StartingVcn.QuadPart;
  std::vector<NtfsVolume::Run> before;
  bool more = false;
  if (strict && !NT_SUCCESS(target.volume->GetRuns(file.mftRef, vcn, SIZE_MAX, &before, &more))) before.clear();
  const bool corrupt = TakeCorruptionRequest();
  int64_t moved = 0;
  status = target.volume->MoveClusters(file.mftRef, vcn, count, lcn, &moved);
  g_clustersMoved.fetch_add(static_cast<uint64_t>(moved));
  if (NT_SUCCESS(status) && corrupt && moved > 0) target.volume->FlipFirstByte(lcn);
  for (const NtfsVolume::Run& run : NT_SUCCESS(status) ? before : std::vector<NtfsVolume::Run>{}) {
    const int64_t from = std::max(run.vcn, vcn), to = std::min(run.vcn + run.length, vcn + count);
    if (run.lcn != NtfsVolume::kHoleLcn && from < to)
      NoteFreedClusters(target.drive, run.lcn + (from - run.vcn), to - from);
  }
  return status;
}

// The I/O manager probes a caller's buffers before any file system sees the request.
bool BuffersReadable(PVOID input, ULONG inputLength, PVOID output, ULONG outputLength) {
  return (input != nullptr || inputLength == 0) && (output != nullptr || outputLength == 0);
}

// The input of a control as its trace line shows it.
std::string ControlDetail(ULONG code, const void* input, ULONG inputLength) {
  if (code == FSCTL_MOVE_FILE && inputLength >= sizeof(MOVE_FILE_DATA)) {
    const auto* move = static_cast<const MOVE_FILE_DATA*>(input);
    return "vcn=" + std::to_string(move->StartingVcn.QuadPart) + " lcn=" + std::to_string(move->StartingLcn.QuadPart) +
           " clusters=" + std::to_string(move->ClusterCount);
  }
  if (code == FSCTL_GET_VOLUME_BITMAP && inputLength >= sizeof(STARTING_LCN_INPUT_BUFFER)) {
    return "lcn=" + std::to_string(static_cast<const STARTING_LCN_INPUT_BUFFER*>(input)->StartingLcn.QuadPart);
  }
  if (code == FSCTL_GET_RETRIEVAL_POINTERS && inputLength >= sizeof(STARTING_VCN_INPUT_BUFFER)) {
    return "vcn=" + std::to_string(static_cast<const STARTING_VCN_INPUT_BUFFER*>(input)->StartingVcn.QuadPart);
  }
  return "";
}

}  // namespace

NTSTATUS RunFsControl(const FsControlTarget& target, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                      ULONG outputLength, ULONG_PTR* information) {
  *information = 0;
  const bool readable = BuffersReadable(input, inputLength, output, outputLength);
  if (CallTraceEnabled() && readable) TraceDetail(ControlDetail(code, input, inputLength));
  switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
      return TraceCall("FSCTL_GET_NTFS_VOLUME_DATA", [&]() -> NTSTATUS {
        if (!readable) return STATUS_ACCESS_VIOLATION;
        return GetNtfsVolumeData(target, output, outputLength, information);
      });
    case FSCTL_GET_VOLUME_BITMAP:
      return TraceCall("FSCTL_GET_VOLUME_BITMAP", [&]() -> NTSTATUS {
        if (!readable) return STATUS_ACCESS_VIOLATION;
        return GetVolumeBitmap(target, input, inputLength, output, outputLength, information);
      });
    case FSCTL_GET_RETRIEVAL_POINTERS:
      return TraceCall("FSCTL_GET_RETRIEVAL_POINTERS", [&]() -> NTSTATUS {
        if (!readable) return STATUS_ACCESS_VIOLATION;
        return GetRetrievalPointers(target, input, inputLength, output, outputLength, information);
      });
    case FSCTL_MOVE_FILE:
      return TraceCall("FSCTL_MOVE_FILE", [&]() -> NTSTATUS {
        if (!readable) return STATUS_ACCESS_VIOLATION;
        return MoveFile(target, input, inputLength);
      });
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

uint64_t ClustersMoved() { return g_clustersMoved.load(); }

}  // namespace host
