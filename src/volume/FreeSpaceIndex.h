// CFreeSpaceIndex: what the free-space searches learnt of a volume's bitmap, so that a search passes over the parts
// unchanged since the last one by their summaries instead of run by run. Every search still reads the whole bitmap
// it looks at; the index only remembers, for each window of it, the bits last seen and, per block of 512 clusters
// and for the window, where the free runs at the edges and the longest one inside lie. A block whose bits differ
// from those remembered is summarized again, so the answers are those of reading the bits themselves.
//
// One search at a time uses a volume's index (each volume is worked on by one thread).
#pragma once

#include <memory>
#include <vector>

#include "platform/NativeApi.h"

// The free runs of a stretch of clusters, in clusters from its start: the run at its start (`prefix`), at its end
// (`suffix`) and the longest touching neither end, the lowest of equals (`longest` at `longestAt`, 0 when none).
// A stretch that is all free has prefix == suffix == length and no inner run.
struct SFreeSpan {
  LONG length = 0;
  LONG prefix = 0;
  LONG suffix = 0;
  LONG longest = 0;
  LONG longestAt = 0;

  bool AllFree() const { return prefix == length; }
};

class CFreeSpaceIndex {
 public:
  static constexpr LONGLONG kWindowClusters = 0x80000;  // as CVolumeBitmapCache reads the bitmap
  static constexpr LONGLONG kBlockClusters = 512;
  static constexpr LONGLONG kBlocks = kWindowClusters / kBlockClusters;
  // The index holds the first 512 windows of a volume (2^28 clusters, 1 TiB in 4 KiB clusters), 36 MiB at most;
  // searches beyond read the bits run by run.
  static constexpr LONGLONG kMaxWindows = 512;

  struct SWindow {
    SFreeSpan whole;
    std::vector<SFreeSpan> blocks;   // kBlocks
    std::vector<ULONGLONG> words;    // the bits they summarize
    bool valid = false;
  };

  // The summaries of the window starting at `windowStart`, brought up to date with `bits` (a whole window, set
  // bits used; clusters past the end of the volume set); null when the window is beyond what the index holds.
  const SWindow* Update(LONGLONG windowStart, const UCHAR* bits);

  // The summary of the stretch made of `first` followed by `second`.
  static SFreeSpan Join(const SFreeSpan& first, const SFreeSpan& second);
  // The summary of bits [from, from + count) of `bits`.
  static SFreeSpan Summarize(const UCHAR* bits, LONGLONG from, LONGLONG count);

 private:
  std::vector<std::unique_ptr<SWindow>> windows_;
};

// The first position in [from, to) of `bits` whose bit is `set`, or `to`. A word at a time.
LONGLONG NextBitOf(const UCHAR* bits, LONGLONG from, LONGLONG to, bool set);
