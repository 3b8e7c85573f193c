// The cluster-level calls of NtfsVolume: volume data, the allocation bitmap, a stream's runs and moving clusters.
// They are what the four NTFS file-system controls of the host are made of.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/ntfs/NtfsInode.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/ntfs/VolumeDevice.h"

namespace host {
namespace {

// Data is copied in pieces of up to this size: large enough to stream, small enough to stay in memory.
constexpr int64_t kCopyBytes = 1 << 20;
// A move that would take a group's staged bytes past this commits the group first (it then copies straight).
constexpr size_t kMaxStagedBytes = 16 << 20;
// Windows moves the clusters of sparse and compressed streams in whole compression units of this many clusters.
constexpr int64_t kCompressionUnitClusters = 16;

// Metadata files whose runlists the mounted library holds in memory (or that Windows never lets move): moving
// their clusters behind the library's back would corrupt the volume.
bool IsPinnedMetadata(uint64_t mftRef) {
  switch (MREF(mftRef)) {
    case FILE_MFT:
    case FILE_MFTMirr:
    case FILE_LogFile:
    case FILE_Bitmap:
    case FILE_Boot:
    case FILE_BadClus:
    case FILE_Secure:
      return true;
    default:
      return false;
  }
}

size_t CountRuns(const runlist_element* rl) {
  size_t count = 0;
  while (rl[count].length != 0) ++count;
  return count;
}

int64_t AllocatedClusters(const ntfs_attr* attr) { return attr->allocated_size >> attr->ni->vol->cluster_size_bits; }

// The index of the run of `rl` (with `count` runs) that holds `vcn`; `count` when none does.
size_t FindRun(const runlist_element* rl, size_t count, int64_t vcn) {
  const runlist_element* end = rl + count;
  const runlist_element* after =
      std::upper_bound(rl, end, vcn, [](int64_t v, const runlist_element& run) { return v < run.vcn; });
  if (after == rl) return count;
  const runlist_element* run = after - 1;
  return vcn < run->vcn + run->length ? static_cast<size_t>(run - rl) : count;
}

bool IsBitSet(const std::vector<uint8_t>& bits, int64_t bit) { return (bits[bit >> 3] >> (bit & 7)) & 1; }

// A runlist under construction: adjacent runs that continue each other are merged, as the library would store them.
class RunlistBuilder {
 public:
  void Add(int64_t vcn, int64_t lcn, int64_t length) {
    if (!runs_.empty()) {
      runlist_element& last = runs_.back();
      const bool bothHoles = last.lcn == LCN_HOLE && lcn == LCN_HOLE;
      const bool continues = last.lcn >= 0 && lcn >= 0 && last.lcn + last.length == lcn;
      if (bothHoles || continues) {
        last.length += length;
        return;
      }
    }
    runs_.push_back(runlist_element{vcn, lcn, length});
  }

  // The runlist as the library owns one: malloc'd, ending with an LCN_ENOENT terminator at `endVcn`.
  runlist_element* Release(int64_t endVcn) {
    auto* rl = static_cast<runlist_element*>(std::malloc((runs_.size() + 1) * sizeof(runlist_element)));
    if (rl == nullptr) return nullptr;
    std::copy(runs_.begin(), runs_.end(), rl);
    rl[runs_.size()] = runlist_element{endVcn, LCN_ENOENT, 0};
    return rl;
  }

