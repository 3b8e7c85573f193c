// spindraxel check: an offline check of an NTFS image's cluster allocation, and fragment counts of chosen files.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "host/offline/ConsistencyCheck.h"

namespace {

const char kCheckUsage[] =
    "Usage: spindraxel check IMAGE [PATH...]\n"
    "\n"
    "Checks that the clusters the files of the NTFS volume in IMAGE claim are exactly those its allocation bitmap\n"
    "marks as used: no cluster claimed twice, none claimed but free, none used by nobody (leaked). For each PATH\n"
    "(volume-relative, '/' or '\\' between names, any case) it prints how many fragments and clusters the file has;\n"
    "holes of sparse files are not fragments.\n"
    "\n"
    "The image is opened read-only and must not be mounted elsewhere meanwhile.\n"
    "\n"
    "Exit status: 0 when consistent, 1 when not, 2 for a usage error or an image or PATH that cannot be read.\n"
    "\n"
    "Examples:\n"
    "  spindraxel check disk.img\n"
    "  spindraxel check disk.img Data/big.bin 'Logs\\boot.txt'\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "spindraxel check: %s\n", message.c_str());
  std::fputs("Try 'spindraxel check --help'.\n", stderr);
  return 2;
}

}  // namespace

int RunCheckCommand(const std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kCheckUsage, stdout);
    return 0;
  }
  if (args.empty()) return UsageError("no image to check, e.g. spindraxel check disk.img");
  if (args[0].rfind("-", 0) == 0) return UsageError("unknown option " + args[0]);

  std::string error;
  std::unique_ptr<host::ConsistencyCheck> check = host::ConsistencyCheck::Open(args[0], &error);
  if (!check) {
    std::fprintf(stderr, "spindraxel check: %s\n", error.c_str());
    return 2;
  }
  host::ClusterReport report;
  if (!check->CheckClusters(&report, &error)) {
    std::fprintf(stderr, "spindraxel check: %s: %s\n", args[0].c_str(), error.c_str());
    return 2;
  }
  std::fputs(report.Describe().c_str(), stdout);

  bool allRead = true;
  for (size_t i = 1; i < args.size(); ++i) {
    host::FileFragmentation file;
    if (!check->Fragmentation(args[i], &file, &error)) {
      std::fprintf(stderr, "spindraxel check: %s\n", error.c_str());
      allRead = false;
      continue;
    }
    std::printf("%s: %llu fragments, %llu clusters\n", args[i].c_str(), static_cast<unsigned long long>(file.fragments),
                static_cast<unsigned long long>(file.clusters));
  }
  if (!allRead) return 2;
  return report.Consistent() ? 0 : 1;
}
