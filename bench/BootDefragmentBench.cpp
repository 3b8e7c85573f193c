// A whole boot that defragments a 1 GiB file cut into 1,024 fragments, timed by wall clock as `spindraxel boot`
// runs, against an in-place copy of the same bytes measured in the same run: the file's 1,024 extents read and
// written back where they are inside the image file, then fsync. A move cannot be faster than that, so it is what
// the boot is held to (at most 1.2x). `cp` of a 1 GiB file beside the image, then fsync, is shown as a second line.
//
// All are timed from a synced state to their own fsync, so none leaves its writes behind in the page cache; each
// input is read once just before, so all read warm data. The image is prepared once; each round copies it afresh,
// then times the copies and a boot, and the medians are compared.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ImageLayout.h"

namespace {

constexpr uint64_t kImageSize = 3ull << 30;
constexpr uint32_t kClusterSize = 4096;
constexpr uint64_t kFileSize = 1ull << 30;
constexpr int kFragments = 1024;
constexpr double kTarget = 1.2;
constexpr int kRounds = 5;

const char kConfiguration[] =
    "<general>\r\n"
    "log=1\r\n"
    "log_dir=\\??\\C:\\\r\n"
    "</general>\r\n"
    "<file>\r\n"
    "path=\\??\\C:\\big.bin\r\n"
    "mode=defrag\r\n"
    "</file>\r\n";

// Bytes that neither compress nor repeat, the same in every run.
std::string FileContent() {
  std::string bytes(kFileSize, '\0');
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < bytes.size(); i += sizeof state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::memcpy(&bytes[i], &state, sizeof state);
  }
  return bytes;
}

void WriteHostFile(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  for (size_t done = 0; fd >= 0 && done < bytes.size();) {
    const ssize_t wrote = write(fd, bytes.data() + done, std::min<size_t>(bytes.size() - done, 16 << 20));
    if (wrote <= 0) bench::Abort("cannot write " + path);
    done += static_cast<size_t>(wrote);
  }
  if (fd < 0 || close(fd) != 0) bench::Abort("cannot write " + path);
}

// The image with big.bin in kFragments pieces and the configuration beside it.
void PrepareImage(const std::string& image, const std::string& content) {
  bench::MakeNtfsImage(image, kImageSize, kClusterSize);
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  host::NtfsVolume::Node node;
  const bool ok = volume != nullptr && host::PutFile(*volume, u"big.bin", content, &node, &error) &&
                  host::FragmentFile(*volume, node.mftRef, kFragments, nullptr, &error) &&
                  host::PutFile(*volume, u"defrag.cfg", kConfiguration, nullptr, &error);
  if (!ok) bench::Abort("preparing the image: " + error);
}

// Where big.bin's bytes lie in the image file.
std::vector<bench::ByteRange> FileExtents(const std::string& image) {
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  host::NtfsVolume::Node node;
  std::vector<host::NtfsVolume::Run> runs;
  bool more = false;
  if (!volume || volume->Lookup(u"big.bin", &node) != STATUS_SUCCESS ||
      volume->GetRuns(node.mftRef, 0, SIZE_MAX, &runs, &more) != STATUS_SUCCESS || more) {
    bench::Abort("cannot read big.bin's extents: " + error);
  }
  std::vector<bench::ByteRange> ranges;
  for (const host::NtfsVolume::Run& run : runs) {
    ranges.push_back({static_cast<uint64_t>(run.lcn) * kClusterSize, static_cast<uint64_t>(run.length) * kClusterSize});
  }
  return ranges;
}

// Whether big.bin on the image still holds `content`.
bool ContentKept(const std::string& image, const std::string& content) {
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  host::NtfsVolume::Node node;
  if (!volume || volume->Lookup(u"big.bin", &node) != STATUS_SUCCESS || node.size != content.size()) return false;
  std::vector<char> buffer(16 << 20);
  for (uint64_t done = 0; done < node.size;) {
    uint32_t got = 0;
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), node.size - done));
    if (volume->Read(node.mftRef, done, buffer.data(), length, &got) != STATUS_SUCCESS || got == 0) return false;
    if (std::memcmp(buffer.data(), content.data() + done, got) != 0) return false;
    done += got;
  }
  return true;
}

// `spindraxel check IMAGE /big.bin`: its output, and whether it found the volume consistent.
std::string Check(const std::string& image, bool* consistent) {
  int status = 0;
  const std::string output = bench::ProcessOutput({SX_SPINDRAXEL_PATH, "check", image, "/big.bin"}, &status);
  if (status != 0 && status != 1) bench::Abort("spindraxel check failed: " + output);
  *consistent = status == 0;
  return output;
}

