// The free-space index against a plain reading of the same bits: every block's summary and the window's, on
// bitmaps of free runs from one cluster to thousands (crossing blocks), before and after parts of them change.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "volume/FreeSpaceIndex.h"

namespace {

constexpr LONGLONG kWindow = CFreeSpaceIndex::kWindowClusters;

bool Used(const std::vector<UCHAR>& bits, LONGLONG lcn) { return (bits[lcn / 8] >> (lcn % 8)) & 1; }

void SetRange(std::vector<UCHAR>* bits, LONGLONG from, LONGLONG to, bool used) {
  for (LONGLONG lcn = from; lcn < to; ++lcn) {
    const UCHAR bit = static_cast<UCHAR>(1u << (lcn % 8));
    (*bits)[lcn / 8] = static_cast<UCHAR>(used ? (*bits)[lcn / 8] | bit : (*bits)[lcn / 8] & ~bit);
  }
}

SFreeSpan Reference(const std::vector<UCHAR>& bits, LONGLONG from, LONGLONG count) {
  SFreeSpan span;
  span.length = static_cast<LONG>(count);
  for (LONGLONG lcn = from; lcn < from + count;) {
    if (Used(bits, lcn)) {
      ++lcn;
      continue;
    }
    LONGLONG end = lcn;
    while (end < from + count && !Used(bits, end)) ++end;
    const LONG length = static_cast<LONG>(end - lcn);
    if (lcn == from) span.prefix = length;
    if (end == from + count) span.suffix = length;
    if (lcn != from && end != from + count && length > span.longest) {
      span.longest = length;
      span.longestAt = static_cast<LONG>(lcn - from);
    }
    lcn = end;
  }
  return span;
}

void ExpectSame(const SFreeSpan& expected, const SFreeSpan& actual, const std::string& what) {
  EXPECT_EQ(expected.prefix, actual.prefix) << what;
  EXPECT_EQ(expected.suffix, actual.suffix) << what;
  EXPECT_EQ(expected.longest, actual.longest) << what;
  if (expected.longest > 0) {
    EXPECT_EQ(expected.longestAt, actual.longestAt) << what;
  }
}

TEST(FreeSpaceIndex, SummariesAgreeWithThePlainReadingAsTheBitsChange) {
  std::mt19937 random(3);
  for (const LONGLONG meanRun : std::vector<LONGLONG>{1, 7, 90, 700, 5000}) {
    std::vector<UCHAR> bits(kWindow / 8, 0xFF);
    for (LONGLONG lcn = static_cast<LONGLONG>(random()) % 50; lcn < kWindow;) {
      const LONGLONG free = 1 + static_cast<LONGLONG>(random()) % (2 * meanRun);
      const LONGLONG used = 1 + static_cast<LONGLONG>(random()) % (2 * meanRun);
      SetRange(&bits, lcn, std::min(lcn + free, kWindow), false);
      lcn += free + used;
    }
    CFreeSpaceIndex index;
    for (int change = 0; change < 4; ++change) {
      const CFreeSpaceIndex::SWindow* window = index.Update(kWindow, bits.data());
      ASSERT_NE(nullptr, window);
      const std::string what = "runs of about " + std::to_string(meanRun) + ", change " + std::to_string(change);
      ExpectSame(Reference(bits, 0, kWindow), window->whole, what);
      for (LONGLONG block = 0; block < CFreeSpaceIndex::kBlocks && !HasFailure(); ++block) {
        ExpectSame(Reference(bits, block * CFreeSpaceIndex::kBlockClusters, CFreeSpaceIndex::kBlockClusters),
                   window->blocks[static_cast<size_t>(block)], what + ", block " + std::to_string(block));
      }
      // A stretch freed or taken, crossing block edges now and then; the last change frees everything.
      const LONGLONG from = static_cast<LONGLONG>(random()) % kWindow;
      const LONGLONG to = std::min(kWindow, from + 1 + static_cast<LONGLONG>(random()) % 3000);
      if (change == 2) {
        SetRange(&bits, 0, kWindow, false);
      } else {
        SetRange(&bits, from, to, change % 2 == 0);
      }
    }
  }
  const std::vector<UCHAR> free(kWindow / 8, 0);
  EXPECT_EQ(nullptr, CFreeSpaceIndex().Update(CFreeSpaceIndex::kMaxWindows * kWindow, free.data()))
      << "windows past the bound are not held";
}

}  // namespace
