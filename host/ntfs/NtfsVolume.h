// An NTFS image or partition mounted read-write through libntfs-3g: the storage under the host's file calls.
//
// Contract for callers:
// - Files are named between calls by their MFT reference (record number and sequence number, as Windows reports
//   in FileInternalInformation). No inode stays open between calls: the library keeps no single object per record,
//   and two open copies of one record overwrite each other's changes.
// - A reference whose record was deleted, or deleted and reused, answers STATUS_FILE_DELETED.
// - Every call takes LibraryLock(), so any thread may call; code that uses Raw() must hold it too.
// - The cluster calls (GetRuns, MoveClusters) keep the stream of the last file they worked on open between calls,
//   so that a file of thousands of runs read a few extents at a time is decoded once. Every other call that could
//   open that record closes it first, so no record is ever open twice.
// - Paths go through Lookup only. The library's own path helpers (ntfs_pathname_to_inode) keep a name cache
//   that this class does not maintain.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

// The library's own name for its volume, declared so that this header need not include the library.
typedef struct _ntfs_volume ntfs_volume;
typedef struct _ntfs_attr ntfs_attr;
typedef struct _runlist_element runlist_element;

namespace host {

class VolumeDevice;

// The status NTFS on Windows gives for a failure that libntfs-3g reported as `error` (an errno value).
NTSTATUS StatusFromErrno(int error);

class NtfsVolume {
 public:
  // Mounts `device` (an image file or block device). On failure returns null and sets *error (when given) to one
  // line for a user: the file is missing, is not an NTFS volume, is already mounted (by this or another process,
  // or by the kernel, for an image also through a loop device), is hibernated, is marked dirty, or the mount was
  // refused. Every refusal comes before anything is written to the device. A move that was cut off (see
  // MoveJournal) is rolled back first, with one line on standard error.
  static std::unique_ptr<NtfsVolume> Mount(const std::string& device, std::string* error);
  // Unmounts; every change has reached the device afterwards, or Close said why not.
  ~NtfsVolume();
  // Unmounts now. "" when every write reached the device, else one line: "disk.img could not be written: No space
  // left on device". Nothing may be called after it.
  std::string Close();

  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  struct Node {
    uint64_t mftRef = 0;
    bool isDirectory = false;
    uint64_t size = 0;  // of the unnamed data stream; 0 for a directory
  };

  // One name in a directory, with what a directory query reports of its file.
  struct DirectoryEntry {
    std::u16string name;
    std::u16string shortName;  // the DOS name, when the file has one apart from `name`
    uint64_t fileId = 0;       // the MFT reference (for a host folder, the inode number)
    ULONG attributes = 0;      // FILE_ATTRIBUTE_*, FILE_ATTRIBUTE_NORMAL when there is none else
    uint64_t endOfFile = 0;    // of the unnamed data stream; 0 for a directory
    uint64_t allocationSize = 0;
    int64_t creationTime = 0;  // NT times: 100 ns units since 1601
    int64_t lastAccessTime = 0;
    int64_t lastWriteTime = 0;
    int64_t changeTime = 0;
  };

  // Paths are volume-relative UTF-16 with backslash separators and no leading backslash; u"" is the root. Names
  // match regardless of case, as for a case-insensitive open on Windows.
  //
  // STATUS_OBJECT_NAME_INVALID: an empty, "." or ".." component, a name longer than 255, or a character NTFS
  //   refuses in Win32 names ("*/:<>?| and control characters); checked before anything is looked up.
  // STATUS_OBJECT_PATH_NOT_FOUND: a component before the last is missing or is not a directory.
  // STATUS_OBJECT_NAME_NOT_FOUND: only the last component is missing.
  NTSTATUS Lookup(const std::u16string& path, Node* node);
  // Creates an empty file or directory under the name exactly as given. STATUS_OBJECT_NAME_COLLISION when the name
  // exists in any case (the root included), STATUS_OBJECT_PATH_NOT_FOUND as for Lookup, STATUS_DISK_FULL when no
  // MFT record or cluster is left.
  NTSTATUS Create(const std::u16string& path, bool directory, Node* node);

