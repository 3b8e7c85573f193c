#include "host/ntdll/files/HostFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "host/ntfs/NtfsVolume.h"
#include "text/Utf.h"

namespace host {
namespace {

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// `name` in host folder `parent` as it is spelt there: names match without regard to case, as on NTFS (letters
// A to Z; other letters as the host spells them). Unchanged when nothing matches.
std::string SpeltAsOnHost(const std::string& parent, const std::string& name) {
  struct stat info {};
  if (lstat((parent + "/" + name).c_str(), &info) == 0) return name;
  std::string spelt = name;
  if (DIR* dir = opendir(parent.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (SameNameIgnoringCase(entry->d_name, name)) {
        spelt = entry->d_name;
        break;
      }
    }
    closedir(dir);
  }
  return spelt;
}

// The host path of `path`, or false for a name Windows would not take: an empty, "." or ".." component, or a
// character no Windows name holds.
bool HostPath(const std::string& folder, const std::u16string& path, std::string* hostPath) {
  std::string resolved = folder;
  std::u16string name;
  for (size_t i = 0; i <= path.size() && !path.empty(); ++i) {
    if (i < path.size() && path[i] != u'\\') {
      const char16_t c = path[i];
      if (c < 0x20 || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' ||
          c == u'|') {
        return false;
      }
      name += c;
      continue;
    }
    if (name.empty() || name == u"." || name == u"..") return false;
    resolved += "/" + SpeltAsOnHost(resolved, text::Utf16ToUtf8(name));
    name.clear();
  }
  *hostPath = resolved;
  return true;
}

// Seconds from 1601, where NT times start, to 1970, where the host's start.
constexpr int64_t kUnixEpochInNtSeconds = 11644473600;

int64_t NtTime(const timespec& time) {
  return (static_cast<int64_t>(time.tv_sec) + kUnixEpochInNtSeconds) * 10000000 + time.tv_nsec / 100;
}

NtfsVolume::DirectoryEntry EntryOf(std::u16string name, const struct stat& info) {
  NtfsVolume::DirectoryEntry entry;
  entry.name = std::move(name);
  entry.fileId = static_cast<uint64_t>(info.st_ino);
  entry.creationTime = NtTime(info.st_mtim);  // the host keeps no creation time here
  entry.lastAccessTime = NtTime(info.st_atim);
  entry.lastWriteTime = NtTime(info.st_mtim);
  entry.changeTime = NtTime(info.st_ctim);
  if (S_ISDIR(info.st_mode)) {
    entry.attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else {
    entry.attributes = FILE_ATTRIBUTE_ARCHIVE | ((info.st_mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : 0);
    entry.endOfFile = static_cast<uint64_t>(info.st_size);
    entry.allocationSize = static_cast<uint64_t>(info.st_blocks) * 512;
  }
  return entry;
}

bool ParentExists(const std::string& hostPath) {
  struct stat info {};
  const std::string parent = hostPath.substr(0, hostPath.rfind('/'));
  return stat(parent.empty() ? "/" : parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

NTSTATUS OpenInFolder(const std::string& folder, const std::u16string& path, bool trailingBackslash,
                      ACCESS_MASK access, ULONG disposition, ULONG options, FolderEntry* entry,
                      ULONG_PTR* information) {
  std::string hostPath;
  if (!HostPath(folder, path, &hostPath)) return STATUS_OBJECT_NAME_INVALID;
  const bool wantDirectory = (options & FILE_DIRECTORY_FILE) != 0;
  struct stat info {};
  const bool exists = stat(hostPath.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return StatusFromErrno(errno);
  if (exists) {
    if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    const bool isDirectory = S_ISDIR(info.st_mode);
    if (wantDirectory && !isDirectory) return STATUS_NOT_A_DIRECTORY;
    if ((options & FILE_NON_DIRECTORY_FILE) && isDirectory) return STATUS_FILE_IS_A_DIRECTORY;
    if (trailingBackslash && !isDirectory) return STATUS_OBJECT_NAME_INVALID;
    *information = FILE_OPENED;
  } else {
    if (!ParentExists(hostPath)) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (trailingBackslash && !wantDirectory) return STATUS_OBJECT_NAME_INVALID;
    if (wantDirectory && mkdir(hostPath.c_str(), 0755) != 0) return StatusFromErrno(errno);
    *information = FILE_CREATED;
  }

  int flags = O_CLOEXEC;
  if (exists ? S_ISDIR(info.st_mode) : wantDirectory) {
    flags |= O_RDONLY | O_DIRECTORY;
  } else {
    const bool reads = (access & (FILE_READ_DATA | 0x0020)) != 0;
    const bool writes = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    // Created here only when it was not there: a name taken in between is the collision it would have been.
    if (!exists) flags |= O_CREAT | O_EXCL;
  }
  const int fd = open(hostPath.c_str(), flags, 0644);
  if (fd < 0) return StatusFromErrno(errno);
  struct stat opened {};
  fstat(fd, &opened);
  entry->fd = fd;
  entry->isDirectory = S_ISDIR(opened.st_mode);
  entry->id = static_cast<uint64_t>(opened.st_ino);
  return STATUS_SUCCESS;
}

NTSTATUS ListFolder(int fd, bool isRoot, std::vector<NtfsVolume::DirectoryEntry>* entries) {
  entries->clear();
  // A descriptor of its own: the stream takes it over, and the handle's stays open.
  const int listFd = dup(fd);
  if (listFd < 0) return StatusFromErrno(errno);
  DIR* dir = fdopendir(listFd);
  if (dir == nullptr) {
    const int error = errno;
    close(listFd);
    return StatusFromErrno(error);
  }
  rewinddir(dir);
  std::vector<NtfsVolume::DirectoryEntry> dots;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* found = readdir(dir);
    if (found == nullptr) {
      error = errno;
      break;
    }
    const std::string name = found->d_name;
    const bool isDots = name == "." || name == "..";
    struct stat info {};
    if ((isDots && isRoot) || fstatat(listFd, found->d_name, &info, 0) != 0) continue;
    (isDots ? dots : *entries).push_back(EntryOf(text::Utf8ToUtf16(name), info));
  }
  closedir(dir);
  if (error != 0) return StatusFromErrno(error);
  std::sort(dots.begin(), dots.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  std::sort(entries->begin(), entries->end(),
            [](const NtfsVolume::DirectoryEntry& a, const NtfsVolume::DirectoryEntry& b) {
              return UpcaseInFolder(a.name) < UpcaseInFolder(b.name);
            });
  entries->insert(entries->begin(), dots.begin(), dots.end());
  return STATUS_SUCCESS;
}

std::u16string UpcaseInFolder(std::u16string name) {
  for (char16_t& c : name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return name;
}

NTSTATUS WriteInFolder(int fd, bool atEnd, const void* buffer, ULONG length, uint64_t* offset) {
  if (atEnd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return StatusFromErrno(errno);
    *offset = static_cast<uint64_t>(info.st_size);
  }
  const auto* bytes = static_cast<const char*>(buffer);
  for (ULONG done = 0; done < length;) {
    const ssize_t wrote = pwrite(fd, bytes + done, length - done, static_cast<off_t>(*offset + done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return StatusFromErrno(wrote < 0 ? errno : ENOSPC);
    done += static_cast<ULONG>(wrote);
  }
  return STATUS_SUCCESS;
}

NTSTATUS RemoveInFolder(const std::string& folder, const std::u16string& path) {
  std::string hostPath;
  if (path.empty()) return STATUS_CANNOT_DELETE;
  if (!HostPath(folder, path, &hostPath)) return STATUS_OBJECT_NAME_INVALID;
  struct stat info {};
  if (stat(hostPath.c_str(), &info) != 0) return StatusFromErrno(errno);
  const int result = S_ISDIR(info.st_mode) ? rmdir(hostPath.c_str()) : unlink(hostPath.c_str());
  return result == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
}

}  // namespace host
