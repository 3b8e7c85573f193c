#include "host/ntfs/NtfsVolume.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/ntfs/MountSafety.h"
#include "host/ntfs/MoveJournal.h"
#include "host/ntfs/NtfsInode.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/VolumeDevice.h"

namespace host {
namespace {

// The largest piece handed to one library write or extension. The library's cluster allocator answers ENOSPC when
// one request needs more fragments than it gathers (a 1 MiB request over two-cluster holes, or 64 KiB over
// one-cluster holes, while thousands of clusters were free), so requests stay small and a refused one is retried
// one cluster at a time; only a refused single cluster means the volume is full.
constexpr uint32_t kIoPiece = 64 * 1024;
constexpr size_t kMaxNameLength = 255;  // UTF-16 code units in one NTFS name
constexpr uint64_t kMaxFileSize = INT64_MAX;
// What the undo journal names for the writes of mounting and unmounting, which belong to no one file.
constexpr uint64_t kVolumeMetadata = ~uint64_t{0};

std::atomic<int> g_movesPerCommit{1};

std::recursive_mutex& GlobalLibraryLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Every free-space search reads the whole volume bitmap, window by window; the device keeps its clusters in
// memory so that those reads cost a copy, not a device read each (a boot over many files makes thousands). Up to
// 64 MiB, a bitmap of 2 TiB in 4 KiB clusters; a larger one is read from the device as before.
void PinBitmap(ntfs_volume* vol, VolumeDevice* storage) {
  constexpr int64_t kMaxPinnedBytes = int64_t{64} << 20;
  ntfs_attr* bitmap = vol->lcnbmp_na;
  if (bitmap->allocated_size > kMaxPinnedBytes || ntfs_attr_map_whole_runlist(bitmap) != 0) return;
  for (const runlist_element* run = bitmap->rl; run != nullptr && run->length != 0; ++run) {
    if (run->lcn < 0) continue;
    if (!storage->Pin(run->lcn << vol->cluster_size_bits, static_cast<size_t>(run->length << vol->cluster_size_bits))) {
      return;
    }
  }
}

uint64_t ReferenceOf(const ntfs_inode* inode) {
  return MK_MREF(inode->mft_no, le16_to_cpu(inode->mrec->sequence_number));
}

// Closing an inode writes back what the call changed, so a failed close is the call's failure.
NTSTATUS CloseInode(UniqueInode inode) {
  if (ntfs_inode_close(inode.release()) != 0) return StatusFromErrno(errno);
  return STATUS_SUCCESS;
}

// For a new inode whose directory is still open: closing it through the directory keeps the library from opening
// that directory a second time to update the entry.
NTSTATUS CloseInodeIn(UniqueInode inode, ntfs_inode* directory) {
  if (ntfs_inode_close_in_dir(inode.release(), directory) != 0) return StatusFromErrno(errno);
  return STATUS_SUCCESS;
}

// Sparse and compressed files grow by holes; every other file is allocated as it grows, as on Windows.
bool GrowsByHoles(ntfs_attr* data) { return NAttrSparse(data) || NAttrCompressed(data); }

// What NTFS accepts as one name in the Win32 namespace.
bool IsValidName(const std::u16string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case u'"':
      case u'*':
      case u'/':
      case u':':
      case u'<':
      case u'>':
      case u'?':
      case u'|':
        return false;
      default:
        break;
    }
  }
  return true;
}

// Splits a volume-relative path into its names; the root (u"") has none. Every name is checked before anything is
// looked up, so an invalid name wins over a missing directory.
NTSTATUS SplitPath(const std::u16string& path, std::vector<std::u16string>* names) {
  names->clear();
  if (path.empty()) return STATUS_SUCCESS;
  for (size_t start = 0;;) {
    const size_t end = path.find(u'\\', start);
    std::u16string name = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (!IsValidName(name)) return STATUS_OBJECT_NAME_INVALID;
    names->push_back(std::move(name));
    if (end == std::u16string::npos) return STATUS_SUCCESS;
    start = end + 1;
  }
}

std::vector<ntfschar> ToNtfsName(const std::u16string& name) {
  std::vector<ntfschar> out;
  out.reserve(name.size());
  for (char16_t c : name) out.push_back(cpu_to_le16(c));
  return out;
}

