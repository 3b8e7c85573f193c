#include "volume/FreeSpaceIndex.h"

#include <cstring>

namespace {

inline ULONGLONG LoadWord(const UCHAR* bits, LONGLONG index) {
  ULONGLONG word;
  memcpy(&word, bits + index * 8, sizeof word);
  return word;
}

}  // namespace

LONGLONG NextBitOf(const UCHAR* bits, LONGLONG from, LONGLONG to, bool set) {
  while (from < to) {
    ULONGLONG word = LoadWord(bits, from / 64);
    if (!set) word = ~word;
    word >>= from % 64;
    if (word != 0) {
      const LONGLONG at = from + __builtin_ctzll(word);
      return at < to ? at : to;
    }
    from = (from / 64 + 1) * 64;
  }
  return to;
}

SFreeSpan CFreeSpaceIndex::Summarize(const UCHAR* bits, LONGLONG from, LONGLONG count) {
  SFreeSpan span;
  span.length = static_cast<LONG>(count);
  const LONGLONG to = from + count;
  for (LONGLONG at = from; at < to;) {
    const LONGLONG first = NextBitOf(bits, at, to, false);
    if (first == to) break;
    const LONGLONG end = NextBitOf(bits, first, to, true);
    const LONG length = static_cast<LONG>(end - first);
    if (first == from) span.prefix = length;
    if (end == to) span.suffix = length;
    if (first != from && end != to && length > span.longest) {
      span.longest = length;
      span.longestAt = static_cast<LONG>(first - from);
    }
    at = end;
  }
  return span;
}

SFreeSpan CFreeSpaceIndex::Join(const SFreeSpan& first, const SFreeSpan& second) {
  SFreeSpan joined;
  joined.length = first.length + second.length;
  joined.prefix = first.AllFree() ? first.length + second.prefix : first.prefix;
  joined.suffix = second.AllFree() ? second.length + first.suffix : second.suffix;
  joined.longest = first.longest;
  joined.longestAt = first.longestAt;
  // The run across the seam is inside the joined stretch only when neither side is free from end to end.
  const LONG seam = first.suffix + second.prefix;
  if (!first.AllFree() && !second.AllFree() && seam > joined.longest) {
    joined.longest = seam;
    joined.longestAt = first.length - first.suffix;
  }
  if (second.longest > joined.longest) {
    joined.longest = second.longest;
    joined.longestAt = first.length + second.longestAt;
  }
  return joined;
}

const CFreeSpaceIndex::SWindow* CFreeSpaceIndex::Update(LONGLONG windowStart, const UCHAR* bits) {
  const LONGLONG index = windowStart / kWindowClusters;
  if (windowStart < 0 || windowStart % kWindowClusters != 0 || index >= kMaxWindows) return nullptr;
  if (static_cast<LONGLONG>(windows_.size()) <= index) windows_.resize(static_cast<size_t>(index) + 1);
  std::unique_ptr<SWindow>& slot = windows_[static_cast<size_t>(index)];
  if (!slot) {
    slot = std::make_unique<SWindow>();
    slot->blocks.resize(kBlocks);
    slot->words.resize(kWindowClusters / 64);
  }
  SWindow& window = *slot;
  constexpr size_t kBlockBytes = kBlockClusters / 8;
  if (window.valid && memcmp(window.words.data(), bits, kWindowClusters / 8) == 0) return &window;
  for (LONGLONG block = 0; block < kBlocks; ++block) {
    UCHAR* kept = reinterpret_cast<UCHAR*>(window.words.data()) + block * kBlockBytes;
    if (window.valid && memcmp(kept, bits + block * kBlockBytes, kBlockBytes) == 0) continue;
    memcpy(kept, bits + block * kBlockBytes, kBlockBytes);
    window.blocks[static_cast<size_t>(block)] = Summarize(bits, block * kBlockClusters, kBlockClusters);
  }
  window.whole = window.blocks[0];
  for (LONGLONG block = 1; block < kBlocks; ++block) {
    window.whole = Join(window.whole, window.blocks[static_cast<size_t>(block)]);
  }
  window.valid = true;
  return &window;
}
