// `spindraxel defrag --all` (and with --consolidate) on two scattered volumes, and a boot whose configuration names
// every file, timed by wall clock to the fsync of the image, against an in-place copy of the bytes each moved inside
// the same image file: read and written back at the place of the files' data, then fsync. A move cannot be faster
// than copying its bytes in place, so that is what they are held to: at most 2x (the boot, the command without
// consolidation), 4x with it. Also the fragments each leaves.
//
// The volumes: a 2 GiB image with 1,000 files of 1 MiB in about 54,000 fragments, and a 4 GiB image with 20,000
// small files and 200 fragmented files of 4 MiB. Each is made once; every round works on a fresh copy.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchSupport.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ImageGenerator.h"
#include "host/offline/ImageLayout.h"
#include "text/Utf.h"

namespace {

constexpr int kRounds = 5;
constexpr double kTarget = 2.0, kConsolidateTarget = 4.0;
constexpr uint64_t kClusterSize = 4096;

struct Volume {
  const char* name;
  uint64_t size;
  std::vector<host::FragmentOptions> files;
};

// The volume, with boot.cfg at its root naming every generated file (the boot logs to C:\ as well).
void MakeVolume(const Volume& volume, const std::string& image) {
  bench::MakeNtfsImage(image, volume.size, kClusterSize);
  std::string error;
  std::unique_ptr<host::NtfsVolume> mounted = host::NtfsVolume::Mount(image, &error);
  if (!mounted) bench::Abort(error);
  mounted->SkipMoveFlushes();
  std::string configuration = "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n";
  for (const host::FragmentOptions& options : volume.files) {
    std::vector<host::GeneratedFile> made;
    if (!host::GenerateFragmentedFiles(*mounted, options, &made, &error)) bench::Abort("making " + image + ": " + error);
    for (const host::GeneratedFile& file : made) {
      configuration += "<file>\r\npath=\\??\\C:\\" + text::Utf16ToUtf8(file.path) + "\r\nmode=defrag\r\n</file>\r\n";
    }
  }
  if (!host::PutFile(*mounted, u"boot.cfg", configuration, nullptr, &error)) bench::Abort("making " + image + ": " + error);
}

nlohmann::json ReadJson(const std::string& path, const char* what) {
  FILE* file = std::fopen(path.c_str(), "r");
  const nlohmann::json json = nlohmann::json::parse(file, nullptr, false);
  if (file != nullptr) std::fclose(file);
  if (json.is_discarded()) bench::Abort(std::string(what) + " wrote no JSON to " + path);
  return json;
}

struct Run {
  double seconds = 0;
  uint64_t bytesMoved = 0;
  int64_t fragmentsLeft = 0;
  int64_t filesLeft = 0;
  std::string perFile;  // a boot's native calls per file named, as the host counted them
};

Run TimeDefrag(const std::string& image, bool consolidate) {
  Run run;
  const std::string output = image + ".json";
  std::vector<std::string> argv{SX_SPINDRAXEL_PATH, "defrag", image, "--all", "--json"};
  if (consolidate) argv.push_back("--consolidate");
  sync();
  int status = 0;
  run.seconds = bench::Seconds([&] {
    status = bench::RunProcess(argv, output);
    bench::SyncFile(image);
  });
  if (status > 1) bench::Abort("spindraxel defrag failed on " + image);
  const nlohmann::json json = ReadJson(output, "spindraxel defrag --json");
  run.bytesMoved = json["bytesMoved"].get<uint64_t>();
  for (const auto& entry : json["files"]) {
    const int64_t left = entry["fragmentsAfter"].get<int64_t>();
    if (left > 1) {
      run.fragmentsLeft += left;
      ++run.filesLeft;
    }
  }
  return run;
}

// A boot of boot.cfg on `image`; the bytes moved as the host counted them, the fragments left as analyze sees them.
Run TimeBoot(const std::string& image) {
  Run run;
  const std::string stats = image + ".stats", analysis = image + ".json";
  sync();
  int status = 0;
  run.seconds = bench::Seconds([&] {
    status = bench::RunProcess(
        {SX_SPINDRAXEL_PATH, "boot", "--drive", "C=" + image, "--stats", stats, "--", "sxboottime \\??\\C:\\boot.cfg"},
        "/dev/null");
    bench::SyncFile(image);
  });
  if (status != 0) bench::Abort("the boot on " + image + " ended with " + std::to_string(status));
  const nlohmann::json counted = ReadJson(stats, "spindraxel boot --stats");
  run.bytesMoved = counted["clustersMoved"].get<uint64_t>() * kClusterSize;
  const double files = static_cast<double>(counted["calls"].value("NtCreateFile", 0));
  for (const char* call : {"NtCreateFile", "FSCTL_GET_RETRIEVAL_POINTERS", "FSCTL_GET_VOLUME_BITMAP", "FSCTL_MOVE_FILE",
                           "NtWriteFile", "NtReadFile"}) {
    char each[96];
    std::snprintf(each, sizeof each, "%s%s %.1f", run.perFile.empty() ? "" : ", ", call,
                  counted["calls"].value(call, 0) / files);
    run.perFile += each;
  }
  if (bench::RunProcess({SX_SPINDRAXEL_PATH, "analyze", image, "--all", "--json"}, analysis) != 0) {
    bench::Abort("spindraxel analyze failed on " + image);
  }
  for (const auto& entry : ReadJson(analysis, "spindraxel analyze --json")["files"]) {
    const int64_t left = entry["fragments"].get<int64_t>();
    if (left > 1) {
      run.fragmentsLeft += left;
      ++run.filesLeft;
    }
  }
  return run;
}

}  // namespace

