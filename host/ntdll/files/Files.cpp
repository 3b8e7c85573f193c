// Files and volumes on drives backed by NTFS images (and files in host folders, host/HostFolder.h): NtCreateFile,
// NtReadFile, NtWriteFile, NtFlushBuffersFile, NtDeleteFile, NtCancelIoFile, NtFsControlFile, NtQueryDirectoryFile and
// NtClose, with the statuses Windows gives. Names in the \Device directory, and handles of what they open, go to the
// devices (host/Devices.h).
//
// Names: \??\X: is the volume of drive X and \??\X:\path a file on it (\DosDevices\ and \GLOBAL??\ name the same
// directory). Every open is case-insensitive, as NTFS is under Windows' default settings.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/CallTrace.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/faults/FsOverrides.h"
#include "host/ntdll/files/Devices.h"
#include "host/ntdll/files/DirectoryQuery.h"
#include "host/ntdll/files/Drives.h"
#include "host/ntdll/files/FsControl.h"
#include "host/ntdll/files/HostFolder.h"
#include "host/ntdll/files/ObjectNames.h"
#include "host/ntdll/objects/Objects.h"
#include "host/ntfs/NtfsVolume.h"

using namespace host;

namespace {

constexpr NTSTATUS kStatusVolumeDismounted = MakeStatus(0xC000026E);
constexpr ULONG kWriteToEndOfFile = 0xFFFFFFFF;
constexpr ULONG kUseFilePointerPosition = 0xFFFFFFFE;
constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | 0x0020;  // read data, execute
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
  if (access & GENERIC_READ) access |= 0x00120089;
  if (access & GENERIC_WRITE) access |= 0x00120116;
  if (access & 0x20000000) access |= 0x001200A0;  // generic execute
  if (access & GENERIC_ALL) access |= 0x001F01FF;
  return access & ~(GENERIC_READ | GENERIC_WRITE | 0x20000000u | GENERIC_ALL);
}

struct FileObject;

// Who has which file open, for sharing checks and delayed deletion. Keyed by drive and MFT reference; the
// volume itself uses the reference ~0.
struct OpenFiles {
  std::mutex mutex;
  std::multimap<std::pair<char, uint64_t>, FileObject*> open;
  std::map<std::pair<char, uint64_t>, std::u16string> deletePending;  // removed when the last handle closes
};

OpenFiles& GetOpenFiles() {
  static OpenFiles* files = new OpenFiles();
  return *files;
}

constexpr uint64_t kVolumeReference = ~uint64_t{0};

struct FileObject : Object {
  FileObject() : Object(ObjectType::File) {}
  ~FileObject() override {
    if (fd >= 0) close(fd);
  }
  void OnLastHandleClosed() override;

  std::shared_ptr<Drive> drive;
  bool isVolume = false;
  bool isDirectory = false;
  uint64_t mftRef = kVolumeReference;
  std::u16string path;
  ACCESS_MASK access = 0;
  ULONG share = 0;
  bool synchronous = false;
  std::mutex positionMutex;  // for the position, and for the directory scan below
  uint64_t position = 0;
  int fd = -1;  // a file or folder of a host-folder drive

  // NtQueryDirectoryFile's scan: the directory's entries that match the mask of the handle's first query, listed
  // whole by that query and again by each restart, and handed out from `scanNext` on.
  bool scanStarted = false;
  std::u16string scanMask;  // as the first query gave it; empty for every name
  std::vector<NtfsVolume::DirectoryEntry> scan;
  size_t scanNext = 0;
};

void FileObject::OnLastHandleClosed() {
  std::u16string pendingPath;
  bool removeNow = false;
  auto key = std::make_pair(drive->letter, mftRef);
  {
    OpenFiles& files = GetOpenFiles();
    std::lock_guard<std::mutex> guard(files.mutex);
    auto range = files.open.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == this) {
        files.open.erase(it);
        break;
      }
    }
    auto pending = files.deletePending.find(key);
    if (pending != files.deletePending.end() && files.open.count(key) == 0) {
      pendingPath = pending->second;
      files.deletePending.erase(pending);
      removeNow = true;
    }
  }
  if (removeNow) {
    std::lock_guard<std::mutex> guard(drive->mutex);
    if (drive->volume) drive->volume->Remove(pendingPath);
    if (!drive->folder.empty()) RemoveInFolder(drive->folder, pendingPath);
  }
}