// The lines of the program's log files on the image that hold one of `markers`.
std::vector<std::string> LogLines(const std::string& image, const std::vector<std::string>& markers) {
  int status = 0;
  std::istringstream names(bench::ProcessOutput({bench::ToolPath("ntfsls"), image}, &status));
  std::vector<std::string> lines;
  for (std::string name; std::getline(names, name);) {
    if (name.rfind("Spindraxel_native_", 0) != 0) continue;
    std::istringstream log(bench::ProcessOutput({bench::ToolPath("ntfscat"), image, name}, &status));
    for (std::string line; std::getline(log, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      for (const std::string& marker : markers) {
        if (line.find(marker) != std::string::npos) {
          lines.push_back(line);
          break;
        }
      }
    }
  }
  return lines;
}

// Reads the whole file once, so that what is timed next finds it in the page cache, whatever the machine's
// memory reclaim did to it meanwhile.
void Warm(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(16 << 20);
  while (fd >= 0 && read(fd, buffer.data(), buffer.size()) > 0) {
  }
  if (fd < 0 || close(fd) != 0) bench::Abort("cannot read " + path);
}

// Seconds of `cp source target` and the fsync of the copy, from a synced state with the source warm; the copy is
// removed afterwards.
double TimeCopy(const std::string& source, const std::string& target) {
  Warm(source);
  sync();
  const double seconds = bench::Seconds([&] {
    if (bench::RunProcess({bench::ToolPath("cp"), source, target}) != 0) bench::Abort("cp failed");
    bench::SyncFile(target);
  });
  unlink(target.c_str());
  return seconds;
}

// Seconds since midnight of a log line's time stamp ("[2026-12-31] [23:59:59.999] ..."); -1 without one.
double LogTime(const std::string& line) {
  int hours = 0, minutes = 0, seconds = 0, milliseconds = 0;
  if (std::sscanf(line.c_str(), "[%*d-%*d-%*d] [%d:%d:%d.%d]", &hours, &minutes, &seconds, &milliseconds) != 4) {
    return -1;
  }
  return hours * 3600.0 + minutes * 60.0 + seconds + milliseconds / 1000.0;
}

struct BootRound {
  double run = 0;          // the spindraxel process, start to exit
  double sync = 0;         // the fsync of the image after it
  double defragment = -1;  // DefragmentFile, entered to end, by the log's time stamps
  int exitStatus = 0;
  bool whole = false;                 // big.bin in one fragment afterwards
  std::vector<std::string> failures;  // the log's lines about failed steps
};

// One boot on `image`, from a synced state with the image warm. Aborts when the boot changed the file's content or left
// the volume inconsistent; a file left in more than one fragment is reported by the round.
BootRound TimeBoot(const std::string& image, const std::string& screen, const std::string& content) {
  Warm(image);
  sync();
  BootRound round;
  round.run = bench::Seconds([&] {
    round.exitStatus = bench::RunProcess(
        {SX_SPINDRAXEL_PATH, "boot", "--drive", "C=" + image, "--", "sxboottime \\??\\C:\\defrag.cfg"}, screen);
  });
  round.sync = bench::Seconds([&] { bench::SyncFile(image); });
  bool consistent = false;
  const std::string after = Check(image, &consistent);
  if (!consistent || !ContentKept(image, content)) {
    std::ifstream shown(screen);
    std::printf("exit status %d; spindraxel check:\n%s\nboot screen:\n%s", round.exitStatus, after.c_str(),
                std::string(std::istreambuf_iterator<char>(shown), {}).c_str());
    bench::Abort("the boot changed big.bin or left the volume inconsistent");
  }
  round.whole = after.find("/big.bin: 1 fragments") != std::string::npos;
  double entered = -1;
  for (const std::string& line : LogLines(image, {"DefragmentFile for", "DefragmentFile end", "failed"})) {
    if (line.find("DefragmentFile for") != std::string::npos) entered = LogTime(line);
    if (line.find("DefragmentFile end") != std::string::npos && entered >= 0)
      round.defragment = LogTime(line) - entered;
    if (line.find("failed") != std::string::npos) round.failures.push_back(line);
  }
  return round;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  bench::ScratchDirectory scratch;
  const std::string prepared = scratch.Path() + "/prepared.img";
  const std::string image = scratch.Path() + "/volume.img";
  const std::string source = scratch.Path() + "/source.bin";
  const std::string screen = scratch.Path() + "/screen.txt";

  const std::string content = FileContent();
  const double preparing = bench::Seconds([&] { PrepareImage(prepared, content); });
  WriteHostFile(source, content);
  bool consistent = false;
  const std::string before = Check(prepared, &consistent);
  if (!consistent || before.find("/big.bin: " + std::to_string(kFragments) + " fragments") == std::string::npos) {
    bench::Abort("the prepared image is not as intended:\n" + before);
  }

  std::printf("Boot defragmenting a 1 GiB file in %d fragments (3 GiB image, 4 KiB clusters) in %s\n", kFragments,
              scratch.Path().c_str());
  std::printf(
      "  image prepared in %s; %d rounds, each a cp and a boot (in turns first) on a fresh copy of the image;\n",
      bench::FormatDuration(preparing).c_str(), kRounds);
  std::printf(
      "  each timing starts after sync with its input read once (warm), and ends with fsync of what it wrote\n");
  std::printf("  (the boot syncs the image itself before it exits); no cache dropped\n\n");

  const std::vector<bench::ByteRange> extents = FileExtents(prepared);
  std::vector<double> copies, inPlace, boots, runs, syncs, defragments;
  int fragmented = 0;
  for (int round = 1; round <= kRounds; ++round) {
    // Every block allocated, as on a partition: the in-place copy writes allocated bytes too.
    if (bench::RunProcess({bench::ToolPath("cp"), "--sparse=never", prepared, image}) != 0) {
      bench::Abort("cannot copy the prepared image");
    }
    // The in-place copy writes back the bytes it read, so the boot after it finds the image as prepared.
    // Alternating the order spreads any drift of the disk's speed over all.
    BootRound boot;
    auto copyBoth = [&] {
      Warm(image);
      inPlace.push_back(bench::TimeInPlaceCopy(image, extents));
      copies.push_back(TimeCopy(source, scratch.Path() + "/copy.bin"));
    };
    if (round % 2 == 1) {
      copyBoth();
      boot = TimeBoot(image, screen, content);
    } else {
      boot = TimeBoot(image, screen, content);
      copyBoth();
    }
    std::printf("  round %d: in-place copy + fsync %s; cp + fsync %s; boot + fsync %s (process %s, DefragmentFile %s, "
                "fsync after %s)%s\n",
                round, bench::FormatDuration(inPlace.back()).c_str(), bench::FormatDuration(copies.back()).c_str(),
                bench::FormatDuration(boot.run + boot.sync).c_str(), bench::FormatDuration(boot.run).c_str(),
                bench::FormatDuration(boot.defragment).c_str(), bench::FormatDuration(boot.sync).c_str(),
                boot.whole ? "" : "; big.bin NOT in one fragment, not counted");
    if (!boot.whole || boot.exitStatus != 0) {
      std::printf("    exit status %d; the log's failures:\n", boot.exitStatus);
      for (const std::string& line : boot.failures) std::printf("      %s\n", line.c_str());
    }
    if (!boot.whole) {
      ++fragmented;
      continue;
    }
    boots.push_back(boot.run + boot.sync);
    runs.push_back(boot.run);
    syncs.push_back(boot.sync);
    defragments.push_back(boot.defragment);
  }
  if (boots.empty()) bench::Abort("no boot left big.bin in one fragment");

  const double copy = Median(copies), inPlaceCopy = Median(inPlace), boot = Median(boots);
  std::printf("\n  median in-place copy of big.bin's extents + fsync %s\n", bench::FormatDuration(inPlaceCopy).c_str());
  std::printf("  median cp of 1 GiB + fsync     %s\n", bench::FormatDuration(copy).c_str());
  std::printf("  median spindraxel boot + fsync %s (process %s, of it DefragmentFile %s; fsync after %s)\n",
              bench::FormatDuration(boot).c_str(), bench::FormatDuration(Median(runs)).c_str(),
              bench::FormatDuration(Median(defragments)).c_str(), bench::FormatDuration(Median(syncs)).c_str());
  std::printf("  boot / in-place copy           %.2fx (target at most %.1fx: %s)\n", boot / inPlaceCopy, kTarget,
              boot / inPlaceCopy <= kTarget ? "met" : "MISSED");
  std::printf("  boot / cp                      %.2fx (no target: cp allocates new blocks on the host's disk)\n",
              boot / copy);
  if (fragmented > 0) {
    std::printf("  WARNING: %d of %d boots left big.bin in more than one fragment\n", fragmented, kRounds);
  }
  return 0;
}
