// Files as the system uses them: the configuration read a byte at a time to its end, the log created and
// appended to, the configuration deleted, and the volume opened for its controls; and a directory listed as the
// companion program lists a volume.
#include "Harness.h"

namespace {

constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
constexpr ULONG kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kFileOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
constexpr ULONG_PTR kUntouched = 0x5A5A;

// The I/O status block of the last call made through these helpers, for the checks of its Information.
IO_STATUS_BLOCK g_io;

NTSTATUS Create(const WCHAR* path, ULONG disposition, HANDLE* handle, ACCESS_MASK access = kReadWrite,
                ULONG share = kShareReadWrite, ULONG options = kFileOptions) {
  SObjectName name(path);
  *handle = nullptr;
  g_io.Information = kUntouched;
  return NtCreateFile(handle, access, name.Get(), &g_io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition, options,
                      nullptr, 0);
}

NTSTATUS Write(HANDLE file, const char* text, LARGE_INTEGER* offset = nullptr) {
  return NtWriteFile(file, nullptr, nullptr, nullptr, &g_io, const_cast<char*>(text), static_cast<ULONG>(strlen(text)),
                     offset, nullptr);
}

NTSTATUS Read(HANDLE file, char* buffer, ULONG length, LARGE_INTEGER* offset = nullptr) {
  g_io.Information = kUntouched;
  return NtReadFile(file, nullptr, nullptr, nullptr, &g_io, buffer, length, offset, nullptr);
}

// The whole content of `path` (up to 63 bytes) as text; "(unreadable)" when it cannot be opened.
const char* Content(const WCHAR* path, char (&buffer)[64]) {
  HANDLE file;
  memset(buffer, 0, sizeof buffer);
  if (!NT_SUCCESS(Create(path, FILE_OPEN, &file, GENERIC_READ | SYNCHRONIZE))) return "(unreadable)";
  LARGE_INTEGER start{};
  if (!NT_SUCCESS(Read(file, buffer, sizeof buffer - 1, &start))) buffer[0] = '\0';
  NtClose(file);
  return buffer;
}

// Makes `path` hold `text`, whatever was there.
void Put(const WCHAR* path, const char* text) {
  HANDLE file;
  if (CHECK_STATUS(STATUS_SUCCESS, Create(path, FILE_OVERWRITE_IF, &file))) {
    CHECK_STATUS(STATUS_SUCCESS, Write(file, text));
    NtClose(file);
  }
}

NTSTATUS Delete(const WCHAR* path) {
  SObjectName name(path);
  return NtDeleteFile(name.Get());
}

void DirectoryIsCreatedOnce(const SConformanceEnvironment& env) {
  HANDLE directory;
  const ULONG options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
  const ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE;
  if (CHECK_STATUS(STATUS_SUCCESS, Create(env.directory_, FILE_CREATE, &directory, access, 0, options))) {
    CHECK_EQ(FILE_CREATED, g_io.Information);
    NtClose(directory);
  }
  CHECK_STATUS(STATUS_OBJECT_NAME_COLLISION, Create(env.directory_, FILE_CREATE, &directory, access, 0, options));
  CHECK_STATUS(STATUS_SUCCESS, Create(env.directory_, FILE_OPEN, &directory, access, 0, options));
  NtClose(directory);
}

void NamesAndPaths(const SConformanceEnvironment& env) {
  Put(SConformancePath(env, u"name.txt").text_, "x");
  HANDLE file;
  CHECK_STATUS(STATUS_SUCCESS, Create(SConformancePath(env, u"NAME.TXT").text_, FILE_OPEN, &file));
  NtClose(file);
  CHECK_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
               Create(SConformancePath(env, u"missing\\name.txt").text_, FILE_OPEN, &file));
}

