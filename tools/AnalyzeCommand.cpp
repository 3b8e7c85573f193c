// spindraxel analyze: how fragmented an NTFS image is, counted as the boot-time program's report lines count it.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CommandLine.h"
#include "Commands.h"
#include "host/offline/VolumeAnalysis.h"

namespace {

const char kAnalyzeUsage[] = "spindraxel analyze IMAGE [PATH...] [--json] [--top N | --all]";

const char kAnalyzeDescription[] =
    "Shows how fragmented the NTFS volume in IMAGE is. Each file is counted as the boot-time program counts it in\n"
    "its report line (File \"PATH:\", Clusters: N, Fragments: M); for ordinary files this agrees with ntfsinfo's\n"
    "\"fragments\" (which, for the volume's own files, adds up all their attributes):\n"
    "  clusters   the file's virtual clusters: holes of sparse files and compressed tails included\n"
    "  fragments  runs of clusters contiguous on disk, neighbouring runs merged; holes are not fragments. A file\n"
    "             small enough to live in its MFT record, and an empty one, has 0 clusters and 0 fragments.\n"
    "A directory named as PATH is counted by its index (0 and 0 when the index fits in its MFT record).\n"
    "\n"
    "For the volume it shows:\n"
    "  its clusters, their size and how many are free;\n"
    "  the largest free block: the longest free run with the MFT zone counted as used, as the program's\n"
    "    free-space searches see it, so the largest file a whole-file move can gather;\n"
    "  the MFT zone [start, end) the volume reports (FSCTL_GET_NTFS_VOLUME_DATA), which files are never moved into;\n"
    "  files (every directory is walked from the root; a file with several names counts once; directories are\n"
    "    counted apart), fragmented files (more than one fragment), fragments of all files, and the average\n"
    "    fragments per fragmented file.\n"
    "\n"
    "Files listed: each PATH (volume-relative, '/' or '\\' between names, any case); without PATH the 20 most\n"
    "fragmented files (only files in more than one fragment), most fragmented first.";

const char kAnalyzeFooter[] =
    "The image is opened read-only and must not be mounted read-write elsewhere meanwhile.\n"
    "\n"
    "Exit status: 0 when done, 1 when a PATH cannot be read (the others are still listed), 2 for a usage error or\n"
    "an image that cannot be read.\n"
    "\n"
    "Examples:\n"
    "  spindraxel analyze disk.img\n"
    "  spindraxel analyze disk.img Fragmented/file01.bin 'Data\\big.bin'\n"
    "  spindraxel analyze disk.img --top 100\n"
    "  spindraxel analyze disk.img --json > layout.json";

// One JSON object, its fields in a fixed order for readers that diff the output. Bytes that are not UTF-8 (a PATH
// argument may hold any) become U+FFFD, so the output always parses.
void PrintJson(const std::string& image, const host::VolumeLayout& volume, const host::VolumeFiles& walk,
               const host::FragmentationTotals& totals, const std::vector<host::FileLayout>& listed) {
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  for (const host::FileLayout& file : listed) {
    files.push_back({{"path", file.path}, {"clusters", file.clusters}, {"fragments", file.fragments.size()}});
  }
  const nlohmann::ordered_json json = {
      {"image", image},
      {"clusterSize", volume.clusterSize},
      {"totalClusters", volume.totalClusters},
      {"freeClusters", volume.freeClusters},
      {"largestFreeBlock", {{"lcn", volume.largestFreeLcn}, {"clusters", volume.largestFreeClusters}}},
      {"mftZone", {{"start", volume.mftZoneStart}, {"end", volume.mftZoneEnd}}},
      {"fileCount", totals.files},
      {"directoryCount", walk.directories},
      {"fragmentedFileCount", totals.fragmentedFiles},
      {"fragmentCount", totals.fragments},
      {"averageFragmentsPerFragmentedFile", std::round(totals.AveragePerFragmentedFile() * 100) / 100},
      {"files", files}};
  std::printf("%s\n", json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

// The boot-time program's configuration carries printable ASCII only, so a file with another name in its path can
// be analyzed here but not listed for a boot.
bool NameableInConfiguration(const std::string& path) {
  return std::all_of(path.begin(), path.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

void PrintFileTable(const std::vector<host::FileLayout>& files) {
  std::printf("  %9s  %12s  %s\n", "Fragments", "Clusters", "Path");
  bool marked = false;
  for (const host::FileLayout& file : files) {
    const bool nameable = NameableInConfiguration(file.path);
    marked = marked || !nameable;
    std::printf("  %9zu  %12" PRId64 "  %s%s\n", file.fragments.size(), file.clusters, file.path.c_str(),
                nameable ? "" : "  (*)");
  }
  if (marked) std::printf("  (*) not ASCII: a boot's configuration cannot name this file\n");
}

void PrintText(const std::string& image, const host::VolumeLayout& volume, const host::VolumeFiles& walk,
               const host::FragmentationTotals& totals) {
  std::printf("Volume %s\n", image.c_str());
  std::printf("  Clusters:            %" PRId64 " of %" PRId64 " bytes\n", volume.totalClusters, volume.clusterSize);
  std::printf("  Free clusters:       %" PRId64 "\n", volume.freeClusters);
  if (volume.largestFreeClusters > 0) {
    std::printf("  Largest free block:  %" PRId64 " clusters from cluster %" PRId64 " (outside the MFT zone)\n",
                volume.largestFreeClusters, volume.largestFreeLcn);
  } else {
    std::printf("  Largest free block:  none (no free cluster outside the MFT zone)\n");
  }
  std::printf("  MFT zone:            %" PRId64 " clusters from cluster %" PRId64 "\n",
              volume.mftZoneEnd - volume.mftZoneStart, volume.mftZoneStart);
  std::printf("  Files:               %" PRId64 " (and %" PRId64 " directories)\n", totals.files, walk.directories);
  std::printf("  Fragmented files:    %" PRId64 "\n", totals.fragmentedFiles);
  std::printf("  Fragments:           %" PRId64 "\n", totals.fragments);
  std::printf("  Fragments per fragmented file: %.2f\n", totals.AveragePerFragmentedFile());
}

}  // namespace

int RunAnalyzeCommand(const std::vector<std::string>& args) {
  CommandLine parser("analyze", kAnalyzeUsage, kAnalyzeDescription, kAnalyzeFooter);
  CLI::App& app = parser.App();
  std::string image;
  std::vector<std::string> paths;
  bool json = false, all = false;
  size_t top = 20;
  app.add_option("IMAGE", image)->required();
  app.add_option("PATH", paths);
  app.add_flag("--json", json,
               "print one JSON object instead: the volume's fields and a \"files\" array of {path, clusters,\n"
               "fragments}; without PATH the array holds every file of the volume, most fragmented first");
  CLI::Option* topOption = app.add_option("--top", top, "without PATH, list the N most fragmented files")
                               ->option_text("N")
                               ->check(CLI::Range(size_t{1}, size_t{999999999}));
  app.add_flag("--all", all, "without PATH, list every file, fragmented or not");
  if (const int status = parser.Parse(args); status >= 0) return status;
  const bool topGiven = topOption->count() > 0;
  if (all && topGiven) return parser.Refuse("--top and --all exclude each other");
  if (!paths.empty() && (all || topGiven)) return parser.Refuse("--top and --all choose files only without PATH");

  std::string error;
  std::unique_ptr<host::VolumeAnalysis> analysis = host::VolumeAnalysis::Open(image, &error);
  host::VolumeLayout volume;
  host::VolumeFiles walk;
  if (!analysis || !analysis->ReadVolume(&volume, &error) || !analysis->ReadAllFiles(&walk, &error)) {
    std::fprintf(stderr, "spindraxel analyze: %s\n", error.c_str());
    return 2;
  }
  const host::FragmentationTotals totals = host::FragmentationTotals::Of(walk.files);

  bool allRead = true;
  std::vector<host::FileLayout> listed;
  if (!paths.empty()) {
    for (const std::string& path : paths) {
      host::FileLayout file;
      if (!analysis->ReadFile(path, &file, &error)) {
        std::fprintf(stderr, "spindraxel analyze: %s\n", error.c_str());
        allRead = false;
        continue;
      }
      listed.push_back(std::move(file));
    }
  } else {
    listed = std::move(walk.files);
    host::SortByFragmentation(&listed);
    if (!all && (topGiven || !json)) {
      size_t fragmented = 0;
      while (fragmented < listed.size() && listed[fragmented].fragments.size() > 1) ++fragmented;
      listed.resize(std::min(fragmented, top));
    }
  }

  if (json) {
    PrintJson(image, volume, walk, totals, listed);
    return allRead ? 0 : 1;
  }
  PrintText(image, volume, walk, totals);
  std::printf("\n");
  if (!paths.empty()) {
    if (!listed.empty()) PrintFileTable(listed);
  } else if (all) {
    std::printf("Every file, most fragmented first:\n");
    PrintFileTable(listed);
  } else if (listed.empty()) {
    std::printf("No file is in more than one fragment.\n");
  } else if (static_cast<int64_t>(listed.size()) == totals.fragmentedFiles) {
    std::printf("The %zu fragmented file%s, most fragmented first:\n", listed.size(), listed.size() == 1 ? "" : "s");
    PrintFileTable(listed);
  } else {
    std::printf("The %zu most fragmented of %" PRId64 " fragmented files (--top N or --all for more):\n", listed.size(),
                totals.fragmentedFiles);
    PrintFileTable(listed);
  }
  return allRead ? 0 : 1;
}
