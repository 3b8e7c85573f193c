// The cluster map of `spindraxel map`: which cells show what, and where in the decoded PNG each cell's colour is.
#include <gtest/gtest.h>

#include <png.h>
#include <unistd.h>

#include <memory>

#include "host/offline/ClusterMap.h"
#include "host/offline/VolumeAnalysis.h"
#include "support/TestImage.h"

namespace {

using host::ClusterMap;
using host::Rgb;

// A PNG file as libpng reads it back, independently of how it was written.
struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;

  Rgb At(int x, int y) const {
    const uint8_t* pixel = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
    return Rgb{pixel[0], pixel[1], pixel[2]};
  }
};

Decoded WriteAndDecode(const ClusterMap& map) {
  char path[] = "/tmp/spindraxel-map-XXXXXX";
  const int fd = mkstemp(path);
  close(fd);
  std::string error;
  EXPECT_TRUE(map.picture.WritePng(path, &error)) << error;
  Decoded decoded;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path)) {
    image.format = PNG_FORMAT_RGB;
    decoded.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, decoded.rgb.data(), 0, nullptr)) {
      decoded.width = static_cast<int>(image.width);
      decoded.height = static_cast<int>(image.height);
    }
  }
  EXPECT_NE(0, decoded.width) << "libpng cannot read the map: " << image.message;
  png_image_free(&image);
  unlink(path);
  return decoded;
}

// The colour at the middle of the cell that holds cluster `lcn`.
Rgb CellAt(const Decoded& png, const ClusterMap& map, int64_t lcn) {
  const int64_t cell = lcn / map.clustersPerCell;
  return png.At(map.gridLeft + static_cast<int>(cell % map.columns) * ClusterMap::kCellPitch + 3,
                map.gridTop + static_cast<int>(cell / map.columns) * ClusterMap::kCellPitch + 3);
}

// A volume of `clusters` clusters, all free but those of `used`, with an MFT zone of [zoneStart, zoneEnd).
struct Synthetic {
  host::VolumeLayout volume;
  host::ClusterBitmap bitmap;
};
Synthetic SyntheticVolume(int64_t clusters, int64_t zoneStart, int64_t zoneEnd,
                          const std::vector<host::ClusterRun>& used = {}) {
  std::vector<uint8_t> bytes(static_cast<size_t>((clusters + 7) / 8));
  int64_t usedCount = 0;
  for (const host::ClusterRun& run : used) {
    for (int64_t lcn = run.lcn; lcn < run.lcn + run.count; ++lcn) bytes[lcn / 8] |= uint8_t(1 << (lcn % 8));
    usedCount += run.count;
  }
  Synthetic synthetic;
  synthetic.volume.totalClusters = clusters;
  synthetic.volume.clusterSize = 4096;
  synthetic.volume.freeClusters = clusters - usedCount;
  synthetic.volume.mftZoneStart = zoneStart;
  synthetic.volume.mftZoneEnd = zoneEnd;
  synthetic.bitmap = host::ClusterBitmap(bytes, clusters);
  return synthetic;
}

class MapWidths : public testing::TestWithParam<int> {};

TEST_P(MapWidths, PngDecodesToThePictureDrawnWithTheGridInside) {
  Synthetic synthetic = SyntheticVolume(100000, 0, 12500, {{20, 400}, {50000, 7}});
  host::FileLayout file{"/a/long/path/to/a/file/with/a/name/that/does/not/fit/a/narrow/map.bin", 9, {{3000, 9}}};
  const ClusterMap map = host::DrawClusterMap("disk.img", synthetic.volume, synthetic.bitmap, {file}, GetParam());
  const Decoded png = WriteAndDecode(map);
  ASSERT_EQ(GetParam(), png.width);
  ASSERT_EQ(map.picture.Height(), png.height);
  for (int y = 0; y < png.height; ++y) {
    for (int x = 0; x < png.width; ++x) ASSERT_EQ(map.picture.At(x, y), png.At(x, y)) << x << "," << y;
  }
  EXPECT_LE(map.gridLeft + map.columns * ClusterMap::kCellPitch, GetParam());
  EXPECT_LT(map.gridTop + map.rows * ClusterMap::kCellPitch, png.height) << "the legend comes under the grid";
  EXPECT_GE(static_cast<int64_t>(map.rows) * map.columns * map.clustersPerCell, 100000) << "every cluster has a cell";
  EXPECT_EQ(host::CellColour(host::kFirstHighlightCell), CellAt(png, map, 3004));
}

INSTANTIATE_TEST_SUITE_P(Widths, MapWidths, testing::Values(240, 641, 1024, 4000));

