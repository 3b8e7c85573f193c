// The extent mover: the only code that changes the volume. A range of a file's VCNs travels in chunks, each one a
// move request, with an abort check before it and the bitmap cache invalidated after it. NTFS may place a chunk
// elsewhere than asked, so the next chunk is sent to just after where the last one really ended.
#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "native/VolumeExecutionContext.h"
#include "volume/FileFragments.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

ULONG HandleValue(HANDLE handle) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(handle)); }

// One extent of retrieval pointers: the answer's StartingVcn, ExtentCount and one NextVcn/Lcn pair.
struct SOneExtent {
  NTSTATUS status;
  bool hasExtent;
  LONGLONG startingVcn;
  LONGLONG nextVcn;
  LONGLONG lcn;
};

// Where `vcn` of the file lies now. STATUS_BUFFER_OVERFLOW only says the file has more extents than the one asked
// for, so it counts as success.
SOneExtent QueryExtentAt(HANDLE file, LONGLONG vcn) {
  alignas(8) UCHAR buffer[32] = {};
  STARTING_VCN_INPUT_BUFFER request{};
  request.StartingVcn.QuadPart = vcn;
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = NtFsControlFile(file, nullptr, nullptr, nullptr, &ioStatus, FSCTL_GET_RETRIEVAL_POINTERS, &request,
                                    sizeof request, buffer, sizeof buffer);
  if (status == STATUS_BUFFER_OVERFLOW) status = STATUS_SUCCESS;
  const auto* pointers = reinterpret_cast<const RETRIEVAL_POINTERS_BUFFER*>(buffer);
  SOneExtent extent{status, false, 0, 0, 0};
  if (NT_SUCCESS(status) && pointers->ExtentCount > 0) {
    extent.hasExtent = true;
    extent.startingVcn = pointers->StartingVcn.QuadPart;
    extent.nextVcn = pointers->Extents[0].NextVcn.QuadPart;
    extent.lcn = pointers->Extents[0].Lcn.QuadPart;
  }
  return extent;
}

// Reads the file's fragments afresh (the caller's list stays as it was): one piece or none is success.
NTSTATUS VerifyContiguous(SVolumeExecutionContext& executionContext, HANDLE file) {
  SFileFragments after;
  NTSTATUS status = GetFileFragments(executionContext.volume_, file, after);
  if (!NT_SUCCESS(status)) return status;
  return after.FragmentCount > 1 ? STATUS_DEFRAG_STILL_FRAGMENTED : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CDefragmentation::MoveFileRegion(SVolumeExecutionContext& executionContext, HANDLE file, LONGLONG lcn,
                                          LONGLONG vcn, LONGLONG clusters, SProgressRange progress) {
  SX_LOG_FUNCTION("CDefragmentation::MoveFileRegion");
  if (clusters < 1) return STATUS_SUCCESS;
  std::shared_ptr<CVolume> volume = executionContext.volume_;
  LONGLONG moved = 0;
  LONGLONG destination = lcn;
  LONGLONG chunkStart = vcn;
  for (;;) {
    if (!executionContext.IsRunning()) {
      SX_LOG(1, "Aborting...");
      return STATUS_CANCELLED;
    }
    const LONGLONG remaining = clusters - moved;
    const LONGLONG chunk = remaining < kMoveChunkClusters ? remaining : kMoveChunkClusters;
    double& value = *progress.current;
    value += (progress.target - value) * static_cast<double>(chunk) / static_cast<double>(remaining);
    if (value >= progress.target) value = progress.target;

    MOVE_FILE_DATA request{};
    request.FileHandle = file;
    request.StartingVcn.QuadPart = chunkStart;
    request.StartingLcn.QuadPart = destination;
    request.ClusterCount = static_cast<ULONG>(chunk);
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = NtFsControlFile(volume->GetHandle(), nullptr, nullptr, nullptr, &ioStatus, FSCTL_MOVE_FILE,
                                      &request, sizeof request, nullptr, 0);
    // Even a refused request may have changed the allocation.
    executionContext.bitmapCache_->Invalidate();
    if (!NT_SUCCESS(status)) return status;

    moved += chunk;
    if (moved >= clusters) return STATUS_SUCCESS;
    chunkStart += chunk;

    SOneExtent last = QueryExtentAt(file, chunkStart - 1);
    if (!NT_SUCCESS(last.status)) return last.status;
    if (!last.hasExtent) continue;
    // The last moved VCN lies in a gap: the data before the gap tells where the chunk ended.
    if (last.lcn < 0 && last.startingVcn > 0) {
      last = QueryExtentAt(file, last.startingVcn - 1);
      if (!NT_SUCCESS(last.status)) return last.status;
    }
    if (last.hasExtent && last.lcn >= 0) destination = last.lcn + last.nextVcn - last.startingVcn;
  }
}

NTSTATUS CDefragmentation::MoveFileTo(SVolumeExecutionContext& executionContext, HANDLE file, LONGLONG lcn,
                                      const SFileFragments& fragments, SProgressRange progress) {
  SX_LOG_FUNCTION("CDefragmentation::MoveFileTo");
  SX_LOG(1, "MoveFileTo started file: 0x%x, lcn:%I64d\n", HandleValue(file), lcn);
  NTSTATUS status = MoveFileRegion(executionContext, file, lcn, 0, fragments.VcnCount, progress);
  if (!NT_SUCCESS(status)) {
    SX_LOG(1, "MoveFileTo %s with result=0x%x\n", "failed", status);
    return status;
  }
  status = VerifyContiguous(executionContext, file);
  SX_LOG(1, "MoveFileTo %s with result=0x%x\n", NT_SUCCESS(status) ? "succeeded" : "failed", status);
  return status;
}

NTSTATUS CDefragmentation::MoveFragmentsTo(SVolumeExecutionContext& executionContext, HANDLE file, LONGLONG newLcn,
                                           const SFileFragments& fragments, size_t first, size_t last,
                                           SProgressRange progress) {
  SX_LOG_FUNCTION("CDefragmentation::MoveFragmentsTo");
  SX_LOG(3, "MoveFragmentsTo newLcn: %I64d.", newLcn);
  // The Vcn counts include the gaps, so the gaps inside the run travel with its data. A fragment whose count
  // differs from its clusters stands for a gap as well, which is worth a warning.
  auto sumVcns = [&fragments](size_t from, size_t to) {
    LONGLONG sum = 0;
    for (size_t i = from; i < to && i < fragments.Fragments.size(); ++i) {
      const SFileFragment& fragment = fragments.Fragments[i];
      if (fragment.Vcn != fragment.LcnCount) {
        SX_LOG(1, "Warning it->Vcn != it->LcnCount (%I64d, %I64d)", fragment.Vcn, fragment.LcnCount);
      }
      sum += fragment.Vcn;
    }
    return sum;
  };
  const LONGLONG firstVcn = sumVcns(0, first);
  const LONGLONG vcnCount = sumVcns(first, last);
  NTSTATUS status = MoveFileRegion(executionContext, file, newLcn, firstVcn, vcnCount, progress);
  if (NT_SUCCESS(status)) status = VerifyContiguous(executionContext, file);
  if (!NT_SUCCESS(status)) {
    SX_LOG(1, "MoveFragmentsTo failed %I64u, %I64u, %I64u, status=0x%X", newLcn, firstVcn, vcnCount, status);
  }
  return status;
}
