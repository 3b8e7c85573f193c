// A file scattered into thousands of runs, gathered a run at a time, ends whole and readable.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ConsistencyCheck.h"
#include "support/RandomBytes.h"
#include "support/TestImage.h"

namespace {

TEST(MoveRoundTrip, FileScatteredIntoThousandsOfRunsIsGatheredWhole) {
  testsupport::TestImage image(256ull << 20);
  const std::string content = testsupport::RandomBytes(3000 * 2 * 4096, 9);
  ASSERT_TRUE(image.PutFragmentedFile(u"scattered.bin", content, 3000));
  ASSERT_EQ(3000u, image.Fragments("/scattered.bin").fragments);
  EXPECT_TRUE(image.ClustersConsistent()) << "its runs span a dozen records through a non-resident attribute list";
  {
    std::string error;
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &error);
    ASSERT_TRUE(volume) << error;
    host::NtfsVolume::Node node;
    ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(u"scattered.bin", &node));
    const int64_t clusters = static_cast<int64_t>(content.size() / 4096);
    int64_t target = 0;
    ASSERT_EQ(STATUS_SUCCESS, volume->FindFreeRun(clusters, 0, 0, &target));
    // Gathered a run at a time, as the engine does when it moves a file piece by piece.
    for (int64_t vcn = 0; vcn < clusters; vcn += 2) {
      ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(node.mftRef, vcn, 2, target + vcn)) << vcn;
    }
  }
  EXPECT_EQ(1u, image.Fragments("/scattered.bin").fragments);
  EXPECT_TRUE(image.Ntfscat("/scattered.bin") == content);
  EXPECT_TRUE(image.ClustersConsistent());
  EXPECT_EQ(0, image.RunNtfsfix().exitStatus);
}

}  // namespace
