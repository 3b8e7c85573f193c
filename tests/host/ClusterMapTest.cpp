// The cluster map of `spindraxel map`: which cells show what, and where in the decoded PNG each cell's colour is.
#include <gtest/gtest.h>

#include <gd.h>
#include <unistd.h>

#include <memory>
#include <tuple>

#include "host/offline/ClusterMap.h"
#include "host/offline/VolumeAnalysis.h"

namespace {

using host::ClusterMap;
using host::Rgb;

// A PNG file as gd reads it back.
using Decoded = std::unique_ptr<gdImage, void (*)(gdImagePtr)>;

Rgb At(const Decoded& png, int x, int y) {
  const int pixel = gdImageGetTrueColorPixel(png.get(), x, y);
  return Rgb{uint8_t(gdTrueColorGetRed(pixel)), uint8_t(gdTrueColorGetGreen(pixel)),
             uint8_t(gdTrueColorGetBlue(pixel))};
}

Decoded WriteAndDecode(const ClusterMap& map) {
  char path[] = "/tmp/spindraxel-map-XXXXXX.png";
  close(mkstemps(path, 4));
  std::string error;
  EXPECT_TRUE(map.picture.WritePng(path, &error)) << error;
  Decoded decoded(gdImageCreateFromFile(path), gdImageDestroy);
  unlink(path);
  EXPECT_TRUE(decoded) << "gd cannot read the map back";
  return decoded;
}

// The colour at the middle of the cell that holds cluster `lcn`.
Rgb CellAt(const Decoded& png, const ClusterMap& map, int64_t lcn) {
  const int64_t cell = lcn / map.clustersPerCell;
  return At(png, map.gridLeft + static_cast<int>(cell % map.columns) * ClusterMap::kCellPitch + 3,
            map.gridTop + static_cast<int>(cell / map.columns) * ClusterMap::kCellPitch + 3);
}

// A volume of `clusters` clusters, all free but those of `used`, with an MFT zone of [zoneStart, zoneEnd).
struct Synthetic {
  Synthetic(int64_t clusters, int64_t zoneStart, int64_t zoneEnd, const std::vector<host::ClusterRun>& used = {}) {
    std::vector<uint8_t> bytes(static_cast<size_t>((clusters + 7) / 8));
    volume.totalClusters = volume.freeClusters = clusters;
    volume.clusterSize = 4096;
    volume.mftZoneStart = zoneStart;
    volume.mftZoneEnd = zoneEnd;
    for (const host::ClusterRun& run : used) {
      for (int64_t lcn = run.lcn; lcn < run.lcn + run.count; ++lcn) bytes[lcn / 8] |= uint8_t(1 << (lcn % 8));
      volume.freeClusters -= run.count;
    }
    bitmap = host::ClusterBitmap(bytes, clusters);
  }
  host::VolumeLayout volume;
  host::ClusterBitmap bitmap;
};

class MapWidths : public testing::TestWithParam<int> {};

TEST_P(MapWidths, PngDecodesToThePictureDrawnWithTheGridAndTextInside) {
  Synthetic synthetic(100000, 0, 12500, {{20, 400}, {50000, 7}});
  const std::string path = "/a/long/path/to/a/file/with/a/name/that/does/not/fit/a/narrow/map/of/640/pixels.bin";
  host::FileLayout file{path, 9, {{3000, 9}}};
  const ClusterMap map = host::DrawClusterMap("disk.img", synthetic.volume, synthetic.bitmap, {file}, GetParam());
  const Decoded png = WriteAndDecode(map);
  ASSERT_EQ(GetParam(), gdImageSX(png.get()));
  ASSERT_EQ(0, gdImageCompare(map.picture.Image(), png.get())) << "gd's flags of what differs";
  // Titles and legend entries are measured with the font and cut to stay clear of the right margin.
  for (int y = 0; y < gdImageSY(png.get()); ++y) {
    for (int x = GetParam() - 9; x < GetParam(); ++x) ASSERT_EQ((Rgb{255, 255, 255}), At(png, x, y)) << x << "," << y;
  }
  EXPECT_LE(map.gridLeft + map.columns * ClusterMap::kCellPitch, GetParam());
  EXPECT_LT(map.gridTop + map.rows * ClusterMap::kCellPitch, gdImageSY(png.get())) << "the legend comes under the grid";
  EXPECT_GE(static_cast<int64_t>(map.rows) * map.columns * map.clustersPerCell, 100000) << "every cluster has a cell";
  EXPECT_EQ(host::CellColour(host::kFirstHighlightCell), CellAt(png, map, 3004));
  // The cell that holds the zone's last cluster is zone; the next one and the short last row are free.
  EXPECT_EQ(host::CellColour(host::kZoneCell), CellAt(png, map, 12499));
  EXPECT_EQ(host::CellColour(host::kFreeCell),
            CellAt(png, map, (12499 / map.clustersPerCell + 1) * map.clustersPerCell));
  EXPECT_EQ(host::CellColour(host::kFreeCell), CellAt(png, map, 99999));
}

INSTANTIATE_TEST_SUITE_P(Widths, MapWidths, testing::Values(240, 641, 1024, 4000));

// Pairs of names whose legend entries must look different, or the same: text reaches gd as the characters typed,
// never as '?', gd's own markup or bytes it cannot decode.
class LegendNames : public testing::TestWithParam<std::tuple<const char*, const char*, bool>> {};

TEST_P(LegendNames, AreDrawnAsTheirCharacters) {
  Synthetic synthetic(1000, 0, 100, {{500, 1}});
  auto draw = [&](const char* name) {
    return host::DrawClusterMap("disk.img", synthetic.volume, synthetic.bitmap, {{name, 1, {{500, 1}}}}, 640);
  };
  const auto [name, other, same] = GetParam();
  const ClusterMap map = draw(name), lookalike = draw(other);
  ASSERT_FALSE(map.picture.Empty());
  EXPECT_EQ(same, gdImageCompare(map.picture.Image(), lookalike.picture.Image()) == 0);
}

INSTANTIATE_TEST_SUITE_P(Pairs, LegendNames,
                         testing::Values(std::make_tuple("Größe.bin", "Gr??e.bin", false),
                                         std::make_tuple("Größe.bin", "Gr\uFFFD\uFFFDe.bin", false),
                                         std::make_tuple("a&#66;&amp;.bin", "aB&.bin", false),
                                         std::make_tuple("a\xff\xe0.bin", "a\uFFFD\uFFFD.bin", true),
                                         std::make_tuple("a\nb\x7f.bin", "a\uFFFDb\uFFFD.bin", true)));

TEST(ClusterMap, UnwritablePathIsRefusedInOneLine) {
  std::string error;
  EXPECT_FALSE(host::Picture(240, 100, Rgb{}).WritePng("/nonexistent/map.png", &error));
  EXPECT_EQ("cannot write /nonexistent/map.png: No such file or directory", error);
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
  Synthetic synthetic(16, 6, 10, GetParam().used);
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