// Opens the unnamed data stream of `mftRef`, unless the record is a directory, which has none.
NTSTATUS OpenData(ntfs_volume* vol, uint64_t mftRef, UniqueInode* inode, UniqueAttr* data, bool* isDirectory) {
  NTSTATUS status = OpenRecord(vol, mftRef, inode);
  if (!NT_SUCCESS(status)) return status;
  *isDirectory = IsDirectory(inode->get());
  if (*isDirectory) return STATUS_SUCCESS;
  data->reset(ntfs_attr_open(inode->get(), AT_DATA, AT_UNNAMED, 0));
  if (!*data) return StatusFromErrno(errno);
  return STATUS_SUCCESS;
}

// Looks `name` up in `directory`, ignoring case.
NTSTATUS FindName(ntfs_inode* directory, const std::u16string& name, uint64_t* mftRef) {
  const std::vector<ntfschar> ntfsName = ToNtfsName(name);
  errno = 0;
  const u64 found = ntfs_inode_lookup_by_name(directory, ntfsName.data(), static_cast<int>(ntfsName.size()));
  if (found == static_cast<u64>(-1)) {
    return errno == ENOENT ? STATUS_OBJECT_NAME_NOT_FOUND : StatusFromErrno(errno);
  }
  *mftRef = found;
  return STATUS_SUCCESS;
}

// Opens what names[0, count) lead to from the root, with one record open at a time. A name before the last that
// is missing or not a directory gives STATUS_OBJECT_PATH_NOT_FOUND; a missing last name,
// STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS OpenPath(ntfs_volume* vol, const std::vector<std::u16string>& names, size_t count, UniqueInode* result,
                  const std::function<void(uint64_t)>& opening = nullptr) {
  UniqueInode current;
  NTSTATUS status = OpenRecord(vol, FILE_root, &current);
  if (!NT_SUCCESS(status)) return status;
  for (size_t i = 0; i < count; ++i) {
    if (!IsDirectory(current.get())) return STATUS_OBJECT_PATH_NOT_FOUND;
    uint64_t child = 0;
    status = FindName(current.get(), names[i], &child);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && i + 1 < count) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (!NT_SUCCESS(status)) return status;
    current.reset();
    if (opening) opening(child);
    status = OpenRecord(vol, child, &current);
    if (!NT_SUCCESS(status)) return status;
  }
  *result = std::move(current);
  return STATUS_SUCCESS;
}

// Opens the directory that holds the last of `names` (which must not be empty).
NTSTATUS OpenParent(ntfs_volume* vol, const std::vector<std::u16string>& names, UniqueInode* parent) {
  const NTSTATUS status = OpenPath(vol, names, names.size() - 1, parent);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_OBJECT_PATH_NOT_FOUND;
  if (!NT_SUCCESS(status)) return status;
  if (!IsDirectory(parent->get())) return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_SUCCESS;
}

NTSTATUS Describe(ntfs_inode* inode, NtfsVolume::Node* node) {
  node->mftRef = ReferenceOf(inode);
  node->isDirectory = IsDirectory(inode);
  node->size = 0;
  if (node->isDirectory) return STATUS_SUCCESS;
  UniqueAttr data(ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0));
  if (data) {
    node->size = static_cast<uint64_t>(data->data_size);
  } else if (errno != ENOENT) {  // a few metadata files have no unnamed stream: size 0
    return StatusFromErrno(errno);
  }
  return STATUS_SUCCESS;
}

// Grows `data` to `size` with clusters allocated but not written: the bytes past the initialized size read as
// zeros. In pieces, for the ENOSPC reason above; a refused extension leaves the attribute as it was.
NTSTATUS ExtendAllocated(ntfs_attr* data, s64 size) {
  const s64 cluster = data->ni->vol->cluster_size;
  s64 step = kIoPiece;
  while (data->data_size < size) {
    if (ntfs_attr_truncate_solid(data, std::min<s64>(size, data->data_size + step)) == 0) {
      step = kIoPiece;
      continue;
    }
    if (errno != ENOSPC || step <= cluster) return StatusFromErrno(errno);
    step = cluster;
  }
  return STATUS_SUCCESS;
}

