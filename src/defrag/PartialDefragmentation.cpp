// Partial defragmentation, for a file no free block can take whole: pass after pass, the longest run of
// consecutive fragments that fits into the largest free block is moved there as one piece. Each pass reads the
// file and the free space afresh, since the previous move used part of the old block and freed the run's places.
#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "native/VolumeExecutionContext.h"
#include "volume/FileFragments.h"

namespace {

struct SChosenRun {
  size_t first = 0;
  size_t count = 0;
};

// The run with the most fragments whose Vcn sum fits `blockLength`; the earliest among equals. Runs start at the
// second fragment: the first one stays where it is, so the file keeps its beginning.
SChosenRun ChooseRun(const SFileFragments& fragments, LONGLONG blockLength) {
  SX_LOG_FUNCTION("CDefragmentation::PartialDefragmentFile");
  SChosenRun best;
  const std::vector<SFileFragment>& list = fragments.Fragments;
  // A sliding window: the run from the next start reaches at least as far as this one, so each fragment joins
  // and leaves the window once.
  size_t end = 1;
  LONGLONG clusters = 0;
  for (size_t start = 1; start < list.size(); ++start) {
    if (end < start) {
      end = start;
      clusters = 0;
    }
    while (end < list.size() && list[end].Vcn <= blockLength - clusters) clusters += list[end++].Vcn;
    if (end - start > best.count) {
      best = SChosenRun{start, end - start};
      SX_LOG(3, "PartialDefragmentFile. Found part to move. fragments=%I64d, clusters=%I64d",
             static_cast<LONGLONG>(best.count), clusters);
    }
    if (end > start) clusters -= list[start].Vcn;
  }
  return best;
}

}  // namespace

NTSTATUS CDefragmentation::PartialDefragmentFile(SDefragContext& defragContext, HANDLE file, SProgressRange progress) {
  SX_LOG_FUNCTION("CDefragmentation::PartialDefragmentFile");
  SX_LOG(1, "PartialDefragmentFile start for 0x%X", static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(file)));
  SVolumeExecutionContext& executionContext = *defragContext.executionContext_;
  NTSTATUS lastMove = STATUS_DEFRAG_NO_FREE_BLOCK;
  NTSTATUS result;
  int stallsLeft = kAttempts;
  LONGLONG previousCount = INT64_MAX;
  SFileFragments fragments;
  for (;;) {
    result = GetFileFragments(executionContext.volume_, file, fragments);
    if (!NT_SUCCESS(result)) break;
    if (fragments.FragmentCount >= previousCount && --stallsLeft == 0) {
      if (fragments.FragmentCount > 1) result = STATUS_DEFRAG_STILL_FRAGMENTED;
      break;
    }
    previousCount = fragments.FragmentCount;

    result = lastMove;
    LONGLONG blockLength = 0;
    LONGLONG block = FindLargestFreeBlock(executionContext.volume_, blockLength);
    if (block < 0) break;
    if (!executionContext.IsRunning()) {
      SX_LOG(1, "Aborting...");
      return STATUS_CANCELLED;
    }
    if (fragments.Fragments.size() < 2) break;
    SChosenRun run = ChooseRun(fragments, blockLength);
    // A single fragment moved elsewhere is still one fragment: nothing to gain.
    if (run.count < 2) break;

    double& value = *progress.current;
    SProgressRange share{progress.current, value + kProgressShare * (progress.target - value)};
    lastMove = MoveFragmentsTo(executionContext, file, block, fragments, run.first, run.first + run.count, share);
    if (lastMove == STATUS_CANCELLED) return lastMove;
  }
  if (!NT_SUCCESS(result)) SX_LOG(1, "PartialDefragmentFile failed with STATUS=0x%X", result);
  return result;
}
