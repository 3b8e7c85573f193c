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

}  // namespace
