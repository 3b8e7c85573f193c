// spindraxel check: an offline check of an NTFS image's cluster allocation, and fragment counts of chosen files.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "Commands.h"
#include "host/offline/ConsistencyCheck.h"

namespace {

const char kCheckDescription[] =
    "Checks that the clusters the files of the NTFS volume in IMAGE claim are exactly those its allocation bitmap\n"
    "marks as used: no cluster claimed twice, none claimed but free, none used by nobody (leaked). A file whose\n"
    "runs span several MFT records must agree with its attribute list: each record it names in use and of that\n"
    "file, each piece starting at the VCN the list says, the pieces covering the file without gap or overlap.\n"
    "\n"
    "For each PATH (volume-relative, '/' or '\\' between names, any case) it prints how many fragments and clusters\n"
    "the file has; holes of sparse files are not fragments.\n"
    "\n"
    "The image is opened read-only and must not be mounted elsewhere meanwhile; one with an interrupted move not\n"
    "yet rolled back is refused.\n"
    "\n"
    "With --repair the image is mounted read-write (refused like every read-write command), which rolls back an\n"
    "interrupted move, and leaked clusters are freed, nothing else: when the volume has any other inconsistency\n"
    "nothing is changed.";

const char kCheckFooter[] =
    "Exit status: 0 when consistent (after --repair: when it is now), 1 when not, 2 for a usage error, an image or\n"
    "PATH that cannot be read, or a repair refused.\n"
    "\n"
    "Examples:\n"
    "  spindraxel check disk.img\n"
    "  spindraxel check --repair disk.img\n"
    "  spindraxel check disk.img Data/big.bin 'Logs\\boot.txt'";

}  // namespace

int RunCheckCommand(const std::vector<std::string>& args) {
  CommandLine parser("check", "spindraxel check IMAGE [PATH...]", kCheckDescription, kCheckFooter);
  std::string image;
  std::vector<std::string> paths;
  bool repair = false;
  parser.App().add_flag("--repair", repair, "free leaked clusters (used in the bitmap, claimed by nothing)");
  parser.App().add_option("IMAGE", image)->required();
  parser.App().add_option("PATH", paths);
  if (const int status = parser.Parse(args); status >= 0) return status;

  std::string error;
  if (repair) {
    host::ClusterReport before;
    uint64_t freed = 0;
    if (!host::ConsistencyCheck::RepairLeaks(image, &before, &freed, &error)) {
      std::fputs(before.Describe().c_str(), stdout);
      std::fprintf(stderr, "spindraxel check: --repair %s: %s\n", image.c_str(), error.c_str());
      return 2;
    }
    std::printf("freed %llu leaked clusters\n", static_cast<unsigned long long>(freed));
  }
  std::unique_ptr<host::ConsistencyCheck> check = host::ConsistencyCheck::Open(image, &error);
  if (!check) {
    std::fprintf(stderr, "spindraxel check: %s\n", error.c_str());
    return 2;
  }
  host::ClusterReport report;
  if (!check->CheckClusters(&report, &error)) {
    std::fprintf(stderr, "spindraxel check: %s: %s\n", image.c_str(), error.c_str());
    return 2;
  }
  std::fputs(report.Describe().c_str(), stdout);

  bool allRead = true;
  for (const std::string& path : paths) {
    host::FileFragmentation file;
    if (!check->Fragmentation(path, &file, &error)) {
      std::fprintf(stderr, "spindraxel check: %s\n", error.c_str());
      allRead = false;
      continue;
    }
    std::printf("%s: %llu fragments, %llu clusters\n", path.c_str(), static_cast<unsigned long long>(file.fragments),
                static_cast<unsigned long long>(file.clusters));
  }
  if (!allRead) return 2;
  return report.Consistent() ? 0 : 1;
}
