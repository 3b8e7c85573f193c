// The two free-space searches on a volume of 2^28 clusters, against two baselines measured in the same run:
// (a) the plain reading that asks the bitmap cache about every cluster, and (b) reading the same bitmap windows
// through FSCTL_GET_VOLUME_BITMAP with nothing else done. (a) says what the word-at-a-time scan gains; (b) is the
// floor no search can go under, since every window has to be read.
//
// The volume is a sparse 128 GiB image with 512-byte clusters whose $Bitmap is written directly with a made-up
// allocation: mostly used regions with many small holes, some long used and long free stretches, and one free
// block near the end longer than any other, so that a search for it reads the whole bitmap. No file claims those
// clusters; nothing here needs the volume to be consistent.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "defrag/Defragmentation.h"
#include "host/ntdll/Host.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "log/Logger.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

// A search may cost at most a quarter more than reading the bitmap windows it looks at.
constexpr double kOfReadTarget = 1.25;

constexpr uint64_t kImageSize = 128ull << 30;
constexpr uint32_t kClusterSize = 512;
// The one block only the end of the volume holds; every free stretch before it is shorter.
constexpr int64_t kEndBlockClusters = 1 << 22;
constexpr int64_t kLongestStretchBefore = 1 << 21;
constexpr int kRounds = 11;
constexpr int kReferenceRounds = 3;

