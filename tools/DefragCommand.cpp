// spindraxel defrag: offline defragmentation of an NTFS image or partition in one command. The boot-time program's
// own engine (CDefragmentation) runs here on the host's native calls, file after file and pass after pass, without
// a configuration, a log or anything else written into the volume: only the moves, each atomic through the undo
// journal.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CommandLine.h"
#include "Commands.h"
#include "defrag/Defragmentation.h"
#include "host/defrag/OfflineDefragmentation.h"
#include "host/ntdll/Host.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/offline/VolumeAnalysis.h"
#include "integrity/IntegrityChecker.h"
#include "log/Logger.h"

namespace {

const char kDefragUsage[] =
    "spindraxel defrag IMAGE PATH... [OPTIONS]\n"
    "       spindraxel defrag IMAGE --all [OPTIONS]";

const char kDefragDescription[] =
    "Defragments files of the NTFS volume in IMAGE (an image file or a partition) with the boot-time program's own\n"
    "engine: each file is moved whole into the first free block that holds it outside the MFT zone, or, when none\n"
    "does, its fragments are gathered into the largest free blocks. Passes over the files still fragmented repeat\n"
    "while a pass lowers the fragment count. Nothing but the moves is written to the volume, and each move is atomic\n"
    "(see the undo journal in the README): a kill or a power cut leaves every file on its old clusters or its new.\n"
    "\n"
    "With --consolidate, files still fragmented after the passes get room made for them: what stands in the way\n"
    "(movable files only) moves to lower free space, the file moves in, and the passes run again.\n"
    "\n"
    "Files: each PATH (volume-relative, '/' or '\\' between names, any case; a directory stands for every file under\n"
    "it), or every file of the volume with --all; of those, the ones in at least --min-fragments fragments (2) and of\n"
    "at least --min-size bytes, without those --exclude names. The volume's own files ($MFT, ...) are left alone.";

const char kDefragFooter[] =
    "IMAGE is refused, before anything is written, when mounted elsewhere, hibernated, marked dirty, not NTFS or not\n"
    "writable. SIGINT, SIGTERM and SIGHUP stop the run between two moves.\n"
    "\n"
    "Exit status: 0 when every selected file ends in one fragment, 1 when some could not (listed with why), 2 for a\n"
    "usage error, a refused or unreadable image, a PATH that names nothing, a file whose content changed (--verify)\n"
    "or an image that could not be written.\n"
    "\n"
    "Examples:\n"
    "  spindraxel defrag disk.img --all\n"
    "  spindraxel defrag disk.img Data 'Fragmented\\file01.bin' --verify\n"
    "  spindraxel defrag /dev/sdb1 --all --min-size 1M --exclude '*.iso' --dry-run";

// "Data\\big.bin/" and "/data/BIG.bin" alike become "/data/big.bin".
std::string NormalizedPath(const std::string& path) {
  std::string out = "/";
  for (char c : path) {
    if (c == '\\') c = '/';
    if (c == '/' && out.back() == '/') continue;
    out += c;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return LowerCase(out);
}

bool Excluded(const std::string& path, const std::vector<std::string>& patterns) {
  const std::string name = path.substr(path.rfind('/') + 1);
  for (const std::string& pattern : patterns) {
    if (fnmatch(pattern.c_str(), path.c_str(), FNM_CASEFOLD) == 0 ||
        fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0) {
      return true;
    }
  }
  return false;
}

std::string Reason(NTSTATUS status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
  if (status == STATUS_DEFRAG_NO_FREE_BLOCK) return std::string(hex) + ", no free block holds it or its fragments";
  if (status == STATUS_DEFRAG_STILL_FRAGMENTED) return std::string(hex) + ", the free space is too scattered";
  return std::string(hex) + " from the engine";
}

// --log FILE: the engine's own log lines, in a host file. The logger names its file by the time, so it writes into
// a private folder beside FILE, mounted as a host-folder drive; the file becomes FILE when the run ends, or when a
// signal stops it (with the lines written by then).
class HostLog {
 public:
  static constexpr char kDrive = 'L';

  // Whether FILE can be made, before anything is written anywhere.
  static bool Check(const std::string& file, std::string* error) {
    const std::string folder = FolderOf(file);
    if (file.empty() || file.back() == '/') {
      *error = "--log " + file + ": not a file name";
    } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
      *error = "--log " + file + ": " + std::strerror(errno) + " (" + folder + ")";
    } else if (access(file.c_str(), F_OK) == 0 && !IsRegularFile(file)) {
      *error = "--log " + file + ": not a regular file";
    } else {
      return true;
    }
    return false;
  }

  bool Start(const std::string& file, LONG level, std::string* error) {
    file_ = file;
    std::string folder = FolderOf(file) + "/.spindraxel-log-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
      *error = "--log " + file + ": " + std::strerror(errno);
      return false;
    }
    folder_ = folder;
    if (!host::MountDrive(kDrive, folder_, error)) return false;
    CLogger::Instance().Open(std::u16string(u"\\??\\") + char16_t(kDrive) + u":\\", level);
    return true;
  }