// Owns a descriptor until it is released to its next owner.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST:
      return STATUS_OBJECT_NAME_COLLISION;
    case ENAMETOOLONG:
    case EILSEQ:
      return STATUS_OBJECT_NAME_INVALID;
    case ENOTEMPTY:
      return STATUS_DIRECTORY_NOT_EMPTY;
    case EISDIR:
      return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return STATUS_DISK_FULL;
    case ENOMEM:
      return STATUS_NO_MEMORY;
    case EACCES:
    case EPERM:
      return STATUS_ACCESS_DENIED;
    case EROFS:
      return STATUS_MEDIA_WRITE_PROTECTED;
    case EINVAL:
    case ERANGE:
      return STATUS_INVALID_PARAMETER;
    case EOPNOTSUPP:
      return STATUS_NOT_SUPPORTED;
    case EBUSY:
      return STATUS_SHARING_VIOLATION;
    default:  // EIO (damaged metadata or a failing device) and anything unforeseen
      return STATUS_UNSUCCESSFUL;
  }
}

std::unique_ptr<NtfsVolume> NtfsVolume::Mount(const std::string& device, std::string* error) {
  auto fail = [&](const std::string& reason) {
    if (error != nullptr) *error = "cannot mount " + device + ": " + reason;
    return nullptr;
  };

  // Opened for writing here, so that a device this user may only read is refused now: the library would fall
  // back to a read-only mount, on which every move then fails.
  // O_EXCL keeps the kernel from mounting a block device while we write it; it means nothing for a plain file.
  struct stat info;
  const int exclusive = stat(device.c_str(), &info) == 0 && S_ISBLK(info.st_mode) ? O_EXCL : 0;
  ScopedFd fd(open(device.c_str(), O_RDWR | O_CLOEXEC | exclusive));
  if (fd.get() < 0) {
    const int openError = errno;
    if (openError == EACCES || openError == EROFS || openError == EPERM) {
      return fail(std::string("it cannot be opened for writing (") + std::strerror(openError) + ")");
    }
    return fail(openError == ENOENT ? "no such file" : std::strerror(openError));
  }
  if (fstat(fd.get(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))) {
    return fail("not an image file or block device");
  }
  if (!HasNtfsSignature(fd.get())) return fail("not an NTFS volume (no NTFS boot sector)");
  const std::string shortDevice = CheckDeviceHoldsVolume(fd.get());
  if (!shortDevice.empty()) return fail(shortDevice);
  // The kernel's file system would keep its own cache of the metadata we rewrite, and the flock below does not
  // reach it.
  std::string mountPoint;
  if (FindKernelMount(device, &mountPoint))
    return fail("mounted by the system at " + mountPoint + " (unmount it first)");
  // A second mount would write the same metadata from a different cache. The library's own device lock is a
  // process-wide fcntl lock, which does not stop a second mount in this process; flock does.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return fail("already mounted by this or another process");

  // A move cut off by a kill or a power cut is undone before anything else reads the volume.
  std::string journalError;
  const std::string journalPath = MoveJournal::PathFor(device, fd.get(), &journalError);
  if (journalPath.empty()) return fail(journalError);
  bool rolledBack = false;
  uint64_t interruptedRecord = 0;
  if (!MoveJournal::RollBack(fd.get(), journalPath, &rolledBack, &interruptedRecord, &journalError)) {
    return fail(journalError);
  }
  if (rolledBack && interruptedRecord == kVolumeMetadata) {
    std::fprintf(stderr,
                 "spindraxel: %s: rolled back interrupted changes of several files or of the volume (from %s)\n",
                 device.c_str(), journalPath.c_str());
  } else if (rolledBack) {
    std::fprintf(stderr, "spindraxel: %s: rolled back an interrupted move of MFT record %llu (from %s)\n",
                 device.c_str(), static_cast<unsigned long long>(MREF(interruptedRecord)), journalPath.c_str());
  }
  auto storage = std::make_unique<VolumeDevice>(fd.get(), S_ISBLK(info.st_mode));
  if (!storage->OpenJournal(journalPath, &journalError)) return fail(journalError);

  std::lock_guard<std::recursive_mutex> lock(GlobalLibraryLock());
  const ntfs_mount_flags flags = S_ISBLK(info.st_mode) ? NTFS_MNT_EXCLUSIVE : NTFS_MNT_NONE;
  // A read-write mount already writes (it resets $LogFile), so the dirty flag is read on a read-only mount first.
  // A dirty volume may hold damage that only chkdsk knows how to repair; moving clusters on it could spread it.
  if (ntfs_volume* probe = ntfs_mount(device.c_str(), static_cast<ntfs_mount_flags>(flags | NTFS_MNT_RDONLY))) {
    const bool dirty = (le16_to_cpu(probe->flags) & le16_to_cpu(NTFS_VOLUME_IS_DIRTY)) != 0;
    ntfs_umount(probe, FALSE);
    if (dirty) return fail("the volume is marked dirty: run chkdsk on Windows (or ntfsfix) first");
  }
  ntfs_device* libraryDevice = storage->NewLibraryDevice(device);
  if (libraryDevice == nullptr) return fail(std::strerror(errno));
  // The library's own writes at mount ($MFT record 0 and its mirror, for one) change as one too: a disk that
  // fails between two of them must not leave the mirror disagreeing with the MFT.
  storage->BeginStaging(kVolumeMetadata);
  ntfs_volume* vol = ntfs_device_mount(libraryDevice, flags);
  if (vol == nullptr) {
    const int mountError = errno;
    storage->Commit();
    ntfs_device_free(libraryDevice);
    storage->RemoveJournal();
    return fail(MountFailureReason(mountError));
  }
  if (const int commitError = storage->Commit()) {
    ntfs_umount(vol, FALSE);
    return fail(std::string("it could not be written: ") + std::strerror(commitError));
  }
  if (NVolReadOnly(vol)) {
    ntfs_umount(vol, FALSE);
    return fail("the library could mount it only read-only");
  }
  // Windows opens case-insensitively unless asked otherwise; the library then still creates names as given.
  // Free space is not counted at mount, and the file-system controls report it.
  if (ntfs_set_ignore_case(vol) != 0 || ntfs_volume_get_free_space(vol) != 0) {
    const int setupError = errno;
    ntfs_umount(vol, FALSE);
    return fail(std::string("cannot prepare the volume: ") + std::strerror(setupError));
  }
  PinBitmap(vol, storage.get());
  return std::unique_ptr<NtfsVolume>(new NtfsVolume(vol, std::move(storage), fd.release(), device));
}

