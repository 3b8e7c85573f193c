// An offline look at how fragmented an NTFS volume is: its free space as the defragmenter's searches see it, and
// each file's clusters and fragments counted exactly as the boot-time program's report line counts them
// ("File "<path>:", Clusters: N, Fragments: M"):
// - clusters are the stream's virtual clusters, holes of sparse files and compressed tails included;
// - a fragment is a run of clusters contiguous on disk: runs that continue each other merge, even across a hole;
// - holes are not fragments; a resident or empty stream has 0 clusters and 0 fragments.
//
//   std::unique_ptr<host::VolumeAnalysis> analysis = host::VolumeAnalysis::Open("disk.img", &error);
//   host::VolumeLayout volume;
//   host::FileLayout file;
//   if (analysis && analysis->ReadVolume(&volume, &error) && analysis->ReadFile("Data/big.bin", &file, &error)) ...
//
// The volume is mounted read-only (see ReadOnlyVolume) and must not be mounted read-write elsewhere meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/offline/ImageLayout.h"

namespace host {

class ReadOnlyVolume;

// The allocation bitmap ($Bitmap): bit n, least significant first in byte n / 8, is set when cluster n is in use.
class ClusterBitmap {
 public:
  ClusterBitmap() = default;
  // `bytes` covers at least `clusters` bits.
  ClusterBitmap(std::vector<uint8_t> bytes, int64_t clusters);

  int64_t Clusters() const { return clusters_; }
  bool Used(int64_t lcn) const { return (bytes_[static_cast<size_t>(lcn >> 3)] >> (lcn & 7)) & 1; }
  // The first cluster in [from, to) that is not in state `used`; `to` when there is none.
  int64_t NextChange(int64_t from, int64_t to, bool used) const;
  int64_t CountUsed(int64_t from, int64_t to) const;
  // Marks [from, to) used, as the searches treat a reserved zone.
  void MarkUsed(int64_t from, int64_t to);

 private:
  std::vector<uint8_t> bytes_;
  int64_t clusters_ = 0;
};

struct VolumeLayout {
  int64_t totalClusters = 0;
  int64_t clusterSize = 0;  // bytes
  int64_t freeClusters = 0;
  // The MFT zone [start, end) as FSCTL_GET_NTFS_VOLUME_DATA reports it on this host, clamped into the volume as the
  // boot-time program clamps it.
  int64_t mftZoneStart = 0;
  int64_t mftZoneEnd = 0;
  // The longest free run with the MFT zone counted as used, the lowest of equals: the largest block a whole-file
  // move can go to. Lcn -1 and 0 clusters when there is none.
  int64_t largestFreeLcn = -1;
  int64_t largestFreeClusters = 0;
};

struct FileLayout {
  std::string path;  // as asked for, or from the root for a volume walk ("/Data/big.bin")
  int64_t clusters = 0;
  std::vector<ClusterRun> fragments;  // in file order
};

// What a walk of the whole volume found. Files are the records that are not directories, each once however many
// names it has; a directory's own index is not counted as a file.
struct VolumeFiles {
  std::vector<FileLayout> files;
  int64_t directories = 0;  // the root included
};

struct FragmentationTotals {
  int64_t files = 0;
  int64_t fragmentedFiles = 0;  // in more than one fragment
  int64_t fragments = 0;        // of all files
  int64_t fragmentsOfFragmented = 0;

  static FragmentationTotals Of(const std::vector<FileLayout>& files);
  // Fragments per fragmented file; 0 when none is.
  double AveragePerFragmentedFile() const;
};

// Most fragmented first; then more clusters first, then by path, so that equal counts list the same every time.
void SortByFragmentation(std::vector<FileLayout>* files);

class VolumeAnalysis {
 public:
  // Mounts `device` read-only. On failure returns null with a one-line reason in *error.
  static std::unique_ptr<VolumeAnalysis> Open(const std::string& device, std::string* error);
  ~VolumeAnalysis();
  VolumeAnalysis(const VolumeAnalysis&) = delete;
  VolumeAnalysis& operator=(const VolumeAnalysis&) = delete;

  // Every call returns false with one line for a user in *error when the volume cannot be read.
  bool ReadBitmap(ClusterBitmap* bitmap, std::string* error);
  bool ReadVolume(VolumeLayout* volume, std::string* error);
  // The unnamed data stream of a file, or the index allocation of a directory. `path` is volume-relative,
  // separated by '/' or '\' (UTF-8), matched without case; it is kept in result->path as given.
  bool ReadFile(const std::string& path, FileLayout* result, std::string* error);
  // Walks every directory from the root. Paths are UTF-8, '/'-separated, from the root; unpaired surrogates in a
  // name become U+FFFD.
  bool ReadAllFiles(VolumeFiles* result, std::string* error);

 private:
  explicit VolumeAnalysis(std::unique_ptr<ReadOnlyVolume> volume);

  std::unique_ptr<ReadOnlyVolume> volume_;
};

}  // namespace host
