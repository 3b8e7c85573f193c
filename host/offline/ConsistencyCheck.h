// An offline check of an NTFS volume's cluster allocation: every non-resident attribute of every in-use MFT record
// is decoded into a shadow bitmap, which is compared with $Bitmap; the attribute list of every file whose
// attributes span several MFT records is compared with the pieces those records hold. Also a file's fragment count,
// counted the way the system counts it: a run that does not start where the previous allocated run ended begins a new
// fragment; holes are not counted.
//
//   std::unique_ptr<host::ConsistencyCheck> check = host::ConsistencyCheck::Open("disk.img", &error);
//   host::ClusterReport report;
//   if (check && check->CheckClusters(&report, &error) && !report.Consistent()) puts(report.Describe().c_str());
//
// The volume is mounted read-only for the check and must not be mounted elsewhere meanwhile: Open refuses a device
// that this or another process of this system has mounted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _ntfs_volume ntfs_volume;

namespace host {

class ReadOnlyVolume;

// Clusters found in one kind of disagreement: how many, and the lowest few.
struct ClusterFinding {
  static constexpr size_t kListed = 8;
  uint64_t count = 0;
  std::vector<int64_t> first;  // ascending, at most kListed

  void Add(int64_t lcn);
};

// Files found in one kind of disagreement: how many, and for the first few the first disagreement, as text.
struct RecordFinding {
  uint64_t count = 0;
  std::vector<std::string> first;  // in MFT record order, at most ClusterFinding::kListed

  void Add(std::string text);
};

struct ClusterReport {
  int64_t totalClusters = 0;
  int64_t usedClusters = 0;     // set in $Bitmap
  ClusterFinding doublyUsed;    // claimed by more than one run
  ClusterFinding usedButFree;   // claimed by a run, free in $Bitmap
  ClusterFinding leaked;        // used in $Bitmap, claimed by no run
  ClusterFinding beyondVolume;  // claimed by a run past the last cluster
  // Files whose attribute list disagrees with the records it names: a record not in use or of another file, a
  // piece missing or starting at another VCN than the list says, pieces with a gap or overlap between them.
  RecordFinding attributeLists;

  bool Consistent() const;
  // One line when consistent, else one line per kind of disagreement:
  //   "leaked clusters: 3 (first: 100, 101, 102)"
  //   "attribute lists that disagree with their records: 1 (first: file record 64: the attribute list says $DATA
  //    in record 66 starts at VCN 1000, the record says 1100)"
  std::string Describe() const;
};

struct FileFragmentation {
  uint64_t fragments = 0;
  uint64_t clusters = 0;  // allocated clusters of the stream
};

class ConsistencyCheck {
 public:
  // Mounts `device` read-only. On failure returns null with a one-line reason in *error.
  static std::unique_ptr<ConsistencyCheck> Open(const std::string& device, std::string* error);
  ~ConsistencyCheck();
  ConsistencyCheck(const ConsistencyCheck&) = delete;
  ConsistencyCheck& operator=(const ConsistencyCheck&) = delete;

  // False with *error when the metadata cannot be read at all (an unreadable record is an error, not a finding).
  bool CheckClusters(ClusterReport* report, std::string* error);
  // Frees the clusters that $Bitmap marks used and no attribute of any in-use MFT record claims (data, index
  // allocations, attribute lists, the metadata files), and only those. Mounts `device` read-write, with every
  // refusal of a read-write mount. Changes nothing when the volume has any other inconsistency. *report is the check
  // made before the repair, *freed the clusters freed.
  static bool RepairLeaks(const std::string& device, ClusterReport* report, uint64_t* freed, std::string* error);

  // The unnamed data stream of a file, or the index allocation of a directory; a resident stream has no
  // fragments. `path` is volume-relative, separated by '/' or '\' (UTF-8), matched without case.
  bool Fragmentation(const std::string& path, FileFragmentation* result, std::string* error);

 private:
  explicit ConsistencyCheck(std::unique_ptr<ReadOnlyVolume> volume);

  std::unique_ptr<ReadOnlyVolume> volume_;
  ntfs_volume* vol_;  // volume_'s
};

}  // namespace host