NtfsVolume::NtfsVolume(ntfs_volume* vol, std::unique_ptr<VolumeDevice> storage, int lockFd, std::string device)
    : vol_(vol),
      storage_(std::move(storage)),
      lockFd_(lockFd),
      device_(std::move(device)),
      movesPerCommit_(g_movesPerCommit.load()) {}

void NtfsVolume::SetMovesPerCommit(int moves) { g_movesPerCommit.store(std::max(moves, 1)); }

NtfsVolume::~NtfsVolume() { Close(); }

std::string NtfsVolume::Close() {
  if (vol_ == nullptr) return closeFailure_;
  {
    std::lock_guard<std::recursive_mutex> lock(LibraryLock());
    // Once the cached stream is closed no inode is open, so nothing can be lost here; a failure means the device
    // refused writes.
    CommitMoves();
    Uncache(kAnyRecord);
    DropReadAhead();
    storage_->BeginStaging(kVolumeMetadata);
    int unmountError = ntfs_umount(vol_, FALSE) != 0 ? errno : 0;
    vol_ = nullptr;
    if (const int commitError = storage_->Commit(); unmountError == 0) unmountError = commitError;
    if (const int error = storage_->FirstWriteError() != 0 ? storage_->FirstWriteError() : unmountError) {
      closeFailure_ = device_ + " could not be written: " + std::strerror(error);
    } else {
      storage_->RemoveJournal();
    }
  }
  close(lockFd_);
  return closeFailure_;
}

std::recursive_mutex& NtfsVolume::LibraryLock() { return GlobalLibraryLock(); }

void NtfsVolume::SkipMoveFlushes() {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  storage_->SetFlushes(false);
}

ntfs_volume* NtfsVolume::Raw() {
  CommitMoves();
  DropReadAhead();
  Uncache(kAnyRecord);
  return vol_;
}

void NtfsVolume::Uncache(uint64_t mftRef) {
  if (cached_ && (mftRef == kAnyRecord || MREF(cached_->mftRef) == MREF(mftRef))) cached_.reset();
  if (written_ && (mftRef == kAnyRecord || MREF(written_->mftRef) == MREF(mftRef))) CloseWritten();
}

