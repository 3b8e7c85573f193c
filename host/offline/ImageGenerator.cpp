#include "host/offline/ImageGenerator.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <set>

#include "host/offline/ImageLayout.h"

namespace host {
namespace {

// The free runs of the volume outside [avoidStart, avoidEnd), ascending.
bool FreeRuns(NtfsVolume& volume, int64_t avoidStart, int64_t avoidEnd, std::vector<ClusterRun>* runs,
              std::string* error) {
  runs->clear();
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
        runs->push_back(ClusterRun{runStart, lcn - runStart});
        runStart = -1;
      }
    }
  }
  if (runStart >= 0) runs->push_back(ClusterRun{runStart, total - runStart});
  return true;
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

// Carves each part out of a randomly chosen free run that can hold it, at a random place inside it. A part that no
// run can hold is halved.
bool ScatterParts(std::mt19937_64& random, std::deque<int64_t> parts, std::vector<ClusterRun>* free,
                  std::vector<ClusterRun>* placed, std::string* error) {
  while (!parts.empty()) {
    const int64_t length = parts.front();
    parts.pop_front();
    std::vector<size_t> candidates;
    for (size_t i = 0; i < free->size(); ++i) {
      if ((*free)[i].count >= length) candidates.push_back(i);
    }
    if (candidates.empty()) {
      if (length == 1) {
        *error = "the volume has too little free space for the files asked for";
        return false;
      }
      parts.push_front(length - length / 2);
      parts.push_front(length / 2);
      continue;
    }
    ClusterRun& run = (*free)[candidates[random() % candidates.size()]];
    const int64_t offset = static_cast<int64_t>(random() % static_cast<uint64_t>(run.count - length + 1));
    placed->push_back(ClusterRun{run.lcn + offset, length});
    const ClusterRun after{run.lcn + offset + length, run.count - offset - length};
    run.count = offset;
    if (after.count > 0) free->push_back(after);
    free->erase(std::remove_if(free->begin(), free->end(), [](const ClusterRun& r) { return r.count == 0; }),
                free->end());
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
bool WriteScatteredFiles(NtfsVolume& volume, const FragmentOptions& options, const NTFS_VOLUME_DATA_BUFFER& data,
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
    for (const NtfsVolume::Run& run : current) file.clusters += run.length;
    if (file.clusters > 1) {
      // The file's own clusters are used now, so nothing is planned over them.
      std::vector<ClusterRun> free, placed;
      if (!FreeRuns(volume, data.MftZoneStart.QuadPart, data.MftZoneEnd.QuadPart, &free, error)) return false;
      const int64_t low = std::min<int64_t>(options.minFragments, file.clusters);
      const int64_t high = std::max<int64_t>(low, std::min<int64_t>(options.maxFragments, file.clusters));
      const int64_t fragments = low + static_cast<int64_t>(random() % static_cast<uint64_t>(high - low + 1));
      if (!ScatterParts(random, RandomParts(random, file.clusters, std::max<int64_t>(fragments, 1)), &free, &placed,
                        error) ||
          !PlaceRuns(volume, node.mftRef, placed, error)) {
        return false;
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
  std::vector<ClusterRun> free;
  if (!FreeRuns(volume, data.MftZoneStart.QuadPart, data.MftZoneEnd.QuadPart, &free, error)) return false;
  int64_t freeClusters = 0;
  for (const ClusterRun& run : free) freeClusters += run.count;
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
  if (WriteScatteredFiles(volume, options, data, files, &written, error)) return true;
  // Nothing half-done stays behind.
  for (const std::u16string& path : written) volume.Remove(path);
  if (newDirectory) volume.Remove(options.directory);
  files->clear();
  return false;
}

}  // namespace host
