#include "DryRun.h"

#include "BootExecute.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "host/ntdll/faults/FsOverrides.h"
#include "host/ntdll/registry/RegFile.h"
#include "host/ntfs/MountSafety.h"
#include "host/ntfs/NtfsInode.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "text/Utf.h"

extern char** environ;

namespace {

constexpr char16_t kLogPrefix[] = u"spindraxel_native_";

bool Refuse(const std::string& message) {
  std::fprintf(stderr, "spindraxel boot: --dry-run: %s\n", message.c_str());
  return false;
}

bool CopySparse(const std::string& from, const std::string& to) {
  const char* argv[] = {"cp", "--reflink=auto", "--sparse=always", "--", from.c_str(), to.c_str(), nullptr};
  pid_t child = 0;
  int status = -1;
  if (posix_spawnp(&child, "cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
  status = WaitForChild(child);
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

struct Entry {
  std::u16string name;
  uint64_t mftRef;
  bool isDirectory;
};

int CollectEntry(void* context, const ntfschar* name, const int length, const int nameType, const s64,
                 const MFT_REF mref, const unsigned type) {
  if (nameType == FILE_NAME_DOS) return 0;  // the short twin of a long name
  std::u16string text;
  for (int i = 0; i < length; ++i) text += static_cast<char16_t>(le16_to_cpu(name[i]));
  if (text == u"." || text == u".." || text[0] == u'$') return 0;
  static_cast<std::vector<Entry>*>(context)->push_back({text, mref, type == NTFS_DT_DIR});
  return 0;
}

bool IsLogName(const std::u16string& name) {
  if (name.size() < sizeof kLogPrefix / sizeof(char16_t)) return false;
  for (size_t i = 0; kLogPrefix[i] != 0; ++i) {
    const char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? name[i] - u'A' + u'a' : name[i];
    if (c != kLogPrefix[i]) return false;
  }
  return true;
}

// The program's log files anywhere on the volume, as volume-relative paths. Directories are read one at a time,
// each closed before the next is opened.
std::vector<std::u16string> FindLogFiles(host::NtfsVolume& volume) {
  std::lock_guard<std::recursive_mutex> lock(host::NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume.Raw();
  std::vector<std::u16string> logs;
  std::vector<std::pair<std::u16string, uint64_t>> directories{{u"", FILE_root}};
  while (!directories.empty()) {
    const auto [path, mftRef] = directories.back();
    directories.pop_back();
    std::vector<Entry> entries;
    {
      host::UniqueInode directory;
      if (!NT_SUCCESS(host::OpenRecord(vol, mftRef, &directory))) continue;
      s64 position = 0;
      ntfs_readdir(directory.get(), &position, &entries, CollectEntry);
    }
    for (const Entry& entry : entries) {
      const std::u16string full = path.empty() ? entry.name : path + u"\\" + entry.name;
      if (entry.isDirectory) {
        directories.emplace_back(full, entry.mftRef);
      } else if (IsLogName(entry.name)) {
        logs.push_back(full);
      }
    }
  }
  return logs;
}

std::vector<std::u16string> LogFilesOn(const std::string& image) {
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  return volume ? FindLogFiles(*volume) : std::vector<std::u16string>{};
}

std::string ReadWhole(host::NtfsVolume& volume, const std::u16string& path) {
  host::NtfsVolume::Node node;
  if (!NT_SUCCESS(volume.Lookup(path, &node))) return "";
  std::string bytes(node.size, '\0');
  uint32_t got = 0;
  for (uint64_t done = 0; done < node.size; done += got) {
    const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(node.size - done, 1 << 20));
    if (!NT_SUCCESS(volume.Read(node.mftRef, done, &bytes[done], piece, &got)) || got == 0) {
      bytes.resize(done);
      break;
    }
  }
  return bytes;
}

void ShowNewLogs(const DryRun& run) {
  bool any = false;
  for (size_t i = 0; i < run.copies.size(); ++i) {
    const auto& [letter, copy] = run.copies[i];
    std::string error;
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(copy, &error);
    if (!volume) continue;
    for (const std::u16string& log : FindLogFiles(*volume)) {
      bool old = false;
      for (const std::u16string& before : run.logsBefore[i]) old = old || before == log;
      if (old) continue;
      any = true;
      std::fprintf(stderr, "spindraxel boot: --dry-run: the log it wrote, %c:\\%s:\n", letter,
                   text::Utf16ToUtf8(log).c_str());
      const std::string text = ReadWhole(*volume, log);
      std::fwrite(text.data(), 1, text.size(), stderr);
      if (!text.empty() && text.back() != '\n') std::fputc('\n', stderr);
    }
  }
  if (!any)
    std::fputs("spindraxel boot: --dry-run: the boot wrote no log file (see log= in its configuration)\n", stderr);
}

}  // namespace

namespace {

// Copy and original, for AsGiven.
std::vector<std::pair<std::string, std::string>> g_givenPaths;

}  // namespace

std::string AsGiven(std::string text) {
  for (const auto& [copy, original] : g_givenPaths) {
    for (size_t at = text.find(copy); at != std::string::npos; at = text.find(copy, at + original.size())) {
      text.replace(at, copy.size(), original);
    }
  }
  return text;
}

bool StartDryRun(std::vector<std::pair<char, std::string>>* drives, std::string* registryFile, DryRun* run) {
  for (const auto& [letter, device] : *drives) {
    struct stat info;
    if (stat(device.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return Refuse(device + ": not an image file (a dry run copies each image, which a partition is too big for)");
    }
    std::string mountPoint;
    if (host::FindKernelMount(device, &mountPoint)) {
      return Refuse(device + ": mounted by the system at " + mountPoint + " (unmount it first)");
    }
  }
  const char* temporary = std::getenv("TMPDIR");
  std::string directory =
      std::string(temporary != nullptr && *temporary != 0 ? temporary : "/tmp") + "/spindraxel-dry-run.XXXXXX";
  if (mkdtemp(directory.data()) == nullptr) return Refuse(directory + ": " + std::strerror(errno));
  run->directory = directory;
  run->originals = *drives;
  auto fail = [&](const std::string& message) {
    std::error_code ignored;
    std::filesystem::remove_all(run->directory, ignored);
    return Refuse(message);
  };
  for (const auto& [letter, device] : *drives) {
    const std::string copy = directory + "/" + letter + "-" + FileName(device);
    if (!CopySparse(device, copy)) return fail("cannot copy " + device + " to " + directory);
    run->copies.emplace_back(letter, copy);
    run->logsBefore.push_back(LogFilesOn(copy));
    g_givenPaths.emplace_back(copy, device);
  }
  if (!registryFile->empty()) {
    const std::string copy = directory + "/" + FileName(*registryFile);
    if (!CopySparse(*registryFile, copy)) return fail("cannot copy " + *registryFile + " to " + directory);
    g_givenPaths.emplace_back(copy, *registryFile);
    *registryFile = copy;
  }
  *drives = run->copies;
  return true;
}

bool ForkDryRunBoot(DryRun* run, int* status) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    StopWithParent(parent);
    // Refused before anything is moved; the program logs each refusal, which is what the user reads afterwards.
    for (const auto& [letter, copy] : run->copies)
      host::RefuseMovesInto(letter, 0, INT64_MAX / 2, STATUS_ACCESS_DENIED);
    return true;
  }
  int waited = 0;
  if (child < 0) {
    std::perror("spindraxel boot: fork");
    waited = 2 << 8;
  }
  if (child > 0) waited = WaitForChild(child);
  *status = WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited);
  std::string originals;
  for (const auto& [letter, device] : run->originals) originals += (originals.empty() ? "" : ", ") + device;
  std::fprintf(stderr,
               "spindraxel boot: --dry-run: nothing was written to %s or the registry file; the boot ran on copies "
               "with every move refused\n",
               originals.c_str());
  ShowNewLogs(*run);
  std::error_code ignored;
  std::filesystem::remove_all(run->directory, ignored);
  return false;
}
