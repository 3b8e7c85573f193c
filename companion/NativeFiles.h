// Whole files by native path (\??\C:\spindraxel.cfg), for the companion: read, replaced, removed, and folders made,
// through the same native calls as the boot-time program.
#pragma once

#include <string>

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
// Makes the folder and every missing folder above it (\??\C:\spindraxel\logs).
NTSTATUS MakeFolders(const std::u16string& path);

// "0xC0000034" and, for the statuses a user meets here, what it means: "0xC0000034 (no such file)".
std::string DescribeStatus(NTSTATUS status);

}  // namespace companion
