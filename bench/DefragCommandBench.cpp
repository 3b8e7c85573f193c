// `spindraxel defrag --all` (and with --consolidate) on two scattered volumes, timed by wall clock to the fsync of
// the image, against an in-place copy of the bytes it moved inside the same image file: read and written back at
// the place of the files' data, then fsync. A move cannot be faster than copying its bytes in place, so that is
// what the command is held to: at most 2x without consolidation, 4x with it. Also the fragments each leaves.
//
// The volumes: a 2 GiB image with 1,000 files of 1 MiB in about 54,000 fragments, and a 4 GiB image with 20,000
// small files and 200 fragmented files of 4 MiB. Each is made once; every round works on a fresh copy.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchSupport.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ImageGenerator.h"

namespace {

constexpr int kRounds = 5;
constexpr double kTarget = 2.0, kConsolidateTarget = 4.0;

struct Volume {
  const char* name;
  uint64_t size;
  std::vector<host::FragmentOptions> files;
};

void MakeVolume(const Volume& volume, const std::string& image) {
  bench::MakeNtfsImage(image, volume.size, 4096);
  std::string error;
  std::unique_ptr<host::NtfsVolume> mounted = host::NtfsVolume::Mount(image, &error);
  if (!mounted) bench::Abort(error);
  mounted->SkipMoveFlushes();
  for (const host::FragmentOptions& options : volume.files) {
    std::vector<host::GeneratedFile> made;
    if (!host::GenerateFragmentedFiles(*mounted, options, &made, &error)) bench::Abort("making " + image + ": " + error);
  }
}

struct Run {
  double seconds = 0;
  uint64_t bytesMoved = 0;
  int64_t fragmentsLeft = 0;
  int64_t filesLeft = 0;
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
  FILE* file = std::fopen(output.c_str(), "r");
  const nlohmann::json json = nlohmann::json::parse(file, nullptr, false);
  if (file != nullptr) std::fclose(file);
  if (json.is_discarded()) bench::Abort("spindraxel defrag --json printed no JSON");
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

// Reads `bytes` of the image from `offset` on and writes them back where they were (from `offset` again when the
// image ends: passes move some bytes more than once), then fsyncs.
double TimeInPlaceCopy(const std::string& image, uint64_t imageSize, uint64_t offset, uint64_t bytes) {
  sync();
  return bench::Seconds([&] {
    const int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
    std::vector<char> buffer(1 << 20);
    for (uint64_t done = 0; fd >= 0 && done < bytes;) {
      const uint64_t position = offset + done % (imageSize - offset);
      const size_t length =
          static_cast<size_t>(std::min<uint64_t>({buffer.size(), bytes - done, imageSize - position}));
      const off_t at = static_cast<off_t>(position);
      if (pread(fd, buffer.data(), length, at) != static_cast<ssize_t>(length) ||
          pwrite(fd, buffer.data(), length, at) != static_cast<ssize_t>(length)) {
        bench::Abort("the in-place copy failed");
      }
      done += length;
    }
    if (fd < 0 || fsync(fd) != 0 || close(fd) != 0) bench::Abort("the in-place copy failed");
  });
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
    // The two modes take turns round by round, so that both meet the disk in the same moods.
    std::vector<double> defrag[2], copy[2];
    Run last[2];
    for (int round = 0; round < kRounds; ++round) {
      for (const bool consolidate : {false, true}) {
        if (bench::RunProcess({bench::ToolPath("cp"), "--sparse=always", made, work}) != 0) bench::Abort("cp failed");
        bench::SyncFile(work);
        last[consolidate] = TimeDefrag(work, consolidate);
        defrag[consolidate].push_back(last[consolidate].seconds);
        // The files' data begins past the MFT zone, an eighth of the volume in.
        copy[consolidate].push_back(TimeInPlaceCopy(work, volume.size, volume.size / 8, last[consolidate].bytesMoved));
        unlink(work.c_str());
      }
    }
    for (const bool consolidate : {false, true}) {
      std::sort(defrag[consolidate].begin(), defrag[consolidate].end());
      std::sort(copy[consolidate].begin(), copy[consolidate].end());
      const double seconds = defrag[consolidate][kRounds / 2], copied = copy[consolidate][kRounds / 2];
      const double ratio = seconds / copied;
      const double target = consolidate ? kConsolidateTarget : kTarget;
      std::printf("defrag --all%s, %s: %s (%s-%s), %.1f MiB moved; in-place copy %s; defrag / copy %.2fx (target %.0fx: "
                  "%s); %lld files in %lld fragments left\n",
                  consolidate ? " --consolidate" : "", volume.name, bench::FormatDuration(seconds).c_str(),
                  bench::FormatDuration(defrag[consolidate].front()).c_str(),
                  bench::FormatDuration(defrag[consolidate].back()).c_str(),
                  static_cast<double>(last[consolidate].bytesMoved) / (1 << 20), bench::FormatDuration(copied).c_str(),
                  ratio, target, ratio <= target ? "met" : "MISSED", static_cast<long long>(last[consolidate].filesLeft),
                  static_cast<long long>(last[consolidate].fragmentsLeft));
      std::fflush(stdout);
    }
    unlink(made.c_str());
  }
  return 0;
}
