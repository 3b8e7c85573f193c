#include "host/offline/ImageGenerator.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <set>

#include "host/offline/ImageLayout.h"

namespace host {
namespace {

// The free clusters outside the MFT zone as runs. The bitmap is read once; after that the runs follow what the
// generator itself takes and frees, so that a file costs in proportion to its own parts and not to the volume (a
// bitmap read per file is 32 MiB on a 1 TiB volume). What the library allocates on its own meanwhile (index blocks
// of the growing directory, MFT records) is not seen here: ScatterParts checks each target against the bitmap.
class FreeSpace {
 public:
  static constexpr size_t kNone = SIZE_MAX;

  bool Read(NtfsVolume& volume, int64_t avoidStart, int64_t avoidEnd, std::string* error);
  int64_t Clusters() const { return clusters_; }
  const ClusterRun& Run(size_t index) const { return runs_[index]; }
  // A run of at least `length` clusters, every such run equally likely; kNone when none is that long.
  size_t Choose(std::mt19937_64& random, int64_t length) const;
  // The clusters of [lcn, lcn + count) are used now; those not in a free run are ignored.
  void Take(int64_t lcn, int64_t count);
  // The clusters of [lcn, lcn + count), used until now, are free; they join the runs they touch, as a bitmap read
  // would find them.
  void Give(int64_t lcn, int64_t count);

 private:
  void Add(ClusterRun run);
  void Remove(size_t index);
  void Join(int64_t lcn, int64_t end);

