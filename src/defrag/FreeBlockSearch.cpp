// The two free-space searches. Both read the bitmap through a private cache (so they see the volume as it is
// now, with its reserved zones as used) and scan each window a 64-bit word at a time: a full or empty word costs
// one test, not 64.
#include <cstring>

#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

constexpr LONGLONG kWindow = CVolumeBitmapCache::kWindowClusters;

// The first cluster in [from, to) that is used (`wantUsed`) or free, else `to`. A window that cannot be read, and
// everything past the end of the volume, counts as used through the end of its window; the cache logs a failed
// read once per window here, not once per cluster.
LONGLONG FindNext(CVolumeBitmapCache& cache, LONGLONG from, LONGLONG to, bool wantUsed) {
  LONGLONG lcn = from;
  while (lcn < to) {
    bool used = cache.IsClusterUsed(lcn);
    if (!cache.Covers(lcn)) {
      if (wantUsed) return lcn;
      lcn = (lcn & ~(kWindow - 1)) + kWindow;
      continue;
    }
    if (used == wantUsed) return lcn;

    const LONGLONG windowStart = cache.GetWindowStart();
    const LONGLONG limit = to - windowStart < cache.GetWindowClusters() ? to : windowStart + cache.GetWindowClusters();
    const UCHAR* bits = cache.GetWindowBits();
    LONGLONG offset = lcn - windowStart + 1;
    const LONGLONG end = limit - windowStart;
    while (offset < end) {
      ULONGLONG word;
      memcpy(&word, bits + (offset / 64) * 8, sizeof word);
      if (!wantUsed) word = ~word;
      word &= ~0ull << (offset % 64);
      if (word != 0) {
        LONGLONG found = (offset & ~63LL) + __builtin_ctzll(word);
        return found < end ? windowStart + found : limit;
      }
      offset = (offset & ~63LL) + 64;
    }
    lcn = limit;
  }
  return to;
}

}  // namespace

LONGLONG CDefragmentation::FindFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG clusters, LONGLONG minLcn,
                                         LONGLONG maxLcn) {
  SX_LOG_FUNCTION("CDefragmentation::FindFreeBlock");
  const LONGLONG total = volume->GetTotalClusters();
  if (maxLcn == 0 || maxLcn > total) maxLcn = total;
  CVolumeBitmapCache cache(volume, true);
  LONGLONG lcn = minLcn < 0 ? 0 : minLcn;
  while (clusters >= 1 && lcn < maxLcn) {
    LONGLONG start = FindNext(cache, lcn, maxLcn, false);
    if (start >= maxLcn) break;
    LONGLONG wantedEnd = maxLcn - start > clusters ? start + clusters : maxLcn;
    LONGLONG end = FindNext(cache, start, wantedEnd, true);
    if (end - start >= clusters) {
      SX_LOG(3, "Found a free block at %I64d:%I64d, search on %I64d-%I64d.", start, clusters, minLcn, maxLcn);
      return start;
    }
    lcn = end;
  }
  SX_LOG(3, "Didn't find a free block, search on %I64d-%I64d.", minLcn, maxLcn);
  return -1;
}

LONGLONG CDefragmentation::FindLargestFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG& length) {
  CVolumeBitmapCache cache(volume, true);
  const LONGLONG total = volume->GetTotalClusters();
  LONGLONG bestStart = -1, bestLength = 0;
  for (LONGLONG lcn = 0; lcn < total;) {
    LONGLONG start = FindNext(cache, lcn, total, false);
    if (start >= total) break;
    LONGLONG end = FindNext(cache, start, total, true);
    if (end - start > bestLength) {
      bestStart = start;
      bestLength = end - start;
    }
    lcn = end;
  }
  if (bestLength < 1) return -1;
  length = bestLength;
  return bestStart;
}