// Sharing as Windows checks it: each side's access must be allowed by every other side's share mode.
bool SharingAllows(const FileObject& existing, ACCESS_MASK access, ULONG share) {
  auto conflicts = [](ACCESS_MASK held, ULONG allowed) {
    return ((held & kReadAccess) && !(allowed & FILE_SHARE_READ)) ||
           ((held & kWriteAccess) && !(allowed & FILE_SHARE_WRITE)) ||
           ((held & DELETE) && !(allowed & FILE_SHARE_DELETE));
  };
  return !conflicts(access, existing.share) && !conflicts(existing.access, share);
}

void CompleteIo(IO_STATUS_BLOCK* ioStatus, HANDLE event, NTSTATUS status, ULONG_PTR information) {
  ioStatus->Status = status;
  ioStatus->Information = information;
  if (event != nullptr) NtSetEvent(event, nullptr);
}

NTSTATUS OpenVolume(const ParsedName& parsed, ACCESS_MASK access, ULONG share, ULONG disposition,
                    std::shared_ptr<FileObject>* result) {
  if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF) return STATUS_ACCESS_DENIED;
  auto file = std::make_shared<FileObject>();
  file->drive = parsed.drive;
  file->isVolume = true;
  file->access = access;
  file->share = share;
  *result = file;
  return STATUS_SUCCESS;
}