// The configuration reader's loop: one-byte synchronous reads at the file position until the end of the file.
void ReadsEndAtTheEndOfFile(const SConformanceEnvironment& env) {
  const SConformancePath path(env, u"read.txt");
  Put(path.text_, "abc");
  HANDLE file;
  if (!CHECK_STATUS(STATUS_SUCCESS, Create(path.text_, FILE_OPEN, &file, GENERIC_READ | SYNCHRONIZE))) return;
  char byte = 0;
  for (char expected : {'a', 'b', 'c'}) {
    CHECK_STATUS(STATUS_SUCCESS, Read(file, &byte, 1));
    CHECK_EQ(1, g_io.Information);
    CHECK_EQ(expected, byte);
  }
  CHECK_STATUS(STATUS_END_OF_FILE, Read(file, &byte, 1));
  CHECK_STATUS(STATUS_END_OF_FILE, Read(file, &byte, 1));
  NtClose(file);
}

// The log's writes: a new file written line after line at the file position.
void WritesFollowEachOther(const SConformanceEnvironment& env) {
  const SConformancePath log(env, u"log.txt");
  HANDLE file;
  const ACCESS_MASK logAccess = GENERIC_WRITE | SYNCHRONIZE | FILE_APPEND_DATA;
  if (CHECK_STATUS(STATUS_SUCCESS, Create(log.text_, FILE_CREATE, &file, logAccess))) {
    CHECK_STATUS(STATUS_SUCCESS, Write(file, "one\r\n"));
    CHECK_STATUS(STATUS_SUCCESS, Write(file, "two\r\n"));
    CHECK_STATUS(STATUS_SUCCESS, NtFlushBuffersFile(file, &g_io));
    NtClose(file);
  }
  CHECK_STATUS(STATUS_OBJECT_NAME_COLLISION, Create(log.text_, FILE_CREATE, &file, logAccess));
  char buffer[64];
  CHECK_TEXT("one\r\ntwo\r\n", Content(log.text_, buffer));
}

// The configuration is opened sharing reads and writes but not deletion, so the one-shot clean-up can delete it
// only once the reader's handle is closed.
void SharingAndDeletion(const SConformanceEnvironment& env) {
  const SConformancePath path(env, u"shared.txt");
  Put(path.text_, "x");
  HANDLE reader, second;
  const ACCESS_MASK readAccess = GENERIC_READ | SYNCHRONIZE;
  if (CHECK_STATUS(STATUS_SUCCESS, Create(path.text_, FILE_OPEN, &reader, readAccess, FILE_SHARE_READ))) {
    CHECK_STATUS(STATUS_SHARING_VIOLATION, Create(path.text_, FILE_OPEN, &second));
    CHECK_STATUS(STATUS_SUCCESS, Create(path.text_, FILE_OPEN, &second, readAccess, kShareReadWrite));
    NtClose(second);
    NtClose(reader);
  }
  if (CHECK_STATUS(STATUS_SUCCESS, Create(path.text_, FILE_OPEN, &reader, readAccess, kShareReadWrite))) {
    CHECK_STATUS(STATUS_SHARING_VIOLATION, Delete(path.text_));
    NtClose(reader);
  }
  CHECK_STATUS(STATUS_SUCCESS, Delete(path.text_));
  CHECK_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(path.text_, FILE_OPEN, &reader));
  CHECK_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Delete(path.text_));
}

