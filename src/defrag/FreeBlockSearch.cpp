// The two free-space searches. Both read the bitmap through a private cache (so they see the volume as it is
// now, with its reserved zones as used) and walk each window a 64-bit word at a time: a full or empty word costs
// one test, and the end of a run one count of trailing zeros, so the cost per run is a few instructions.
#include <cstring>

#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

constexpr LONGLONG kWindow = CVolumeBitmapCache::kWindowClusters;

inline ULONGLONG LoadWord(const UCHAR* bits, LONGLONG index) {
  ULONGLONG word;
  memcpy(&word, bits + index * 8, sizeof word);
  return word;
}

// Calls onRun(first, end) for each free run inside [from, to), in order, until it returns true; a run reaching
// `enough` clusters is reported at that length without looking further. Everything past the end of the volume
// counts as used, and so does each cluster asked about while its window cannot be read (the cache logs each).
template <typename OnRun>
void ForEachFreeRun(CVolumeBitmapCache& cache, LONGLONG from, LONGLONG to, LONGLONG enough, OnRun onRun) {
  LONGLONG runStart = -1;
  LONGLONG lcn = from;
  while (lcn < to) {
    cache.IsClusterUsed(lcn);  // loads the window of lcn
    if (!cache.Covers(lcn)) {
      // lcn counts as used. Past the end of the volume so does the rest of its window; after a failed read only
      // lcn itself does, and the next cluster asks for the window again.
      if (runStart >= 0 && onRun(runStart, lcn)) return;
      runStart = -1;
      lcn = cache.LastReadFailed() ? lcn + 1 : (lcn & ~(kWindow - 1)) + kWindow;
      continue;
    }
    const LONGLONG windowStart = cache.GetWindowStart();
    const LONGLONG limit = to - windowStart < cache.GetWindowClusters() ? to : windowStart + cache.GetWindowClusters();
    const UCHAR* bits = cache.GetWindowBits();
    LONGLONG offset = lcn - windowStart;
    const LONGLONG end = limit - windowStart;
    while (offset < end) {
      // Whole words in the current state (all used outside a run, all free inside one) are passed over in a
      // tight loop: on a real volume they are nearly all of the bitmap.
      if (offset % 64 == 0) {
        const ULONGLONG same = runStart < 0 ? ~0ull : 0;
        LONGLONG word = offset / 64;
        while (word < end / 64 && LoadWord(bits, word) == same) ++word;
        if (word * 64 > offset) {
          offset = word * 64;
          if (runStart >= 0 && windowStart + offset - runStart >= enough) {
            onRun(runStart, runStart + enough);
            return;
          }
          continue;
        }
      }
      const int shift = static_cast<int>(offset % 64);
      const LONGLONG valid = end - offset < 64 - shift ? end - offset : 64 - shift;
      const ULONGLONG mask = valid == 64 ? ~0ull : (1ull << valid) - 1;
      const ULONGLONG word = LoadWord(bits, offset / 64) >> shift;
      // Set bits are used clusters: look for the next change of state within the valid bits.
      const ULONGLONG change = (runStart < 0 ? ~word : word) & mask;
      offset += change == 0 ? valid : __builtin_ctzll(change);
      if (runStart >= 0 && windowStart + offset - runStart >= enough) {
        onRun(runStart, runStart + enough);
        return;
      }
      if (change == 0) continue;
      if (runStart < 0) {
        runStart = windowStart + offset;
      } else {
        if (onRun(runStart, windowStart + offset)) return;
        runStart = -1;
      }
    }
    lcn = limit;
  }
  if (runStart >= 0) onRun(runStart, to);
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
    ForEachFreeRun(cache, minLcn < 0 ? 0 : minLcn, maxLcn, clusters, [&](LONGLONG first, LONGLONG end) {
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
  ForEachFreeRun(cache, 0, volume->GetTotalClusters(), INT64_MAX, [&](LONGLONG first, LONGLONG end) {
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