int main() {
  bench::ScratchDirectory scratch;
  host::FragmentOptions thousand;
  thousand.files = 1000;
  thousand.size = 1 << 20;
  thousand.seed = 3;
  host::FragmentOptions small;
  small.directory = u"Small";
  small.files = 20000;
  small.size = 16 << 10;
  small.minFragments = 1;
  small.maxFragments = 4;
  host::FragmentOptions big;
  big.directory = u"Big";
  big.files = 200;
  big.size = 4 << 20;
  const std::vector<Volume> volumes = {{"1,000 files of 1 MiB on 2 GiB", 2ull << 30, {thousand}},
                                       {"20,000 small files, 200 of 4 MiB on 4 GiB", 4ull << 30, {small, big}}};
  for (const Volume& volume : volumes) {
    const std::string made = scratch.Path() + "/made.img", work = scratch.Path() + "/work.img";
    MakeVolume(volume, made);
    // The modes take turns round by round, so that all meet the disk in the same moods.
    struct Mode {
      const char* name;  // as the summary line starts
      double target;
      std::function<Run(const std::string&)> run;
      std::vector<double> seconds = {}, copies = {};
      Run last = {};
    };
    std::vector<Mode> modes = {
        {"defrag --all", kTarget, [](const std::string& image) { return TimeDefrag(image, false); }},
        {"defrag --all --consolidate", kConsolidateTarget,
         [](const std::string& image) { return TimeDefrag(image, true); }},
        {"boot naming every file", kTarget, TimeBoot}};
    for (int round = 0; round < kRounds; ++round) {
      for (Mode& mode : modes) {
        // Every block of the copy allocated, as on a partition: moves into the free space of a sparse image would
        // pay the host file system's allocation, which the in-place copy of allocated bytes does not.
        if (bench::RunProcess({bench::ToolPath("cp"), "--sparse=never", made, work}) != 0) bench::Abort("cp failed");
        bench::SyncFile(work);
        mode.last = mode.run(work);
        mode.seconds.push_back(mode.last.seconds);
        // The files' data begins past the MFT zone, an eighth of the volume in.
        mode.copies.push_back(
            bench::TimeInPlaceCopy(work, bench::RangesFrom(volume.size / 8, volume.size, mode.last.bytesMoved)));
        unlink(work.c_str());
      }
    }
    for (Mode& mode : modes) {
      std::sort(mode.seconds.begin(), mode.seconds.end());
      std::sort(mode.copies.begin(), mode.copies.end());
      const double seconds = mode.seconds[kRounds / 2], copied = mode.copies[kRounds / 2];
      const double ratio = seconds / copied;
      std::printf("%s, %s: %s (%s-%s), %.1f MiB moved; in-place copy %s; %s / copy %.2fx (target %.0fx: %s); "
                  "%lld files in %lld fragments left\n",
                  mode.name, volume.name, bench::FormatDuration(seconds).c_str(),
                  bench::FormatDuration(mode.seconds.front()).c_str(), bench::FormatDuration(mode.seconds.back()).c_str(),
                  static_cast<double>(mode.last.bytesMoved) / (1 << 20), bench::FormatDuration(copied).c_str(),
                  std::strncmp(mode.name, "boot", 4) == 0 ? "boot" : "defrag", ratio, mode.target,
                  ratio <= mode.target ? "met" : "MISSED", static_cast<long long>(mode.last.filesLeft),
                  static_cast<long long>(mode.last.fragmentsLeft));
      if (!mode.last.perFile.empty()) std::printf("  native calls per file opened: %s\n", mode.last.perFile.c_str());
      std::fflush(stdout);
    }
    unlink(made.c_str());
  }
  return 0;
}
