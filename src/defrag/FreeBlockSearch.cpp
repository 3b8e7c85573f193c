// The two free-space searches. Both read the bitmap through a private cache (so they see the volume as it is
// now, with its reserved zones as used), window after window, and take each window's free runs from the volume's
// free-space index: a block of the bitmap unchanged since the last search is passed over by its summary (the free
// runs at its edges and its longest one inside), and only blocks that may hold the answer are read bit by bit, a
// 64-bit word at a time.
#include <cstring>

#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "volume/FreeSpaceIndex.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

constexpr LONGLONG kWindow = CVolumeBitmapCache::kWindowClusters;
constexpr LONGLONG kBlock = CFreeSpaceIndex::kBlockClusters;
static_assert(kWindow == CFreeSpaceIndex::kWindowClusters, "the index summarizes the cache's windows");

// Joins the free runs it is given, in order, into whole runs and hands each to onRun(first, end) until that returns
// true; a run reaching `enough` clusters is handed over at that length at once, which ends the search.
template <typename OnRun>
class CRunJoiner {
 public:
  CRunJoiner(LONGLONG enough, OnRun& onRun) : enough_(enough), onRun_(onRun) {}

  // Adds free clusters [first, end); true when the search is over.
  bool Add(LONGLONG first, LONGLONG end) {
    if (first != end_) {
      if (Finish()) return true;
      start_ = first;
    }
    end_ = end;
    if (end_ - start_ < enough_) return false;
    onRun_(start_, start_ + enough_);
    return true;
  }

  // Hands over the run in progress; true when the search is over.
  bool Finish() {
    const bool pending = end_ > start_;
    const LONGLONG start = start_, end = end_;
    start_ = end_ = -1;
    return pending && onRun_(start, end);
  }

  // The free runs of a summarized stretch at `start`: the inner ones shorter than the longest cannot be the answer
  // of either search (a first fit needing `enough` reads the stretch bit by bit when the longest reaches it).
  bool AddSpan(LONGLONG start, const SFreeSpan& span) {
    if (span.AllFree()) return Add(start, start + span.length);
    if (span.prefix > 0 && Add(start, start + span.prefix)) return true;
    if (span.longest > 0 && Add(start + span.longestAt, start + span.longestAt + span.longest)) return true;
    return span.suffix > 0 && Add(start + span.length - span.suffix, start + span.length);
  }

  // Every free run of bits [from, to) of the window at `windowStart`.
  bool AddBits(const UCHAR* bits, LONGLONG windowStart, LONGLONG from, LONGLONG to) {
    while (from < to) {
      const LONGLONG first = NextBitOf(bits, from, to, false);
      if (first == to) break;
      from = NextBitOf(bits, first, to, true);
      if (Add(windowStart + first, windowStart + from)) return true;
    }
    return false;
  }

  bool Needs(const SFreeSpan& span) const { return span.longest >= enough_; }

 private:
  const LONGLONG enough_;
  OnRun& onRun_;
  LONGLONG start_ = -1;
  LONGLONG end_ = -1;
};

// Calls onRun(first, end) for each free run inside [from, to), in order, until it returns true; a run reaching
// `enough` clusters is reported at that length without looking further. Everything past the end of the volume
// counts as used, and so does each cluster asked about while its window cannot be read (the cache logs each).
// With `enough` at its maximum only the longest runs are certain to be reported.
template <typename OnRun>
void ForEachFreeRun(CVolume& volume, CVolumeBitmapCache& cache, LONGLONG from, LONGLONG to, LONGLONG enough,
                    OnRun onRun) {
  CRunJoiner<OnRun> runs(enough, onRun);
  LONGLONG lcn = from;
  while (lcn < to) {
    cache.IsClusterUsed(lcn);  // loads the window of lcn
    if (!cache.Covers(lcn)) {
      // lcn counts as used. Past the end of the volume so does the rest of its window; after a failed read only
      // lcn itself does, and the next cluster asks for the window again.
      if (runs.Finish()) return;
      lcn = cache.LastReadFailed() ? lcn + 1 : (lcn & ~(kWindow - 1)) + kWindow;
      continue;
    }
    const LONGLONG windowStart = cache.GetWindowStart();
    const LONGLONG limit = to - windowStart < cache.GetWindowClusters() ? to : windowStart + cache.GetWindowClusters();
    const UCHAR* bits = cache.GetWindowBits();
    const CFreeSpaceIndex::SWindow* window = volume.GetFreeSpaceIndex().Update(windowStart, bits);
    LONGLONG offset = lcn - windowStart;
    const LONGLONG end = limit - windowStart;
    if (window != nullptr && offset == 0 && end == kWindow && !runs.Needs(window->whole)) {
      if (runs.AddSpan(windowStart, window->whole)) return;
      offset = end;
    }
    while (offset < end) {
      const LONGLONG blockEnd = (offset / kBlock + 1) * kBlock;
      const SFreeSpan* block = window != nullptr ? &window->blocks[static_cast<size_t>(offset / kBlock)] : nullptr;
      const bool whole = offset % kBlock == 0 && blockEnd <= end;
      if (whole && block != nullptr && !runs.Needs(*block) ? runs.AddSpan(windowStart + offset, *block)
                                                           : runs.AddBits(bits, windowStart, offset,
                                                                          blockEnd < end ? blockEnd : end)) {
        return;
      }
      offset = blockEnd < end ? blockEnd : end;
    }
    lcn = limit;
  }
  runs.Finish();
}

}  // namespace

LONGLONG CDefragmentation::FindFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG clusters, LONGLONG minLcn,
                                         LONGLONG maxLcn) {
  SX_LOG_FUNCTION("CDefragmentation::FindFreeBlock");
  const LONGLONG total = volume->GetTotalClusters();
  if (maxLcn == 0 || maxLcn > total) maxLcn = total;
  CVolumeBitmapCache cache(volume, true);
  LONGLONG found = -1;
  if (clusters >= 1) {
    ForEachFreeRun(*volume, cache, minLcn < 0 ? 0 : minLcn, maxLcn, clusters, [&](LONGLONG first, LONGLONG end) {
      if (end - first < clusters) return false;
      found = first;
      return true;
    });
  }
  if (found >= 0) {
    SX_LOG(3, "Found a free block at %I64d:%I64d, search on %I64d-%I64d.", found, clusters, minLcn, maxLcn);
  } else {
    SX_LOG(3, "Didn't find a free block, search on %I64d-%I64d.", minLcn, maxLcn);
  }
  return found;
}

LONGLONG CDefragmentation::FindLargestFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG& length) {
  CVolumeBitmapCache cache(volume, true);
  LONGLONG bestStart = -1, bestLength = 0;
  ForEachFreeRun(*volume, cache, 0, volume->GetTotalClusters(), INT64_MAX, [&](LONGLONG first, LONGLONG end) {
    if (end - first > bestLength) {
      bestStart = first;
      bestLength = end - first;
    }
    return false;
  });
  if (bestLength < 1) return -1;
  length = bestLength;
  return bestStart;
}