  std::vector<ClusterRun> runs_;     // in no order: a random index is a random run
  std::map<int64_t, size_t> byLcn_;  // each run's first cluster to its index in runs_
  int64_t avoidStart_ = 0, avoidEnd_ = 0, clusters_ = 0;
};

bool FreeSpace::Read(NtfsVolume& volume, int64_t avoidStart, int64_t avoidEnd, std::string* error) {
  avoidStart_ = avoidStart;
  avoidEnd_ = avoidEnd;
  const int64_t total = volume.TotalClusters();
  constexpr int64_t kPieceClusters = 8 << 20;  // 1 MiB of bitmap per read
  std::vector<uint8_t> bits(kPieceClusters / 8);
  int64_t runStart = -1;
  for (int64_t first = 0; first < total; first += kPieceClusters) {
    const int64_t clusters = std::min(kPieceClusters, total - first);
    NTSTATUS status = volume.ReadBitmap(first, static_cast<size_t>((clusters + 7) / 8), bits.data());
    if (!NT_SUCCESS(status)) {
      *error = "cannot read the volume bitmap";
      return false;
    }
    for (int64_t i = 0; i < clusters; ++i) {
      const int64_t lcn = first + i;
      const bool free = !(bits[i / 8] >> (i % 8) & 1) && (lcn < avoidStart || lcn >= avoidEnd);
      if (free && runStart < 0) runStart = lcn;
      if (!free && runStart >= 0) {
        Add(ClusterRun{runStart, lcn - runStart});
        runStart = -1;
      }
    }
  }
  if (runStart >= 0) Add(ClusterRun{runStart, total - runStart});
  return true;
}

size_t FreeSpace::Choose(std::mt19937_64& random, int64_t length) const {
  if (runs_.empty()) return kNone;
  // Random runs until one is long enough: uniform among those, and quick while they are common. Only when they are
  // rare is every run looked at.
  constexpr int kTries = 64;
  for (int i = 0; i < kTries; ++i) {
    const size_t index = static_cast<size_t>(random() % runs_.size());
    if (runs_[index].count >= length) return index;
  }
  size_t fitting = 0;
  for (const ClusterRun& run : runs_) fitting += run.count >= length ? 1 : 0;
  if (fitting == 0) return kNone;
  size_t pick = static_cast<size_t>(random() % fitting);
  for (size_t index = 0;; ++index) {
    if (runs_[index].count >= length && pick-- == 0) return index;
  }
}

void FreeSpace::Take(int64_t lcn, int64_t count) {
  const int64_t end = lcn + count;
  std::vector<size_t> overlapping;
  auto it = byLcn_.upper_bound(lcn);
  if (it != byLcn_.begin()) --it;
  for (; it != byLcn_.end() && it->first < end; ++it) {
    const ClusterRun& run = runs_[it->second];
    if (run.lcn + run.count > lcn) overlapping.push_back(it->second);
  }
  // Highest index first: removing one moves the last run into its place, which must not be one still to remove.
  std::sort(overlapping.rbegin(), overlapping.rend());
  for (size_t index : overlapping) {
    const ClusterRun run = runs_[index];
    Remove(index);
    if (run.lcn < lcn) Add(ClusterRun{run.lcn, lcn - run.lcn});
    if (run.lcn + run.count > end) Add(ClusterRun{end, run.lcn + run.count - end});
  }
}

void FreeSpace::Give(int64_t lcn, int64_t count) {
  const int64_t end = lcn + count;
  if (lcn < avoidStart_) Join(lcn, std::min(end, avoidStart_));
  if (end > avoidEnd_) Join(std::max(lcn, avoidEnd_), end);
}

void FreeSpace::Join(int64_t lcn, int64_t end) {
  auto after = byLcn_.find(end);
  if (after != byLcn_.end()) {
    end += runs_[after->second].count;
    Remove(after->second);
  }
  auto before = byLcn_.lower_bound(lcn);
  if (before != byLcn_.begin()) {
    --before;
    const ClusterRun run = runs_[before->second];
    if (run.lcn + run.count == lcn) {
      lcn = run.lcn;
      Remove(before->second);
    }
  }
  Add(ClusterRun{lcn, end - lcn});
}

void FreeSpace::Add(ClusterRun run) {
  byLcn_[run.lcn] = runs_.size();
  runs_.push_back(run);
  clusters_ += run.count;
}

void FreeSpace::Remove(size_t index) {
  clusters_ -= runs_[index].count;
  byLcn_.erase(runs_[index].lcn);
  if (index + 1 != runs_.size()) {
    runs_[index] = runs_.back();
    byLcn_[runs_[index].lcn] = index;
  }
  runs_.pop_back();
}

// `clusters` cut at fragments - 1 distinct random places.
std::deque<int64_t> RandomParts(std::mt19937_64& random, int64_t clusters, int64_t fragments) {
  std::set<int64_t> cuts;
  while (static_cast<int64_t>(cuts.size()) < fragments - 1)
    cuts.insert(1 + static_cast<int64_t>(random() % (clusters - 1)));
  std::deque<int64_t> parts;
  int64_t previous = 0;
  for (int64_t cut : cuts) {
    parts.push_back(cut - previous);
    previous = cut;
  }
  parts.push_back(clusters - previous);
  return parts;
}

// Whether every cluster of `target` is free in the bitmap. Those in use are taken out of *free.
bool StillFree(NtfsVolume& volume, const ClusterRun& target, FreeSpace* free, bool* allFree, std::string* error) {
  const int64_t first = target.lcn & ~int64_t{7};
  std::vector<uint8_t> bits(static_cast<size_t>((target.lcn + target.count - first + 7) / 8));
  if (!NT_SUCCESS(volume.ReadBitmap(first, bits.size(), bits.data()))) {
    *error = "cannot read the volume bitmap";
    return false;
  }
  *allFree = true;
  for (int64_t lcn = target.lcn; lcn < target.lcn + target.count; ++lcn) {
    if (bits[(lcn - first) / 8] >> ((lcn - first) % 8) & 1) {
      free->Take(lcn, 1);
      *allFree = false;
    }
  }
  return true;
}

// Carves each part out of a randomly chosen free run that can hold it, at a random place inside it. A part that no
// run can hold is halved.
bool ScatterParts(NtfsVolume& volume, std::mt19937_64& random, std::deque<int64_t> parts, FreeSpace* free,
                  std::vector<ClusterRun>* placed, std::string* error) {
  while (!parts.empty()) {
    const int64_t length = parts.front();
    parts.pop_front();
    const size_t index = free->Choose(random, length);
    if (index == FreeSpace::kNone) {
      if (length == 1) {
        *error = "the volume has too little free space for the files asked for";
        return false;
      }
      parts.push_front(length - length / 2);
      parts.push_front(length / 2);
      continue;
    }
    const ClusterRun& run = free->Run(index);
    const int64_t offset = static_cast<int64_t>(random() % static_cast<uint64_t>(run.count - length + 1));
    const ClusterRun target{run.lcn + offset, length};
    bool allFree = false;
    if (!StillFree(volume, target, free, &allFree, error)) return false;
    if (!allFree) {
      parts.push_front(length);  // another place, now that the runs know better
      continue;
    }
    placed->push_back(target);
    free->Take(target.lcn, target.count);
  }
  return true;
}

int64_t CountFragments(const std::vector<ClusterRun>& runs) {
  int64_t fragments = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (i == 0 || runs[i - 1].lcn + runs[i - 1].count != runs[i].lcn) ++fragments;
  }
  return fragments;
}

std::u16string FileName(int index) {
  std::string digits = std::to_string(index + 1);
  if (digits.size() < 2) digits = "0" + digits;
  return u"file" + std::u16string(digits.begin(), digits.end()) + u".bin";
}

}  // namespace