  // Reads at most `length` bytes: fewer at the end of the file, none at or past it (still success; the caller
  // answers STATUS_END_OF_FILE). STATUS_INVALID_DEVICE_REQUEST on a directory.
  NTSTATUS Read(uint64_t mftRef, uint64_t offset, void* buffer, uint32_t length, uint32_t* bytesRead);
  // Writes all of `buffer`, extending the file as needed. A file that is not sparse stays so: a gap before
  // `offset` is allocated and reads as zeros, as on Windows. STATUS_INVALID_DEVICE_REQUEST on a directory,
  // STATUS_ACCESS_DENIED on the volume's own metadata files, STATUS_DISK_FULL when space runs out (the bytes
  // written before that stay).
  NTSTATUS Write(uint64_t mftRef, uint64_t offset, const void* buffer, uint32_t length);
  // Sets the end of file; growth allocates (sparse files grow by a hole) and reads as zeros.
  // STATUS_INVALID_PARAMETER on a directory.
  NTSTATUS SetSize(uint64_t mftRef, uint64_t size);
  NTSTATUS GetSize(uint64_t mftRef, uint64_t* size);  // 0 for a directory

  // Removes one name; the record goes once its last name is gone. STATUS_OBJECT_NAME_NOT_FOUND /
  // STATUS_OBJECT_PATH_NOT_FOUND as for Lookup, STATUS_DIRECTORY_NOT_EMPTY, STATUS_ACCESS_DENIED for the volume's
  // metadata files, STATUS_CANNOT_DELETE for the root.
  NTSTATUS Remove(const std::u16string& path);

  // The names of directory `mftRef` in index order (by upcased name), as Windows lists them: "." and ".." first
  // except in the root, each file under its Win32 or POSIX name (a DOS name only as its shortName), the volume's
  // metadata files left out. STATUS_INVALID_PARAMETER when `mftRef` is not a directory.
  NTSTATUS ListDirectory(uint64_t mftRef, std::vector<DirectoryEntry>* entries);
  // `name` in upper case by the volume's own $UpCase table, as NTFS compares names.
  std::u16string Upcase(std::u16string name);

  // Writes everything the library still holds (the metadata files it keeps open) and syncs the device.
  NTSTATUS Flush();
  // For volumes made to be worked on (test and demo images): nothing is forced to the disk, so moves stay atomic
  // against a killed process (the page cache keeps the order of writes) but not against a power cut.
  void SkipMoveFlushes();
  // How many move requests one journal record commits, for volumes mounted after the call (1, the default: each
  // on its own). A group commits when full, before a write of more than kGroupedWriteBytes and before any other
  // call that writes; a smaller write (a log line) joins the group. Its moves and writes stay atomic together. The
  // searches see what they would see with each move on its own: the clusters a move frees are free at once, and
  // what a later move of the group copies onto them is journaled with the group.
  static void SetMovesPerCommit(int moves);
  static constexpr uint32_t kGroupedWriteBytes = 64 << 10;

  // Clusters: what the NTFS file-system controls are made of. A file's stream here is the unnamed data stream of
  // a file and the $I30 index allocation of a directory.

  static constexpr int64_t kHoleLcn = -1;
  struct Run {
    int64_t vcn = 0;
    int64_t lcn = kHoleLcn;  // kHoleLcn for a hole (sparse files, unallocated tails of compression units)
    int64_t length = 0;
  };

  // Everything NTFS reports about the volume but TotalReserved (0 here): serial number and sectors from the boot
  // sector, clusters and free clusters, sizes, where the MFT and its mirror start, the MFT's valid data length and
  // the MFT zone as the library computed it at mount.
  NTSTATUS GetVolumeData(NTFS_VOLUME_DATA_BUFFER* data);
  int64_t TotalClusters();
  // Copies the $Bitmap bytes of clusters [firstLcn, firstLcn + 8 * byteCount); `firstLcn` is a multiple of 8 and
  // the range starts inside the volume. Clusters past the end of the volume read as used.
  NTSTATUS ReadBitmap(int64_t firstLcn, size_t byteCount, uint8_t* bytes);
  // The first run of `count` free clusters that does not overlap [avoidLcn, avoidLcn + avoidCount).
  // STATUS_DISK_FULL when there is none.
  NTSTATUS FindFreeRun(int64_t count, int64_t avoidLcn, int64_t avoidCount, int64_t* lcn);