NTSTATUS OpenOnVolume(NtfsVolume& volume, const ParsedName& parsed, ULONG disposition, ULONG options,
                      NtfsVolume::Node* node, ULONG_PTR* information) {
  NTSTATUS status = volume.Lookup(parsed.path, node);
  bool exists = NT_SUCCESS(status);
  if (!exists && status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
  bool wantDirectory = (options & FILE_DIRECTORY_FILE) != 0;

  if (exists) {
    if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    if (wantDirectory && !node->isDirectory) return STATUS_NOT_A_DIRECTORY;
    if ((options & FILE_NON_DIRECTORY_FILE) && node->isDirectory) return STATUS_FILE_IS_A_DIRECTORY;
    if (parsed.trailingBackslash && !node->isDirectory) return STATUS_OBJECT_NAME_INVALID;
    *information = FILE_OPENED;
    return STATUS_SUCCESS;
  }
  if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return status;
  if (parsed.trailingBackslash && !wantDirectory) return STATUS_OBJECT_NAME_INVALID;
  status = volume.Create(parsed.path, wantDirectory, node);
  if (NT_SUCCESS(status)) *information = FILE_CREATED;
  return status;
}

// After sharing has been checked: an overwriting disposition empties an existing file with `empty`.
template <typename Empty>
NTSTATUS TruncateIfAsked(const NtfsVolume::Node& node, ULONG disposition, ULONG_PTR* information, Empty empty) {
  if (*information != FILE_OPENED || node.isDirectory) return STATUS_SUCCESS;
  if (disposition != FILE_OVERWRITE && disposition != FILE_OVERWRITE_IF && disposition != FILE_SUPERSEDE) {
    return STATUS_SUCCESS;
  }
  *information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  return empty();
}

// The checks made before any name is looked at, for files and devices alike.
NTSTATUS CheckCreateParameters(ACCESS_MASK access, ULONG disposition, ULONG options) {
  if (disposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
  bool synchronous = (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
  if (synchronous && !(access & SYNCHRONIZE)) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS CreateFileObject(ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, ULONG share, ULONG disposition,
                          ULONG options, std::shared_ptr<FileObject>* result, ULONG_PTR* information) {
  bool synchronous = (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
  ParsedName parsed;
  NTSTATUS status = ParseName(attributes, &parsed);
  if (!NT_SUCCESS(status)) return status;

  std::shared_ptr<FileObject> file;
  NtfsVolume::Node node{};
  std::lock_guard<std::mutex> driveGuard(parsed.drive->mutex);
  if (!parsed.drive->Mounted()) return kStatusVolumeDismounted;
  const bool inFolder = !parsed.drive->volume;
  if (parsed.isVolume) {
    status = OpenVolume(parsed, access, share, disposition, &file);
    *information = FILE_OPENED;
  } else {
    // A host folder's file answers with the host's inode where a volume's gives its MFT reference.
    FolderEntry entry;
    status = inFolder ? OpenInFolder(parsed.drive->folder, parsed.path, parsed.trailingBackslash, access, disposition,
                                     options, &entry, information)
                      : OpenOnVolume(*parsed.drive->volume, parsed, disposition, options, &node, information);
    if (inFolder) {
      node.isDirectory = entry.isDirectory;
      node.mftRef = entry.id;
    }
    if (NT_SUCCESS(status)) {
      file = std::make_shared<FileObject>();
      file->drive = parsed.drive;
      file->isDirectory = node.isDirectory;
      file->mftRef = node.mftRef;
      file->path = parsed.path;
      file->fd = entry.fd;
    }
  }
  if (!NT_SUCCESS(status)) return status;
  file->access = access;
  file->share = share;
  file->synchronous = synchronous;

  OpenFiles& files = GetOpenFiles();
  std::lock_guard<std::mutex> guard(files.mutex);
  auto key = std::make_pair(parsed.drive->letter, file->mftRef);
  if (files.deletePending.count(key) != 0) return STATUS_DELETE_PENDING;
  auto range = files.open.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    if (!SharingAllows(*it->second, access, share)) return STATUS_SHARING_VIOLATION;
  }
  if (!parsed.isVolume) {
    status = TruncateIfAsked(node, disposition, information, [&]() -> NTSTATUS {
      if (!inFolder) return parsed.drive->volume->SetSize(node.mftRef, 0);
      return ftruncate(file->fd, 0) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
    });
    if (!NT_SUCCESS(status)) return status;
  }
  if (options & FILE_DELETE_ON_CLOSE) files.deletePending.emplace(key, parsed.path);
  files.open.emplace(key, file.get());
  *result = file;
  return STATUS_SUCCESS;
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle, NTSTATUS* status) {
  return LookupHandleAs<FileObject>(handle, ObjectType::File, status);
}

// The checks a read or write makes before touching data: a file handle with the access asked for, a status block
// and a buffer, and a data stream (volumes and directories have none here).
NTSTATUS LookupDataTransfer(HANDLE handle, IO_STATUS_BLOCK* ioStatus, PVOID buffer, ULONG length, ACCESS_MASK needed,
                            std::shared_ptr<FileObject>* result) {
  NTSTATUS status;
  std::shared_ptr<FileObject> file = LookupFile(handle, &status);
  if (!file) return status;
  if (ioStatus == nullptr || (buffer == nullptr && length != 0)) return STATUS_ACCESS_VIOLATION;
  if (!(file->access & needed)) return STATUS_ACCESS_DENIED;
  if (file->isVolume || file->isDirectory) return STATUS_INVALID_DEVICE_REQUEST;
  *result = std::move(file);
  return STATUS_SUCCESS;
}

// The offset a read or write on `file` starts at: the byte offset given, or the file position of a synchronous
// handle.
NTSTATUS ResolveOffset(FileObject& file, const LARGE_INTEGER* byteOffset, uint64_t* offset, bool* atEnd) {
  *atEnd = false;
  if (byteOffset != nullptr && byteOffset->u.HighPart == -1) {
    if (byteOffset->u.LowPart == kWriteToEndOfFile) {
      *atEnd = true;
      return STATUS_SUCCESS;
    }
    if (byteOffset->u.LowPart == kUseFilePointerPosition && file.synchronous) byteOffset = nullptr;
  }
  if (byteOffset == nullptr) {
    if (!file.synchronous) return STATUS_INVALID_PARAMETER;
    *offset = file.position;
    return STATUS_SUCCESS;
  }
  if (byteOffset->QuadPart < 0) return STATUS_INVALID_PARAMETER;
  *offset = static_cast<uint64_t>(byteOffset->QuadPart);
  return STATUS_SUCCESS;
}

// Lists the directory `file` opened into its scan, from the start, keeping what its mask lets through (the long
// name or the short one, in any case).
NTSTATUS StartScan(FileObject& file) {
  std::vector<NtfsVolume::DirectoryEntry> entries;
  std::lock_guard<std::mutex> driveGuard(file.drive->mutex);
  if (!file.drive->Mounted()) return kStatusVolumeDismounted;
  NtfsVolume* volume = file.drive->volume.get();
  const NTSTATUS status =
      volume ? volume->ListDirectory(file.mftRef, &entries) : ListFolder(file.fd, file.path.empty(), &entries);
  if (!NT_SUCCESS(status)) return status;
  if (!file.scanMask.empty() && file.scanMask != u"*") {
    auto upcase = [volume](const std::u16string& name) { return volume ? volume->Upcase(name) : UpcaseInFolder(name); };
    const std::u16string mask = upcase(file.scanMask);
    auto matches = [&](const std::u16string& name) { return NameMatchesMask(upcase(name), mask); };
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const NtfsVolume::DirectoryEntry& entry) {
                                   return !matches(entry.name) &&
                                          (entry.shortName.empty() || !matches(entry.shortName));
                                 }),
                  entries.end());
  }
  file.scan = std::move(entries);
  file.scanNext = 0;
  return STATUS_SUCCESS;
}

FsControlTarget TargetOf(const FileObject& file) {
  FsControlTarget target;
  target.drive = file.drive->letter;
  target.isVolume = file.isVolume;
  target.mftRef = file.mftRef;
  target.path = file.path;
  return target;
}

}  // namespace

