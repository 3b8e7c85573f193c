// CDefragmentation: the defragmentation engine. It keeps no state: every operation gets what it works on.
//
// DefragmentFile is the entry point; it decides per file between nothing, a whole-file move (MoveFile) and the
// gathering of runs of fragments (PartialDefragmentFile). MoveFileRegion is the only place that changes the
// volume. Every operation asks the execution context's IsRunning before each step and answers STATUS_CANCELLED
// once it says no; what was moved before stays where it is.
#pragma once

#include <memory>

#include "platform/NativeApi.h"

class CVolume;
struct SDefragContext;
struct SFileForProcessing;
struct SFileFragments;
struct SVolumeExecutionContext;

// The engine's own results: customer-defined statuses, so they never collide with a native one.
constexpr NTSTATUS STATUS_DEFRAG_NOT_NEEDED = MakeStatus(0x20000001);  // at most one fragment, none reserved
constexpr NTSTATUS STATUS_DEFRAG_NO_FREE_BLOCK = MakeStatus(0xE0000001);
constexpr NTSTATUS STATUS_DEFRAG_STILL_FRAGMENTED = MakeStatus(0xE0000002);

// The part of a progress value that one operation may use: it advances *current towards target, never past it.
struct SProgressRange {
  double* current;
  double target;
};

class CDefragmentation {
 public:
  // Most clusters one move request carries: bounds the time between two abort checks.
  static constexpr LONGLONG kMoveChunkClusters = 4096;
  // Whole-file attempts, and passes without progress in partial defragmentation, before giving up.
  static constexpr int kAttempts = 10;
  // The share of what is left of a progress range that one attempt or pass takes.
  static constexpr double kProgressShare = 0.6;

  // The lowest run of `clusters` free clusters wholly inside [minLcn, maxLcn); maxLcn 0 (or past the end) means
  // the end of the volume. Reserved zones, clusters past the end and unreadable bitmap windows count as used.
  // -1 when there is none.
  static LONGLONG FindFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG clusters, LONGLONG minLcn, LONGLONG maxLcn);
  // The first cluster of the longest free run on the volume (the lowest of equals), its length in `length`; -1
  // (and `length` untouched) when no cluster is free.
  static LONGLONG FindLargestFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG& length);

  // Moves the file's VCNs [vcn, vcn + clusters) to lcn on, in chunks of at most kMoveChunkClusters, following
  // each chunk to where it really landed. STATUS_SUCCESS, STATUS_CANCELLED, or the status of the request that
  // failed (the chunks before it stay moved). The bitmap cache is invalidated after every request.
  static NTSTATUS MoveFileRegion(SVolumeExecutionContext& executionContext, HANDLE file, LONGLONG lcn, LONGLONG vcn,
                                 LONGLONG clusters, SProgressRange progress);
  // Moves the whole file (fragments.VcnCount clusters from VCN 0) to lcn and reads its fragments again:
  // STATUS_SUCCESS when it is now in at most one piece, STATUS_DEFRAG_STILL_FRAGMENTED when not, or a failure.
  static NTSTATUS MoveFileTo(SVolumeExecutionContext& executionContext, HANDLE file, LONGLONG lcn,
                             const SFileFragments& fragments, SProgressRange progress);
  // Moves fragments [first, last) of the list, with the gaps they stand for, as one run to newLcn; results as
  // MoveFileTo, so a run that leaves other fragments elsewhere answers STATUS_DEFRAG_STILL_FRAGMENTED.
  static NTSTATUS MoveFragmentsTo(SVolumeExecutionContext& executionContext, HANDLE file, LONGLONG newLcn,
                                  const SFileFragments& fragments, size_t first, size_t last, SProgressRange progress);

  // Moves the whole file into the first free block of its size in [minLcn, maxLcn), up to kAttempts times while
  // it comes out still fragmented. STATUS_DEFRAG_NO_FREE_BLOCK when no block fits.
  static NTSTATUS MoveFile(SDefragContext& defragContext, HANDLE file, LONGLONG minLcn, LONGLONG maxLcn,
                           SProgressRange progress);
  // Gathers the longest run of consecutive fragments (never the first) that fits the largest free block, pass
  // after pass, until nothing more can be gained or kAttempts passes have not lowered the fragment count.
  static NTSTATUS PartialDefragmentFile(SDefragContext& defragContext, HANDLE file, SProgressRange progress);

  // Opens the file of `entry`, leaves it alone when it is one fragment outside every reserved zone
  // (STATUS_DEFRAG_NOT_NEEDED), else moves it whole or, failing that, in parts. `fragments` describes the file
  // as it was left (untouched when the file could not be opened).
  static NTSTATUS DefragmentFile(SDefragContext& defragContext, const SFileForProcessing& entry,
                                 SFileFragments& fragments, SProgressRange progress);
};
