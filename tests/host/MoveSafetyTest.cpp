// A process killed at any moment of a long series of cluster moves must leave every file's content intact: moves
// copy first and switch the file over after, so a crash can leak clusters but never lose or share them.
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

// Runs in the forked child: moves random pieces of the file to random free places until it is killed.
[[noreturn]] void MoveForever(const std::string& image, unsigned seed) {
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  host::NtfsVolume::Node node;
  if (!volume || !NT_SUCCESS(volume->Lookup(u"victim.bin", &node))) _exit(3);
  std::mt19937 random(seed);
  const int64_t clusters = static_cast<int64_t>(node.size / 4096);
  for (;;) {
    int64_t count = 1 + random() % 64;
    int64_t vcn = random() % (clusters - count + 1);
    int64_t target = 0;
    if (NT_SUCCESS(volume->FindFreeRun(count, 0, 0, &target))) volume->MoveClusters(node.mftRef, vcn, count, target);
  }
}

TEST(MoveCrash, KillAtRandomMomentsKeepsContentAndOnlyLeaks) {
  testsupport::TestImage image;
  std::mt19937 random(5);
  const std::string content = testsupport::RandomBytes(2 << 20, 5);
  ASSERT_TRUE(image.PutFragmentedFile(u"victim.bin", content, 300));
  auto lcnsOf = [&image] {
    std::vector<int64_t> lcns;
    for (const host::NtfsVolume::Run& run : image.RunsOf(u"victim.bin")) lcns.push_back(run.lcn);
    return lcns;
  };
  const std::vector<int64_t> before = lcnsOf();

  for (int round = 0; round < 6; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) MoveForever(image.Path(), static_cast<unsigned>(round));
    usleep(20000 + random() % 80000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself (status " << status << ")";

    EXPECT_EQ(content, image.Ntfscat("/victim.bin")) << "after kill " << round;
    std::string error;
    std::unique_ptr<host::ConsistencyCheck> check = host::ConsistencyCheck::Open(image.Path(), &error);
    ASSERT_TRUE(check) << error;
    host::ClusterReport report;
    ASSERT_TRUE(check->CheckClusters(&report, &error)) << error;
    EXPECT_EQ(0u, report.doublyUsed.count) << report.Describe();
    EXPECT_EQ(0u, report.usedButFree.count) << report.Describe();
  }
  EXPECT_NE(before, lcnsOf()) << "the children must have moved the file";
}

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
