// Image layouts: files land exactly where they are asked to, keep their bytes on the way, and a layout that cannot
// be made says why in one line without leaving the volume inconsistent.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "host/ImageLayout.h"
#include "host/NtfsVolume.h"
#include "support/TestImage.h"

namespace host {
// Found by argument lookup, so they live with the type.
bool operator==(const ClusterRun& a, const ClusterRun& b) { return a.lcn == b.lcn && a.count == b.count; }
void PrintTo(const ClusterRun& run, std::ostream* out) { *out << run.lcn << ":" << run.count; }
}  // namespace host

namespace {

using host::ClusterRun;
using host::NtfsVolume;

constexpr int64_t kCluster = 4096;

std::string Pattern(int64_t clusters) {
  std::string bytes(clusters * kCluster, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + (i / 509) % 26);
  return bytes;
}

std::vector<ClusterRun> Allocated(const std::vector<NtfsVolume::Run>& runs) {
  std::vector<ClusterRun> out;
  for (const NtfsVolume::Run& run : runs) out.push_back(ClusterRun{run.lcn, run.length});
  return out;
}

class ImageLayout : public testing::Test {
 protected:
  // Runs `layout` on the image mounted for the call.
  bool WithVolume(const std::function<bool(NtfsVolume&, std::string*)>& layout, std::string* error) {
    std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image_.Path(), error);
    return volume != nullptr && layout(*volume, error);
  }
  testsupport::TestImage image_;
};

TEST_F(ImageLayout, RunsAreTakenExactlyEvenOverTheFilesOwnClusters) {
  const std::string content = Pattern(8);
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", content, {{9000, 8}}));
  // Both targets overlap where the file lies, and its second half goes below its first.
  const std::vector<ClusterRun> wanted = {{9004, 4}, {9000, 3}, {8990, 1}};
  std::string error;
  ASSERT_TRUE(WithVolume(
      [&](NtfsVolume& volume, std::string* error) {
        NtfsVolume::Node node;
        return volume.Lookup(u"a.bin", &node) == STATUS_SUCCESS && host::PlaceRuns(volume, node.mftRef, wanted, error);
      },
      &error))
      << error;
  EXPECT_EQ(wanted, Allocated(image_.RunsOf(u"a.bin")));
  EXPECT_EQ(content, image_.Ntfscat("/a.bin"));
  EXPECT_TRUE(image_.ClustersConsistent());
}

TEST_F(ImageLayout, FragmentsAreAscendingOneClusterApartOutsideTheMftZone) {
  std::vector<ClusterRun> runs;
  ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\f.bin", Pattern(30), 7, &runs));
  ASSERT_EQ(7u, runs.size());
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image_.Path(), nullptr);
  ASSERT_TRUE(volume);
  NTFS_VOLUME_DATA_BUFFER data;
  ASSERT_EQ(STATUS_SUCCESS, volume->GetVolumeData(&data));
  volume.reset();
  EXPECT_TRUE(runs[0].lcn >= data.MftZoneEnd.QuadPart || runs[6].lcn + runs[6].count <= data.MftZoneStart.QuadPart);
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(i < 2 ? 5 : 4, runs[i].count) << "30 clusters in 7 runs: the first two take the remainder";
    if (i > 0) {
      EXPECT_EQ(runs[i - 1].lcn + runs[i - 1].count + 1, runs[i].lcn);
    }
  }
  EXPECT_EQ(runs, Allocated(image_.RunsOf(u"Data\\f.bin")));
  EXPECT_EQ(7u, image_.Fragments("/Data/f.bin").fragments);
  EXPECT_EQ(Pattern(30), image_.Ntfscat("/Data/f.bin"));
}

TEST_F(ImageLayout, ReplacingAFileLeavesOnlyTheNewContent) {
  ASSERT_TRUE(image_.PutFile(u"a.bin", Pattern(6)));
  ASSERT_TRUE(image_.PutFile(u"A.BIN", "short"));
  EXPECT_EQ("short", image_.Ntfscat("/a.bin"));
  EXPECT_TRUE(image_.ClustersConsistent());
}

struct Refusal {
  const char* name;
  std::function<bool(NtfsVolume&, std::string*)> layout;
  const char* error;
};
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class ImageLayoutRefusal : public ImageLayout, public testing::WithParamInterface<Refusal> {};

// Each is tried on a volume holding a.bin (4 clusters at 9000) and the directory Data.
TEST_P(ImageLayoutRefusal, SaysWhyAndLeavesTheVolumeConsistent) {
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", Pattern(4), {{9000, 4}}));
  ASSERT_TRUE(image_.MakeDirectory(u"Data"));
  std::string error;
  EXPECT_FALSE(WithVolume(GetParam().layout, &error));
  EXPECT_EQ(GetParam().error, error);
  EXPECT_EQ(Pattern(4), image_.Ntfscat("/a.bin"));
  EXPECT_TRUE(image_.ClustersConsistent());
}

uint64_t RefOf(NtfsVolume& volume, const std::u16string& path) {
  NtfsVolume::Node node;
  return volume.Lookup(path, &node) == STATUS_SUCCESS ? node.mftRef : 0;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageLayoutRefusal,
    testing::Values(
        Refusal{"RunsOfAnotherSize",
                [](NtfsVolume& v, std::string* e) {
                  return host::PlaceRuns(v, RefOf(v, u"a.bin"), {{12000, 3}}, e);
                },
                "the runs hold 3 clusters, the file 4"},
        Refusal{"TargetInUse",
                [](NtfsVolume& v, std::string* e) {
                  return host::PlaceRuns(v, RefOf(v, u"a.bin"), {{12000, 2}, {0, 2}}, e);
                },
                "moving 2 clusters to 0 answered 0xC0000021"},
        Refusal{"MoreFragmentsThanClusters",
                [](NtfsVolume& v, std::string* e) { return host::FragmentFile(v, RefOf(v, u"a.bin"), 5, nullptr, e); },
                "4 clusters cannot make 5 fragments"},
        Refusal{"FileAsParent",
                [](NtfsVolume& v, std::string* e) { return host::PutFile(v, u"a.bin\\b.bin", "b", nullptr, e); },
                "a.bin exists and is not a directory"},
        Refusal{"DirectoryAsFile",
                [](NtfsVolume& v, std::string* e) { return host::PutFile(v, u"Data", "b", nullptr, e); },
                "Data is a directory"},
        Refusal{"KeepingAUsedClusterFree",
                [](NtfsVolume& v, std::string* e) {
                  return host::FillVolumeExcept(v, {{9002, 1}}, u"Filler.bin", e);
                },
                "cluster 9002 is not free"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

}  // namespace
