// spindraxel map: the cluster map of an NTFS image as a PNG picture, with chosen files in colours of their own.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "host/offline/ClusterMap.h"
#include "host/offline/VolumeAnalysis.h"

namespace {

constexpr size_t kMaxHighlighted = 256;
constexpr int kDefaultWidth = 1024;

const char kMapUsage[] =
    "Usage: spindraxel map IMAGE --out FILE.png [--highlight PATH...] [--width PIXELS]\n"
    "\n"
    "Draws the cluster map of the NTFS volume in IMAGE as a PNG picture: a grid of cells read left to right and top\n"
    "to bottom from cluster 0, each cell standing for the same number of clusters (the line under the title says\n"
    "how many; the last cell may hold fewer). The colours:\n"
    "  white        free\n"
    "  blue         used\n"
    "  light green  the MFT zone, which the file system keeps free for the MFT (used clusters there show as used)\n"
    "  one colour per highlighted file, named in the legend under the grid with its fragments and clusters\n"
    "A cell whose clusters differ shows the first of these that applies: a highlighted file (the one with most\n"
    "clusters in the cell), used, MFT zone, free. A file in one fragment is one band of its colour; a fragmented\n"
    "file is scattered over the grid.\n"
    "\n"
    "Options:\n"
    "  --out FILE.png       where to write the picture (required; an existing file is replaced)\n"
    "  --highlight PATH...  files to colour, volume-relative with '/' or '\\' between names, any case; takes every\n"
    "                       following word up to the next option, may be repeated, at most 256 files\n"
    "  --width PIXELS       the picture's width, 240 to 16384 (1024 by default). The grid is about half as high as\n"
    "                       it is wide, plus the lines of the title and legend; a wider picture has more, smaller\n"
    "                       cells of fewer clusters each (never less than one)\n"
    "\n"
    "The image is opened read-only and must not be mounted read-write elsewhere meanwhile.\n"
    "\n"
    "Exit status: 0 when the picture was written, 1 when it could not be, 2 for a usage error or an image or PATH\n"
    "that cannot be read.\n"
    "\n"
    "Examples:\n"
    "  spindraxel map disk.img --out map.png\n"
    "  spindraxel map disk.img --out before.png --highlight Fragmented/file01.bin Fragmented/file02.bin\n"
    "  spindraxel map disk.img --out wide.png --width 2048 --highlight 'Data\\big.bin'\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "spindraxel map: %s\n", message.c_str());
  std::fputs("Try 'spindraxel map --help'.\n", stderr);
  return 2;
}

bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

}  // namespace

int RunMapCommand(const std::vector<std::string>& args) {
  std::string image, out;
  std::vector<std::string> paths;
  int width = kDefaultWidth;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kMapUsage, stdout);
      return 0;
    }
    if (arg == "--out") {
      if (i + 1 >= args.size() || IsOption(args[i + 1])) return UsageError("--out needs a file name, e.g. map.png");
      out = args[++i];
    } else if (arg == "--width") {
      const std::string value = i + 1 < args.size() ? args[++i] : "";
      if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(value) < host::ClusterMap::kMinWidth || std::stoi(value) > host::ClusterMap::kMaxWidth) {
        return UsageError("--width takes a number of pixels from 240 to 16384, not '" + value + "'");
      }
      width = std::stoi(value);
    } else if (arg == "--highlight") {
      const size_t before = paths.size();
      while (i + 1 < args.size() && !IsOption(args[i + 1])) paths.push_back(args[++i]);
      if (paths.size() == before) return UsageError("--highlight needs at least one PATH");
    } else if (IsOption(arg)) {
      return UsageError("unknown option " + arg);
    } else if (image.empty()) {
      image = arg;
    } else {
      return UsageError("unexpected '" + arg + "'; files to colour follow --highlight");
    }
  }
  if (image.empty()) return UsageError("no image to map, e.g. spindraxel map disk.img --out map.png");
  if (out.empty()) return UsageError("no picture to write: add --out FILE.png");
  if (paths.size() > kMaxHighlighted) return UsageError("at most 256 files can be highlighted");

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
