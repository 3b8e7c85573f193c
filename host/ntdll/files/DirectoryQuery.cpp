#include "host/ntdll/files/DirectoryQuery.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace host {
namespace {

template <typename Info>
constexpr bool kHasShortName =
    std::is_same_v<Info, FILE_BOTH_DIR_INFORMATION> || std::is_same_v<Info, FILE_ID_BOTH_DIR_INFORMATION>;

// Writes the fixed part of `entry` at `at` and `nameBytes` bytes of its name after it. The buffer is the caller's
// and need not be aligned, so the record is built here and copied.
template <typename Info>
void WriteEntry(const NtfsVolume::DirectoryEntry& entry, uint8_t* at, size_t nameBytes) {
  Info info;
  std::memset(&info, 0, sizeof info);
  if constexpr (!std::is_same_v<Info, FILE_NAMES_INFORMATION>) {
    info.CreationTime.QuadPart = entry.creationTime;
    info.LastAccessTime.QuadPart = entry.lastAccessTime;
    info.LastWriteTime.QuadPart = entry.lastWriteTime;
    info.ChangeTime.QuadPart = entry.changeTime;
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(entry.endOfFile);
    info.AllocationSize.QuadPart = static_cast<LONGLONG>(entry.allocationSize);
    info.FileAttributes = entry.attributes;
  }
  if constexpr (kHasShortName<Info>) {
    const size_t units = std::min<size_t>(entry.shortName.size(), sizeof info.ShortName / sizeof(WCHAR));
    std::memcpy(info.ShortName, entry.shortName.data(), units * sizeof(WCHAR));
    info.ShortNameLength = static_cast<CCHAR>(units * sizeof(WCHAR));
  }
  if constexpr (std::is_same_v<Info, FILE_ID_BOTH_DIR_INFORMATION>) {
    info.FileId.QuadPart = static_cast<LONGLONG>(entry.fileId);
  }
  info.FileNameLength = static_cast<ULONG>(entry.name.size() * sizeof(WCHAR));
  std::memcpy(at, &info, offsetof(Info, FileName));
  std::memcpy(at + offsetof(Info, FileName), entry.name.data(), nameBytes);
}

template <typename Info>
NTSTATUS WriteEntries(const std::vector<NtfsVolume::DirectoryEntry>& entries, size_t* next, bool singleEntry,
                      void* buffer, ULONG length, ULONG_PTR* written) {
  constexpr size_t kFixed = offsetof(Info, FileName);
  auto* out = static_cast<uint8_t*>(buffer);
  size_t offset = 0;  // where the next entry would start
  size_t previous = 0;
  size_t end = 0;
  for (bool first = true; *next < entries.size(); first = false) {
    const NtfsVolume::DirectoryEntry& entry = entries[*next];
    const size_t nameBytes = entry.name.size() * sizeof(WCHAR);
    if (offset + kFixed + nameBytes > length) {
      if (!first) break;
      const size_t cut = (length - kFixed) / sizeof(WCHAR) * sizeof(WCHAR);
      WriteEntry<Info>(entry, out, cut);
      ++*next;
      *written = kFixed + cut;
      return STATUS_BUFFER_OVERFLOW;
    }
    if (!first) {
      const ULONG step = static_cast<ULONG>(offset - previous);
      std::memcpy(out + previous + offsetof(Info, NextEntryOffset), &step, sizeof step);
    }
    WriteEntry<Info>(entry, out + offset, nameBytes);
    ++*next;
    previous = offset;
    end = offset + kFixed + nameBytes;
    if (singleEntry) break;
    offset = (end + 7) & ~size_t{7};
  }
  *written = end;
  return STATUS_SUCCESS;
}

}  // namespace

ULONG DirectoryInfoMinimumLength(FILE_INFORMATION_CLASS infoClass) {
  switch (infoClass) {
    case FileDirectoryInformation:
      return sizeof(FILE_DIRECTORY_INFORMATION);
    case FileFullDirectoryInformation:
      return sizeof(FILE_FULL_DIR_INFORMATION);
    case FileBothDirectoryInformation:
      return sizeof(FILE_BOTH_DIR_INFORMATION);
    case FileIdBothDirectoryInformation:
      return sizeof(FILE_ID_BOTH_DIR_INFORMATION);
    case FileNamesInformation:
      return sizeof(FILE_NAMES_INFORMATION);
  }
  return 0;
}

bool NameMatchesMask(const std::u16string& name, const std::u16string& mask) {
  size_t at = 0, maskAt = 0;
  size_t starAt = std::u16string::npos, resumeAt = 0;  // the last '*' seen and where its run would end next
  while (at < name.size()) {
    if (maskAt < mask.size() && (mask[maskAt] == u'?' || mask[maskAt] == name[at])) {
      ++at;
      ++maskAt;
    } else if (maskAt < mask.size() && mask[maskAt] == u'*') {
      starAt = maskAt++;
      resumeAt = at;
    } else if (starAt != std::u16string::npos) {  // let the last '*' take one more character
      maskAt = starAt + 1;
      at = ++resumeAt;
    } else {
      return false;
    }
  }
  while (maskAt < mask.size() && mask[maskAt] == u'*') ++maskAt;
  return maskAt == mask.size();
}

NTSTATUS WriteDirectoryEntries(FILE_INFORMATION_CLASS infoClass, const std::vector<NtfsVolume::DirectoryEntry>& entries,
                               size_t* next, bool singleEntry, void* buffer, ULONG length, ULONG_PTR* written) {
  switch (infoClass) {
    case FileDirectoryInformation:
      return WriteEntries<FILE_DIRECTORY_INFORMATION>(entries, next, singleEntry, buffer, length, written);
    case FileFullDirectoryInformation:
      return WriteEntries<FILE_FULL_DIR_INFORMATION>(entries, next, singleEntry, buffer, length, written);
    case FileBothDirectoryInformation:
      return WriteEntries<FILE_BOTH_DIR_INFORMATION>(entries, next, singleEntry, buffer, length, written);
    case FileIdBothDirectoryInformation:
      return WriteEntries<FILE_ID_BOTH_DIR_INFORMATION>(entries, next, singleEntry, buffer, length, written);
    case FileNamesInformation:
      return WriteEntries<FILE_NAMES_INFORMATION>(entries, next, singleEntry, buffer, length, written);
  }
  return STATUS_INVALID_INFO_CLASS;
}

}  // namespace host
