#include "host/offline/VolumeAnalysis.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "host/ntfs/NtfsInode.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/ntfs/ReadOnlyVolume.h"
#include "text/Utf.h"

namespace host {
namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string NtfsPath(const std::string& path) {
  std::string out = path;
  std::replace(out.begin(), out.end(), '\\', '/');
  if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
  return out;
}

// NTFS names are UTF-16 without any check that surrogates pair up; the library's own conversion fails on such a
// name, and a walk must still name the file.
std::string NameToUtf8(const ntfschar* name, int length) {
  std::u16string units(static_cast<size_t>(length), u'\0');
  for (int i = 0; i < length; ++i) units[static_cast<size_t>(i)] = static_cast<char16_t>(le16_to_cpu(name[i]));
  return text::Utf16ToUtf8(units);
}

// The stream's fragments as GetFileFragments builds them from the retrieval pointers, which the host answers from
// this same runlist: holes add virtual clusters, runs that continue the previous allocated one (across holes too)
// merge into it, and runs outside the volume are skipped.
bool ReadLayout(ntfs_inode* inode, FileLayout* result, std::string* error) {
  result->clusters = 0;
  result->fragments.clear();
  UniqueAttr attr(IsDirectory(inode) ? ntfs_attr_open(inode, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4)
                                     : ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0));
  if (!attr) {
    if (errno == ENOENT) return true;  // no such stream: a small directory, or a file with named streams only
    *error = Errno(result->path);
    return false;
  }
  if (!NAttrNonResident(attr.get())) return true;
  if (ntfs_attr_map_whole_runlist(attr.get()) != 0) {
    *error = Errno(result->path + ": cannot read its runlist");
    return false;
  }
  const int64_t total = inode->vol->nr_clusters;
  for (const runlist_element* run = attr->rl; run->length != 0; ++run) {
    if (run->lcn < 0) {
      result->clusters += run->length;
      continue;
    }
    if (run->lcn > total || run->length > total - run->lcn) continue;
    result->clusters += run->length;
    if (!result->fragments.empty()) {
      ClusterRun& last = result->fragments.back();
      if (last.lcn + last.count == run->lcn) {
        last.count += run->length;
        continue;
      }
    }
    result->fragments.push_back(ClusterRun{run->lcn, run->length});
  }
  return true;
}

struct DirectoryEntry {
  std::string name;
  uint64_t record;
};

int CollectEntry(void* context, const ntfschar* name, const int nameLength, const int nameType, const s64,
                 const MFT_REF mref, const unsigned) {
  // A long name's short alias would list the same file twice.
  if (nameType == FILE_NAME_DOS) return 0;
  std::string utf8 = NameToUtf8(name, nameLength);
  if (utf8 == "." || utf8 == "..") return 0;
  static_cast<std::vector<DirectoryEntry>*>(context)->push_back(DirectoryEntry{std::move(utf8), MREF(mref)});
  return 0;
}

// With names matched without case the library lowercases every name it lists; a walk reports them as stored.
class CaseKeptListing {
 public:
  explicit CaseKeptListing(ntfs_volume* vol) : vol_(vol), locase_(vol->locase) { vol_->locase = nullptr; }
  ~CaseKeptListing() { vol_->locase = locase_; }
  CaseKeptListing(const CaseKeptListing&) = delete;
  CaseKeptListing& operator=(const CaseKeptListing&) = delete;

 private:
  ntfs_volume* vol_;
  ntfschar* locase_;
};

}  // namespace

ClusterBitmap::ClusterBitmap(std::vector<uint8_t> bytes, int64_t clusters)
    : bytes_(std::move(bytes)), clusters_(clusters) {
  // Whole 64-bit words, so that the scans may load any word that holds a cluster.
  bytes_.resize(static_cast<size_t>((clusters + 63) / 64 * 8), 0xFF);
}

