// The free-space searches against the plain cluster-by-cluster reading of the same bitmap: the word-at-a-time
// scan must give exactly the same answers, on a volume whose free space has been cut into pieces.
#include <gtest/gtest.h>

#include <random>

#include "SystemImage.h"
#include "defrag/Defragmentation.h"
#include "host/ntdll/Host.h"
#include "support/Native.h"
#include "support/TestImage.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

LONGLONG ReferenceFindFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG clusters, LONGLONG minLcn, LONGLONG maxLcn) {
  if (maxLcn == 0 || maxLcn > volume->GetTotalClusters()) maxLcn = volume->GetTotalClusters();
  CVolumeBitmapCache cache(volume, true);
  LONGLONG run = 0;
  for (LONGLONG lcn = minLcn; lcn < maxLcn; ++lcn) {
    run = cache.IsClusterUsed(lcn) ? 0 : run + 1;
    if (run >= clusters) return lcn - run + 1;
  }
  return -1;
}

// The longest free run: the largest length the reference first fit still finds, at the place it finds it (no
// longer run exists, so that place starts the lowest of the longest runs).
LONGLONG ReferenceFindLargest(std::shared_ptr<CVolume> volume, LONGLONG* length) {
  LONGLONG best = 0;
  for (LONGLONG step = volume->GetTotalClusters(); step > 0; step /= 2) {
    while (ReferenceFindFreeBlock(volume, best + step, 0, 0) >= 0) best += step;
  }
  if (best > 0) *length = best;
  return best > 0 ? ReferenceFindFreeBlock(volume, best, 0, 0) : -1;
}

// A volume of its own, mounted as F:: the log writer appends to C: at any moment, and a search must be compared
// with its reference on a bitmap that nothing changes in between.
class FreeBlockSearch : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // 512-byte clusters: two bitmap windows (614,400 clusters), so that runs and summaries meet across a window.
    image_ = new testsupport::TestImage(300ull << 20, 512);
    // Files of assorted sizes, every other one removed again: free space in many holes of many lengths.
    std::mt19937 random(7);
    std::string error;
    ASSERT_TRUE(host::MountDrive('F', image_->Path(), &error)) << error;
    for (int i = 0; i < 60; ++i) {
      const std::string name = "\\??\\F:\\hole" + std::to_string(i) + ".bin";
      const std::u16string path(name.begin(), name.end());
      WriteNativeFile(path, std::string((1 + random() % 40) * 4096, 'h'));
      if (i % 2 == 0) NtDeleteFile(testsupport::NamedAttributes(path).get());
    }
  }
  static void TearDownTestSuite() {
    host::UnmountDrive('F');
    delete image_;
  }

  std::shared_ptr<CVolume> OpenF() {
    auto volume = std::make_shared<CVolume>();
    EXPECT_TRUE(volume->Initialize(u"\\??\\F:"));
    return volume;
  }

  static testsupport::TestImage* image_;
};

testsupport::TestImage* FreeBlockSearch::image_ = nullptr;

TEST_F(FreeBlockSearch, FirstFitAgreesWithTheClusterByClusterReading) {
  std::shared_ptr<CVolume> volume = OpenF();
  const LONGLONG total = volume->GetTotalClusters();
  std::mt19937 random(11);
  for (int i = 0; i < 200; ++i) {
    LONGLONG clusters = 1 + random() % 64;
    LONGLONG minLcn = random() % total;
    LONGLONG maxLcn = i % 3 == 0 ? 0 : (i % 3 == 1 ? total + 100 : minLcn + random() % (total - minLcn + 1));
    EXPECT_EQ(ReferenceFindFreeBlock(volume, clusters, minLcn, maxLcn),
              CDefragmentation::FindFreeBlock(volume, clusters, minLcn, maxLcn))
        << clusters << " clusters in " << minLcn << "-" << maxLcn;
  }
}

TEST_F(FreeBlockSearch, LargestRunAgreesWithTheClusterByClusterReading) {
  std::shared_ptr<CVolume> volume = OpenF();
  LONGLONG expectedLength = -7, length = -7;
  EXPECT_EQ(ReferenceFindLargest(volume, &expectedLength), CDefragmentation::FindLargestFreeBlock(volume, length));
  EXPECT_EQ(expectedLength, length);
  EXPECT_GT(length, 0);
}

