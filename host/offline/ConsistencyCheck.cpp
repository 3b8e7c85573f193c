#include "host/offline/ConsistencyCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
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

// What an attribute list says against what the records it names hold.

constexpr int64_t kMaxAttributeList = 256 * 1024;  // Windows never writes a longer one
constexpr uint32_t kResidentHeader = offsetof(ATTR_RECORD, resident_end);
constexpr uint32_t kNonResidentHeader = offsetof(ATTR_RECORD, compressed_size);
constexpr uint32_t kListEntryHeader = offsetof(ATTR_LIST_ENTRY, name);

std::string TypeName(ATTR_TYPES type) {
  switch (type) {
    case AT_DATA:
      return "$DATA";
    case AT_INDEX_ALLOCATION:
      return "$INDEX_ALLOCATION";
    case AT_BITMAP:
      return "$BITMAP";
    default: {
      char name[24];
      std::snprintf(name, sizeof name, "attribute 0x%X", static_cast<unsigned>(le32_to_cpu(type)));
      return name;
    }
  }
}

// The attribute of `type` and `name` (`nameLength` UTF-16 units) in `record`, the one of `instance` when there are
// several; null when there is none, or when the record is damaged before one is found.
const ATTR_RECORD* FindAttribute(ntfs_volume* vol, const MFT_RECORD* record, ATTR_TYPES type, const uint8_t* name,
                                 size_t nameLength, uint16_t instance) {
  const ATTR_RECORD* found = nullptr;
  const uint32_t used = std::min<uint32_t>(le32_to_cpu(record->bytes_in_use), vol->mft_record_size);
  for (uint32_t offset = le16_to_cpu(record->attrs_offset); offset + 8 <= used;) {
    const auto* attr = reinterpret_cast<const ATTR_RECORD*>(reinterpret_cast<const uint8_t*>(record) + offset);
    const uint32_t length = le32_to_cpu(attr->length);
    if (attr->type == AT_END || length < kResidentHeader || length > used - offset) break;
    offset += length;
    const uint32_t nameEnd = le16_to_cpu(attr->name_offset) + 2u * attr->name_length;
    if (attr->type != type || attr->name_length != nameLength || nameEnd > length ||
        length < (attr->non_resident ? kNonResidentHeader : kResidentHeader) ||
        (nameLength != 0 &&
         std::memcmp(reinterpret_cast<const uint8_t*>(attr) + le16_to_cpu(attr->name_offset), name, 2 * nameLength))) {
      continue;
    }
    if (le16_to_cpu(attr->instance) == instance) return attr;
    if (found == nullptr) found = attr;
  }
  return found;
}

// The value of the attribute list `attr`, resident or not; false when its sizes or runs are damaged or unreadable.
bool ReadAttributeList(ntfs_volume* vol, const ATTR_RECORD* attr, std::vector<uint8_t>* list) {
  const uint32_t length = le32_to_cpu(attr->length);
  if (!attr->non_resident) {
    const uint32_t at = le16_to_cpu(attr->value_offset);
    const uint32_t size = le32_to_cpu(attr->value_length);
    if (at > length || size > length - at) return false;
    const uint8_t* value = reinterpret_cast<const uint8_t*>(attr) + at;
    list->assign(value, value + size);
    return true;
  }
  const int64_t size = sle64_to_cpu(attr->data_size);
  if (size < 0 || size > kMaxAttributeList) return false;
  std::unique_ptr<runlist_element, Freer> runs(ntfs_mapping_pairs_decompress(vol, attr, nullptr));
  if (!runs) return false;
  list->assign(static_cast<size_t>(size), 0);
  int64_t done = 0;
  for (const runlist_element* run = runs.get(); run->length > 0 && done < size; ++run) {
    if (run->lcn < 0 || run->lcn >= vol->nr_clusters || run->length > vol->nr_clusters - run->lcn) return false;
    const int64_t bytes = std::min<int64_t>(run->length << vol->cluster_size_bits, size - done);
    if (ntfs_pread(vol->dev, run->lcn << vol->cluster_size_bits, bytes, list->data() + done) != bytes) return false;
    done += bytes;
  }
  return done == size;
}

// The entries of an attribute list in their order; false when one reaches past the list or its name past itself.
bool ListEntries(const std::vector<uint8_t>& list, std::vector<const ATTR_LIST_ENTRY*>* entries) {
  for (size_t offset = 0; offset < list.size();) {
    if (list.size() - offset < kListEntryHeader) return false;
    const auto* entry = reinterpret_cast<const ATTR_LIST_ENTRY*>(list.data() + offset);
    const size_t length = le16_to_cpu(entry->length);
    if (length < kListEntryHeader || length > list.size() - offset ||
        entry->name_offset + 2u * entry->name_length > length) {
      return false;
    }
    entries->push_back(entry);
    offset += length;
  }
  return true;
}

bool SameAttribute(const ATTR_LIST_ENTRY* a, const ATTR_LIST_ENTRY* b) {
  return a->type == b->type && a->name_length == b->name_length &&
         std::memcmp(reinterpret_cast<const uint8_t*>(a) + a->name_offset,
                     reinterpret_cast<const uint8_t*>(b) + b->name_offset, 2 * a->name_length) == 0;
}

