#include "host/offline/ClusterMap.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "host/offline/Typeface.h"

namespace host {
namespace {

constexpr Rgb kPageColour{255, 255, 255};
constexpr Rgb kGapColour{190, 190, 190};  // between cells and around swatches, so that free (white) cells show
constexpr Rgb kTextColour{0, 0, 0};
constexpr Rgb kNoteColour{90, 90, 90};
constexpr Rgb kFreeColour{255, 255, 255};
constexpr Rgb kZoneColour{160, 215, 150};
constexpr Rgb kUsedColour{70, 110, 180};
// Highlights first take colours far from the blue, green and white of the categories and from each other.
constexpr Rgb kHighlightColours[] = {{220, 30, 30}, {255, 150, 0},   {200, 30, 200}, {235, 205, 0},
                                     {120, 60, 20}, {255, 120, 180}, {110, 50, 210}, {0, 185, 185},
                                     {120, 0, 0},   {130, 130, 0},   {20, 20, 20},   {255, 80, 80}};
constexpr int kMargin = 10;
// Text sizes in pixels: the larger one from 640 pixels wide up.
constexpr int kSmallText = 11;
constexpr int kLargeText = 15;

Rgb HighlightColour(size_t index) {
  constexpr size_t kNamed = sizeof kHighlightColours / sizeof kHighlightColours[0];
  if (index < kNamed) return kHighlightColours[index];
  // Further files step round the hue circle by the golden angle, which keeps neighbours apart however many there
  // are; saturation and value alternate so that two hues that come close still differ.
  const double hue = std::fmod((index - kNamed) * 137.508, 360.0) / 60.0;
  const double value = index % 2 == 0 ? 0.95 : 0.7;
  const double saturation = index % 3 == 0 ? 0.6 : 0.95;
  auto channel = [&](double n) {
    const double k = std::fmod(n + hue, 6.0);
    return static_cast<uint8_t>(std::lround(255 * value * (1 - saturation * std::clamp(std::min(k, 4 - k), 0.0, 1.0))));
  };
  return Rgb{channel(5), channel(3), channel(1)};
}

std::string Grouped(int64_t number) {
  std::string digits = std::to_string(number);
  for (int at = static_cast<int>(digits.size()) - 3; at > (number < 0 ? 1 : 0); at -= 3) digits.insert(at, ",");
  return digits;
}

std::string Bytes(int64_t bytes) {
  if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

std::string Plural(int64_t count, const char* noun) { return Grouped(count) + " " + noun + (count == 1 ? "" : "s"); }

// A legend entry: a swatch of the colour, then its text.
struct LegendItem {
  Rgb colour;
  std::string text;
  int x = 0;
  int y = 0;
};

// Places the items left to right, wrapping at the right margin; returns the height they take.
int PlaceLegend(std::vector<LegendItem>* items, const Typeface& font, int width, int top) {
  const int swatchAndGap = font.CapHeight() + font.LineHeight() / 3;
  const int room = width - 2 * kMargin - swatchAndGap;
  int x = kMargin, y = top;
  for (LegendItem& item : *items) {
    item.text = font.Fit(item.text, room, true);
    const int itemWidth = swatchAndGap + font.Width(item.text);
    if (x > kMargin && x + itemWidth > width - kMargin) {
      x = kMargin;
      y += font.LineHeight();
    }
    item.x = x;
    item.y = y;
    x += itemWidth + font.LineHeight();
  }
  return items->empty() ? 0 : y + font.LineHeight() - top;
}

}  // namespace

Rgb CellColour(uint16_t cell) {
  switch (cell) {
    case kFreeCell:
      return kFreeColour;
    case kZoneCell:
      return kZoneColour;
    case kUsedCell:
      return kUsedColour;
    default:
      return HighlightColour(cell - kFirstHighlightCell);
  }
}

std::vector<uint16_t> ClassifyCells(const VolumeLayout& volume, const ClusterBitmap& bitmap,
                                    const std::vector<FileLayout>& highlighted, int64_t clustersPerCell) {
  const int64_t total = volume.totalClusters;
  std::vector<uint16_t> cells(static_cast<size_t>((total + clustersPerCell - 1) / clustersPerCell), kFreeCell);
  // Raises the cells that [from, to) touches to `kind`; a category never lowers a cell.
  auto raise = [&](int64_t from, int64_t to, uint16_t kind) {
    for (int64_t cell = from / clustersPerCell; cell <= (to - 1) / clustersPerCell; ++cell) {
      cells[cell] = std::max(cells[cell], kind);
    }
  };
  if (volume.mftZoneEnd > volume.mftZoneStart) raise(volume.mftZoneStart, volume.mftZoneEnd, kZoneCell);
  for (int64_t at = 0; at < total;) {
    const int64_t start = bitmap.NextChange(at, total, false);
    if (start == total) break;
    at = bitmap.NextChange(start, total, true);
    raise(start, at, kUsedCell);
  }

  // A cell goes to the highlighted file with most clusters in it; a later file needs strictly more.
  std::vector<int64_t> best(cells.size()), mine(cells.size());
  std::vector<int64_t> touched;
  for (size_t index = 0; index < highlighted.size(); ++index) {
    for (const ClusterRun& run : highlighted[index].fragments) {
      const int64_t from = std::max<int64_t>(run.lcn, 0), to = std::min(run.lcn + run.count, total);
      for (int64_t cell = from / clustersPerCell; from < to && cell <= (to - 1) / clustersPerCell; ++cell) {
        const int64_t inside = std::min(to, (cell + 1) * clustersPerCell) - std::max(from, cell * clustersPerCell);
        if (mine[cell] == 0) touched.push_back(cell);
        mine[cell] += inside;
      }
    }
    for (int64_t cell : touched) {
      if (mine[cell] > best[cell]) {
        best[cell] = mine[cell];
        cells[cell] = static_cast<uint16_t>(kFirstHighlightCell + index);
      }
      mine[cell] = 0;
    }
    touched.clear();
  }
  return cells;
}

ClusterMap DrawClusterMap(const std::string& title, const VolumeLayout& volume, const ClusterBitmap& bitmap,
                          const std::vector<FileLayout>& highlighted, int width) {
  width = std::min(std::max(width, ClusterMap::kMinWidth), ClusterMap::kMaxWidth);
  const int64_t total = std::max<int64_t>(volume.totalClusters, 1);

  ClusterMap map;
  std::string error;
  const std::optional<Typeface> font = Typeface::Find(width >= 640 ? kLargeText : kSmallText, &error);
  if (!font) {
    map.picture = Picture::Unavailable(error);
    return map;
  }
  const int lineHeight = font->LineHeight();
  map.columns = (width - 2 * kMargin + 1) / ClusterMap::kCellPitch;
  const int64_t wantedCells = static_cast<int64_t>(map.columns) * std::max(map.columns / 2, 1);
  map.clustersPerCell = (total + wantedCells - 1) / wantedCells;
  map.cells = ClassifyCells(volume, bitmap, highlighted, map.clustersPerCell);
  const int64_t cellCount = static_cast<int64_t>(map.cells.size());
  map.rows = static_cast<int>((cellCount + map.columns - 1) / map.columns);

  const int64_t used = volume.totalClusters - volume.freeClusters;
  const std::string heading = font->Fit(title + ": " + Plural(volume.totalClusters, "cluster") + " of " +
                                            Bytes(volume.clusterSize) + ", " + Grouped(used) + " used",
                                        width - 2 * kMargin, false);
  const std::string note =
      font->Fit("One cell: " + Plural(map.clustersPerCell, "cluster") + ", row by row from cluster 0",
                width - 2 * kMargin, false);

  std::vector<LegendItem> legend{
      {kFreeColour, "Free: " + Plural(volume.freeClusters, "cluster")},
      {kUsedColour, "Used: " + Plural(used, "cluster")},
      {kZoneColour, "MFT zone: " + Plural(volume.mftZoneEnd - volume.mftZoneStart, "cluster") + " from " +
                        Grouped(volume.mftZoneStart)}};
  for (size_t index = 0; index < highlighted.size(); ++index) {
    const FileLayout& file = highlighted[index];
    legend.push_back(LegendItem{HighlightColour(index),
                                file.path + ": " + Plural(static_cast<int64_t>(file.fragments.size()), "fragment") +
                                    ", " + Plural(file.clusters, "cluster")});
  }

  map.gridLeft = kMargin + 1;
  map.gridTop = kMargin + 2 * lineHeight + lineHeight / 2;
  const int gridBottom = map.gridTop + map.rows * ClusterMap::kCellPitch;
  const int legendTop = gridBottom + lineHeight / 2;
  const int height = legendTop + PlaceLegend(&legend, *font, width, legendTop) + kMargin;

  Picture& picture = map.picture;
  picture = Picture(width, height, kPageColour);
  if (picture.Empty()) return map;
  font->Draw(&picture, kMargin, kMargin, heading, kTextColour);
  font->Draw(&picture, kMargin, kMargin + lineHeight, note, kNoteColour);

  // The gap colour behind the cells that exist, with a 1-pixel frame: the last row may be short.
  const int fullRows = static_cast<int>(cellCount / map.columns);
  const int lastRowCells = static_cast<int>(cellCount % map.columns);
  picture.Fill(map.gridLeft - 1, map.gridTop - 1, map.columns * ClusterMap::kCellPitch + 1,
               fullRows * ClusterMap::kCellPitch + 1, kGapColour);
  if (lastRowCells > 0) {
    picture.Fill(map.gridLeft - 1, map.gridTop - 1 + fullRows * ClusterMap::kCellPitch,
                 lastRowCells * ClusterMap::kCellPitch + 1, ClusterMap::kCellPitch + 1, kGapColour);
  }
  for (int64_t cell = 0; cell < cellCount; ++cell) {
    picture.Fill(map.gridLeft + static_cast<int>(cell % map.columns) * ClusterMap::kCellPitch,
                 map.gridTop + static_cast<int>(cell / map.columns) * ClusterMap::kCellPitch,
                 ClusterMap::kCellPitch - 1, ClusterMap::kCellPitch - 1, CellColour(map.cells[cell]));
  }

  // A swatch is as tall as a capital and stands on the baseline of its text.
  const int swatch = font->CapHeight();
  for (const LegendItem& item : legend) {
    const int swatchTop = item.y + font->Ascent() - swatch;
    picture.Fill(item.x, swatchTop, swatch, swatch, kGapColour);
    picture.Fill(item.x + 1, swatchTop + 1, swatch - 2, swatch - 2, item.colour);
    font->Draw(&picture, item.x + swatch + lineHeight / 3, item.y, item.text, kTextColour);
  }
  return map;
}

}  // namespace host