std::string GeneratedContent(uint32_t seed, int index, uint64_t size) {
  std::mt19937_64 random((static_cast<uint64_t>(seed) << 32) ^ static_cast<uint64_t>(index) ^ 0x5D5D5D5Dull);
  std::string bytes(size, '\0');
  size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    const uint64_t word = random();
    std::memcpy(&bytes[at], &word, 8);
  }
  for (uint64_t word = random(); at < size; ++at, word >>= 8) bytes[at] = static_cast<char>(word);
  return bytes;
}

namespace {

// Writes and scatters the files; *written collects every path it created, also when it fails on the way.
bool WriteScatteredFiles(NtfsVolume& volume, const FragmentOptions& options, FreeSpace* free,
                         std::vector<GeneratedFile>* files, std::vector<std::u16string>* written, std::string* error) {
  std::mt19937_64 random(options.seed);
  for (int i = 0; i < options.files; ++i) {
    GeneratedFile file;
    file.path = (options.directory.empty() ? u"" : options.directory + u"\\") + FileName(i);
    NtfsVolume::Node node;
    written->push_back(file.path);
    if (!PutFile(volume, file.path, GeneratedContent(options.seed, i, options.size), &node, error)) return false;
    std::vector<NtfsVolume::Run> current;
    if (!NT_SUCCESS(AllRuns(volume, node.mftRef, &current))) {
      *error = "cannot read the runs of a generated file";
      return false;
    }
    // The file's own clusters are used now, so nothing is planned over them.
    for (const NtfsVolume::Run& run : current) {
      file.clusters += run.length;
      if (run.lcn != NtfsVolume::kHoleLcn) free->Take(run.lcn, run.length);
    }
    if (file.clusters > 1) {
      std::vector<ClusterRun> placed;
      const int64_t low = std::min<int64_t>(options.minFragments, file.clusters);
      const int64_t high = std::max<int64_t>(low, std::min<int64_t>(options.maxFragments, file.clusters));
      const int64_t fragments = low + static_cast<int64_t>(random() % static_cast<uint64_t>(high - low + 1));
      if (!ScatterParts(volume, random, RandomParts(random, file.clusters, std::max<int64_t>(fragments, 1)), free,
                        &placed, error) ||
          !PlaceRuns(volume, node.mftRef, placed, error)) {
        return false;
      }
      for (const NtfsVolume::Run& run : current) {
        if (run.lcn != NtfsVolume::kHoleLcn) free->Give(run.lcn, run.length);
      }
      file.fragments = CountFragments(placed);
    } else {
      file.fragments = file.clusters;
    }
    files->push_back(file);
  }
  return true;
}

}  // namespace

bool GenerateFragmentedFiles(NtfsVolume& volume, const FragmentOptions& options, std::vector<GeneratedFile>* files,
                             std::string* error) {
  files->clear();
  NTFS_VOLUME_DATA_BUFFER data{};
  if (!NT_SUCCESS(volume.GetVolumeData(&data))) {
    *error = "cannot read the volume data";
    return false;
  }
  FreeSpace free;
  if (!free.Read(volume, data.MftZoneStart.QuadPart, data.MftZoneEnd.QuadPart, error)) return false;
  const int64_t freeClusters = free.Clusters();
  // Each file is written whole and then scattered, so the last one needs its own size again while it moves.
  const int64_t clusterBytes = data.BytesPerCluster;
  const int64_t perFile = static_cast<int64_t>((options.size + clusterBytes - 1) / clusterBytes);
  if (options.files > 0 && perFile > freeClusters / (options.files + 1)) {
    *error = "the files asked for need " + std::to_string((options.files + 1) * perFile * clusterBytes >> 20) +
             " MiB free outside the MFT zone; the volume has " + std::to_string(freeClusters * clusterBytes >> 20) +
             " MiB";
    return false;
  }
  NtfsVolume::Node existing;
  const bool newDirectory = !options.directory.empty() && !NT_SUCCESS(volume.Lookup(options.directory, &existing));
  if (!options.directory.empty() && !MakeDirectories(volume, options.directory, error)) return false;
  std::vector<std::u16string> written;
  if (WriteScatteredFiles(volume, options, &free, files, &written, error)) return true;
  // Nothing half-done stays behind.
  for (const std::u16string& path : written) volume.Remove(path);
  if (newDirectory) volume.Remove(options.directory);
  files->clear();
  return false;
}

}  // namespace host
