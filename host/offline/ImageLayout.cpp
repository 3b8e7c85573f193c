#include "host/offline/ImageLayout.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "host/ntfs/NtfsLib.h"

namespace host {

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

namespace {

bool Fail(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
  return false;
}

}  // namespace

bool MakeDirectories(NtfsVolume& volume, const std::u16string& path, std::string* error) {
  for (size_t end = path.find(u'\\');; end = path.find(u'\\', end + 1)) {
    const std::u16string prefix = path.substr(0, end);
    NtfsVolume::Node node;
    NTSTATUS status = volume.Create(prefix, true, &node);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
      status = volume.Lookup(prefix, &node);
      if (NT_SUCCESS(status) && !node.isDirectory) {
        return Fail(error, Narrow(prefix) + " exists and is not a directory");
      }
    }
    if (!NT_SUCCESS(status)) return Fail(error, "creating directory " + Narrow(prefix) + " answered " + Hex(status));
    if (end == std::u16string::npos) return true;
  }
}

bool PutFile(NtfsVolume& volume, const std::u16string& path, const std::string& bytes, NtfsVolume::Node* node,
             std::string* error) {
  NtfsVolume::Node unused;
  if (node == nullptr) node = &unused;
  const size_t lastSeparator = path.rfind(u'\\');
  if (lastSeparator != std::u16string::npos && !MakeDirectories(volume, path.substr(0, lastSeparator), error)) {
    return false;
  }
  NTSTATUS status = volume.Create(path, false, node);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    status = volume.Lookup(path, node);
    if (NT_SUCCESS(status) && node->isDirectory) return Fail(error, Narrow(path) + " is a directory");
    if (NT_SUCCESS(status)) status = volume.SetSize(node->mftRef, 0);
  }
  if (!NT_SUCCESS(status)) return Fail(error, "creating " + Narrow(path) + " answered " + Hex(status));
  constexpr size_t kChunk = 16 << 20;
  for (size_t done = 0; done < bytes.size(); done += kChunk) {
    const uint32_t length = static_cast<uint32_t>(std::min(kChunk, bytes.size() - done));
    status = volume.Write(node->mftRef, done, bytes.data() + done, length);
    if (!NT_SUCCESS(status)) {
      return Fail(error, "writing " + Narrow(path) + " at " + std::to_string(done) + " answered " + Hex(status));
    }
  }
  return true;
}

NTSTATUS AllRuns(NtfsVolume& volume, uint64_t mftRef, std::vector<NtfsVolume::Run>* runs) {
  bool more = false;
  NTSTATUS status = volume.GetRuns(mftRef, 0, SIZE_MAX, runs, &more);
  if (status == STATUS_END_OF_FILE) runs->clear();
  return status == STATUS_END_OF_FILE ? STATUS_SUCCESS : status;
}

bool PlaceRuns(NtfsVolume& volume, uint64_t mftRef, const std::vector<ClusterRun>& runs, std::string* error) {
  std::vector<NtfsVolume::Run> current;
  NTSTATUS status = AllRuns(volume, mftRef, &current);
  if (!NT_SUCCESS(status)) return Fail(error, "reading the runs answered " + Hex(status));
  int64_t allocated = 0, wanted = 0, low = INT64_MAX, high = 0;
  bool overlaps = false;
  for (const ClusterRun& run : runs) {
    wanted += run.count;
    low = std::min(low, run.lcn);
    high = std::max(high, run.lcn + run.count);
  }
  for (const NtfsVolume::Run& run : current) {
    if (run.lcn == NtfsVolume::kHoleLcn) return Fail(error, "the file has holes");
    allocated += run.length;
    // Only a target the file holds now is in the way: the targets' span may well take in the file's clusters.
    for (const ClusterRun& target : runs) {
      overlaps = overlaps || (run.lcn < target.lcn + target.count && target.lcn < run.lcn + run.length);
    }
  }
  if (allocated != wanted) {
    return Fail(error, "the runs hold " + std::to_string(wanted) + " clusters, the file " + std::to_string(allocated));
  }
  // A move refuses targets the file itself holds, so a file in the way first goes wholly elsewhere.
  if (overlaps) {
    int64_t aside = 0;
    status = volume.FindFreeRun(allocated, low, high - low, &aside);
    if (NT_SUCCESS(status)) status = volume.MoveClusters(mftRef, 0, allocated, aside);
    if (!NT_SUCCESS(status)) return Fail(error, "moving the file out of the way answered " + Hex(status));
  }
  int64_t vcn = 0;
  for (const ClusterRun& run : runs) {
    status = volume.MoveClusters(mftRef, vcn, run.count, run.lcn);
    if (!NT_SUCCESS(status)) {
      return Fail(error, "moving " + std::to_string(run.count) + " clusters to " + std::to_string(run.lcn) +
                             " answered " + Hex(status));
    }
    vcn += run.count;
  }
  return true;
}