class Bits {
 public:
  explicit Bits(int64_t count) : bytes_(static_cast<size_t>((count + 7) / 8)) {}
  void Set(int64_t from, int64_t to) {
    for (int64_t bit = from; bit < to; ++bit) bytes_[bit >> 3] |= static_cast<uint8_t>(1 << (bit & 7));
  }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Log-uniform in [low, high]: small values common, large ones rare, as file and hole sizes are.
int64_t LogUniform(std::mt19937_64& random, int64_t low, int64_t high) {
  std::uniform_real_distribution<double> exponent(std::log(static_cast<double>(low)),
                                                  std::log(static_cast<double>(high) + 1));
  return std::min<int64_t>(high, static_cast<int64_t>(std::exp(exponent(random))));
}

// The made-up allocation of clusters [0, total): set bits are used.
Bits MakeAllocation(int64_t total) {
  Bits used(total);
  std::mt19937_64 random(20240611);
  const int64_t endBlock = total - kEndBlockClusters - (1 << 20);
  int64_t lcn = 0;
  while (lcn < endBlock) {
    const int kind = static_cast<int>(random() % 100);
    int64_t length;
    if (kind < 10) {  // a long used stretch: large files written in one go
      length = std::min(endBlock - lcn, LogUniform(random, 1 << 18, 1 << 23));
      used.Set(lcn, lcn + length);
    } else if (kind < 18) {  // a long free stretch: a large file deleted
      length = std::min(endBlock - lcn, LogUniform(random, 1 << 16, kLongestStretchBefore));
      used.Set(lcn + length - 1, lcn + length);  // two stretches in a row stay two
    } else {  // a busy region: used runs of every size with small holes of every size between them
      length = std::min(endBlock - lcn, LogUniform(random, 1 << 18, 1 << 22));
      for (int64_t at = lcn; at < lcn + length;) {
        const int64_t usedRun = std::min(lcn + length - at, LogUniform(random, 1, 4096));
        used.Set(at, at + usedRun);
        at += usedRun + LogUniform(random, 1, 256);
      }
      // Regions meet on a used cluster, so that free space never merges across them.
      used.Set(lcn + length - 1, lcn + length);
    }
    lcn += length;
  }
  used.Set(endBlock - 1, endBlock);
  used.Set(endBlock + kEndBlockClusters, total);
  return used;
}

// Replaces the volume's allocation with `allocation`, keeping the clusters of the metadata used.
void WriteAllocation(const std::string& image, Bits& allocation) {
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  if (!volume) bench::Abort(error);
  std::vector<uint8_t> original(allocation.Bytes().size());
  if (!NT_SUCCESS(volume->ReadBitmap(0, original.size(), original.data()))) bench::Abort("cannot read $Bitmap");
  for (size_t i = 0; i < original.size(); ++i) allocation.Bytes()[i] |= original[i];
  std::lock_guard<std::recursive_mutex> lock(host::NtfsVolume::LibraryLock());
  ntfs_attr* bitmap = volume->Raw()->lcnbmp_na;
  const s64 size = static_cast<s64>(allocation.Bytes().size());
  if (ntfs_attr_pwrite(bitmap, 0, size, allocation.Bytes().data()) != size) bench::Abort("cannot write $Bitmap");
}

// The reference readings: one IsClusterUsed per cluster.
LONGLONG ReferenceFindFreeBlock(std::shared_ptr<CVolume> volume, LONGLONG clusters) {
  CVolumeBitmapCache cache(volume, true);
  LONGLONG run = 0;
  for (LONGLONG lcn = 0; lcn < volume->GetTotalClusters(); ++lcn) {
    run = cache.IsClusterUsed(lcn) ? 0 : run + 1;
    if (run >= clusters) return lcn - run + 1;
  }
  return -1;
}

LONGLONG ReferenceFindLargest(std::shared_ptr<CVolume> volume, LONGLONG* length, int64_t* freeRuns) {
  CVolumeBitmapCache cache(volume, true);
  LONGLONG best = -1, bestLength = 0, total = volume->GetTotalClusters();
  *freeRuns = 0;
  for (LONGLONG lcn = 0; lcn < total;) {
    if (cache.IsClusterUsed(lcn)) {
      ++lcn;
      continue;
    }
    LONGLONG start = lcn;
    while (lcn < total && !cache.IsClusterUsed(lcn)) ++lcn;
    ++*freeRuns;
    if (lcn - start > bestLength) {
      best = start;
      bestLength = lcn - start;
    }
  }
  if (best >= 0) *length = bestLength;
  return best;
}

// Reads the bitmap windows that cover [0, endLcn), as the cache asks for them, and nothing else.
void ReadWindows(HANDLE volume, LONGLONG endLcn) {
  std::vector<ULONGLONG> buffer((CVolumeBitmapCache::kBitmapBufferSize + 7) / 8);
  for (LONGLONG lcn = 0; lcn < endLcn; lcn += CVolumeBitmapCache::kWindowClusters) {
    STARTING_LCN_INPUT_BUFFER input{};
    input.StartingLcn.QuadPart = lcn;
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtFsControlFile(volume, nullptr, nullptr, nullptr, &io, FSCTL_GET_VOLUME_BITMAP, &input,
                                            sizeof input, buffer.data(), CVolumeBitmapCache::kBitmapBufferSize);
    if (NT_ERROR(status)) bench::Abort("FSCTL_GET_VOLUME_BITMAP failed");
  }
}

struct Row {
  const char* name;
  double engine, reference, readAlone;
};

void PrintRow(const Row& row) {
  const double faster = row.reference / row.engine, ofRead = row.engine / row.readAlone;
  std::printf("%-22s %10s %16s %16s %10.0fx %-6s %10.2fx %s\n", row.name, bench::FormatDuration(row.engine).c_str(),
              bench::FormatDuration(row.reference).c_str(), bench::FormatDuration(row.readAlone).c_str(), faster,
              faster >= 20 ? "met" : "MISSED", ofRead, ofRead <= kOfReadTarget ? "met" : "MISSED");
}

}  // namespace