  // Lets the writer finish (`wait`), then makes the file FILE; without `keep` nothing is left behind.
  void Finish(bool wait, bool keep) {
    if (folder_.empty()) return;
    if (wait) {
      CLogger::Instance().WaitUntilWritten(2000);
      CLogger::Instance().Close();
    }
    if (DIR* dir = opendir(folder_.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder_ + "/" + name;
        if (!keep || std::rename(path.c_str(), file_.c_str()) != 0) unlink(path.c_str());
      }
      closedir(dir);
    }
    host::UnmountDrive(kDrive);
    rmdir(folder_.c_str());
    folder_.clear();
  }

 private:
  static std::string FolderOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  }
  static bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  }

  std::string file_;
  std::string folder_;
};

double MiB(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

std::string Duration(double seconds) {
  char text[32];
  const long whole = static_cast<long>(seconds + 0.5);
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

// One line on the terminal, redrawn before each file: pass, file, bytes moved, rate and time left.
class ProgressLine {
 public:
  void Show(const host::DefragProgress& progress) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0.5 ? static_cast<double>(progress.bytesMoved) / seconds : 0;
    const std::string left = rate > 0 ? Duration(static_cast<double>(progress.bytesToGo) / rate) : "?";
    std::fprintf(stderr, "\r\033[Kpass %zu  file %zu/%zu  %.1f MiB moved  %.1f MiB/s  %s left  %s", progress.pass,
                 progress.file, progress.files, MiB(progress.bytesMoved), rate / (1 << 20), left.c_str(),
                 progress.path->c_str());
    std::fflush(stderr);
    shown_ = true;
  }
  void Clear() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
    shown_ = false;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  bool shown_ = false;
};

void PrintJson(const std::string& image, const std::vector<host::DefragFile>& files,
               const std::vector<host::DefragPass>& passes, double seconds, bool dryRun) {
  nlohmann::ordered_json passList = nlohmann::ordered_json::array();
  uint64_t moved = 0;
  for (const host::DefragPass& pass : passes) {
    passList.push_back({{"kind", pass.consolidation ? "consolidation" : "pass"},
                        {"files", pass.files},
                        {"fragmentsBefore", pass.fragmentsBefore},
                        {"fragmentsAfter", pass.fragmentsAfter},
                        {"bytesMoved", pass.bytesMoved}});
    moved += pass.bytesMoved;
  }
  nlohmann::ordered_json fileList = nlohmann::ordered_json::array();
  for (const host::DefragFile& file : files) {
    fileList.push_back({{"path", file.path},
                        {"clusters", file.clusters},
                        {"fragmentsBefore", file.fragmentsBefore},
                        {"fragmentsAfter", file.fragmentsAfter}});
  }
  const nlohmann::ordered_json json = {{"image", image},      {"dryRun", dryRun},   {"passes", passList},
                                       {"bytesMoved", moved}, {"seconds", seconds}, {"files", fileList}};
  std::printf("%s\n", json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

}  // namespace

int RunDefragCommand(const std::vector<std::string>& args) {
  CommandLine parser("defrag", kDefragUsage, kDefragDescription, kDefragFooter);
  CLI::App& app = parser.App();
  std::string image, minSizeText;
  std::vector<std::string> paths, excludes;
  bool all = false, consolidate = false, verify = false, dryRun = false, json = false;
  int64_t minFragments = 2;
  app.add_option("IMAGE", image)->required();
  app.add_option("PATH", paths);
  app.add_flag("--all", all, "every file of the volume (that the filters keep)");
  app.add_option("--min-fragments", minFragments, "only files in at least N fragments (2: every fragmented file)")
      ->option_text("N")
      ->check(CLI::Range(int64_t{2}, INT64_MAX));
  app.add_option("--min-size", minSizeText, "only files of at least SIZE bytes (suffixes K, M, G)")
      ->option_text("SIZE");
  app.add_option("--exclude", excludes, "leave out files whose path or name matches the shell PATTERN (repeatable)")
      ->option_text("PATTERN");
  app.add_flag("--consolidate", consolidate,
               "when passes leave files fragmented, move the files and fragments in the way of each (into the\n"
               "lowest free space, never the MFT zone) and pass again");
  app.add_flag("--verify", verify, "take each file's MD5 before and compare after; a difference is an error");
  app.add_flag("--dry-run", dryRun, "list what would be defragmented and change nothing");
  app.add_flag("--json", json, "print one JSON object (passes, files, bytes moved) instead of the text");
  std::string logFile;
  LONG logLevel = 3;
  app.add_option("--log", logFile, "write the engine's log lines to the host file FILE (replaced if it exists)")
      ->option_text("FILE");
  app.add_option("--log-level", logLevel, "with --log: 1 errors and milestones, 3 every search and move (3)")
      ->option_text("N")
      ->check(CLI::Range(1, 3));
  if (const int status = parser.Parse(args); status >= 0) return status;
  if (all == !paths.empty()) return parser.Refuse("name the files: PATH... or --all (not both)");
  uint64_t minSize = 0;
  if (!minSizeText.empty() && !ParseSize(minSizeText, &minSize)) {
    return parser.Refuse("--min-size " + minSizeText + ": not a size, e.g. --min-size 4M");
  }
  if (std::string error; !logFile.empty() && !HostLog::Check(logFile, &error)) return parser.Refuse(error);

  // The files are chosen on a read-only look, before anything is mounted for writing.
  std::string error;
  std::unique_ptr<host::VolumeAnalysis> analysis = host::VolumeAnalysis::Open(image, &error);
  host::VolumeLayout layout;
  host::VolumeFiles walk;
  if (!analysis || !analysis->ReadVolume(&layout, &error) || !analysis->ReadAllFiles(&walk, &error)) {
    return parser.Refuse(error);
  }
  analysis.reset();
  std::vector<std::string> wanted;
  for (const std::string& path : paths) wanted.push_back(NormalizedPath(path));
  std::vector<bool> found(wanted.size(), false);
  std::vector<host::DefragFile> files;
  std::set<std::string> stayPut;  // what the user left out stays where it is, also when it stands in the way
  for (const host::FileLayout& file : walk.files) {
    const std::string key = LowerCase(file.path);
    bool named = all && file.path.rfind("/$", 0) != 0;
    for (size_t i = 0; i < wanted.size(); ++i) {
      if (key == wanted[i] || wanted[i] == "/" || key.rfind(wanted[i] + "/", 0) == 0) named = found[i] = true;
    }
    const int64_t fragments = static_cast<int64_t>(file.fragments.size());
    if (Excluded(file.path, excludes)) {
      stayPut.insert(file.path);
      continue;
    }
    if (!named || fragments < minFragments || static_cast<uint64_t>(file.clusters * layout.clusterSize) < minSize) {
      continue;
    }
    files.push_back(host::DefragFile{file.path, file.clusters, fragments, fragments, STATUS_SUCCESS});
  }
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (!found[i]) return parser.Refuse(paths[i] + ": no such file or directory on " + image);
  }

  std::vector<host::DefragPass> passes;
  const auto start = std::chrono::steady_clock::now();
  if (dryRun) {
    if (json) {
      PrintJson(image, files, passes, 0, true);
      return 0;
    }
    std::printf("Would defragment %zu file%s (nothing is changed):\n", files.size(), files.size() == 1 ? "" : "s");
    for (const host::DefragFile& file : files) {
      std::printf("  %9" PRId64 " fragments  %12" PRId64 " clusters  %s\n", file.fragmentsBefore, file.clusters,
                  file.path.c_str());
    }
    return 0;
  }

  host::SetScreenEcho(false);
  host::StopOnInterruptSignals();
  host::NtfsVolume::SetMovesPerCommit(kMovesPerCommit);
  // Without a log file the engine's lines are not even formatted.
  CLogger::Instance().SetLevel(0);
  HostLog log;
  if (!logFile.empty() && !log.Start(logFile, logLevel, &error)) {
    log.Finish(false, false);
    return parser.Refuse(error);
  }
  if (!host::MountDrive('C', image, &error)) {
    log.Finish(true, false);
    return parser.Refuse(error);
  }
  std::vector<std::unique_ptr<CFileIntegrityChecker>> digests;
  for (const host::DefragFile& file : verify ? files : std::vector<host::DefragFile>{}) {
    digests.push_back(std::make_unique<CFileIntegrityChecker>());
    if (!digests.back()->Initialize(host::NativePathOnC(file.path))) {
      log.Finish(true, false);
      host::UnmountAllDrives();
      return parser.Refuse(file.path + ": cannot be read for --verify");
    }
  }
  ProgressLine line;
  host::DefragSettings settings;
  settings.clusterSize = layout.clusterSize;
  settings.consolidate = consolidate;
  settings.stayPut = std::move(stayPut);
  if (!json && isatty(STDERR_FILENO)) settings.progress = [&line](const host::DefragProgress& p) { line.Show(p); };
  settings.passDone = [&](const host::DefragPass& pass) {
    line.Clear();
    Log(SLogLocation{"spindraxel defrag", __LINE__, 1}, "%s %u: %u files, fragments %I64d -> %I64d, %I64u bytes moved",
        pass.consolidation ? "consolidation" : "pass", static_cast<unsigned>(passes.size()),
        static_cast<unsigned>(pass.files), pass.fragmentsBefore, pass.fragmentsAfter, pass.bytesMoved);
    if (json) return;
    std::printf("%s %zu: %zu files, fragments %" PRId64 " -> %" PRId64 ", %.1f MiB moved\n",
                pass.consolidation ? "consolidation" : "pass", passes.size(), pass.files, pass.fragmentsBefore,
                pass.fragmentsAfter, MiB(pass.bytesMoved));
    std::fflush(stdout);
  };
  // An interrupt ends the process between two native calls (every drive unmounted, each move whole); what was done
  // by then is said first.
  host::AddExitHook([&files, &line, &log]() {
    line.Clear();
    log.Finish(false, true);
    size_t whole = 0;
    for (const host::DefragFile& file : files) whole += file.fragmentsAfter <= 1 ? 1 : 0;
    std::fprintf(stderr, "spindraxel defrag: stopped with %zu of %zu files in one fragment; what was moved stays\n",
                 whole, files.size());
  });
  const bool ran = host::DefragmentFiles(image, &files, settings, &passes, &error);
  line.Clear();
  log.Finish(true, true);
  bool changed = false;
  for (size_t i = 0; i < digests.size(); ++i) {
    if (!digests[i]->Check()) {
      std::fprintf(stderr, "spindraxel defrag: %s: its content changed\n", files[i].path.c_str());
      changed = true;
    }
  }
  const std::vector<std::string> notWritten = host::UnmountAllDrives();
  for (const std::string& failure : notWritten) std::fprintf(stderr, "spindraxel defrag: %s\n", failure.c_str());
  if (!ran) return parser.Refuse(error);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  int64_t before = 0, after = 0;
  uint64_t moved = 0;
  size_t left = 0;
  for (const host::DefragFile& file : files) {
    before += file.fragmentsBefore;
    after += file.fragmentsAfter;
    left += file.fragmentsAfter > 1 ? 1 : 0;
  }
  for (const host::DefragPass& pass : passes) moved += pass.bytesMoved;
  if (json) {
    PrintJson(image, files, passes, seconds, false);
  } else {
    std::printf("%zu file%s: fragments %" PRId64 " -> %" PRId64 ", %.1f MiB moved in %.1f s; %zu still fragmented\n",
                files.size(), files.size() == 1 ? "" : "s", before, after, MiB(moved), seconds, left);
    for (const host::DefragFile& file : files) {
      if (file.fragmentsAfter > 1) {
        std::printf("  %s: %" PRId64 " fragments (%s)\n", file.path.c_str(), file.fragmentsAfter,
                    Reason(file.status).c_str());
      }
    }
  }
  if (changed || !notWritten.empty()) return 2;
  return left == 0 ? 0 : 1;
}
