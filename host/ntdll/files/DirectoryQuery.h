// What NtQueryDirectoryFile makes of a directory listing (NtfsVolume::DirectoryEntry, from an image or a host
// folder): the names a mask lets through and the entries written in the layout of an information class.
#pragma once

#include <string>
#include <vector>

#include "host/ntfs/NtfsVolume.h"
#include "platform/NativeApi.h"

namespace host {

// The smallest buffer a query of `infoClass` takes (one entry with a one-character name); 0 for a class that is
// not a directory class the host answers.
ULONG DirectoryInfoMinimumLength(FILE_INFORMATION_CLASS infoClass);

// Whether `name` matches `mask`, both already in upper case: '*' stands for any run of characters, '?' for one.
bool NameMatchesMask(const std::u16string& name, const std::u16string& mask);

// Writes entries[*next] on into `buffer`, each on an 8-byte boundary, as many as fit (one with `singleEntry`), and
// advances *next past them; *written is where the last entry's name ends. An entry after the first that does not
// fit whole waits for the next call. A first entry whose name does not fit whole is written with as much of its
// name as fits, FileNameLength saying the whole length, and STATUS_BUFFER_OVERFLOW; it counts as returned.
// `length` is at least DirectoryInfoMinimumLength(infoClass) and *next is before the end.
NTSTATUS WriteDirectoryEntries(FILE_INFORMATION_CLASS infoClass, const std::vector<NtfsVolume::DirectoryEntry>& entries,
                               size_t* next, bool singleEntry, void* buffer, ULONG length, ULONG_PTR* written);

}  // namespace host
