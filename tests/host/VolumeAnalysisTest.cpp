// The offline analysis behind `spindraxel analyze` and `spindraxel map`: each file's clusters and fragments agree
// with ntfsinfo (the boot-time program's own count is compared with ntfsinfo on whole boots), the free space with the
// program's largest-block search and the MFT zone with what the host reports, and a walk finds every file once under
// its stored name.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <regex>

#include "defrag/Defragmentation.h"
#include "host/ntdll/Host.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/offline/VolumeAnalysis.h"
#include "support/TestImage.h"
#include "volume/Volume.h"

namespace {

using host::FileLayout;
using host::NtfsVolume;
using testsupport::TestImage;

// ntfsinfo's "fragments: N" for a file; 0 when it shows none (a resident or empty stream).
int NtfsinfoFragments(const TestImage& image, const std::string& path) {
  testsupport::CommandResult info =
      testsupport::RunCommand({testsupport::NtfsToolPath("ntfsinfo"), "-v", "-F", path, image.Path()});
  EXPECT_EQ(0, info.exitStatus) << info.err;
  std::smatch match;
  return std::regex_search(info.out, match, std::regex(R"(fragments: (\d+))")) ? std::stoi(match[1]) : 0;
}

// Opens the image's analysis, runs `read` on it and closes it again, so that other tools may open the image.
template <typename Read>
::testing::AssertionResult Analyze(const TestImage& image, Read read) {
  std::string error;
  std::unique_ptr<host::VolumeAnalysis> analysis = host::VolumeAnalysis::Open(image.Path(), &error);
  if (analysis && read(*analysis, &error)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << error;
}

struct FileKind {
  const char* name;
  const char* path;  // on the image, as ntfsinfo takes it
  int64_t clusters;  // what the report line says
  int64_t fragments;
};
void PrintTo(const FileKind& kind, std::ostream* out) { *out << kind.name; }

class FileKinds : public testing::TestWithParam<FileKind> {
 protected:
  static void SetUpTestSuite() {
    image_ = new TestImage();
    ASSERT_TRUE(image_->PutFragmentedFile(u"scattered.bin", std::string(25 * 2 * 4096, 's'), 25));
    ASSERT_TRUE(image_->PutCompressedFile(u"Packed\\compressed.bin", std::string(40 * 4096, 'z') + "tail"));
    ASSERT_TRUE(image_->PutFile(u"resident.bin", "tiny"));
    // Two allocated runs that meet on disk across a hole between them: one fragment.
    ASSERT_TRUE(image_->PutSparseFile(u"bridged.bin", 48 * 4096,
                                      {{0, std::string(16 * 4096, 'a')}, {32 * 4096, std::string(16 * 4096, 'b')}}));
    std::string error;
    std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image_->Path(), &error);
    ASSERT_TRUE(volume) << error;
    NtfsVolume::Node node;
    int64_t lcn = 0;
    ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(u"bridged.bin", &node));
    ASSERT_EQ(STATUS_SUCCESS, volume->FindFreeRun(32, 0, 0, &lcn));
    ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(node.mftRef, 32, 16, lcn + 16));
    ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(node.mftRef, 0, 16, lcn));
    // The middle compression unit elsewhere: three fragments with holes between.
    ASSERT_EQ(STATUS_SUCCESS, volume->Lookup(u"Packed\\compressed.bin", &node));
    ASSERT_EQ(STATUS_SUCCESS, volume->FindFreeRun(16, lcn, 64, &lcn));
    ASSERT_EQ(STATUS_SUCCESS, volume->MoveClusters(node.mftRef, 16, 16, lcn + 8));
  }
  static void TearDownTestSuite() { delete image_; }

  static TestImage* image_;
};
TestImage* FileKinds::image_ = nullptr;