// The volume as CVolume and FlushBuffers open it. Wine has no file-system controls: the volume opens, the
// controls are refused.
void VolumeOpensForItsControls(const SConformanceEnvironment& env) {
  HANDLE volume;
  NTFS_VOLUME_DATA_BUFFER data{};
  const ULONG shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (CHECK_STATUS(STATUS_SUCCESS, Create(u"\\??\\C:", FILE_OPEN, &volume, FILE_READ_DATA, shareAll, 0))) {
    // The file system's name, whole, cut short (with its full length), and not even the fixed part.
    alignas(8) UCHAR buffer[64] = {};
    auto* attributes = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
    if (CHECK_STATUS(STATUS_SUCCESS, NtQueryVolumeInformationFile(volume, &g_io, buffer, sizeof buffer,
                                                                  FileFsAttributeInformation))) {
      CHECK_EQ(12 + 8, g_io.Information);
      CHECK_EQ(8, attributes->FileSystemNameLength);
      WCHAR name[5] = {};
      memcpy(name, attributes->FileSystemName, 8);
      CHECK_WIDE_TEXT(u"NTFS", name);
    }
    // Wine refuses a buffer too short for the whole name (STATUS_INFO_LENGTH_MISMATCH) and leaves it as it was.
    CHECK_STATUS_WINE_DIFFERS(env, STATUS_BUFFER_OVERFLOW, STATUS_INFO_LENGTH_MISMATCH,
                              NtQueryVolumeInformationFile(volume, &g_io, buffer, 14, FileFsAttributeInformation));
    if (!env.underWine_) {
      CHECK_EQ(14, g_io.Information);
      CHECK_EQ(8, attributes->FileSystemNameLength);
    }
    CHECK_STATUS(STATUS_INFO_LENGTH_MISMATCH,
                 NtQueryVolumeInformationFile(volume, &g_io, buffer, 8, FileFsAttributeInformation));
    // Wine answers every NTFS control with STATUS_NOT_SUPPORTED.
    CHECK_STATUS_WINE_DIFFERS(env, STATUS_SUCCESS, STATUS_NOT_SUPPORTED,
                              NtFsControlFile(volume, nullptr, nullptr, nullptr, &g_io, FSCTL_GET_NTFS_VOLUME_DATA,
                                              nullptr, 0, &data, sizeof data));
    NtClose(volume);
  }
  CHECK_STATUS(STATUS_INVALID_HANDLE, NtFsControlFile(nullptr, nullptr, nullptr, nullptr, &g_io,
                                                      FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data));
  CHECK_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(u"\\??\\Q:", FILE_OPEN, &volume, FILE_READ_DATA, shareAll, 0));
  if (CHECK_STATUS(STATUS_SUCCESS, Create(u"\\??\\C:", FILE_OPEN, &volume, FILE_GENERIC_READ_WRITE, kShareReadWrite,
                                          FILE_SYNCHRONOUS_IO_NONALERT))) {
    // Wine cannot flush a volume: it refuses the request as one the device does not take.
    CHECK_STATUS_WINE_DIFFERS(env, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, NtFlushBuffersFile(volume, &g_io));
    NtClose(volume);
  }
}

// Directories as the companion program lists a volume: NtQueryDirectoryFile over a directory of a few files.
constexpr ULONG kDirectoryOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE;
constexpr WCHAR kLongName[] = u"A long name, longer than the smallest buffer.log";
constexpr char kAllNames[] = ".|..|A long name, longer than the smallest buffer.log|Alpha.txt|beta.TXT|Sub";

NTSTATUS List(HANDLE directory, void* buffer, ULONG length, FILE_INFORMATION_CLASS infoClass, bool single = false,
              const WCHAR* mask = nullptr, bool restart = false) {
  UNICODE_STRING name;
  if (mask != nullptr) RtlInitUnicodeString(&name, mask);
  g_io.Information = kUntouched;
  return NtQueryDirectoryFile(directory, nullptr, nullptr, nullptr, &g_io, buffer, length, infoClass, single,
                              mask != nullptr ? &name : nullptr, restart);
}

NTSTATUS OpenListing(const SConformanceEnvironment& env, HANDLE* directory, ACCESS_MASK access = kListAccess) {
  return Create(SConformancePath(env, u"listing").text_, FILE_OPEN, directory, access, kShareReadWrite,
                kDirectoryOptions);
}

// The names of the entries in `buffer`, "a|b|c", with '?' for what is not ASCII.
template <typename Info>
const char* Names(const void* buffer, char (&text)[256]) {
  size_t used = 0;
  for (const auto* at = static_cast<const UCHAR*>(buffer);;) {
    const auto* info = reinterpret_cast<const Info*>(at);
    if (at != buffer && used + 1 < sizeof text) text[used++] = '|';
    for (ULONG i = 0; i < info->FileNameLength / sizeof(WCHAR) && used + 1 < sizeof text; ++i) {
      text[used++] = info->FileName[i] < 0x80 ? static_cast<char>(info->FileName[i]) : '?';
    }
    if (info->NextEntryOffset == 0) break;
    at += info->NextEntryOffset;
  }
  text[used] = '\0';
  return text;
}

