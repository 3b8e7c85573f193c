// Directory listings of NtfsVolume: what NtQueryDirectoryFile is made of on an NTFS image.
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "host/ntfs/NtfsInode.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"

namespace host {
namespace {

// The attribute bits Windows reports from $STANDARD_INFORMATION; the rest are NTFS's own.
constexpr ULONG kReportedAttributes = 0x00007FB7;

struct FoundName {
  std::u16string name;
  uint64_t mftRef;
  int nameType;
};

int CollectName(void* found, const ntfschar* name, const int length, const int nameType, const s64, const MFT_REF mref,
                const unsigned) {
  std::u16string text(static_cast<size_t>(length), u'\0');
  for (int i = 0; i < length; ++i) text[static_cast<size_t>(i)] = static_cast<char16_t>(le16_to_cpu(name[i]));
  static_cast<std::vector<FoundName>*>(found)->push_back({std::move(text), mref, nameType});
  return 0;
}

// Every name in the index of `directory`, with the "." and ".." the library puts first. The library lowercases the
// names it lists when it has a lowercase table (names are matched without case here), so for this one call it has
// none; it is back before anyone else can take the library lock. (A volume mounted through the library shows
// hidden and metadata files unless told otherwise, and these mounts never tell it.)
NTSTATUS ReadAllNames(ntfs_inode* directory, std::vector<FoundName>* found) {
  ntfs_volume* vol = directory->vol;
  ntfschar* const locase = vol->locase;
  vol->locase = nullptr;
  s64 position = 0;
  const int result = ntfs_readdir(directory, &position, found, CollectName);
  const int error = errno;
  vol->locase = locase;
  return result == 0 ? STATUS_SUCCESS : StatusFromErrno(error);
}

NTSTATUS DescribeEntry(ntfs_volume* vol, uint64_t mftRef, NtfsVolume::DirectoryEntry* entry) {
  UniqueInode inode;
  NTSTATUS status = OpenRecord(vol, mftRef, &inode);
  if (!NT_SUCCESS(status)) return status;
  ntfs_inode* ni = inode.get();
  entry->fileId = MK_MREF(ni->mft_no, le16_to_cpu(ni->mrec->sequence_number));
  entry->creationTime = sle64_to_cpu(ni->creation_time);
  entry->lastAccessTime = sle64_to_cpu(ni->last_access_time);
  entry->lastWriteTime = sle64_to_cpu(ni->last_data_change_time);
  entry->changeTime = sle64_to_cpu(ni->last_mft_change_time);
  entry->attributes = le32_to_cpu(ni->flags) & kReportedAttributes & ~FILE_ATTRIBUTE_DIRECTORY;
  if (IsDirectory(ni)) {
    entry->attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (UniqueAttr data{ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0)}) {
    entry->endOfFile = static_cast<uint64_t>(data->data_size);
    const bool packed = NAttrCompressed(data.get()) || NAttrSparse(data.get());
    entry->allocationSize = static_cast<uint64_t>(packed ? data->compressed_size : data->allocated_size);
  } else if (errno != ENOENT) {  // a few metadata files have no unnamed stream
    return StatusFromErrno(errno);
  }
  if (entry->attributes == 0) entry->attributes = FILE_ATTRIBUTE_NORMAL;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NtfsVolume::ListDirectory(uint64_t mftRef, std::vector<DirectoryEntry>* entries) {
  entries->clear();
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  Uncache(kAnyRecord);  // every record the directory names is opened below
  std::vector<FoundName> found;
  {
    UniqueInode directory;
    NTSTATUS status = OpenRecord(vol_, mftRef, &directory);
    if (!NT_SUCCESS(status)) return status;
    if (!IsDirectory(directory.get())) return STATUS_INVALID_PARAMETER;
    status = ReadAllNames(directory.get(), &found);
    if (!NT_SUCCESS(status)) return status;
  }  // closed before its entries are opened: "." names it again

  // A file with a separate DOS name has two index entries; the DOS one only lends its name.
  std::map<uint64_t, std::u16string> shortNames;
  for (const FoundName& name : found) {
    if (name.nameType == FILE_NAME_DOS) shortNames[MREF(name.mftRef)] = name.name;
  }
  const bool isRoot = MREF(mftRef) == FILE_root;
  for (const FoundName& name : found) {
    const bool dots = name.name == u"." || name.name == u"..";
    if (name.nameType == FILE_NAME_DOS || (dots && isRoot) || (!dots && IsMetadataRecord(name.mftRef))) continue;
    DirectoryEntry entry;
    const NTSTATUS status = DescribeEntry(vol_, name.mftRef, &entry);
    if (!NT_SUCCESS(status)) return status;
    entry.name = name.name;
    if (auto shortName = shortNames.find(MREF(name.mftRef)); shortName != shortNames.end() && !dots) {
      entry.shortName = shortName->second;
    }
    entries->push_back(std::move(entry));
  }
  return STATUS_SUCCESS;
}

std::u16string NtfsVolume::Upcase(std::u16string name) {
  std::lock_guard<std::recursive_mutex> lock(LibraryLock());
  for (char16_t& c : name) {
    if (c < vol_->upcase_len) c = static_cast<char16_t>(le16_to_cpu(vol_->upcase[c]));
  }
  return name;
}

}  // namespace host