  // Up to `maxRuns` runs of the file's stream, from the one that holds `vcn` on (so runs->front().vcn may be
  // below `vcn`); *more tells whether runs follow. STATUS_END_OF_FILE for a resident or missing stream or `vcn`
  // at or past its allocation, STATUS_INVALID_PARAMETER for a negative `vcn`.
  NTSTATUS GetRuns(uint64_t mftRef, int64_t vcn, size_t maxRuns, std::vector<Run>* runs, bool* more);
  // Moves the allocated clusters of the stream's [vcn, vcn + count) to `lcn` on, packed in VCN order; holes stay
  // holes. The data is copied first; then the bitmap and the runlist (in every MFT record it spans) change as one,
  // through the undo journal, so that a move cut off at any point is rolled back by the next read-write mount.
  // *moved (when given) is the number of clusters written.
  //
  // STATUS_INVALID_PARAMETER: count 0, the range not inside the allocation (or not on compression-unit bounds of a
  //   sparse or compressed stream), a resident stream, or a target that reaches past the end of the volume.
  // STATUS_ACCESS_DENIED: a metadata file whose layout the mounted library caches ($MFT, $MFTMirr, $LogFile,
  //   $Bitmap, $Boot, $BadClus, $Secure).
  // STATUS_ALREADY_COMMITTED: a target cluster is in use (by the file itself too); nothing was changed.
  NTSTATUS MoveClusters(uint64_t mftRef, int64_t vcn, int64_t count, int64_t lcn, int64_t* moved = nullptr);
  // Inverts the first byte of cluster `lcn` on the device, behind the library's back: the damage a failing disk
  // does, injected by a test. Nothing in the metadata changes.
  NTSTATUS FlipFirstByte(int64_t lcn);

  // The mounted library volume, for tests that work on it directly. Use only while holding LibraryLock(). Closes
  // the cached stream first, so that the caller may open any record.
  ntfs_volume* Raw();
  // The one process-wide lock around every libntfs-3g call: the library has no thread safety and shared state
  // across volumes, so one lock per volume would not do.
  static std::recursive_mutex& LibraryLock();

  const std::string& Device() const { return device_; }

 private:
  struct CachedStream;
  struct WrittenFile;
  struct StreamRef;
  // One allocated piece of a move, in VCN order: where its clusters are. They go to the target range packed.
  struct MovePiece {
    int64_t from;
    int64_t length;
  };

  NtfsVolume(ntfs_volume* vol, std::unique_ptr<VolumeDevice> storage, int lockFd, std::string device);

  // Closes the cached stream and the written file when they belong to `mftRef` (any record for kAnyRecord). Call
  // before opening a record, with nothing else open.
  static constexpr uint64_t kAnyRecord = ~uint64_t{0};
  void Uncache(uint64_t mftRef);
  NTSTATUS OpenStream(uint64_t mftRef, StreamRef* stream);
  // Closes the written file; a failure to write its record shows as the device's first write error.
  void CloseWritten();
  // Commits the moves and writes staged so far, with the written file's record.
  NTSTATUS CommitMoves();
  // How many of clusters [lcn, lcn + count) a move of the open group freed.
  int64_t UncommittedFreesIn(int64_t lcn, int64_t count) const;
  // Writes a move's data at `offset` of the device: straight where the clusters are free on the device, staged
  // where a move of the open group freed them.
  bool WriteMovedData(const uint8_t* buffer, int64_t length, int64_t offset);
  // The metadata half of MoveClusters, while the device stages: takes the targets, switches the runlist to
  // `newRunlist` (taking it over) and frees the old pieces; on a failure puts the old runlist back.
  NTSTATUS SwitchClusters(ntfs_attr* attr, runlist_element* newRunlist, int64_t vcn, int64_t lcn, int64_t needed,
                          const std::vector<MovePiece>& pieces);

  ntfs_volume* vol_;
  std::unique_ptr<VolumeDevice> storage_;  // the library's device; makes each move's metadata writes atomic
  std::unique_ptr<CachedStream> cached_;   // under LibraryLock()
  std::unique_ptr<WrittenFile> written_;   // under LibraryLock()
  // The bytes after the last small read, kept until anything writes. Moves keep them: they change no byte.
  static constexpr uint32_t kReadAheadBytes = 64 << 10;
  static constexpr uint64_t kNoRecord = ~uint64_t{0};
  struct ReadAhead {
    uint64_t mftRef = kNoRecord;
    uint64_t offset = 0;
    uint64_t fileSize = 0;
    std::vector<uint8_t> bytes;
  } readAhead_;  // under LibraryLock()
  void DropReadAhead();
  int lockFd_;  // holds an exclusive flock on the device, so that no second mount writes it behind our back
  std::string device_;
  std::string closeFailure_;
  int movesPerCommit_ = 1;
  int movesStaged_ = 0;                  // under LibraryLock()
  std::vector<MovePiece> uncommittedFrees_;  // freed by the open group's moves; under LibraryLock()
};

}  // namespace host