namespace host {

NTSTATUS DescribeFileHandle(HANDLE handle, FsControlTarget* target) {
  NTSTATUS status;
  std::shared_ptr<FileObject> file = LookupFile(handle, &status);
  if (!file) return status;
  *target = TargetOf(*file);
  return STATUS_SUCCESS;
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI NtCreateFile(HANDLE* FileHandle, ACCESS_MASK DesiredAccess, OBJECT_ATTRIBUTES* ObjectAttributes,
                            IO_STATUS_BLOCK* IoStatusBlock, LARGE_INTEGER*, ULONG, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID, ULONG) {
  if (CallTraceEnabled()) TraceDetail(TraceName(ObjectAttributes));
  return TraceCall("NtCreateFile", [&]() -> NTSTATUS {
    if (FileHandle == nullptr || IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    const ACCESS_MASK access = MapGenericAccess(DesiredAccess);
    NTSTATUS status = CheckCreateParameters(access, CreateDisposition, CreateOptions);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<DeviceObject> device;
    if (OpenDevice(ObjectAttributes, access, CreateOptions, &device, &status)) {
      if (!NT_SUCCESS(status)) return status;
      *FileHandle = InsertHandle(device);
      CompleteIo(IoStatusBlock, nullptr, status, FILE_OPENED);
      return status;
    }
    std::shared_ptr<FileObject> file;
    ULONG_PTR information = 0;
    status =
        CreateFileObject(access, ObjectAttributes, ShareAccess, CreateDisposition, CreateOptions, &file, &information);
    if (!NT_SUCCESS(status)) return status;
    *FileHandle = InsertHandle(file);
    CompleteIo(IoStatusBlock, nullptr, status, information);
    return status;
  });
}

NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID, IO_STATUS_BLOCK* IoStatusBlock,
                          PVOID Buffer, ULONG Length, LARGE_INTEGER* ByteOffset, ULONG*) {
  if (CallTraceEnabled()) TraceDetail("length=" + std::to_string(Length));
  return TraceCall("NtReadFile", [&]() -> NTSTATUS {
    if (std::shared_ptr<DeviceObject> device = LookupDevice(FileHandle)) {
      return device->Read(Event, IoStatusBlock, Buffer, Length);
    }
    std::shared_ptr<FileObject> file;
    NTSTATUS status = LookupDataTransfer(FileHandle, IoStatusBlock, Buffer, Length, FILE_READ_DATA, &file);
    if (!NT_SUCCESS(status)) return status;

    std::lock_guard<std::mutex> positionGuard(file->positionMutex);
    uint64_t offset = 0;
    bool atEnd = false;
    status = ResolveOffset(*file, ByteOffset, &offset, &atEnd);
    if (!NT_SUCCESS(status)) return status;
    if (atEnd) return STATUS_INVALID_PARAMETER;  // "end of file" is a place to write, not to read

    uint32_t bytesRead = 0;
    {
      std::lock_guard<std::mutex> driveGuard(file->drive->mutex);
      if (!file->drive->Mounted()) return kStatusVolumeDismounted;
      if (Length != 0 && file->fd >= 0) {
        const ssize_t got = pread(file->fd, Buffer, Length, static_cast<off_t>(offset));
        status = got < 0 ? StatusFromErrno(errno) : STATUS_SUCCESS;
        bytesRead = got < 0 ? 0 : static_cast<uint32_t>(got);
      } else if (Length != 0) {
        status = file->drive->volume->Read(file->mftRef, offset, Buffer, Length, &bytesRead);
      }
    }
    if (!NT_SUCCESS(status)) return status;
    if (Length != 0 && bytesRead == 0) {
      CompleteIo(IoStatusBlock, Event, STATUS_END_OF_FILE, 0);
      return STATUS_END_OF_FILE;
    }
    if (file->synchronous) file->position = offset + bytesRead;
    CompleteIo(IoStatusBlock, Event, STATUS_SUCCESS, bytesRead);
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID, IO_STATUS_BLOCK* IoStatusBlock,
                           PVOID Buffer, ULONG Length, LARGE_INTEGER* ByteOffset, ULONG*) {
  if (CallTraceEnabled()) TraceDetail("length=" + std::to_string(Length));
  return TraceCall("NtWriteFile", [&]() -> NTSTATUS {
    std::shared_ptr<FileObject> file;
    NTSTATUS status = LookupDataTransfer(FileHandle, IoStatusBlock, Buffer, Length, kWriteAccess, &file);
    if (!NT_SUCCESS(status)) return status;

    std::lock_guard<std::mutex> positionGuard(file->positionMutex);
    uint64_t offset = 0;
    bool atEnd = false;
    status = ResolveOffset(*file, ByteOffset, &offset, &atEnd);
    if (!NT_SUCCESS(status)) return status;

    std::lock_guard<std::mutex> driveGuard(file->drive->mutex);
    if (!file->drive->Mounted()) return kStatusVolumeDismounted;
    // A handle with append access but no write access always writes at the end, whatever offset it names.
    const bool toEnd = atEnd || !(file->access & FILE_WRITE_DATA);
    if (file->fd >= 0) {
      status = WriteInFolder(file->fd, toEnd, Buffer, Length, &offset);
    } else {
      NtfsVolume& volume = *file->drive->volume;
      if (toEnd) status = volume.GetSize(file->mftRef, &offset);
      if (NT_SUCCESS(status) && Length != 0) status = volume.Write(file->mftRef, offset, Buffer, Length);
    }
    if (!NT_SUCCESS(status)) return status;
    if (file->synchronous) file->position = offset + Length;
    CompleteIo(IoStatusBlock, Event, STATUS_SUCCESS, Length);
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, IO_STATUS_BLOCK* IoStatusBlock) {
  return TraceCall("NtFlushBuffersFile", [&]() -> NTSTATUS {
    NTSTATUS status;
    std::shared_ptr<FileObject> file = LookupFile(FileHandle, &status);
    if (!file) return status;
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    if (!(file->access & kWriteAccess)) return STATUS_ACCESS_DENIED;
    std::lock_guard<std::mutex> driveGuard(file->drive->mutex);
    if (!file->drive->Mounted()) return kStatusVolumeDismounted;
    if (!file->drive->volume) {
      if (file->fd >= 0 && fsync(file->fd) != 0) return StatusFromErrno(errno);
      CompleteIo(IoStatusBlock, nullptr, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    }
    status = file->drive->volume->Flush();
    // A flushed volume is NTFS's checkpoint: clusters moves freed may be taken again.
    if (NT_SUCCESS(status) && file->isVolume) ForgetFreedClusters(file->drive->letter);
    if (NT_SUCCESS(status)) CompleteIo(IoStatusBlock, nullptr, status, 0);
    return status;
  });
}

NTSTATUS NTAPI NtDeleteFile(OBJECT_ATTRIBUTES* ObjectAttributes) {
  if (CallTraceEnabled()) TraceDetail(TraceName(ObjectAttributes));
  return TraceCall("NtDeleteFile", [&]() -> NTSTATUS {
    ParsedName parsed;
    NTSTATUS status = ParseName(ObjectAttributes, &parsed);
    if (!NT_SUCCESS(status)) return status;
    if (parsed.isVolume || parsed.path.empty()) return STATUS_CANNOT_DELETE;

    std::lock_guard<std::mutex> driveGuard(parsed.drive->mutex);
    if (!parsed.drive->Mounted()) return kStatusVolumeDismounted;
    NtfsVolume::Node node{};
    if (parsed.drive->volume) {
      status = parsed.drive->volume->Lookup(parsed.path, &node);
    } else {
      FolderEntry entry;
      ULONG_PTR information = 0;
      status = OpenInFolder(parsed.drive->folder, parsed.path, false, 0, FILE_OPEN, 0, &entry, &information);
      if (entry.fd >= 0) close(entry.fd);
      node.mftRef = entry.id;
      node.isDirectory = entry.isDirectory;
    }
    if (!NT_SUCCESS(status)) return status;
    if (parsed.trailingBackslash && !node.isDirectory) return STATUS_OBJECT_NAME_INVALID;
    auto remove = [&parsed]() {
      return parsed.drive->volume ? parsed.drive->volume->Remove(parsed.path)
                                  : RemoveInFolder(parsed.drive->folder, parsed.path);
    };

    OpenFiles& files = GetOpenFiles();
    std::lock_guard<std::mutex> guard(files.mutex);
    auto key = std::make_pair(parsed.drive->letter, node.mftRef);
    if (files.deletePending.count(key) != 0) return STATUS_DELETE_PENDING;
    auto range = files.open.equal_range(key);
    if (range.first == range.second) return remove();
    for (auto it = range.first; it != range.second; ++it) {
      if (!(it->second->share & FILE_SHARE_DELETE)) return STATUS_SHARING_VIOLATION;
    }
    // Open elsewhere with delete sharing: the name goes when the last handle closes.
    files.deletePending.emplace(key, parsed.path);
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtCancelIoFile(HANDLE FileHandle, IO_STATUS_BLOCK* IoStatusBlock) {
  return TraceCall("NtCancelIoFile", [&]() -> NTSTATUS {
    if (std::shared_ptr<DeviceObject> device = LookupDevice(FileHandle)) {
      if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
      device->CancelIo();
      CompleteIo(IoStatusBlock, nullptr, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    }
    NTSTATUS status;
    std::shared_ptr<FileObject> file = LookupFile(FileHandle, &status);
    if (!file) return status;
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    // File I/O here completes before the call returns, so nothing is ever pending.
    CompleteIo(IoStatusBlock, nullptr, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID, IO_STATUS_BLOCK* IoStatusBlock,
                               ULONG FsControlCode, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength) {
  return TraceCall("NtFsControlFile", [&]() -> NTSTATUS {
    NTSTATUS status;
    std::shared_ptr<FileObject> file = LookupFile(FileHandle, &status);
    if (!file) return status;
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    std::lock_guard<std::mutex> driveGuard(file->drive->mutex);
    if (!file->drive->Mounted()) return kStatusVolumeDismounted;
    // A host folder has no clusters to ask about or move.
    if (!file->drive->volume) return STATUS_INVALID_DEVICE_REQUEST;
    FsControlTarget target = TargetOf(*file);
    target.volume = file->drive->volume.get();
    ULONG_PTR information = 0;
    status = RunFsControl(target, FsControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                          &information);
    // Warnings such as STATUS_BUFFER_OVERFLOW complete the request with the bytes written; errors leave the status
    // block untouched.
    if (!NT_ERROR(status)) CompleteIo(IoStatusBlock, Event, status, information);
    return status;
  });
}

NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID,
                                    IO_STATUS_BLOCK* IoStatusBlock, PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
                                    UNICODE_STRING* FileName, BOOLEAN RestartScan) {
  if (CallTraceEnabled()) {
    TraceDetail("class=" + std::to_string(FileInformationClass) + " length=" + std::to_string(Length) +
                (FileName != nullptr ? " " + TraceName(FileName) : std::string()) + (RestartScan ? " restart" : ""));
  }
  return TraceCall("NtQueryDirectoryFile", [&]() -> NTSTATUS {
    const ULONG minimum = DirectoryInfoMinimumLength(FileInformationClass);
    if (minimum == 0) return STATUS_INVALID_INFO_CLASS;
    if (Length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    NTSTATUS status;
    std::shared_ptr<FileObject> file = LookupFile(FileHandle, &status);
    if (!file) return status;
    if (IoStatusBlock == nullptr || FileInformation == nullptr) return STATUS_ACCESS_VIOLATION;
    if (!(file->access & FILE_LIST_DIRECTORY)) return STATUS_ACCESS_DENIED;
    if (file->isVolume || !file->isDirectory) return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> positionGuard(file->positionMutex);
    const bool firstQuery = !file->scanStarted;
    if (firstQuery) {
      const bool masked = FileName != nullptr && FileName->Length != 0;
      file->scanMask = masked ? std::u16string(FileName->Buffer, FileName->Length / sizeof(WCHAR)) : u"";
    }
    if (firstQuery || RestartScan) {
      status = StartScan(*file);
      if (!NT_SUCCESS(status)) return status;
      file->scanStarted = true;
    }
    // Nothing matched the first query's mask: an error, where running out later is only a warning.
    if (file->scanNext == file->scan.size() && firstQuery) return STATUS_NO_SUCH_FILE;
    ULONG_PTR written = 0;
    status = file->scanNext == file->scan.size()
                 ? STATUS_NO_MORE_FILES
                 : WriteDirectoryEntries(FileInformationClass, file->scan, &file->scanNext, ReturnSingleEntry != 0,
                                         FileInformation, Length, &written);
    CompleteIo(IoStatusBlock, Event, status, written);
    return status;
  });
}

NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle, IO_STATUS_BLOCK* IoStatusBlock, PVOID FsInformation,
                                            ULONG Length, FS_INFORMATION_CLASS FsInformationClass) {
  return TraceCall("NtQueryVolumeInformationFile", [&]() -> NTSTATUS {
    NTSTATUS status;
    std::shared_ptr<FileObject> file = LookupFile(FileHandle, &status);
    if (!file) return status;
    if (IoStatusBlock == nullptr || FsInformation == nullptr) return STATUS_ACCESS_VIOLATION;
    if (FsInformationClass != FileFsAttributeInformation) return STATUS_INVALID_INFO_CLASS;
    constexpr ULONG kFixed = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    if (Length < kFixed) return STATUS_INFO_LENGTH_MISMATCH;
    std::lock_guard<std::mutex> driveGuard(file->drive->mutex);
    if (!file->drive->Mounted()) return kStatusVolumeDismounted;
    // Images hold NTFS; a host folder is none of Windows' file systems.
    const std::u16string name = file->drive->volume ? u"NTFS" : u"HOSTFOLDER";
    auto* info = static_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(FsInformation);
    info->FileSystemAttributes = file->drive->volume ? 0x00000007u : 0x00000003u;  // case-preserving, Unicode names
    info->MaximumComponentNameLength = 255;
    info->FileSystemNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    // What does not fit is cut, as Windows cuts it, with the full length in FileSystemNameLength.
    const ULONG room = std::min<ULONG>(Length - kFixed, info->FileSystemNameLength);
    std::memcpy(info->FileSystemName, name.data(), room);
    status = room < info->FileSystemNameLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    CompleteIo(IoStatusBlock, nullptr, status, kFixed + room);
    return status;
  });
}

NTSTATUS NTAPI NtClose(HANDLE Handle) {
  return TraceCall("NtClose", [&]() -> NTSTATUS { return CloseHandle(Handle); });
}

}  // extern "C"