int main() {
  // No log file is opened here, so nothing would ever write the engine's lines.
  CLogger::Instance().SetLevel(0);

  bench::ScratchDirectory scratch;
  const std::string image = scratch.Path() + "/volume.img";
  bench::MakeNtfsImage(image, kImageSize, kClusterSize);
  int64_t total = 0;
  {
    std::string error;
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
    if (!volume) bench::Abort(error);
    total = volume->TotalClusters();
  }
  Bits allocation = MakeAllocation(total);
  WriteAllocation(image, allocation);

  std::string error;
  if (!host::MountDrive('C', image, &error)) bench::Abort(error);
  auto volume = std::make_shared<CVolume>();
  if (!volume->Initialize(u"\\??\\C:")) bench::Abort("CVolume::Initialize failed on C:");

  // Answers first: a fast engine that answers wrong measures nothing.
  LONGLONG referenceLength = 0, engineLength = 0;
  int64_t freeRuns = 0;
  const LONGLONG referenceBlock = ReferenceFindFreeBlock(volume, kEndBlockClusters);
  const LONGLONG engineBlock = CDefragmentation::FindFreeBlock(volume, kEndBlockClusters, 0, 0);
  const LONGLONG referenceLargest = ReferenceFindLargest(volume, &referenceLength, &freeRuns);
  const LONGLONG engineLargest = CDefragmentation::FindLargestFreeBlock(volume, engineLength);
  if (engineBlock != referenceBlock) {
    bench::Abort("FindFreeBlock answered " + std::to_string(engineBlock) + ", the reference " +
                 std::to_string(referenceBlock));
  }
  if (engineLargest != referenceLargest || engineLength != referenceLength) {
    bench::Abort("FindLargestFreeBlock answered " + std::to_string(engineLargest) + ":" + std::to_string(engineLength) +
                 ", the reference " + std::to_string(referenceLargest) + ":" + std::to_string(referenceLength));
  }
  if (engineBlock < total - 2 * kEndBlockClusters) bench::Abort("the block was found before the end of the volume");

  const SReservedZone zone = volume->GetReservedZones().at(0);
  std::printf("Free-space search: %" PRId64 " clusters of %u bytes (128 GiB sparse image), %" PRId64
              " free runs, MFT zone %" PRId64 "-%" PRId64 "\n",
              total, kClusterSize, freeRuns, static_cast<int64_t>(zone.Start), static_cast<int64_t>(zone.End));
  std::printf("  FindFreeBlock(%" PRId64 " clusters) -> %" PRId64 "; FindLargestFreeBlock -> %" PRId64 ":%" PRId64 "\n",
              kEndBlockClusters, static_cast<int64_t>(engineBlock), static_cast<int64_t>(engineLargest),
              static_cast<int64_t>(engineLength));
  std::printf("  medians: engine and (b) of %d rounds in turns, (a) of %d rounds\n\n", kRounds, kReferenceRounds);

  // The engine and (b) alternate round by round, so a change in the machine's load weighs on both alike; (a) takes
  // a second a run and needs fewer rounds to stand far off.
  LONGLONG length = 0;
  int64_t runs = 0;
  const std::vector<double> first =
      bench::MedianSeconds(kRounds, {[&] { CDefragmentation::FindFreeBlock(volume, kEndBlockClusters, 0, 0); },
                                     [&] { ReadWindows(volume->GetHandle(), engineBlock + kEndBlockClusters); }});
  const std::vector<double> largest =
      bench::MedianSeconds(kRounds, {[&] { CDefragmentation::FindLargestFreeBlock(volume, length); },
                                     [&] { ReadWindows(volume->GetHandle(), total); }});
  const std::vector<double> references =
      bench::MedianSeconds(kReferenceRounds, {[&] { ReferenceFindFreeBlock(volume, kEndBlockClusters); },
                                              [&] { ReferenceFindLargest(volume, &length, &runs); }});

  std::printf("%-22s %10s %16s %16s %18s %18s\n", "", "engine", "(a) per cluster", "(b) bitmap read",
              "(a)/engine >= 20", "engine/(b) <= 1.25");
  PrintRow(Row{"FindFreeBlock", first[0], references[0], first[1]});
  PrintRow(Row{"FindLargestFreeBlock", largest[0], references[1], largest[1]});

  volume.reset();
  host::UnmountAllDrives();
  return 0;
}
