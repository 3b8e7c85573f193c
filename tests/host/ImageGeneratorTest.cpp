// Generated fragmented content: the same seed gives the same bytes and layout, the files are scattered outside the
// MFT zone on a consistent volume.
#include <gtest/gtest.h>

#include "host/offline/ImageGenerator.h"
#include "support/TestImage.h"

namespace {

struct Generated {
  std::vector<host::GeneratedFile> files;
  bool made = false;
  std::string error;
  int64_t zoneEnd = 0;
};

Generated Generate(const testsupport::TestImage& image, const host::FragmentOptions& options) {
  Generated result;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &result.error);
  if (!volume) return result;
  volume->SkipMoveFlushes();  // as `spindraxel image fragment` mounts it
  NTFS_VOLUME_DATA_BUFFER data{};
  volume->GetVolumeData(&data);
  result.zoneEnd = data.MftZoneEnd.QuadPart;
  result.made = host::GenerateFragmentedFiles(*volume, options, &result.files, &result.error);
  return result;
}

TEST(ImageGenerator, SameSeedGivesTheSameBytesAndLayoutOutsideTheMftZone) {
  host::FragmentOptions options;
  options.files = 4;
  options.size = 600 * 1024 + 17;
  options.seed = 5;
  testsupport::TestImage first, second;
  Generated a = Generate(first, options), b = Generate(second, options);
  ASSERT_TRUE(a.made) << a.error;
  ASSERT_TRUE(b.made) << b.error;
  ASSERT_EQ(4u, a.files.size());
  for (size_t i = 0; i < a.files.size(); ++i) {
    const std::u16string& path = a.files[i].path;
    EXPECT_EQ(151, a.files[i].clusters);
    EXPECT_GT(a.files[i].fragments, 1);
    EXPECT_EQ(host::GeneratedContent(5, static_cast<int>(i), options.size), first.ReadFile(path));
    std::vector<host::NtfsVolume::Run> runs = first.RunsOf(path), again = second.RunsOf(path);
    ASSERT_EQ(runs.size(), again.size());
    for (size_t r = 0; r < runs.size(); ++r) {
      EXPECT_EQ(runs[r].lcn, again[r].lcn);
      EXPECT_GE(runs[r].lcn, a.zoneEnd);
    }
  }
  EXPECT_NE(host::GeneratedContent(5, 0, 64), host::GeneratedContent(6, 0, 64));
  EXPECT_TRUE(first.ClustersConsistent());
}

// More than fits is refused before anything is written. Large files need no free run of their own size: their
// scattered places may take in where they were written.
TEST(ImageGenerator, RefusesWhatCannotFitAndScattersLargeFiles) {
  testsupport::TestImage image;
  host::FragmentOptions options;
  options.files = 4;
  options.size = 20 << 20;
  Generated refused = Generate(image, options);
  EXPECT_FALSE(refused.made);
  EXPECT_EQ(0u, refused.error.find("the files asked for need 100 MiB free outside the MFT zone")) << refused.error;
  EXPECT_EQ(std::string::npos,
            testsupport::RunCommand({testsupport::NtfsToolPath("ntfsls"), image.Path()}).out.find("Fragmented"));
  options.files = 2;
  options.size = 12 << 20;
  Generated made = Generate(image, options);
  ASSERT_TRUE(made.made) << made.error;
  EXPECT_EQ(host::GeneratedContent(1, 1, options.size), image.ReadFile(made.files[1].path));
  EXPECT_TRUE(image.ClustersConsistent());
}

// A volume filled nearly to what the size check lets through (the directory's index takes some of it): every
// file's first clusters must be reused after it moves away, and the index grows into clusters the generator did
// not hand out.
TEST(ImageGenerator, FillsTheFreeSpaceOutsideTheMftZone) {
  testsupport::TestImage image;
  std::string error;
  int64_t freeOutsideZone = 0;
  {
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image.Path(), &error);
    ASSERT_TRUE(volume) << error;
    NTFS_VOLUME_DATA_BUFFER data{};
    ASSERT_EQ(STATUS_SUCCESS, volume->GetVolumeData(&data));
    std::vector<uint8_t> bits(static_cast<size_t>((data.TotalClusters.QuadPart + 7) / 8));
    ASSERT_EQ(STATUS_SUCCESS, volume->ReadBitmap(0, bits.size(), bits.data()));
    for (int64_t lcn = 0; lcn < data.TotalClusters.QuadPart; ++lcn) {
      const bool inZone = lcn >= data.MftZoneStart.QuadPart && lcn < data.MftZoneEnd.QuadPart;
      freeOutsideZone += !inZone && !(bits[lcn / 8] >> (lcn % 8) & 1) ? 1 : 0;
    }
  }
  host::FragmentOptions options;
  options.size = 64 << 10;
  options.files = static_cast<int>(freeOutsideZone / 16 * 31 / 32);
  options.seed = 11;
  Generated filled = Generate(image, options);
  ASSERT_TRUE(filled.made) << filled.error;
  ASSERT_EQ(static_cast<size_t>(options.files), filled.files.size());
  for (int i : {0, options.files / 2, options.files - 1}) {
    EXPECT_EQ(host::GeneratedContent(11, i, options.size), image.ReadFile(filled.files[static_cast<size_t>(i)].path));
  }
  EXPECT_TRUE(image.ClustersConsistent());
}

// A part is halved only when no free run can hold it: here one run among 150 single free clusters can.
TEST(ImageGenerator, PartGoesWholeIntoTheOneRunLongEnough) {
  testsupport::TestImage image;
  std::vector<host::ClusterRun> keepFree{{12000, 64}};
  for (int64_t lcn = 9000; lcn < 9300; lcn += 2) keepFree.push_back({lcn, 1});
  ASSERT_TRUE(image.FillVolumeExcept(keepFree));
  host::FragmentOptions options;
  options.files = 1;
  options.size = 32 * 4096;
  options.minFragments = options.maxFragments = 1;
  Generated one = Generate(image, options);
  ASSERT_TRUE(one.made) << one.error;
  EXPECT_EQ(1, one.files[0].fragments);
  const std::vector<host::NtfsVolume::Run> runs = image.RunsOf(one.files[0].path);
  ASSERT_EQ(1u, runs.size());
  EXPECT_GE(runs[0].lcn, 12000);
  EXPECT_LE(runs[0].lcn + runs[0].length, 12064);
}

}  // namespace