bool FragmentFile(NtfsVolume& volume, uint64_t mftRef, int fragments, std::vector<ClusterRun>* runs,
                  std::string* error) {
  std::vector<NtfsVolume::Run> current;
  NTSTATUS status = AllRuns(volume, mftRef, &current);
  if (!NT_SUCCESS(status)) return Fail(error, "reading the runs answered " + Hex(status));
  const int64_t clusters = current.empty() ? 0 : current.back().vcn + current.back().length;
  if (fragments < 1 || clusters < fragments) {
    return Fail(error, std::to_string(clusters) + " clusters cannot make " + std::to_string(fragments) + " fragments");
  }
  // Outside the MFT zone: the MFT grows there when the runlist needs extension records, right under the moves.
  NTFS_VOLUME_DATA_BUFFER data;
  status = volume.GetVolumeData(&data);
  int64_t start = 0;
  if (NT_SUCCESS(status)) {
    status = volume.FindFreeRun(clusters + fragments - 1, data.MftZoneStart.QuadPart,
                                data.MftZoneEnd.QuadPart - data.MftZoneStart.QuadPart, &start);
  }
  if (!NT_SUCCESS(status)) return Fail(error, "no free space answered " + Hex(status));
  std::vector<ClusterRun> layout;
  for (int i = 0; i < fragments; ++i) {
    const int64_t count = clusters / fragments + (i < clusters % fragments ? 1 : 0);
    layout.push_back(ClusterRun{start, count});
    start += count + 1;
  }
  if (runs != nullptr) *runs = layout;
  return PlaceRuns(volume, mftRef, layout, error);
}

bool PutSparseFile(NtfsVolume& volume, const std::u16string& path, uint64_t size, const std::vector<FilePiece>& pieces,
                   std::string* error) {
  NtfsVolume::Node node;
  if (!PutFile(volume, path, "", &node, error)) return false;

  // NtfsVolume keeps files solid, as Windows does; writing past the end through the library leaves holes and
  // makes the stream sparse.
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume.Raw();
  ntfs_inode* inode = ntfs_inode_open(vol, MREF(node.mftRef));
  ntfs_attr* data = inode == nullptr ? nullptr : ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
  bool ok = data != nullptr;
  for (const FilePiece& piece : pieces) {
    ok = ok && ntfs_attr_pwrite(data, static_cast<s64>(piece.offset), static_cast<s64>(piece.bytes.size()),
                                piece.bytes.data()) == static_cast<s64>(piece.bytes.size());
  }
  if (ok && static_cast<s64>(size) > data->data_size) ok = ntfs_attr_truncate(data, static_cast<s64>(size)) == 0;
  const bool sparse = ok && NAttrSparse(data);
  if (data != nullptr) ntfs_attr_close(data);
  if (inode != nullptr && ntfs_inode_close(inode) != 0) ok = false;
  if (!ok) return Fail(error, "writing the sparse file " + Narrow(path) + " failed");
  if (!sparse) return Fail(error, Narrow(path) + " did not become sparse");
  return true;
}

