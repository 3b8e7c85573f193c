// spindraxel map: the cluster map of an NTFS image as a PNG picture, with chosen files in colours of their own.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "Commands.h"
#include "host/offline/ClusterMap.h"
#include "host/offline/VolumeAnalysis.h"

namespace {

constexpr size_t kMaxHighlighted = 256;
constexpr int kDefaultWidth = 1024;

const char kMapUsage[] = "spindraxel map IMAGE --out FILE.png [--highlight PATH...] [--width PIXELS]";

const char kMapDescription[] =
    "Draws the cluster map of the NTFS volume in IMAGE as a PNG picture: a grid of cells read left to right and top\n"
    "to bottom from cluster 0, each cell standing for the same number of clusters (the line under the title says\n"
    "how many; the last cell may hold fewer). The colours:\n"
    "  white        free\n"
    "  blue         used\n"
    "  light green  the MFT zone, which the file system keeps free for the MFT (used clusters there show as used)\n"
    "  one colour per highlighted file, named in the legend under the grid with its fragments and clusters\n"
    "A cell whose clusters differ shows the first of these that applies: a highlighted file (the one with most\n"
    "clusters in the cell), used, MFT zone, free. A file in one fragment is one band of its colour; a fragmented\n"
    "file is scattered over the grid.";

const char kMapFooter[] =
    "The image is opened read-only and must not be mounted read-write elsewhere meanwhile.\n"
    "\n"
    "Exit status: 0 when the picture was written, 1 when it could not be, 2 for a usage error or an image or PATH\n"
    "that cannot be read.\n"
    "\n"
    "Examples:\n"
    "  spindraxel map disk.img --out map.png\n"
    "  spindraxel map disk.img --out before.png --highlight Fragmented/file01.bin Fragmented/file02.bin\n"
    "  spindraxel map disk.img --out wide.png --width 2048 --highlight 'Data\\big.bin'";

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

}  // namespace

int RunMapCommand(const std::vector<std::string>& args) {
  CommandLine parser("map", kMapUsage, kMapDescription, kMapFooter);
  CLI::App& app = parser.App();
  std::string image, out;
  std::vector<std::string> paths;
  int width = kDefaultWidth;
  app.add_option("IMAGE", image)->required();
  app.add_option("--out", out, "where to write the picture (required; an existing file is replaced)")
      ->option_text("FILE.png")
      ->required();
  app.add_option("--highlight", paths,
                 "files to colour, volume-relative with '/' or '\\' between names, any case; takes every\n"
                 "following word up to the next option, may be repeated, at most 256 files")
      ->option_text("PATH...")
      ->allow_extra_args();
  app.add_option("--width", width,
                 "the picture's width, 240 to 16384 (1024 by default). The grid is about half as high as\n"
                 "it is wide, plus the lines of the title and legend; a wider picture has more, smaller\n"
                 "cells of fewer clusters each (never less than one)")
      ->option_text("PIXELS")
      ->check(CLI::Range(host::ClusterMap::kMinWidth, host::ClusterMap::kMaxWidth));
  if (const int status = parser.Parse(args); status >= 0) return status;
  if (paths.size() > kMaxHighlighted) return parser.Refuse("at most 256 files can be highlighted");

  std::string error;
  std::unique_ptr<host::VolumeAnalysis> analysis = host::VolumeAnalysis::Open(image, &error);
  host::VolumeLayout volume;
  host::ClusterBitmap bitmap;
  if (!analysis || !analysis->ReadVolume(&volume, &error) || !analysis->ReadBitmap(&bitmap, &error)) {
    std::fprintf(stderr, "spindraxel map: %s\n", error.c_str());
    return 2;
  }
  std::vector<host::FileLayout> highlighted(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!analysis->ReadFile(paths[i], &highlighted[i], &error)) {
      std::fprintf(stderr, "spindraxel map: %s\n", error.c_str());
      return 2;
    }
  }
  analysis.reset();

  const host::ClusterMap map = host::DrawClusterMap(BaseName(image), volume, bitmap, highlighted, width);
  if (!map.picture.WritePng(out, &error)) {
    std::fprintf(stderr, "spindraxel map: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %d x %d pixels, %d x %d cells of %lld cluster%s\n", out.c_str(), map.picture.Width(),
              map.picture.Height(), map.columns, map.rows, static_cast<long long>(map.clustersPerCell),
              map.clustersPerCell == 1 ? "" : "s");
  return 0;
}
