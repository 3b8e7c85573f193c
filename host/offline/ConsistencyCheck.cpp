#include "host/offline/ConsistencyCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/ntfs/NtfsInode.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/ntfs/ReadOnlyVolume.h"

namespace host {
namespace {

struct Freer {
  void operator()(void* memory) const { std::free(memory); }
};

class Bits {
 public:
  explicit Bits(int64_t count) : bytes_(static_cast<size_t>((count + 7) / 8)) {}
  bool Test(int64_t bit) const { return (bytes_[bit >> 3] >> (bit & 7)) & 1; }
  void Set(int64_t bit) { bytes_[bit >> 3] |= static_cast<uint8_t>(1 << (bit & 7)); }
  uint8_t* Data() { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// Reads the whole of a library attribute (the size of `bits` at most).
bool ReadAttribute(ntfs_attr* attr, Bits* bits) {
  const int64_t size = std::min<int64_t>(attr->data_size, static_cast<int64_t>(bits->Size()));
  for (int64_t done = 0; done < size;) {
    const s64 got = ntfs_attr_pread(attr, done, size - done, bits->Data() + done);
    if (got <= 0) return false;
    done += got;
  }
  return true;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// The shadow bitmap: which clusters the runs claim, and which of those more than once.
class ShadowBitmap {
 public:
  ShadowBitmap(int64_t total, ClusterReport* report) : total_(total), claimed_(total), twice_(total), report_(report) {}

  void Claim(int64_t lcn, int64_t length) {
    for (int64_t at = lcn; at < lcn + length; ++at) {
      if (at >= total_) {
        report_->beyondVolume.count += static_cast<uint64_t>(lcn + length - at);
        if (report_->beyondVolume.first.empty()) report_->beyondVolume.Add(at);
        return;
      }
      if (!claimed_.Test(at)) {
        claimed_.Set(at);
      } else if (!twice_.Test(at)) {
        twice_.Set(at);
        report_->doublyUsed.Add(at);
      }
    }
  }

  bool Claimed(int64_t lcn) const { return claimed_.Test(lcn); }

 private:
  int64_t total_;
  Bits claimed_;
  Bits twice_;
  ClusterReport* report_;
};

// Claims the clusters of every non-resident attribute record in `record`. Each piece of an attribute that spans
// several records lives in exactly one of them, so walking every in-use record claims each run once.
bool ClaimRecord(ntfs_volume* vol, uint64_t number, MFT_RECORD* record, ShadowBitmap* shadow, std::string* error) {
  const uint32_t used = std::min<uint32_t>(le32_to_cpu(record->bytes_in_use), vol->mft_record_size);
  for (uint32_t offset = le16_to_cpu(record->attrs_offset); offset + 8 <= used;) {
    auto* attr = reinterpret_cast<ATTR_RECORD*>(reinterpret_cast<uint8_t*>(record) + offset);
    if (attr->type == AT_END) return true;
    const uint32_t length = le32_to_cpu(attr->length);
    if (length == 0 || offset + length > used) {
      *error = "MFT record " + std::to_string(number) + " is damaged (attribute past its end)";
      return false;
    }
    if (attr->non_resident) {
      std::unique_ptr<runlist_element, Freer> runs(ntfs_mapping_pairs_decompress(vol, attr, nullptr));
      if (!runs) {
        *error = Errno("MFT record " + std::to_string(number) + ": cannot decode a runlist");
        return false;
      }
      for (const runlist_element* run = runs.get(); run->length != 0; ++run) {
        if (run->lcn >= 0) shadow->Claim(run->lcn, run->length);
      }
    }
    offset += length;
  }
  return true;
}

// Compares $Bitmap with the clusters every non-resident attribute of every in-use MFT record claims. With `leaks`,
// also lists the leaked clusters as runs (first, count).
bool CheckVolume(ntfs_volume* vol, ClusterReport* report, std::vector<std::pair<int64_t, int64_t>>* leaks,
                 std::string* error) {
  *report = ClusterReport{};
  const int64_t total = vol->nr_clusters;
  report->totalClusters = total;

  Bits bitmap(total);
  if (!ReadAttribute(vol->lcnbmp_na, &bitmap)) {
    *error = Errno("cannot read $Bitmap");
    return false;
  }
  const int64_t records = vol->mft_na->initialized_size >> vol->mft_record_size_bits;
  Bits inUse(records);
  if (!ReadAttribute(vol->mftbmp_na, &inUse)) {
    *error = Errno("cannot read the MFT bitmap");
    return false;
  }

  ShadowBitmap shadow(total, report);
  std::unique_ptr<MFT_RECORD, Freer> record(static_cast<MFT_RECORD*>(std::malloc(vol->mft_record_size)));
  if (!record) {
    *error = "out of memory";
    return false;
  }
  for (int64_t number = 0; number < records; ++number) {
    if (!inUse.Test(number)) continue;
    if (ntfs_mft_record_read(vol, static_cast<MFT_REF>(number), record.get()) != 0) {
      *error = Errno("cannot read MFT record " + std::to_string(number));
      return false;
    }
    if (!ntfs_is_file_record(record->magic) || !(record->flags & MFT_RECORD_IN_USE)) continue;
    if (!ClaimRecord(vol, static_cast<uint64_t>(number), record.get(), &shadow, error)) return false;
  }

  for (int64_t lcn = 0; lcn < total; ++lcn) {
    const bool used = bitmap.Test(lcn);
    const bool claimed = shadow.Claimed(lcn);
    report->usedClusters += used ? 1 : 0;
    if (claimed && !used) report->usedButFree.Add(lcn);
    if (used && !claimed) {
      report->leaked.Add(lcn);
      if (leaks != nullptr && !leaks->empty() && leaks->back().first + leaks->back().second == lcn) {
        ++leaks->back().second;
      } else if (leaks != nullptr) {
        leaks->emplace_back(lcn, 1);
      }
    }
  }
  return true;
}

std::string NtfsPath(const std::string& path) {
  std::string out = path;
  std::replace(out.begin(), out.end(), '\\', '/');
  if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
  return out;
}

}  // namespace

void ClusterFinding::Add(int64_t lcn) {
  ++count;
  auto at = std::lower_bound(first.begin(), first.end(), lcn);
  if (at == first.end() && first.size() >= kListed) return;
  first.insert(at, lcn);
  if (first.size() > kListed) first.pop_back();
}

bool ClusterReport::Consistent() const {
  return doublyUsed.count == 0 && usedButFree.count == 0 && leaked.count == 0 && beyondVolume.count == 0;
}

std::string ClusterReport::Describe() const {
  if (Consistent()) {
    return "consistent: " + std::to_string(usedClusters) + " of " + std::to_string(totalClusters) +
           " clusters used, each claimed once\n";
  }
  std::string text;
  auto line = [&text](const char* what, const ClusterFinding& finding) {
    if (finding.count == 0) return;
    text += std::string(what) + ": " + std::to_string(finding.count) + " (first:";
    for (size_t i = 0; i < finding.first.size(); ++i) text += (i == 0 ? " " : ", ") + std::to_string(finding.first[i]);
    text += ")\n";
  };
  line("doubly used clusters", doublyUsed);
  line("used but free clusters", usedButFree);
  line("leaked clusters", leaked);
  line("clusters past the end of the volume", beyondVolume);
  return text;
}

std::unique_ptr<ConsistencyCheck> ConsistencyCheck::Open(const std::string& device, std::string* error) {
  std::unique_ptr<ReadOnlyVolume> volume = ReadOnlyVolume::Open(device, "check", error);
  if (!volume) return nullptr;
  return std::unique_ptr<ConsistencyCheck>(new ConsistencyCheck(std::move(volume)));
}

ConsistencyCheck::ConsistencyCheck(std::unique_ptr<ReadOnlyVolume> volume)
    : volume_(std::move(volume)), vol_(volume_->Raw()) {}

ConsistencyCheck::~ConsistencyCheck() = default;

bool ConsistencyCheck::CheckClusters(ClusterReport* report, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  return CheckVolume(vol_, report, nullptr, error);
}

bool ConsistencyCheck::RepairLeaks(const std::string& device, ClusterReport* report, uint64_t* freed,
                                   std::string* error) {
  *freed = 0;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(device, error);
  if (!volume) return false;
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume->Raw();
  std::vector<std::pair<int64_t, int64_t>> leaks;
  if (!CheckVolume(vol, report, &leaks, error)) return false;
  // Anything else wrong means the metadata cannot be trusted to say which clusters are really unclaimed.
  if (report->doublyUsed.count != 0 || report->usedButFree.count != 0 || report->beyondVolume.count != 0) {
    *error = "the volume has other inconsistencies than leaked clusters; nothing was changed (run chkdsk on Windows)";
    return false;
  }
  for (const auto& [lcn, count] : leaks) {
    if (ntfs_bitmap_clear_run(vol->lcnbmp_na, lcn, count) != 0) {
      *error = Errno("cannot free clusters " + std::to_string(lcn) + "-" + std::to_string(lcn + count - 1));
      return false;
    }
    vol->free_clusters += count;
    *freed += static_cast<uint64_t>(count);
  }
  return true;
}

bool ConsistencyCheck::Fragmentation(const std::string& path, FileFragmentation* result, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  *result = FileFragmentation{};
  UniqueInode inode(ntfs_pathname_to_inode(vol_, nullptr, NtfsPath(path).c_str()));
  if (!inode) {
    *error = Errno(path);
    return false;
  }
  UniqueAttr attr(IsDirectory(inode.get()) ? ntfs_attr_open(inode.get(), AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4)
                                           : ntfs_attr_open(inode.get(), AT_DATA, AT_UNNAMED, 0));
  if (!attr) {
    if (errno == ENOENT) return true;  // a directory small enough for its index root
    *error = Errno(path);
    return false;
  }
  if (!NAttrNonResident(attr.get())) return true;
  if (ntfs_attr_map_whole_runlist(attr.get()) != 0) {
    *error = Errno(path + ": cannot read its runlist");
    return false;
  }
  int64_t nextLcn = -1;
  for (const runlist_element* run = attr->rl; run->length != 0; ++run) {
    if (run->lcn < 0) continue;
    if (run->lcn != nextLcn) ++result->fragments;
    result->clusters += static_cast<uint64_t>(run->length);
    nextLcn = run->lcn + run->length;
  }
  return true;
}

}  // namespace host
