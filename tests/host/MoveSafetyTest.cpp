// A file scattered into thousands of runs, gathered a run at a time, ends whole and readable; small reads, served from
// the bytes read ahead, see every write, size change and corruption, and moves leave them alone.
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

TEST(SmallReads, SeeEveryChangeOfTheBytesReadAhead) {
  testsupport::TestImage image(16ull << 20);
  std::string content = testsupport::RandomBytes(100000, 3);
  ASSERT_TRUE(image.PutFragmentedFile(u"a.bin", content, 4));
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &error);
  ASSERT_TRUE(volume) << error;
  host::NtfsVolume::Node node;
  ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(u"a.bin", &node));
  auto read = [&](uint64_t offset, uint32_t length) {
    std::string bytes(length, '\0');
    uint32_t got = 0;
    EXPECT_EQ(STATUS_SUCCESS, volume->Read(node.mftRef, offset, bytes.data(), length, &got));
    bytes.resize(got);
    return bytes;
  };
  EXPECT_EQ(content.substr(0, 1), read(0, 1));
  EXPECT_EQ(content.substr(70000, 10), read(70000, 10)) << "past what the first read brought";
  ASSERT_EQ(STATUS_SUCCESS, volume->Write(node.mftRef, 70005, "XYZ", 3));
  content.replace(70005, 3, "XYZ");
  EXPECT_EQ(content.substr(70000, 10), read(70000, 10));
  ASSERT_EQ(STATUS_SUCCESS, volume->SetSize(node.mftRef, 70003));
  EXPECT_EQ(content.substr(70000, 3), read(70000, 10)) << "the file now ends there";
  EXPECT_EQ("", read(70003, 10));

  int64_t target = 0;
  ASSERT_EQ(STATUS_SUCCESS, volume->FindFreeRun(18, 0, 0, &target));
  ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(node.mftRef, 0, 18, target));
  EXPECT_EQ(content.substr(4090, 20), read(4090, 20));
  ASSERT_EQ(STATUS_SUCCESS, volume->FlipFirstByte(target));
  EXPECT_EQ(std::string(1, static_cast<char>(~content[0])), read(0, 1));
}

}  // namespace