TEST_P(FileKinds, CountsAsTheReportLineAndNtfsinfoDo) {
  const FileKind& kind = GetParam();
  FileLayout file;
  ASSERT_TRUE(Analyze(*image_, [&](host::VolumeAnalysis& analysis, std::string* error) {
    return analysis.ReadFile(kind.path, &file, error);
  }));
  EXPECT_EQ(kind.clusters, file.clusters);
  EXPECT_EQ(kind.fragments, static_cast<int64_t>(file.fragments.size()));
  EXPECT_EQ(NtfsinfoFragments(*image_, kind.path), static_cast<int>(file.fragments.size()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileKinds,
                         testing::Values(FileKind{"Scattered", "/scattered.bin", 50, 25},
                                         // Three compression units, each a few clusters and a hole.
                                         FileKind{"Compressed", "/Packed/compressed.bin", 48, 3},
                                         FileKind{"Resident", "/resident.bin", 0, 0},
                                         FileKind{"RunsMeetingAcrossAHole", "/bridged.bin", 48, 1}),
                         [](const testing::TestParamInfo<FileKind>& info) { return info.param.name; });

TEST(VolumeAnalysis, LargestFreeBlockAndZoneAreThoseTheProgramSees) {
  TestImage image;
  // Free: 600 clusters inside the MFT zone and two equal runs of 200 outside it.
  ASSERT_TRUE(image.FillVolumeExcept({{1000, 600}, {5000, 200}, {9000, 200}}));
  host::VolumeLayout layout;
  ASSERT_TRUE(Analyze(
      image, [&](host::VolumeAnalysis& analysis, std::string* error) { return analysis.ReadVolume(&layout, error); }));
  ASSERT_EQ(2051, layout.mftZoneEnd) << "the zone this test's free runs are placed around";
  EXPECT_EQ(600 + 400, layout.freeClusters);
  EXPECT_EQ(5000, layout.largestFreeLcn) << "the zone counts as used, and the lower of equal runs wins";
  EXPECT_EQ(200, layout.largestFreeClusters);

  // The same image as drive X:, as the boot-time program sees it.
  std::string error;
  ASSERT_TRUE(host::MountDrive('X', image.Path(), &error)) << error;
  auto volume = std::make_shared<CVolume>();
  EXPECT_TRUE(volume->Initialize(u"\\??\\X:"));
  LONGLONG length = 0;
  EXPECT_EQ(layout.largestFreeLcn, CDefragmentation::FindLargestFreeBlock(volume, length));
  EXPECT_EQ(layout.largestFreeClusters, length);
  EXPECT_EQ(layout.mftZoneStart, volume->GetReservedZones().at(0).Start);
  EXPECT_EQ(layout.mftZoneEnd, volume->GetReservedZones().at(0).End);
  EXPECT_EQ(layout.totalClusters, volume->GetTotalClusters());
  volume.reset();
  host::UnmountDrive('X');
}

// The word-at-a-time scans against the obvious cluster-by-cluster reading, on runs that start and end on both
// sides of word boundaries.
TEST(ClusterBitmap, ScansAgreeWithReadingEachCluster) {
  constexpr int64_t kClusters = 300;
  std::mt19937 random(5);
  std::vector<uint8_t> bytes((kClusters + 7) / 8);
  for (int64_t lcn = 0, state = 0; lcn < kClusters; ++lcn) {
    if (random() % 23 == 0 || lcn == 64 || lcn == 130) state ^= 1;
    if (lcn >= 140 && lcn < 270) state = lcn < 200;  // whole words in each state
    if (state) bytes[lcn / 8] |= static_cast<uint8_t>(1 << (lcn % 8));
  }
  host::ClusterBitmap bitmap(bytes, kClusters);
  for (int64_t from = 0; from <= kClusters; from += 1 + from % 7) {
    for (int64_t to = from; to <= kClusters; to += 1 + to % 11) {
      int64_t used = 0, firstFree = to, firstUsed = to;
      for (int64_t lcn = to - 1; lcn >= from; --lcn) {
        const bool set = (bytes[lcn / 8] >> (lcn % 8)) & 1;
        used += set;
        (set ? firstUsed : firstFree) = lcn;
      }
      ASSERT_EQ(used, bitmap.CountUsed(from, to)) << from << "-" << to;
      ASSERT_EQ(firstFree, bitmap.NextChange(from, to, true)) << from << "-" << to;
      ASSERT_EQ(firstUsed, bitmap.NextChange(from, to, false)) << from << "-" << to;
    }
  }
  const int64_t before = bitmap.CountUsed(0, 3), after = bitmap.CountUsed(77, kClusters);
  bitmap.MarkUsed(3, 77);
  EXPECT_EQ(74, bitmap.CountUsed(3, 77));
  EXPECT_EQ(before, bitmap.CountUsed(0, 3));
  EXPECT_EQ(after, bitmap.CountUsed(77, kClusters));
}

}  // namespace