void NtfsVolume::CloseWritten() {
  std::unique_ptr<WrittenFile> file = std::move(written_);
  file->data.reset();
  CloseInode(std::move(file->inode));
}

NTSTATUS NtfsVolume::Lookup(const std::u16string& path, Node* node) {
  std::vector<std::u16string> names;
  NTSTATUS status = SplitPath(path, &names);
  if (!NT_SUCCESS(status)) return status;

  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  UniqueInode inode;
  // A record the path reaches that is open already (the cached stream, the written file) is closed first.
  status = OpenPath(vol_, names, names.size(), &inode, [this](uint64_t record) { Uncache(record); });
  if (!NT_SUCCESS(status)) return status;
  return Describe(inode.get(), node);
}

NTSTATUS NtfsVolume::Create(const std::u16string& path, bool directory, Node* node) {
  std::vector<std::u16string> names;
  NTSTATUS status = SplitPath(path, &names);
  if (!NT_SUCCESS(status)) return status;
  if (names.empty()) return STATUS_OBJECT_NAME_COLLISION;  // the root

  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  DropReadAhead();
  CommitMoves();  // a group of moves commits before anything else is written
  UniqueInode parent;
  status = OpenParent(vol_, names, &parent);
  if (!NT_SUCCESS(status)) return status;
  uint64_t existing = 0;
  status = FindName(parent.get(), names.back(), &existing);
  if (NT_SUCCESS(status)) return STATUS_OBJECT_NAME_COLLISION;
  if (status != STATUS_OBJECT_NAME_NOT_FOUND) return status;

  const std::vector<ntfschar> name = ToNtfsName(names.back());
  UniqueInode created(ntfs_create(parent.get(), const_cpu_to_le32(0), name.data(), static_cast<u8>(name.size()),
                                  directory ? S_IFDIR : S_IFREG));
  if (!created) return StatusFromErrno(errno);
  // The library marks every new file for archiving; Windows marks files only, and a new directory lists as
  // FILE_ATTRIBUTE_DIRECTORY alone.
  if (directory) {
    created->flags = static_cast<FILE_ATTR_FLAGS>(created->flags & ~FILE_ATTR_ARCHIVE);
    NInoSetDirty(created.get());
    NInoFileNameSetDirty(created.get());
  }
  node->mftRef = ReferenceOf(created.get());
  node->isDirectory = directory;
  node->size = 0;
  status = CloseInodeIn(std::move(created), parent.get());
  if (!NT_SUCCESS(status)) return status;
  return CloseInode(std::move(parent));
}

NTSTATUS NtfsVolume::Read(uint64_t mftRef, uint64_t offset, void* buffer, uint32_t length, uint32_t* bytesRead) {
  *bytesRead = 0;
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  // Small reads in a row (the configuration is read a byte at a time) come from the bytes read ahead for them.
  if (readAhead_.mftRef == mftRef && length <= kReadAheadBytes) {
    if (offset >= readAhead_.fileSize) return STATUS_SUCCESS;
    const uint64_t end = readAhead_.offset + readAhead_.bytes.size();
    if (offset >= readAhead_.offset && (offset + length <= end || end == readAhead_.fileSize) && offset < end) {
      *bytesRead = static_cast<uint32_t>(std::min<uint64_t>(length, end - offset));
      std::memcpy(buffer, readAhead_.bytes.data() + (offset - readAhead_.offset), *bytesRead);
      return STATUS_SUCCESS;
    }
  }
  Uncache(mftRef);
  UniqueInode inode;
  UniqueAttr data;
  bool isDirectory = false;
  NTSTATUS status = OpenData(vol_, mftRef, &inode, &data, &isDirectory);
  if (!NT_SUCCESS(status)) return status;
  if (isDirectory) return STATUS_INVALID_DEVICE_REQUEST;

  const uint64_t size = static_cast<uint64_t>(data->data_size);
  if (offset >= size) return STATUS_SUCCESS;
  auto readExactly = [&](uint64_t from, uint64_t count, uint8_t* out) {
    for (uint64_t done = 0; done < count;) {
      const s64 got =
          ntfs_attr_pread(data.get(), static_cast<s64>(from + done), static_cast<s64>(count - done), out + done);
      if (got < 0) return StatusFromErrno(errno);
      if (got == 0) return STATUS_FILE_CORRUPT_ERROR;  // short of the recorded size: the runlist ends too early
      done += static_cast<uint64_t>(got);
    }
    return STATUS_SUCCESS;
  };
  const uint64_t wanted = std::min<uint64_t>(length, size - offset);
  if (length < kReadAheadBytes) {
    DropReadAhead();
    readAhead_.bytes.resize(static_cast<size_t>(std::min<uint64_t>(kReadAheadBytes, size - offset)));
    if (NT_SUCCESS(readExactly(offset, readAhead_.bytes.size(), readAhead_.bytes.data()))) {
      readAhead_.mftRef = mftRef;
      readAhead_.offset = offset;
      readAhead_.fileSize = size;
      std::memcpy(buffer, readAhead_.bytes.data(), static_cast<size_t>(wanted));
      *bytesRead = static_cast<uint32_t>(wanted);
      return STATUS_SUCCESS;
    }
    DropReadAhead();  // the bytes asked for alone may still read
  }
  status = readExactly(offset, wanted, static_cast<uint8_t*>(buffer));
  if (!NT_SUCCESS(status)) return status;
  *bytesRead = static_cast<uint32_t>(wanted);
  return STATUS_SUCCESS;
}