// Checks the attribute list of base record `base` (`records` in the MFT) against the records it names: each in use,
// of this file, holding the piece the entry names, starting at the entry's VCN, the pieces of each attribute in
// list order covering its allocation without gap or overlap. *finding gets the first disagreement, "" for none.
// False with *error only when a named record cannot be read.
bool CheckAttributeList(ntfs_volume* vol, int64_t records, uint64_t base, const MFT_RECORD* baseRecord,
                        MFT_RECORD* scratch, std::string* finding, std::string* error) {
  finding->clear();
  const ATTR_RECORD* listAttr = FindAttribute(vol, baseRecord, AT_ATTRIBUTE_LIST, nullptr, 0, 0);
  if (listAttr == nullptr) return true;
  const std::string file = "file record " + std::to_string(base) + ": ";
  std::vector<uint8_t> list;
  std::vector<const ATTR_LIST_ENTRY*> entries;
  if (!ReadAttributeList(vol, listAttr, &list) || !ListEntries(list, &entries)) {
    *finding = file + "its attribute list is damaged or unreadable";
    return true;
  }
  std::vector<bool> grouped(entries.size());
  for (size_t first = 0; first < entries.size(); ++first) {
    if (grouped[first]) continue;
    std::vector<const ATTR_LIST_ENTRY*> pieces;
    for (size_t i = first; i < entries.size(); ++i) {
      if (grouped[i] || !SameAttribute(entries[first], entries[i])) continue;
      grouped[i] = true;
      pieces.push_back(entries[i]);
    }
    const std::string type = TypeName(entries[first]->type);
    int64_t next = 0;  // the VCN the next piece must start at
    int64_t clusters = 0;
    for (const ATTR_LIST_ENTRY* entry : pieces) {
      const uint64_t number = MREF_LE(entry->mft_reference);
      const std::string named = file + "the attribute list names record " + std::to_string(number);
      if (number >= static_cast<uint64_t>(records)) {
        *finding = named + ", past the end of the MFT";
        return true;
      }
      const MFT_RECORD* record = baseRecord;
      if (number != base) {
        if (ntfs_mft_record_read(vol, number, scratch) != 0) {
          *error = Errno("cannot read MFT record " + std::to_string(number));
          return false;
        }
        record = scratch;
      }
      if (!ntfs_is_file_record(record->magic) || !(record->flags & MFT_RECORD_IN_USE)) {
        *finding = named + ", which is not in use";
        return true;
      }
      if (le16_to_cpu(record->sequence_number) != MSEQNO_LE(entry->mft_reference)) {
        *finding = named + " with sequence number " + std::to_string(MSEQNO_LE(entry->mft_reference)) +
                   ", the record has " + std::to_string(le16_to_cpu(record->sequence_number));
        return true;
      }
      if (number != base && MREF_LE(record->base_mft_record) != base) {
        *finding = named + ", which belongs to file record " + std::to_string(MREF_LE(record->base_mft_record));
        return true;
      }
      const std::string in = type + " in record " + std::to_string(number);
      const ATTR_RECORD* piece =
          FindAttribute(vol, record, entry->type, reinterpret_cast<const uint8_t*>(entry) + entry->name_offset,
                        entry->name_length, le16_to_cpu(entry->instance));
      if (piece == nullptr) {
        *finding = file + "the attribute list names " + in + ", which holds none";
        return true;
      }
      if (!piece->non_resident) {
        if (pieces.size() > 1)
          *finding = file + in + " is resident but listed as " + std::to_string(pieces.size()) + " pieces";
        break;
      }
      const int64_t lowest = sle64_to_cpu(piece->lowest_vcn);
      const int64_t highest = sle64_to_cpu(piece->highest_vcn);
      if (entry == pieces.front()) clusters = sle64_to_cpu(piece->allocated_size) >> vol->cluster_size_bits;
      if (sle64_to_cpu(entry->lowest_vcn) != lowest) {
        *finding = file + "the attribute list says " + in + " starts at VCN " +
                   std::to_string(sle64_to_cpu(entry->lowest_vcn)) + ", the record says " + std::to_string(lowest);
      } else if (lowest != next) {
        *finding = file + in + " starts at VCN " + std::to_string(lowest) + " instead of " + std::to_string(next);
      }
      if (!finding->empty()) return true;
      next = highest < std::numeric_limits<int64_t>::max() ? highest + 1 : highest;
    }
    if (!finding->empty()) return true;
    // An empty attribute's one piece ends at VCN -1 or, as Windows writes it, at 0.
    if (next != clusters && !(clusters == 0 && pieces.size() == 1)) {
      *finding = file + "the pieces of " + type + " cover " + std::to_string(next) + " clusters, its allocation " +
                 std::to_string(clusters);
      return true;
    }
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
  std::unique_ptr<MFT_RECORD, Freer> extent(static_cast<MFT_RECORD*>(std::malloc(vol->mft_record_size)));
  if (!record || !extent) {
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
    if (record->base_mft_record != 0) continue;
    std::string finding;
    if (!CheckAttributeList(vol, records, static_cast<uint64_t>(number), record.get(), extent.get(), &finding, error)) {
      return false;
    }
    if (!finding.empty()) report->attributeLists.Add(std::move(finding));
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

void RecordFinding::Add(std::string text) {
  ++count;
  if (first.size() < ClusterFinding::kListed) first.push_back(std::move(text));
}

bool ClusterReport::Consistent() const {
  return doublyUsed.count == 0 && usedButFree.count == 0 && leaked.count == 0 && beyondVolume.count == 0 &&
         attributeLists.count == 0;
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
  if (attributeLists.count != 0) {
    text += "attribute lists that disagree with their records: " + std::to_string(attributeLists.count) + " (first: ";
    for (size_t i = 0; i < attributeLists.first.size(); ++i) text += (i == 0 ? "" : "; ") + attributeLists.first[i];
    text += ")\n";
  }
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
  if (report->doublyUsed.count != 0 || report->usedButFree.count != 0 || report->beyondVolume.count != 0 ||
      report->attributeLists.count != 0) {
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