void DirectoryListsInNameOrder(const SConformanceEnvironment& env) {
  HANDLE directory;
  if (!CHECK_STATUS(STATUS_SUCCESS, Create(SConformancePath(env, u"listing").text_, FILE_CREATE, &directory,
                                           kListAccess, kShareReadWrite, kDirectoryOptions))) {
    return;
  }
  NtClose(directory);
  for (const WCHAR* name :
       {u"listing\\beta.TXT", u"listing\\Alpha.txt", u"listing\\A long name, longer than the smallest buffer.log"}) {
    Put(SConformancePath(env, name).text_, "abc");
  }
  if (CHECK_STATUS(STATUS_SUCCESS, Create(SConformancePath(env, u"listing\\Sub").text_, FILE_CREATE, &directory,
                                          kListAccess, kShareReadWrite, kDirectoryOptions))) {
    NtClose(directory);
  }
  if (!CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &directory))) return;
  alignas(8) UCHAR buffer[1024];
  char names[256];
  CHECK_STATUS(STATUS_SUCCESS, List(directory, buffer, sizeof buffer, FileNamesInformation));
  CHECK_TEXT(kAllNames, Names<FILE_NAMES_INFORMATION>(buffer, names));
  CHECK_STATUS(STATUS_NO_MORE_FILES, List(directory, buffer, sizeof buffer, FileNamesInformation));
  CHECK_EQ(0, g_io.Information);
  NtClose(directory);
}

// The mask of a handle's first query holds for the handle, a restart included; names match it in any case.
void MaskOfTheFirstQueryHolds(const SConformanceEnvironment& env) {
  HANDLE directory;
  alignas(8) UCHAR buffer[1024];
  const auto* entry = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer);
  char names[256];
  if (CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &directory))) {
    CHECK_STATUS(STATUS_SUCCESS, List(directory, buffer, sizeof buffer, FileDirectoryInformation, false, u"*.TXT"));
    CHECK_TEXT("Alpha.txt|beta.TXT", Names<FILE_DIRECTORY_INFORMATION>(buffer, names));
    CHECK_EQ(3, entry->EndOfFile.QuadPart);
    CHECK_EQ(FILE_ATTRIBUTE_ARCHIVE, entry->FileAttributes);
    CHECK_STATUS(STATUS_SUCCESS, List(directory, buffer, sizeof buffer, FileDirectoryInformation, false, u"Sub", true));
    CHECK_TEXT("Alpha.txt|beta.TXT", Names<FILE_DIRECTORY_INFORMATION>(buffer, names));
    NtClose(directory);
  }
  if (CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &directory))) {
    CHECK_STATUS(STATUS_SUCCESS, List(directory, buffer, sizeof buffer, FileDirectoryInformation, false, u"s?B"));
    CHECK_TEXT("Sub", Names<FILE_DIRECTORY_INFORMATION>(buffer, names));
    CHECK_EQ(FILE_ATTRIBUTE_DIRECTORY, entry->FileAttributes);
    NtClose(directory);
  }
  if (CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &directory))) {
    CHECK_STATUS(STATUS_NO_SUCH_FILE, List(directory, buffer, sizeof buffer, FileNamesInformation, false, u"*.none"));
    NtClose(directory);
  }
}

// One entry per call to the end, and from the start again after a restart.
void OneEntryPerCall(const SConformanceEnvironment& env) {
  HANDLE directory;
  if (!CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &directory))) return;
  alignas(8) UCHAR buffer[512];
  const auto* entry = reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(buffer);
  char all[256] = {}, name[256];
  size_t used = 0;
  while (List(directory, buffer, sizeof buffer, FileBothDirectoryInformation, true) == STATUS_SUCCESS) {
    CHECK_EQ(offsetof(FILE_BOTH_DIR_INFORMATION, FileName) + entry->FileNameLength, g_io.Information);
    used += static_cast<size_t>(NtdllSnprintf(all + used, sizeof all - used - 1, "%s%s", used != 0 ? "|" : "",
                                              Names<FILE_BOTH_DIR_INFORMATION>(buffer, name)));
  }
  CHECK_TEXT(kAllNames, all);
  CHECK_STATUS(STATUS_NO_MORE_FILES, List(directory, buffer, sizeof buffer, FileBothDirectoryInformation, true));
  CHECK_STATUS(STATUS_SUCCESS,
               List(directory, buffer, sizeof buffer, FileBothDirectoryInformation, true, nullptr, true));
  CHECK_TEXT(".", Names<FILE_BOTH_DIR_INFORMATION>(buffer, name));
  NtClose(directory);
}