void NtfsVolume::DropReadAhead() {
  readAhead_.mftRef = kNoRecord;
  readAhead_.bytes.clear();
}

NTSTATUS NtfsVolume::Write(uint64_t mftRef, uint64_t offset, const void* buffer, uint32_t length) {
  if (offset > kMaxFileSize - length) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  DropReadAhead();
  // A small write joins an open group of moves (staged, journaled and committed with it); a large one, whose every
  // byte the group would hold in memory and journal, commits the group first.
  NTSTATUS status = STATUS_SUCCESS;
  if (length > kGroupedWriteBytes) {
    status = CommitMoves();
    if (!NT_SUCCESS(status)) return status;
  }
  const bool kept = written_ && MREF(written_->mftRef) == MREF(mftRef) &&
                    (MSEQNO(mftRef) == 0 || MSEQNO(mftRef) == MSEQNO(written_->mftRef));
  if (!kept) {
    Uncache(mftRef);  // the cached stream when it is this file, and the file written before
    if (written_) CloseWritten();
    auto file = std::make_unique<WrittenFile>();
    bool isDirectory = false;
    status = OpenData(vol_, mftRef, &file->inode, &file->data, &isDirectory);
    if (!NT_SUCCESS(status)) return status;
    if (isDirectory) return STATUS_INVALID_DEVICE_REQUEST;
    if (IsMetadataRecord(mftRef)) return STATUS_ACCESS_DENIED;
    file->mftRef = MK_MREF(MREF(mftRef), le16_to_cpu(file->inode->mrec->sequence_number));
    written_ = std::move(file);
  }
  if (length == 0) return STATUS_SUCCESS;
  ntfs_attr* data = written_->data.get();
  // Whatever fails below leaves the file closed, as it was written so far.
  struct CloseOnFailure {
    NtfsVolume* volume;
    bool armed = true;
    ~CloseOnFailure() {
      if (armed && volume->written_) volume->CloseWritten();
    }
  } closeOnFailure{this};

  const s64 end = static_cast<s64>(offset + length);
  if (end > data->data_size + s64{kGroupedWriteBytes}) {
    status = CommitMoves();
    if (!NT_SUCCESS(status)) return status;
  }
  if (end > data->data_size && !GrowsByHoles(data)) {
    status = ExtendAllocated(data, end);
    if (!NT_SUCCESS(status)) return status;
  }
  // Writes allocate only in the holes of sparse and compressed files, hence the same retry as for extensions.
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const uint32_t cluster = vol_->cluster_size;
  for (uint32_t done = 0, piece = kIoPiece; done < length;) {
    const s64 count = std::min(length - done, piece);
    const s64 written = ntfs_attr_pwrite(data, static_cast<s64>(offset + done), count, bytes + done);
    if (written > 0) {
      done += static_cast<uint32_t>(written);
      piece = kIoPiece;
      continue;
    }
    const int error = written < 0 ? errno : EIO;
    if (error != ENOSPC || piece <= cluster) return StatusFromErrno(error);
    piece = cluster;
  }
  // A compressed stream keeps its last compression block open until pclose; closing it would swallow the error.
  if ((data->data_flags & ATTR_COMPRESSION_MASK) != 0 && ntfs_attr_pclose(data) != 0) return StatusFromErrno(errno);
  ntfs_inode_update_times(written_->inode.get(), static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
  closeOnFailure.armed = false;
  return STATUS_SUCCESS;
}

NTSTATUS NtfsVolume::SetSize(uint64_t mftRef, uint64_t size) {
  if (size > kMaxFileSize) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  DropReadAhead();
  CommitMoves();  // a group of moves commits before anything else is written
  Uncache(mftRef);
  UniqueInode inode;
  UniqueAttr data;
  bool isDirectory = false;
  NTSTATUS status = OpenData(vol_, mftRef, &inode, &data, &isDirectory);
  if (!NT_SUCCESS(status)) return status;
  if (isDirectory) return STATUS_INVALID_PARAMETER;
  if (IsMetadataRecord(mftRef)) return STATUS_ACCESS_DENIED;

  const s64 newSize = static_cast<s64>(size);
  if (newSize == data->data_size) return STATUS_SUCCESS;
  if (newSize > data->data_size && !GrowsByHoles(data.get())) {
    status = ExtendAllocated(data.get(), newSize);
    if (!NT_SUCCESS(status)) return status;
  } else if (ntfs_attr_truncate(data.get(), newSize) != 0) {
    return StatusFromErrno(errno);
  }
  ntfs_inode_update_times(inode.get(), static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
  data.reset();
  return CloseInode(std::move(inode));
}

NTSTATUS NtfsVolume::GetSize(uint64_t mftRef, uint64_t* size) {
  *size = 0;
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  Uncache(mftRef);
  UniqueInode inode;
  UniqueAttr data;
  bool isDirectory = false;
  const NTSTATUS status = OpenData(vol_, mftRef, &inode, &data, &isDirectory);
  if (!NT_SUCCESS(status)) return status;
  if (!isDirectory) *size = static_cast<uint64_t>(data->data_size);
  return STATUS_SUCCESS;
}

NTSTATUS NtfsVolume::Remove(const std::u16string& path) {
  std::vector<std::u16string> names;
  NTSTATUS status = SplitPath(path, &names);
  if (!NT_SUCCESS(status)) return status;
  if (names.empty()) return STATUS_CANNOT_DELETE;  // the root

  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  DropReadAhead();
  CommitMoves();        // a group of moves commits before anything else is written
  Uncache(kAnyRecord);  // the path may name the cached file
  UniqueInode parent;
  status = OpenParent(vol_, names, &parent);
  if (!NT_SUCCESS(status)) return status;
  uint64_t target = 0;
  status = FindName(parent.get(), names.back(), &target);
  if (!NT_SUCCESS(status)) return status;
  if (IsMetadataRecord(target)) return STATUS_ACCESS_DENIED;
  UniqueInode inode;
  status = OpenRecord(vol_, target, &inode);
  if (!NT_SUCCESS(status)) return status;

  // ntfs_delete refuses a directory that is not empty (ENOTEMPTY) and closes both inodes, whatever its outcome.
  // Without a path it has no name cache entry to drop, and this class keeps none.
  const std::vector<ntfschar> name = ToNtfsName(names.back());
  if (ntfs_delete(vol_, nullptr, inode.release(), parent.release(), name.data(), static_cast<u8>(name.size())) != 0) {
    return StatusFromErrno(errno);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NtfsVolume::Flush() {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  // Closed inodes were written back when they were closed and file data goes straight to the device; what stays
  // behind are the metadata files the library keeps open for the whole mount.
  // They go as one ($MFT's record and its mirror must agree), and the commit flushes.
  CommitMoves();
  storage_->BeginStaging(kVolumeMetadata);
  int error = 0;
  for (ntfs_inode* inode : {vol_->mft_ni, vol_->mftmirr_ni, vol_->lcnbmp_ni, vol_->vol_ni}) {
    if (error == 0 && inode != nullptr && ntfs_inode_sync(inode) != 0) error = errno;
  }
  if (const int commitError = storage_->Commit(); error == 0) error = commitError;
  if (error == 0 && ntfs_device_sync(vol_->dev) != 0) error = errno;
  return error == 0 ? STATUS_SUCCESS : StatusFromErrno(error);
}

}  // namespace host