 private:
  std::vector<runlist_element> runs_;
};

}  // namespace

// The stream one cluster call works on: borrowed from the cache, or open for this call only.
struct NtfsVolume::StreamRef {
  ntfs_attr* attr = nullptr;  // null: the file has no such stream (a directory without index allocation)
  size_t runCount = 0;        // of a non-resident stream
  UniqueInode inode;          // set only when opened for this call
  UniqueAttr ownAttr;         // declared after the inode, so closed before it
};

namespace {

// The metadata inodes the mounted library keeps open for its whole life: opening their records again would make a
// second, independent copy.
ntfs_inode* KeptOpenInode(ntfs_volume* vol, uint64_t mftRef) {
  switch (MREF(mftRef)) {
    case FILE_MFT:
      return vol->mft_ni;
    case FILE_MFTMirr:
      return vol->mftmirr_ni;
    case FILE_Volume:
      return vol->vol_ni;
    case FILE_Bitmap:
      return vol->lcnbmp_ni;
    case FILE_Secure:
      return vol->secure_ni;
    default:
      return nullptr;
  }
}

}  // namespace

NTSTATUS NtfsVolume::OpenStream(uint64_t mftRef, StreamRef* stream) {
  if (cached_ && MREF(cached_->mftRef) == MREF(mftRef)) {
    if (MSEQNO(mftRef) != 0 && MSEQNO(mftRef) != MSEQNO(cached_->mftRef)) return STATUS_FILE_DELETED;
    stream->attr = cached_->attr.get();
    stream->runCount = cached_->runCount;
    return STATUS_SUCCESS;
  }
  cached_.reset();  // one stream is cached at a time
  Uncache(mftRef);  // and the written file, when it is this one
  UniqueInode inode;
  ntfs_inode* record = KeptOpenInode(vol_, mftRef);
  if (record == nullptr) {
    const NTSTATUS status = OpenRecord(vol_, mftRef, &inode);
    if (!NT_SUCCESS(status)) return status;
    record = inode.get();
  }
  const bool directory = IsDirectory(record);
  UniqueAttr attr(directory ? ntfs_attr_open(record, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4)
                            : ntfs_attr_open(record, AT_DATA, AT_UNNAMED, 0));
  if (!attr) {
    if (errno != ENOENT) return StatusFromErrno(errno);
    stream->inode = std::move(inode);  // no stream: nothing to cache
    return STATUS_SUCCESS;
  }
  if (NAttrNonResident(attr.get())) {
    if (ntfs_attr_map_whole_runlist(attr.get()) != 0) return StatusFromErrno(errno);
    stream->runCount = CountRuns(attr->rl);
  }
  stream->attr = attr.get();
  // Directories are not cached: closing a file's inode may open its directory to update the entry there, which
  // must never find that directory already open.
  if (directory || IsMetadataRecord(mftRef)) {
    stream->ownAttr = std::move(attr);
    stream->inode = std::move(inode);
    return STATUS_SUCCESS;
  }
  cached_.reset(new CachedStream());
  cached_->mftRef = MK_MREF(MREF(mftRef), le16_to_cpu(inode->mrec->sequence_number));
  cached_->inode = std::move(inode);
  cached_->attr = std::move(attr);
  cached_->runCount = stream->runCount;
  return STATUS_SUCCESS;
}

NTSTATUS NtfsVolume::GetVolumeData(NTFS_VOLUME_DATA_BUFFER* data) {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  NTFS_BOOT_SECTOR boot;
  if (ntfs_pread(vol_->dev, 0, sizeof boot, &boot) != static_cast<s64>(sizeof boot)) return StatusFromErrno(errno);
  *data = NTFS_VOLUME_DATA_BUFFER{};
  data->VolumeSerialNumber.QuadPart = static_cast<LONGLONG>(le64_to_cpu(boot.volume_serial_number));
  data->NumberSectors.QuadPart = sle64_to_cpu(boot.number_of_sectors);
  data->TotalClusters.QuadPart = vol_->nr_clusters;
  data->FreeClusters.QuadPart = vol_->free_clusters;
  data->BytesPerSector = vol_->sector_size;
  data->BytesPerCluster = vol_->cluster_size;
  data->BytesPerFileRecordSegment = vol_->mft_record_size;
  // 0 when a record is smaller than a cluster, as NTFS reports it.
  data->ClustersPerFileRecordSegment = vol_->mft_record_size / vol_->cluster_size;
  data->MftValidDataLength.QuadPart = vol_->mft_na->initialized_size;
  data->MftStartLcn.QuadPart = vol_->mft_lcn;
  data->Mft2StartLcn.QuadPart = vol_->mftmirr_lcn;
  data->MftZoneStart.QuadPart = vol_->mft_zone_start;
  data->MftZoneEnd.QuadPart = vol_->mft_zone_end;
  return STATUS_SUCCESS;
}

int64_t NtfsVolume::TotalClusters() {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  return vol_->nr_clusters;
}

NTSTATUS NtfsVolume::ReadBitmap(int64_t firstLcn, size_t byteCount, uint8_t* bytes) {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  if (firstLcn < 0 || firstLcn % 8 != 0 || firstLcn >= vol_->nr_clusters) return STATUS_INVALID_PARAMETER;
  // $Bitmap is padded to whole 8-byte words; what lies past it (and past the volume) is not a cluster anyone may
  // use.
  std::memset(bytes, 0xFF, byteCount);
  const int64_t offset = firstLcn / 8;
  const int64_t available = std::min<int64_t>(static_cast<int64_t>(byteCount), vol_->lcnbmp_na->data_size - offset);
  for (int64_t done = 0; done < available;) {
    const s64 got = ntfs_attr_pread(vol_->lcnbmp_na, offset + done, available - done, bytes + done);
    if (got <= 0) return got < 0 ? StatusFromErrno(errno) : STATUS_FILE_CORRUPT_ERROR;
    done += got;
  }
  const int64_t lastLcn = firstLcn + static_cast<int64_t>(byteCount) * 8;
  if (lastLcn > vol_->nr_clusters) {
    const int64_t endBit = vol_->nr_clusters - firstLcn;  // first bit past the volume
    if (endBit % 8 != 0) bytes[endBit / 8] |= static_cast<uint8_t>(0xFF << (endBit % 8));
    const size_t fullBytes = static_cast<size_t>((endBit + 7) / 8);
    std::memset(bytes + fullBytes, 0xFF, byteCount - std::min(byteCount, fullBytes));
  }
  return STATUS_SUCCESS;
}

NTSTATUS NtfsVolume::FindFreeRun(int64_t count, int64_t avoidLcn, int64_t avoidCount, int64_t* lcn) {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  const int64_t total = vol_->nr_clusters;
  std::vector<uint8_t> bits(static_cast<size_t>((total + 7) / 8));
  const NTSTATUS status = ReadBitmap(0, bits.size(), bits.data());
  if (!NT_SUCCESS(status)) return status;
  int64_t start = 0;
  for (int64_t at = 0; at < total; ++at) {
    const bool avoided = at >= avoidLcn && at < avoidLcn + avoidCount;
    if (IsBitSet(bits, at) || avoided) {
      start = at + 1;
    } else if (at + 1 - start == count) {
      *lcn = start;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_DISK_FULL;
}

NTSTATUS NtfsVolume::GetRuns(uint64_t mftRef, int64_t vcn, size_t maxRuns, std::vector<Run>* runs, bool* more) {
  runs->clear();
  *more = false;
  if (vcn < 0) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  StreamRef stream;
  const NTSTATUS status = OpenStream(mftRef, &stream);
  if (!NT_SUCCESS(status)) return status;
  const ntfs_attr* attr = stream.attr;
  if (attr == nullptr || !NAttrNonResident(attr) || vcn >= AllocatedClusters(attr)) return STATUS_END_OF_FILE;

  size_t index = FindRun(attr->rl, stream.runCount, vcn);
  if (index == stream.runCount) return STATUS_END_OF_FILE;
  for (; index < stream.runCount && runs->size() < maxRuns; ++index) {
    const runlist_element& run = attr->rl[index];
    runs->push_back(Run{run.vcn, run.lcn < 0 ? kHoleLcn : run.lcn, run.length});
  }
  *more = index < stream.runCount;
  return STATUS_SUCCESS;
}

NTSTATUS NtfsVolume::MoveClusters(uint64_t mftRef, int64_t vcn, int64_t count, int64_t lcn, int64_t* moved) {
  if (moved != nullptr) *moved = 0;
  if (IsPinnedMetadata(mftRef)) return STATUS_ACCESS_DENIED;
  if (count <= 0 || vcn < 0 || lcn < 0) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  StreamRef stream;
  NTSTATUS status = OpenStream(mftRef, &stream);
  if (!NT_SUCCESS(status)) return status;
  ntfs_attr* attr = stream.attr;
  if (attr == nullptr || !NAttrNonResident(attr)) return STATUS_INVALID_PARAMETER;
  const int64_t allocated = AllocatedClusters(attr);
  if (vcn >= allocated || count > allocated - vcn) return STATUS_INVALID_PARAMETER;
  const int64_t endVcn = vcn + count;
  if ((NAttrSparse(attr) || NAttrCompressed(attr)) &&
      (vcn % kCompressionUnitClusters != 0 || (endVcn % kCompressionUnitClusters != 0 && endVcn != allocated))) {
    return STATUS_INVALID_PARAMETER;
  }

  // The new runlist and the pieces to copy, in one pass: allocated clusters in the range go to `lcn` on, packed.
  RunlistBuilder builder;
  std::vector<MovePiece> pieces;
  int64_t target = lcn;
  for (size_t i = 0; i < stream.runCount; ++i) {
    const runlist_element& run = attr->rl[i];
    if (run.lcn < LCN_HOLE) return STATUS_FILE_CORRUPT_ERROR;  // the runlist was mapped whole
    const int64_t runEnd = run.vcn + run.length;
    const int64_t cuts[] = {run.vcn, std::clamp(vcn, run.vcn, runEnd), std::clamp(endVcn, run.vcn, runEnd), runEnd};
    for (int part = 0; part < 3; ++part) {
      const int64_t from = cuts[part], length = cuts[part + 1] - cuts[part];
      if (length == 0) continue;
      const int64_t oldLcn = run.lcn == LCN_HOLE ? int64_t{LCN_HOLE} : run.lcn + (from - run.vcn);
      if (part != 1 || oldLcn == LCN_HOLE) {
        builder.Add(from, oldLcn, length);
        continue;
      }
      pieces.push_back(MovePiece{oldLcn, length});
      builder.Add(from, target, length);
      target += length;
    }
  }
  const int64_t needed = target - lcn;
  if (needed == 0) return STATUS_SUCCESS;  // only holes in the range
  if (needed > vol_->nr_clusters - lcn) return STATUS_INVALID_PARAMETER;

  // Every target cluster must be free; this also refuses a target that overlaps the file's own clusters.
  const int64_t firstByteLcn = lcn & ~int64_t{7};
  std::vector<uint8_t> bits(static_cast<size_t>((lcn + needed - firstByteLcn + 7) / 8));
  status = ReadBitmap(firstByteLcn, bits.size(), bits.data());
  if (!NT_SUCCESS(status)) return status;
  for (int64_t at = lcn; at < lcn + needed; ++at) {
    if (IsBitSet(bits, at - firstByteLcn)) return STATUS_ALREADY_COMMITTED;
  }

  // The data reaches its new place first, where nothing points yet: a crash here leaves only unused copies. The
  // targets are one packed range, so pieces gathered from many places still go out in large writes. Clusters that
  // a move of the open group freed are the exception: until the group commits, the device's metadata still gives
  // them to that move's file, whose bytes they hold, so what lands there is staged and journaled with the group.
  const int64_t clusterSize = vol_->cluster_size;
  const int64_t overlap = UncommittedFreesIn(lcn, needed) * clusterSize;
  bool staged = overlap > 0;
  if (staged && storage_->StagedBytes() + static_cast<size_t>(overlap) > kMaxStagedBytes) {
    status = CommitMoves();
    if (!NT_SUCCESS(status)) return status;
    staged = false;
  }
  if (staged) storage_->BeginStaging(mftRef);
  const int64_t totalBytes = needed * clusterSize;
  const size_t bufferSize = static_cast<size_t>(std::min(totalBytes, kCopyBytes));
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);  // every byte is read into before it is written
  size_t piece = 0;
  int64_t pieceDone = 0;  // bytes of pieces[piece] already read
  for (int64_t written = 0; written < totalBytes;) {
    const int64_t length = std::min<int64_t>(totalBytes - written, bufferSize);
    for (int64_t filled = 0; filled < length;) {
      const int64_t take = std::min(length - filled, pieces[piece].length * clusterSize - pieceDone);
      // Read once, so not through the device's cached pages.
      for (int64_t done = 0; done < take;) {
        const int64_t got = storage_->Read(buffer.get() + filled + done, take - done,
                                           pieces[piece].from * clusterSize + pieceDone + done, false);
        if (got <= 0) return got < 0 ? StatusFromErrno(errno) : STATUS_FILE_CORRUPT_ERROR;
        done += got;
      }
      filled += take;
      pieceDone += take;
      if (pieceDone == pieces[piece].length * clusterSize) {
        ++piece;
        pieceDone = 0;
      }
    }
    if (!(staged ? WriteMovedData(buffer.get(), length, lcn * clusterSize + written)
                 : storage_->WriteData(buffer.get(), static_cast<size_t>(length), lcn * clusterSize + written))) {
      return StatusFromErrno(errno);
    }
    written += length;
  }
  runlist_element* newRunlist = builder.Release(attr->rl[stream.runCount].vcn);
  if (newRunlist == nullptr) return STATUS_NO_MEMORY;

  // Then the metadata, staged and committed as one through the undo journal (after the data is flushed): the
  // targets taken in the bitmap, the runlist in however many MFT records it spans, the old clusters freed. A kill
  // or power cut at any point leaves the file on its old clusters or on its new ones.
  storage_->BeginStaging(mftRef);
  status = SwitchClusters(attr, newRunlist, vcn, lcn, needed, pieces);
  if (++movesStaged_ >= movesPerCommit_ || !NT_SUCCESS(status)) {
    const NTSTATUS committed = CommitMoves();
    if (!NT_SUCCESS(committed)) return committed;
  }
  if (NT_SUCCESS(status) && moved != nullptr) *moved = needed;
  return status;
}

NTSTATUS NtfsVolume::SwitchClusters(ntfs_attr* attr, runlist_element* newRunlist, int64_t vcn, int64_t lcn,
                                    int64_t needed, const std::vector<MovePiece>& pieces) {
  if (ntfs_bitmap_set_run(vol_->lcnbmp_na, lcn, needed) != 0) {
    std::free(newRunlist);
    return StatusFromErrno(errno);
  }
  vol_->free_clusters -= needed;
  // The mapping pairs are rewritten from the run that now holds `vcn` (a run before it may have grown into the
  // range); rewriting a runlist of thousands of runs from its start on every move would dominate the move.
  const size_t newCount = CountRuns(newRunlist);
  const int64_t rewriteFrom = newRunlist[FindRun(newRunlist, newCount, vcn)].vcn;
  runlist_element* oldRunlist = attr->rl;
  attr->rl = newRunlist;
  attr->unused_runs = 0;
  if (ntfs_attr_update_mapping_pairs(attr, rewriteFrom) != 0 || ntfs_inode_sync(attr->ni) != 0) {
    const int error = errno;
    // Put the old layout back; when even that cannot be written, keep both sets of clusters allocated (a leak,
    // never a file pointing at freed clusters) and forget the open stream so the next call rereads the record.
    attr->rl = oldRunlist;
    std::free(newRunlist);
    if (ntfs_attr_update_mapping_pairs(attr, 0) == 0 && ntfs_inode_sync(attr->ni) == 0 &&
        ntfs_bitmap_clear_run(vol_->lcnbmp_na, lcn, needed) == 0) {
      vol_->free_clusters += needed;
    }
    Uncache(kAnyRecord);
    return StatusFromErrno(error);
  }
  std::free(oldRunlist);
  if (cached_ && cached_->attr.get() == attr) cached_->runCount = newCount;

  for (const MovePiece& piece : pieces) {
    if (ntfs_bitmap_clear_run(vol_->lcnbmp_na, piece.from, piece.length) != 0) return StatusFromErrno(errno);
    vol_->free_clusters += piece.length;
  }
  // Free from now on, as after a move on its own, but until the group commits the device's metadata still gives
  // them to this file: a later move of the group stages what it copies there.
  if (movesPerCommit_ > 1) uncommittedFrees_.insert(uncommittedFrees_.end(), pieces.begin(), pieces.end());
  return STATUS_SUCCESS;
}

bool NtfsVolume::WriteMovedData(const uint8_t* buffer, int64_t length, int64_t offset) {
  const int64_t clusterSize = vol_->cluster_size, end = offset + length;
  // The freed stretches inside the range, joined (a cluster may have been freed twice in a group): they are
  // staged, the parts between them go straight to the device. One pass over the group's pieces per call.
  std::vector<std::pair<int64_t, int64_t>> freed;
  for (const MovePiece& piece : uncommittedFrees_) {
    const int64_t from = std::max(offset, piece.from * clusterSize);
    const int64_t to = std::min(end, (piece.from + piece.length) * clusterSize);
    if (from < to) freed.emplace_back(from, to);
  }
  std::sort(freed.begin(), freed.end());
  int64_t at = offset;
  auto write = [&](int64_t to, bool staged) {
    const int64_t count = to - at;
    const uint8_t* bytes = buffer + (at - offset);
    const bool written = count <= 0 || (staged ? storage_->Write(bytes, count, at) == count
                                               : storage_->WriteData(bytes, static_cast<size_t>(count), at));
    at = std::max(at, to);
    return written;
  };
  for (const auto& [from, to] : freed) {
    if (!write(from, false) || !write(to, true)) return false;
  }
  return write(end, false);
}

int64_t NtfsVolume::UncommittedFreesIn(int64_t lcn, int64_t count) const {
  int64_t inside = 0;
  for (const MovePiece& piece : uncommittedFrees_) {
    inside += std::max<int64_t>(0, std::min(piece.from + piece.length, lcn + count) - std::max(piece.from, lcn));
  }
  return inside;
}

NTSTATUS NtfsVolume::CommitMoves() {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  // The written file's record goes with the group, so that a commit never holds its clusters without its runlist.
  if (written_ && ntfs_inode_sync(written_->inode.get()) != 0) CloseWritten();
  uncommittedFrees_.clear();
  movesStaged_ = 0;
  if (const int error = storage_->Commit()) {
    // The library now remembers metadata the device does not hold; the device takes no more writes.
    Uncache(kAnyRecord);
    return StatusFromErrno(error);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NtfsVolume::FlipFirstByte(int64_t lcn) {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  CommitMoves();
  DropReadAhead();
  if (lcn < 0 || lcn >= vol_->nr_clusters) return STATUS_INVALID_PARAMETER;
  const s64 offset = lcn << vol_->cluster_size_bits;
  uint8_t byte = 0;
  if (ntfs_pread(vol_->dev, offset, 1, &byte) != 1) return StatusFromErrno(errno);
  byte = static_cast<uint8_t>(~byte);
  if (ntfs_pwrite(vol_->dev, offset, 1, &byte) != 1) return StatusFromErrno(errno);
  return STATUS_SUCCESS;
}

}  // namespace host