bool PutCompressedFile(NtfsVolume& volume, const std::u16string& path, const std::string& bytes, std::string* error) {
  const size_t lastSeparator = path.rfind(u'\\');
  const std::u16string directory = lastSeparator == std::u16string::npos ? u"" : path.substr(0, lastSeparator);
  if (!directory.empty() && !MakeDirectories(volume, directory, error)) return false;
  NtfsVolume::Node parent;
  NTSTATUS status = volume.Lookup(directory, &parent);
  if (!NT_SUCCESS(status)) return Fail(error, "looking up the directory answered " + Hex(status));

  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume.Raw();
  NVolSetCompression(vol);
  ntfs_inode* dir = ntfs_inode_open(vol, MREF(parent.mftRef));
  if (dir == nullptr) return Fail(error, "opening the directory failed");
  dir->flags = static_cast<FILE_ATTR_FLAGS>(dir->flags | FILE_ATTR_COMPRESSED);
  std::vector<ntfschar> name;
  for (char16_t c : path.substr(lastSeparator == std::u16string::npos ? 0 : lastSeparator + 1)) {
    name.push_back(cpu_to_le16(c));
  }
  ntfs_inode* file = ntfs_create(dir, const_cpu_to_le32(0), name.data(), static_cast<u8>(name.size()), S_IFREG);
  ntfs_attr* data = file == nullptr ? nullptr : ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
  bool ok = data != nullptr;
  constexpr size_t kPiece = 64 * 1024;  // larger writes fail on fragmented free space (see NtfsVolume)
  for (size_t done = 0; ok && done < bytes.size(); done += kPiece) {
    const s64 length = static_cast<s64>(std::min(kPiece, bytes.size() - done));
    ok = ntfs_attr_pwrite(data, static_cast<s64>(done), length, bytes.data() + done) == length;
  }
  ok = ok && ntfs_attr_pclose(data) == 0;
  const bool compressed = ok && NAttrCompressed(data);
  if (data != nullptr) ntfs_attr_close(data);
  if (file != nullptr && ntfs_inode_close_in_dir(file, dir) != 0) ok = false;
  if (ntfs_inode_close(dir) != 0) ok = false;
  if (!ok) return Fail(error, "writing the compressed file " + Narrow(path) + " failed");
  if (!compressed) return Fail(error, Narrow(path) + " did not become compressed");
  return true;
}

bool FillVolumeExcept(NtfsVolume& volume, const std::vector<ClusterRun>& keepFree, const std::u16string& path,
                      std::string* error) {
  NtfsVolume::Node filler;
  if (!PutFile(volume, path, "", &filler, error)) return false;

  // The clusters to keep are marked used while the filler takes everything else, then given back.
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume.Raw();
  const int64_t total = vol->nr_clusters;
  std::vector<uint8_t> bits(static_cast<size_t>((total + 7) / 8));
  auto used = [&bits](int64_t lcn) { return (bits[lcn / 8] >> (lcn % 8)) & 1; };
  NTSTATUS status = volume.ReadBitmap(0, bits.size(), bits.data());
  if (!NT_SUCCESS(status)) return Fail(error, "reading the bitmap answered " + Hex(status));
  int64_t freeClusters = 0;
  for (int64_t lcn = 0; lcn < total; ++lcn) freeClusters += used(lcn) ? 0 : 1;
  for (const ClusterRun& run : keepFree) {
    for (int64_t lcn = run.lcn; lcn < run.lcn + run.count; ++lcn) {
      if (lcn >= total || used(lcn)) return Fail(error, "cluster " + std::to_string(lcn) + " is not free");
    }
    freeClusters -= run.count;
  }
  for (const ClusterRun& run : keepFree) ntfs_bitmap_set_run(vol->lcnbmp_na, run.lcn, run.count);
  status = volume.SetSize(filler.mftRef, static_cast<uint64_t>(freeClusters) * vol->cluster_size);
  for (const ClusterRun& run : keepFree) ntfs_bitmap_clear_run(vol->lcnbmp_na, run.lcn, run.count);
  if (!NT_SUCCESS(status)) return Fail(error, "allocating the filler answered " + Hex(status));
  return true;
}

}  // namespace host