// The searches remember the bitmap between calls: after files come and go on the volume, they must still answer as
// the bits do now, in both windows and across the seam between them.
TEST_F(FreeBlockSearch, AnswersFollowTheBitmapAsItChangesBetweenSearches) {
  std::shared_ptr<CVolume> volume = OpenF();
  const LONGLONG total = volume->GetTotalClusters();
  ASSERT_GT(total, CVolumeBitmapCache::kWindowClusters);
  std::mt19937 random(5);
  for (int round = 0; round < 12; ++round) {
    const std::u16string path = u"\\??\\F:\\churn" + std::u16string(1, u'a' + round % 4) + u".bin";
    if (round % 3 == 2) {
      NtDeleteFile(testsupport::NamedAttributes(path).get());
    } else {
      WriteNativeFile(path, std::string((1 + random() % 3000) * 512, 'c'));
    }
    LONGLONG expectedLength = 0, length = 0;
    EXPECT_EQ(ReferenceFindLargest(volume, &expectedLength), CDefragmentation::FindLargestFreeBlock(volume, length));
    EXPECT_EQ(expectedLength, length) << "round " << round;
    for (int i = 0; i < 6; ++i) {
      const LONGLONG clusters = 1 + random() % (i < 3 ? 600 : 40000);
      const LONGLONG minLcn = random() % total;
      EXPECT_EQ(ReferenceFindFreeBlock(volume, clusters, minLcn, 0),
                CDefragmentation::FindFreeBlock(volume, clusters, minLcn, 0))
          << clusters << " clusters from " << minLcn << ", round " << round;
    }
  }
}

// A failed read answers for the cluster asked about, and the next question reads again: a transient failure must
// not take the free space of a whole window away.
TEST_F(FreeBlockSearch, FailedBitmapReadCountsOnlyTheClusterAskedAbout) {
  std::shared_ptr<CVolume> volume = OpenF();
  LONGLONG length = 0, again = 0;
  const LONGLONG largest = CDefragmentation::FindLargestFreeBlock(volume, length);
  LoggedSinceLastMark();
  FailNextCallOnThisThread("FSCTL_GET_VOLUME_BITMAP#1=0xC0000185");
  EXPECT_EQ(largest, CDefragmentation::FindLargestFreeBlock(volume, again));
  EXPECT_EQ(length, again);
  const std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos, logged.find("NtFsControlFile error. Code: 0xc0000185\r\n"));
  EXPECT_NE(std::string::npos,
            logged.find("Error occured while reloading from cluster 0. Marking cluster as used\r\n"));
}

TEST_F(FreeBlockSearch, RunIsNeverTakenFromTheReservedZoneOrPastTheRange) {
  std::shared_ptr<CVolume> volume = OpenF();
  const SReservedZone zone = volume->GetReservedZones().at(0);
  LONGLONG found = CDefragmentation::FindFreeBlock(volume, 1, zone.Start, zone.End);
  EXPECT_EQ(-1, found) << "the MFT zone counts as used";
  LoggedSinceLastMark();
  LONGLONG length = 0;
  LONGLONG largest = CDefragmentation::FindLargestFreeBlock(volume, length);
  ASSERT_GE(largest, 0);
  EXPECT_EQ(-1, CDefragmentation::FindFreeBlock(volume, length, largest, largest + length - 1))
      << "a run that needs the cluster at maxLcn is not found";
  EXPECT_EQ(largest, CDefragmentation::FindFreeBlock(volume, length, largest, largest + length));
  EXPECT_EQ(largest + 1, CDefragmentation::FindFreeBlock(volume, 1, largest + 1, 0)) << "minLcn inside a free run";
  std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos, logged.find(" L3 Didn't find a free block, search on " + std::to_string(largest) + "-" +
                                           std::to_string(largest + length - 1) + ".\r\n"));
  EXPECT_NE(std::string::npos,
            logged.find(" L3 Found a free block at " + std::to_string(largest + 1) + ":1, search on " +
                        std::to_string(largest + 1) + "-" + std::to_string(volume->GetTotalClusters()) + ".\r\n"));
}

}  // namespace
