// The classic cluster map of a volume: a grid of cells read left to right and top to bottom from cluster 0, each
// cell standing for the same number of clusters (the last may hold fewer), coloured by what its clusters hold. A
// cell that mixes shows the first of: a highlighted file (the one with most clusters in the cell; the earlier one
// when equal), used, MFT zone, free. Under the grid a legend names the colours and each highlighted file; above it
// a title names the image and its counts. Text is drawn in DejaVu Sans; without a font there is no map, and
// writing it says which package to install.
//
//   host::ClusterMap map = host::DrawClusterMap("disk.img", volume, bitmap, highlighted, 1024);
//   if (!map.picture.WritePng("map.png", &error)) ...
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/offline/Picture.h"
#include "host/offline/VolumeAnalysis.h"

namespace host {

// What a cell shows: one of these, or kFirstHighlightCell + the index of a highlighted file.
constexpr uint16_t kFreeCell = 0;
constexpr uint16_t kZoneCell = 1;
constexpr uint16_t kUsedCell = 2;
constexpr uint16_t kFirstHighlightCell = 3;

// Cell i covers clusters [i * clustersPerCell, (i + 1) * clustersPerCell) of the volume.
std::vector<uint16_t> ClassifyCells(const VolumeLayout& volume, const ClusterBitmap& bitmap,
                                    const std::vector<FileLayout>& highlighted, int64_t clustersPerCell);

Rgb CellColour(uint16_t cell);

struct ClusterMap {
  static constexpr int kCellPitch = 8;  // a cell is 7 x 7 pixels with a 1-pixel gap to the next
  static constexpr int kMinWidth = 240;
  static constexpr int kMaxWidth = 16384;

  Picture picture;
  // Cell i is drawn at (gridLeft + (i % columns) * kCellPitch, gridTop + (i / columns) * kCellPitch).
  int gridLeft = 0;
  int gridTop = 0;
  int columns = 0;
  int rows = 0;
  int64_t clustersPerCell = 1;
  std::vector<uint16_t> cells;
};

// A map `width` pixels wide (kMinWidth to kMaxWidth); as many cells fit across it as it allows and each holds as
// few clusters as keep the grid about half as high as it is wide. `title` is the image's name.
ClusterMap DrawClusterMap(const std::string& title, const VolumeLayout& volume, const ClusterBitmap& bitmap,
                          const std::vector<FileLayout>& highlighted, int width);

}  // namespace host
