// Whole files by native path (\??\C:\spindraxel.cfg), for the companion: read, replaced, removed, and folders made,
// through the same native calls as the boot-time program.
#pragma once

#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace companion {

// The file's bytes. STATUS_OBJECT_NAME_NOT_FOUND / STATUS_OBJECT_PATH_NOT_FOUND when there is none,
// STATUS_FILE_IS_A_DIRECTORY for a folder, STATUS_FILE_TOO_LARGE past 64 MiB.
NTSTATUS ReadWholeFile(const std::u16string& path, std::string* bytes);
// Makes the file hold `bytes` (created, or emptied and written), flushed.
NTSTATUS WriteWholeFile(const std::u16string& path, const std::string& bytes);
NTSTATUS DeleteFileAt(const std::u16string& path);
// Whether `path` names a file (STATUS_SUCCESS), a folder (STATUS_FILE_IS_A_DIRECTORY) or nothing.
NTSTATUS FileKind(const std::u16string& path);
// The name of the file system that holds `path` ("NTFS").
NTSTATUS FileSystemOf(const std::u16string& path, std::u16string* name);
// Makes the folder and every missing folder above it (\??\C:\spindraxel\logs); *made (when given) gets the
// folders it made, outermost first.
NTSTATUS MakeFolders(const std::u16string& path, std::vector<std::u16string>* made = nullptr);

struct SFolderEntry {
  std::u16string name;
  bool isFolder = false;
  LONGLONG size = 0;
};

// The entries of `folder` whose names match `mask` (* and ?, any case), without "." and "..", in the file system's
// order. An empty list when nothing matches.
NTSTATUS ListFolder(const std::u16string& folder, const std::u16string& mask, std::vector<SFolderEntry>* entries);

// Every file under `folder` and its subfolders, as native paths, in the file system's order.
NTSTATUS FilesUnder(const std::u16string& folder, std::vector<std::u16string>* files);

// A native path as the user writes it: "\\??\\C:\\x" -> "C:\\x", in UTF-8.
std::string Shown(const std::u16string& path);

// "0xC0000034" and, for the statuses a user meets here, what it means: "0xC0000034 (no such file)".
std::string DescribeStatus(NTSTATUS status);

}  // namespace companion
