#include "companion/NativeFiles.h"

#include <cstdio>

#include "text/Utf.h"
#include "volume/OpenFile.h"

namespace companion {
namespace {

constexpr ULONG kLargestFile = 64u << 20;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class CHandle {
 public:
  ~CHandle() {
    if (handle_ != nullptr) NtClose(handle_);
  }
  HANDLE* operator&() { return &handle_; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace

NTSTATUS ReadWholeFile(const std::u16string& path, std::string* bytes) {
  CHandle file;
  NTSTATUS status = OpenFile(path.c_str(), &file, GENERIC_READ | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL, kShareAll,
                             FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
  if (!NT_SUCCESS(status)) return status;
  bytes->clear();
  char buffer[64 * 1024];
  for (;;) {
    IO_STATUS_BLOCK io{};
    status = NtReadFile(file.get(), nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr);
    if (status == STATUS_END_OF_FILE) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    bytes->append(buffer, io.Information);
    if (bytes->size() > kLargestFile) return STATUS_FILE_TOO_LARGE;
    if (io.Information == 0) return STATUS_SUCCESS;
  }
}

NTSTATUS WriteWholeFile(const std::u16string& path, const std::string& bytes) {
  CHandle file;
  NTSTATUS status = OpenFile(path.c_str(), &file, GENERIC_WRITE | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                             FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK io{};
  status = NtWriteFile(file.get(), nullptr, nullptr, nullptr, &io, const_cast<char*>(bytes.data()),
                       static_cast<ULONG>(bytes.size()), nullptr, nullptr);
  if (NT_SUCCESS(status)) status = NtFlushBuffersFile(file.get(), &io);
  return status;
}

NTSTATUS DeleteFileAt(const std::u16string& path) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path.c_str());
  OBJECT_ATTRIBUTES attributes{sizeof attributes, nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  return NtDeleteFile(&attributes);
}

NTSTATUS FileKind(const std::u16string& path) {
  CHandle file;
  return OpenFile(path.c_str(), &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL, kShareAll, FILE_OPEN,
                  FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
}

NTSTATUS FileSystemOf(const std::u16string& path, std::u16string* name) {
  CHandle file;
  NTSTATUS status = OpenFile(path.c_str(), &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL, kShareAll,
                             FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
  if (!NT_SUCCESS(status)) return status;
  alignas(8) UCHAR buffer[128] = {};
  IO_STATUS_BLOCK io{};
  status = NtQueryVolumeInformationFile(file.get(), &io, buffer, sizeof buffer, FileFsAttributeInformation);
  if (!NT_SUCCESS(status)) return status;
  const auto* info = reinterpret_cast<const FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
  name->assign(reinterpret_cast<const char16_t*>(info->FileSystemName), info->FileSystemNameLength / sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS MakeFolders(const std::u16string& path, std::vector<std::u16string>* made) {
  // Past "\??\C:\": each folder on the way, opened or made.
  NTSTATUS status = STATUS_SUCCESS;
  for (size_t end = path.find(u'\\', 7); NT_SUCCESS(status); end = path.find(u'\\', end + 1)) {
    const std::u16string part = path.substr(0, end);
    if (made != nullptr && FileKind(part) != STATUS_FILE_IS_A_DIRECTORY) made->push_back(part);
    CHandle folder;
    status = OpenFile(part.c_str(), &folder, FILE_READ_DATA | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL, kShareAll,
                      FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE);
    if (end == std::u16string::npos) break;
  }
  return status;
}

NTSTATUS ListFolder(const std::u16string& folder, const std::u16string& mask, std::vector<SFolderEntry>* entries) {
  entries->clear();
  CHandle handle;
  NTSTATUS status = OpenFile(folder.c_str(), &handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
                             kShareAll, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING pattern;
  RtlInitUnicodeString(&pattern, mask.c_str());
  alignas(8) UCHAR buffer[16 * 1024];
  for (bool first = true;; first = false) {
    IO_STATUS_BLOCK io{};
    status = NtQueryDirectoryFile(handle.get(), nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                  FileDirectoryInformation, false, first ? &pattern : nullptr, first);
    if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    for (ULONG offset = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer + offset);
      std::u16string name(reinterpret_cast<const char16_t*>(entry->FileName), entry->FileNameLength / sizeof(WCHAR));
      if (name != u"." && name != u"..") {
        entries->push_back(SFolderEntry{name, (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                        entry->EndOfFile.QuadPart});
      }
      if (entry->NextEntryOffset == 0) break;
      offset += entry->NextEntryOffset;
    }
  }
}

NTSTATUS FilesUnder(const std::u16string& folder, std::vector<std::u16string>* files) {
  std::vector<SFolderEntry> entries;
  NTSTATUS status = ListFolder(folder, u"*", &entries);
  for (size_t i = 0; NT_SUCCESS(status) && i < entries.size(); ++i) {
    const std::u16string path = folder + (folder.back() == u'\\' ? u"" : u"\\") + entries[i].name;
    if (entries[i].isFolder) {
      status = FilesUnder(path, files);
    } else {
      files->push_back(path);
    }
  }
  return status;
}

std::string Shown(const std::u16string& path) {
  return text::Utf16ToUtf8(path.rfind(u"\\??\\", 0) == 0 ? path.substr(4) : path);
}

std::string DescribeStatus(NTSTATUS status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
  const char* meaning = nullptr;
  switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
      meaning = "no such file";
      break;
    case STATUS_OBJECT_PATH_NOT_FOUND:
      meaning = "no such folder";
      break;
    case STATUS_ACCESS_DENIED:
      meaning = "access denied";
      break;
    case STATUS_SHARING_VIOLATION:
      meaning = "in use by another program";
      break;
    case STATUS_FILE_IS_A_DIRECTORY:
      meaning = "a folder";
      break;
    case STATUS_NOT_A_DIRECTORY:
      meaning = "not a folder";
      break;
    case STATUS_DISK_FULL:
      meaning = "the disk is full";
      break;
    default:
      break;
  }
  return meaning != nullptr ? std::string(hex) + " (" + meaning + ")" : hex;
}

}  // namespace companion