int64_t ClusterBitmap::NextChange(int64_t from, int64_t to, bool used) const {
  const uint64_t same = used ? ~uint64_t{0} : 0;
  int64_t at = from;
  for (; at < to && (at & 63) != 0; ++at) {
    if (Used(at) != used) return at;
  }
  for (; to - at >= 64; at += 64) {
    uint64_t word;
    std::memcpy(&word, bytes_.data() + at / 8, sizeof word);
    if (word != same) return at + __builtin_ctzll(word ^ same);
  }
  for (; at < to; ++at) {
    if (Used(at) != used) return at;
  }
  return to;
}

int64_t ClusterBitmap::CountUsed(int64_t from, int64_t to) const {
  int64_t count = 0;
  int64_t at = from;
  for (; at < to && (at & 63) != 0; ++at) count += Used(at) ? 1 : 0;
  for (; to - at >= 64; at += 64) {
    uint64_t word;
    std::memcpy(&word, bytes_.data() + at / 8, sizeof word);
    count += __builtin_popcountll(word);
  }
  for (; at < to; ++at) count += Used(at) ? 1 : 0;
  return count;
}

void ClusterBitmap::MarkUsed(int64_t from, int64_t to) {
  int64_t at = from;
  for (; at < to && (at & 7) != 0; ++at) bytes_[static_cast<size_t>(at >> 3)] |= static_cast<uint8_t>(1 << (at & 7));
  if (to - at >= 8) {
    std::memset(bytes_.data() + at / 8, 0xFF, static_cast<size_t>((to - at) / 8));
    at += (to - at) / 8 * 8;
  }
  for (; at < to; ++at) bytes_[static_cast<size_t>(at >> 3)] |= static_cast<uint8_t>(1 << (at & 7));
}

FragmentationTotals FragmentationTotals::Of(const std::vector<FileLayout>& files) {
  FragmentationTotals totals;
  totals.files = static_cast<int64_t>(files.size());
  for (const FileLayout& file : files) {
    const int64_t fragments = static_cast<int64_t>(file.fragments.size());
    totals.fragments += fragments;
    if (fragments > 1) {
      ++totals.fragmentedFiles;
      totals.fragmentsOfFragmented += fragments;
    }
  }
  return totals;
}

double FragmentationTotals::AveragePerFragmentedFile() const {
  return fragmentedFiles == 0 ? 0.0 : static_cast<double>(fragmentsOfFragmented) / fragmentedFiles;
}

void SortByFragmentation(std::vector<FileLayout>* files) {
  std::sort(files->begin(), files->end(), [](const FileLayout& a, const FileLayout& b) {
    if (a.fragments.size() != b.fragments.size()) return a.fragments.size() > b.fragments.size();
    if (a.clusters != b.clusters) return a.clusters > b.clusters;
    return a.path < b.path;
  });
}

std::unique_ptr<VolumeAnalysis> VolumeAnalysis::Open(const std::string& device, std::string* error) {
  std::unique_ptr<ReadOnlyVolume> volume = ReadOnlyVolume::Open(device, "analyze", error);
  if (!volume) return nullptr;
  return std::unique_ptr<VolumeAnalysis>(new VolumeAnalysis(std::move(volume)));
}

VolumeAnalysis::VolumeAnalysis(std::unique_ptr<ReadOnlyVolume> volume) : volume_(std::move(volume)) {}

VolumeAnalysis::~VolumeAnalysis() = default;

bool VolumeAnalysis::ReadBitmap(ClusterBitmap* bitmap, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume_->Raw();
  const int64_t total = vol->nr_clusters;
  std::vector<uint8_t> bytes(static_cast<size_t>((total + 7) / 8));
  const int64_t size = std::min<int64_t>(vol->lcnbmp_na->data_size, static_cast<int64_t>(bytes.size()));
  for (int64_t done = 0; done < size;) {
    const s64 got = ntfs_attr_pread(vol->lcnbmp_na, done, size - done, bytes.data() + done);
    if (got <= 0) {
      *error = got < 0 ? Errno("cannot read $Bitmap") : "cannot read $Bitmap: it is shorter than the volume";
      return false;
    }
    done += got;
  }
  *bitmap = ClusterBitmap(std::move(bytes), total);
  return true;
}