// A buffer takes the entries that fit whole; a first entry whose name does not fit comes cut, with a warning.
void BuffersTakeWhatFits(const SConformanceEnvironment& env) {
  HANDLE directory;
  alignas(8) UCHAR buffer[256];
  const auto* entry = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer);
  char names[256];
  constexpr ULONG kFixed = offsetof(FILE_DIRECTORY_INFORMATION, FileName);
  if (CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &directory))) {
    CHECK_STATUS(STATUS_INFO_LENGTH_MISMATCH, List(directory, buffer, kFixed, FileDirectoryInformation));
    // "." ends at 66 and ".." would start at 72: a buffer of 100 bytes takes one, then the next call goes on.
    CHECK_STATUS(STATUS_SUCCESS, List(directory, buffer, 100, FileDirectoryInformation));
    CHECK_TEXT(".", Names<FILE_DIRECTORY_INFORMATION>(buffer, names));
    CHECK_EQ(kFixed + sizeof(WCHAR), g_io.Information);
    CHECK_STATUS(STATUS_SUCCESS, List(directory, buffer, 100, FileDirectoryInformation));
    CHECK_TEXT("..", Names<FILE_DIRECTORY_INFORMATION>(buffer, names));
    NtClose(directory);
  }
  if (CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &directory))) {
    const ULONG length = sizeof(FILE_DIRECTORY_INFORMATION);
    CHECK_STATUS(STATUS_BUFFER_OVERFLOW, List(directory, buffer, length, FileDirectoryInformation, false, kLongName));
    CHECK_EQ(length, g_io.Information);
    CHECK_EQ(sizeof kLongName - sizeof(WCHAR), entry->FileNameLength);
    CHECK_STATUS(STATUS_NO_MORE_FILES, List(directory, buffer, sizeof buffer, FileDirectoryInformation));
    NtClose(directory);
  }
}

// Only a directory opened for listing lists; other classes than the directory ones are refused.
void OnlyDirectoriesOpenedForListing(const SConformanceEnvironment& env) {
  HANDLE handle;
  alignas(8) UCHAR buffer[256];
  if (CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE))) {
    CHECK_STATUS(STATUS_ACCESS_DENIED, List(handle, buffer, sizeof buffer, FileNamesInformation));
    NtClose(handle);
  }
  if (CHECK_STATUS(STATUS_SUCCESS, Create(SConformancePath(env, u"listing\\Alpha.txt").text_, FILE_OPEN, &handle))) {
    CHECK_STATUS(STATUS_INVALID_PARAMETER, List(handle, buffer, sizeof buffer, FileNamesInformation));
    NtClose(handle);
  }
  if (CHECK_STATUS(STATUS_SUCCESS, OpenListing(env, &handle))) {
    const auto basicInformation = static_cast<FILE_INFORMATION_CLASS>(4);
    CHECK_STATUS(STATUS_INVALID_INFO_CLASS, List(handle, buffer, sizeof buffer, basicInformation));
    NtClose(handle);
  }
}

}  // namespace

void FileChecks(const SConformanceEnvironment& env) {
  DirectoryIsCreatedOnce(env);
  NamesAndPaths(env);
  ReadsEndAtTheEndOfFile(env);
  WritesFollowEachOther(env);
  SharingAndDeletion(env);
  VolumeOpensForItsControls(env);
  DirectoryListsInNameOrder(env);
  MaskOfTheFirstQueryHolds(env);
  OneEntryPerCall(env);
  BuffersTakeWhatFits(env);
  OnlyDirectoriesOpenedForListing(env);
}
