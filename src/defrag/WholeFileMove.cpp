// The whole-file move: a file is contiguous when it can be moved into one free block as large as itself. NTFS may
// still split it (the block was taken meanwhile, or a chunk landed elsewhere); each retry then searches above the
// block just tried, so no attempt is sent back to the same place.
#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "native/VolumeExecutionContext.h"
#include "volume/FileFragments.h"

NTSTATUS CDefragmentation::MoveFile(SDefragContext& defragContext, HANDLE file, LONGLONG minLcn, LONGLONG maxLcn,
                                    SProgressRange progress) {
  SX_LOG_FUNCTION("CDefragmentation::MoveFile");
  const ULONG handleValue = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(file));
  SX_LOG(1, "MoveFile start 0x%X\n", handleValue);
  SVolumeExecutionContext& executionContext = *defragContext.executionContext_;
  SFileFragments fragments;
  LONGLONG searchedFrom = minLcn;
  NTSTATUS status;
  for (int attempt = 1;; ++attempt) {
    if (!executionContext.IsRunning()) {
      SX_LOG(1, "Aborting...");
      return STATUS_CANCELLED;
    }
    status = GetFileFragments(executionContext.volume_, file, fragments);
    if (!NT_SUCCESS(status)) break;
    searchedFrom = minLcn;
    LONGLONG block = FindFreeBlock(executionContext.volume_, fragments.VcnCount, minLcn, maxLcn);
    if (block < 0) {
      status = STATUS_DEFRAG_NO_FREE_BLOCK;
      break;
    }
    minLcn = block + fragments.VcnCount;
    double& value = *progress.current;
    SProgressRange share{progress.current, value + kProgressShare * (progress.target - value)};
    status = MoveFileTo(executionContext, file, block, fragments, share);
    if (status == STATUS_CANCELLED) return status;
    if (status != STATUS_DEFRAG_STILL_FRAGMENTED || attempt == kAttempts) break;
  }
  SX_LOG(1, "MoveFile ends for 0x%X\n", handleValue);
  if (!NT_SUCCESS(status)) {
    SX_LOG(1, "MoveFile failed minLcn=%I64u, maxLcn=%I64u, clusters=%I64u; status=0x%x\n", searchedFrom, maxLcn,
           fragments.VcnCount, status);
  }
  return status;
}