bool VolumeAnalysis::ReadVolume(VolumeLayout* volume, std::string* error) {
  ClusterBitmap bitmap;
  if (!ReadBitmap(&bitmap, error)) return false;
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  const ntfs_volume* vol = volume_->Raw();
  *volume = VolumeLayout{};
  const int64_t total = vol->nr_clusters;
  volume->totalClusters = total;
  volume->clusterSize = vol->cluster_size;
  volume->freeClusters = total - bitmap.CountUsed(0, total);
  // NtfsVolume::GetVolumeData reports the zone the library computed at mount; a read-only mount computes the same.
  volume->mftZoneStart = std::min<int64_t>(std::max<int64_t>(vol->mft_zone_start, 0), total);
  volume->mftZoneEnd = std::min<int64_t>(std::max<int64_t>(vol->mft_zone_end, volume->mftZoneStart), total);

  bitmap.MarkUsed(volume->mftZoneStart, volume->mftZoneEnd);
  for (int64_t at = 0; at < total;) {
    const int64_t start = bitmap.NextChange(at, total, true);
    if (start == total) break;
    at = bitmap.NextChange(start, total, false);
    if (at - start > volume->largestFreeClusters) {
      volume->largestFreeLcn = start;
      volume->largestFreeClusters = at - start;
    }
  }
  return true;
}

bool VolumeAnalysis::ReadFile(const std::string& path, FileLayout* result, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  result->path = path;
  UniqueInode inode(ntfs_pathname_to_inode(volume_->Raw(), nullptr, NtfsPath(path).c_str()));
  if (!inode) {
    *error = Errno(path);
    return false;
  }
  return ReadLayout(inode.get(), result, error);
}

bool VolumeAnalysis::ReadAllFiles(VolumeFiles* result, std::string* error) {
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume_->Raw();
  const CaseKeptListing caseKept(vol);
  *result = VolumeFiles{};
  // A record with several names (hard links) is reached once per name; it is counted at the first.
  std::vector<bool> seen(static_cast<size_t>(vol->mft_na->initialized_size >> vol->mft_record_size_bits));
  auto firstVisit = [&seen](uint64_t record) {
    if (record >= seen.size()) seen.resize(record + 1);
    if (seen[record]) return false;
    seen[record] = true;
    return true;
  };

  std::vector<std::pair<uint64_t, std::string>> pending{{FILE_root, ""}};
  firstVisit(FILE_root);
  result->directories = 1;
  while (!pending.empty()) {
    const auto [directory, directoryPath] = std::move(pending.back());
    pending.pop_back();
    // The directory is closed before any entry is opened: the library keeps no single object per record.
    std::vector<DirectoryEntry> entries;
    {
      UniqueInode inode(ntfs_inode_open(vol, directory));
      s64 position = 0;
      if (!inode || ntfs_readdir(inode.get(), &position, &entries, CollectEntry) != 0) {
        *error = Errno("cannot read directory " + (directoryPath.empty() ? std::string("/") : directoryPath));
        return false;
      }
    }
    for (DirectoryEntry& entry : entries) {
      if (!firstVisit(entry.record)) continue;
      std::string path = directoryPath + "/" + entry.name;
      UniqueInode inode(ntfs_inode_open(vol, entry.record));
      if (!inode) {
        *error = Errno("cannot open " + path);
        return false;
      }
      if (IsDirectory(inode.get())) {
        ++result->directories;
        pending.emplace_back(entry.record, std::move(path));
        continue;
      }
      FileLayout file;
      file.path = std::move(path);
      if (!ReadLayout(inode.get(), &file, error)) return false;
      result->files.push_back(std::move(file));
    }
  }
  return true;
}

}  // namespace host