TEST(ClusterMap, HighlightedFilesAreDrawnInTheirColoursAtTheirCellsOnly) {
  testsupport::TestImage image;
  ASSERT_TRUE(image.PutFileAt(u"a.bin", std::string(8 * 4096, 'a'), {{9000, 5}, {5000, 3}}));
  ASSERT_TRUE(image.PutFileAt(u"b.bin", std::string(4 * 4096, 'b'), {{12000, 4}}));
  std::string error;
  std::unique_ptr<host::VolumeAnalysis> analysis = host::VolumeAnalysis::Open(image.Path(), &error);
  ASSERT_TRUE(analysis) << error;
  host::VolumeLayout volume;
  host::ClusterBitmap bitmap;
  std::vector<host::FileLayout> files(2);
  ASSERT_TRUE(analysis->ReadVolume(&volume, &error) && analysis->ReadBitmap(&bitmap, &error) &&
              analysis->ReadFile("A.BIN", &files[0], &error) && analysis->ReadFile("\\b.bin", &files[1], &error))
      << error;

  const ClusterMap map = host::DrawClusterMap("disk.img", volume, bitmap, files, 1024);
  const Decoded png = WriteAndDecode(map);
  ASSERT_GT(map.clustersPerCell, 1) << "cells that mix the files' clusters with others";
  const Rgb a = host::CellColour(host::kFirstHighlightCell), b = host::CellColour(host::kFirstHighlightCell + 1);
  auto holds = [&](int64_t lcn, const host::ClusterRun& run) {
    const int64_t cell = lcn / map.clustersPerCell;
    return run.lcn / map.clustersPerCell <= cell && cell <= (run.lcn + run.count - 1) / map.clustersPerCell;
  };
  for (int64_t lcn = 0; lcn < volume.totalClusters; lcn += map.clustersPerCell) {
    const bool inA = holds(lcn, {9000, 5}) || holds(lcn, {5000, 3}), inB = holds(lcn, {12000, 4});
    const Rgb shown = CellAt(png, map, lcn);
    ASSERT_EQ(inA, shown == a) << "cluster " << lcn;
    ASSERT_EQ(inB, shown == b) << "cluster " << lcn;
  }
}

TEST(ClusterMap, FreeVolumeIsAllFreeOutsideTheZone) {
  Synthetic synthetic = SyntheticVolume(16383, 0, 2051);
  const ClusterMap map = host::DrawClusterMap("free.img", synthetic.volume, synthetic.bitmap, {}, 1024);
  const Decoded png = WriteAndDecode(map);
  for (int64_t lcn = 0; lcn < 16383; lcn += map.clustersPerCell) {
    const bool inZone = lcn < 2051;  // a cell that starts before the zone's end holds some of it
    ASSERT_EQ(host::CellColour(inZone ? host::kZoneCell : host::kFreeCell), CellAt(png, map, lcn)) << lcn;
  }
}

struct MixedCell {
  const char* name;
  std::vector<host::ClusterRun> used;
  std::vector<std::vector<host::ClusterRun>> files;
  uint16_t expected;  // what the cell of clusters [4, 8) shows; the zone is [6, 10)
};
void PrintTo(const MixedCell& mixed, std::ostream* out) { *out << mixed.name; }

class MixedCells : public testing::TestWithParam<MixedCell> {};

TEST_P(MixedCells, ShowTheFirstThatApplies) {
  Synthetic synthetic = SyntheticVolume(16, 6, 10, GetParam().used);
  std::vector<host::FileLayout> files;
  for (const auto& runs : GetParam().files) files.push_back(host::FileLayout{"f", 0, runs});
  const std::vector<uint16_t> cells = host::ClassifyCells(synthetic.volume, synthetic.bitmap, files, 4);
  ASSERT_EQ(4u, cells.size());
  EXPECT_EQ(GetParam().expected, cells[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Priorities, MixedCells,
    testing::Values(MixedCell{"ZoneOverFree", {}, {}, host::kZoneCell},
                    MixedCell{"UsedOverZone", {{4, 1}}, {}, host::kUsedCell},
                    MixedCell{"FileOverUsed", {{4, 4}}, {{{7, 1}}}, host::kFirstHighlightCell},
                    MixedCell{"FileWithMostClusters", {{4, 4}}, {{{4, 1}}, {{5, 2}}}, host::kFirstHighlightCell + 1},
                    MixedCell{"EarlierFileOfEquals", {{4, 4}}, {{{3, 3}}, {{6, 2}}}, host::kFirstHighlightCell}),
    [](const testing::TestParamInfo<MixedCell>& info) { return info.param.name; });

}  // namespace
