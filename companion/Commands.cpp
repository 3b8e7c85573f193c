#include "companion/Commands.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include <nlohmann/json.hpp>

#include "cli/CommandLine.h"
#include "companion/Analysis.h"
#include "companion/BootRegistry.h"
#include "companion/NativeFiles.h"
#include "companion/Schedule.h"
#include "companion/Status.h"
#include "log/Logger.h"
#include "text/Utf.h"

namespace companion {
namespace {

constexpr WCHAR kWindowsVersionKey[] = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";

// Arguments are UTF-8 on both platforms.
std::u16string Wide(const std::string& utf8) { return text::Utf8ToUtf16(utf8); }

// The machine's Windows folder (%SystemRoot%) as a native path; C:\Windows when the registry does not say.
std::u16string SystemRoot() {
  std::u16string root;
  if (NT_SUCCESS(ReadRegistryString(kWindowsVersionKey, u"SystemRoot", &root)) && !NativePathOf(root).empty()) {
    return NativePathOf(root);
  }
  return NativePathOf(u"C:\\Windows");
}

std::u16string ProgramPath() { return SystemRoot() + u"\\System32\\sxboottime.exe"; }
// The configuration goes on the system drive: "\??\C:".
std::u16string ConfigPath() { return SystemRoot().substr(0, 6) + u"\\spindraxel.cfg"; }

// Parses, readies the machine and runs `body`, then makes its changes last. The exit status: the body's, or 2 when
// the machine could not be readied or kept what the body changed.
int Run(CommandLine& parser, const std::vector<std::string>& args, const SPlatform& platform,
        const std::function<int()>& body) {
  if (platform.addOptions) platform.addOptions(parser.App());
  if (const int status = parser.Parse(args); status >= 0) return status;
  std::string error;
  if (platform.begin && !platform.begin(&error)) return parser.Refuse(error);
  int status = body();
  if (platform.end && !platform.end(&error)) status = parser.Refuse(error);
  return status;
}

}  // namespace

std::u16string NativePathOf(const std::u16string& path) {
  const bool letter = path.size() >= 3 && ((path[0] | 0x20) >= u'a' && (path[0] | 0x20) <= u'z') && path[1] == u':' &&
                      (path[2] == u'\\' || path[2] == u'/');
  if (!letter) return u"";
  std::u16string native = u"\\??\\";
  native += static_cast<char16_t>(path[0] & ~0x20);
  native += u':';
  for (size_t i = 2; i < path.size(); ++i) {
    const char16_t c = path[i] == u'/' ? u'\\' : path[i];
    if (c != u'\\' || native.back() != u'\\') native += c;
  }
  if (native.size() > 7 && native.back() == u'\\') native.pop_back();
  return native;
}

int RunInstallCommand(const std::vector<std::string>& args, const SPlatform& platform) {
  CommandLine parser("install", "spindraxel install " + platform.usageOptions,
                     "Copies sxboottime.exe, the boot-time program, into %SystemRoot%\\System32, where the Session\n"
                     "Manager starts it from at boot. An older copy is replaced.",
                     "Then: spindraxel schedule FILE...");
  return Run(parser, args, platform, [&]() {
    std::string bytes, error;
    if (!platform.programBytes(&bytes, &error)) return parser.Refuse(error);
    // An image of a machine may lack the folder; Windows has it.
    const std::u16string folder = ProgramPath().substr(0, ProgramPath().rfind(u'\\'));
    NTSTATUS status = MakeFolders(folder);
    if (NT_SUCCESS(status)) status = WriteWholeFile(ProgramPath(), bytes);
    if (!NT_SUCCESS(status)) {
      return parser.Refuse(Shown(ProgramPath()) + " cannot be written: " + DescribeStatus(status) +
                           (status == STATUS_ACCESS_DENIED ? ": run it as an administrator" : ""));
    }
    std::printf("Installed %s (%zu bytes)\n", Shown(ProgramPath()).c_str(), bytes.size());
    return 0;
  });
}

int RunUninstallCommand(const std::vector<std::string>& args, const SPlatform& platform) {
  CommandLine parser("uninstall", "spindraxel uninstall " + platform.usageOptions,
                     "Removes sxboottime.exe from %SystemRoot%\\System32. Refused while a run is scheduled: the boot\n"
                     "would look for the program and not find it ('spindraxel cancel' first).",
                     "");
  return Run(parser, args, platform, [&]() {
    std::vector<std::u16string> entries;
    if (NT_SUCCESS(ReadBootExecute(&entries))) {
      for (const std::u16string& entry : entries) {
        if (IsProgramEntry(entry)) {
          return parser.Refuse("a run is scheduled (BootExecute holds '" + Shown(entry) +
                               "'): 'spindraxel cancel' first");
        }
      }
    }
    const NTSTATUS status = DeleteFileAt(ProgramPath());
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
      return parser.Refuse(Shown(ProgramPath()) + " is not installed");
    }
    if (!NT_SUCCESS(status)) return parser.Refuse(Shown(ProgramPath()) + " cannot be removed: " + DescribeStatus(status));
    std::printf("Removed %s\n", Shown(ProgramPath()).c_str());
    return 0;
  });
}

int RunScheduleCommand(const std::vector<std::string>& args, const SPlatform& platform) {
  CommandLine parser("schedule", "spindraxel schedule FILE... | --all-fragmented DRIVE: [OPTIONS] " + platform.usageOptions,
                     "Schedules a boot-time run that defragments each FILE (a full path with its drive:\n"
                     "C:\\Data\\big.bin): writes the configuration file C:\\spindraxel.cfg on the system drive and\n"
                     "adds 'sxboottime \\??\\C:\\spindraxel.cfg' to BootExecute, after the disk check, keeping every\n"
                     "other entry. The run logs into --log-dir, which 'spindraxel status' reads afterwards. With\n"
                     "--one-shot the machine's CrashDumpEnabled and LogEvent are what the run writes back.\n"
                     "Nothing is written when a FILE is missing, a name cannot be written in a configuration\n"
                     "(printable ASCII only), the program is not installed or the registry cannot be changed.",
                     "Examples:\n"
                     "  spindraxel schedule C:\\Data\\big.bin C:\\Data\\video.mp4 --check-integrity --one-shot\n"
                     "  spindraxel schedule D:\\vm\\disk.vhdx --log-dir D:\\logs --log-level 3");
  CLI::App& app = parser.App();
  std::vector<std::string> files;
  SRunSettings run;
  std::string logDirectory = "C:\\spindraxel\\logs";
  std::vector<std::string> drives;
  app.add_option("FILE", files, "a file to defragment, or a folder for every file under it");
  app.add_option("--all-fragmented", drives, "every file of the drive in more than one fragment (repeatable)")
      ->option_text("DRIVE:");
  app.add_flag("--check-integrity", run.checkIntegrity, "prove with MD5 that no file's content changed");
  app.add_flag("--report", run.report, "log each file's fragments before and after");
  app.add_option("--log-dir", logDirectory, "the folder for the run's log (C:\\spindraxel\\logs)")->option_text("DIR");
  CLI::Option* level = app.add_option("--log-level", run.logLevel,
                                      "1 errors and milestones (default) to 3 every step; 3 with --check-integrity,\n"
                                      "whose verdicts the log holds at that level")
                           ->option_text("N")
                           ->check(CLI::Range(1, 3));
  app.add_flag("--one-shot", run.oneShot, "the run removes its configuration and BootExecute entry afterwards");
  return Run(parser, args, platform, [&]() {
    if (run.checkIntegrity && level->count() == 0) run.logLevel = 3;
    if (files.empty() && drives.empty()) return parser.Refuse("name the files (FILE...) or --all-fragmented C:");
    run.logDirectory = NativePathOf(Wide(logDirectory));
    if (run.logDirectory.empty()) return parser.Refuse("--log-dir " + logDirectory + ": name a folder with its drive");
    for (const std::string& drive : drives) {
      const std::u16string root = NativePathOf(Wide(drive.size() == 2 && drive[1] == ':' ? drive + "\\" : "?"));
      if (root.empty()) return parser.Refuse("--all-fragmented " + drive + ": name a drive, e.g. C:");
      CLogger::Instance().SetLevel(0);
      CVolumeAnalyzer analyzer;
      std::string error;
      if (!analyzer.Open(root[4], &error)) return parser.Refuse(error);
      std::vector<std::u16string> paths;
      const NTSTATUS status = FilesUnder(root, &paths);
      if (!NT_SUCCESS(status)) return parser.Refuse(drive + " cannot be listed: " + DescribeStatus(status));
      size_t unnameable = 0;
      // The run's own files stay out: its configuration, its log folder and the program.
      const std::u16string ownFiles[] = {FoldedCase(ConfigPath()), FoldedCase(run.logDirectory + u"\\"),
                                         FoldedCase(ProgramPath())};
      for (const std::u16string& path : paths) {
        const std::u16string folded = FoldedCase(path);
        bool own = false;
        for (const std::u16string& place : ownFiles) own = own || folded.compare(0, place.size(), place) == 0;
        if (own) continue;
        if (analyzer.File(path).fragments < 2) continue;
        if (!Unnameable(path).empty()) {
          ++unnameable;
          continue;
        }
        run.files.push_back(path);
      }
      if (unnameable > 0) {
        std::fprintf(stderr, "spindraxel schedule: %zu fragmented file%s of %s left out: a configuration cannot name "
                     "%s (printable ASCII only)\n", unnameable, unnameable == 1 ? "" : "s", drive.c_str(),
                     unnameable == 1 ? "it" : "them");
      }
    }
    if (files.empty() && run.files.empty()) {
      std::printf("No fragmented file: nothing to schedule.\n");
      return 0;
    }
    for (const std::string& file : files) {
      const std::u16string path = NativePathOf(Wide(file));
      if (path.empty()) return parser.Refuse(file + ": name the file with its drive, e.g. C:\\Data\\big.bin");
      // A folder stands for every file under it.
      if (FileKind(path) == STATUS_FILE_IS_A_DIRECTORY) {
        const size_t before = run.files.size();
        const NTSTATUS status = FilesUnder(path, &run.files);
        if (!NT_SUCCESS(status)) return parser.Refuse(file + ": cannot be listed: " + DescribeStatus(status));
        if (run.files.size() == before) return parser.Refuse(file + ": holds no file");
      } else {
        run.files.push_back(path);
      }
    }
    run.configPath = ConfigPath();
    run.programPath = ProgramPath();
    SScheduled scheduled;
    std::string error;
    if (!ScheduleRun(run, &scheduled, &error)) return parser.Refuse(error);
    for (const std::string& note : scheduled.notes) std::fprintf(stderr, "spindraxel schedule: %s\n", note.c_str());
    std::printf("Scheduled %zu file%s for the next boot.\n%s%s:\n", run.files.size(), run.files.size() == 1 ? "" : "s",
                Shown(run.configPath).c_str(), scheduled.replacedConfiguration ? " (replaced)" : "");
    std::printf("%sBootExecute:\n", Indented(scheduled.configuration).c_str());
    for (const std::u16string& entry : scheduled.bootExecute) std::printf("  %s\n", Shown(entry).c_str());
    return 0;
  });
}

int RunCancelCommand(const std::vector<std::string>& args, const SPlatform& platform) {
  CommandLine parser("cancel", "spindraxel cancel " + platform.usageOptions,
                     "Withdraws a scheduled run: removes the program's entries from BootExecute (entries whose first\n"
                     "word is sxboottime, in any case; every other entry stays as it was) and the configuration\n"
                     "file C:\\spindraxel.cfg.",
                     "");
  return Run(parser, args, platform, [&]() {
    SCancelled cancelled;
    std::string error;
    if (!CancelRun(ConfigPath(), &cancelled, &error)) return parser.Refuse(error);
    if (cancelled.removedEntries.empty() && !cancelled.removedConfiguration) {
      std::printf("No run was scheduled.\n");
      return 0;
    }
    for (const std::u16string& entry : cancelled.removedEntries) {
      std::printf("Removed from BootExecute: %s\n", Shown(entry).c_str());
    }
    if (cancelled.removedConfiguration) std::printf("Removed %s\n", Shown(ConfigPath()).c_str());
    return 0;
  });
}

int RunStatusCommand(const std::vector<std::string>& args, const SPlatform& platform) {
  CommandLine parser("status", "spindraxel status [--log-dir DIR] " + platform.usageOptions,
                     "Says whether a boot-time run is scheduled and what it will do (its configuration as the\n"
                     "program will read it), and what the last run did, from its log: per file the fragments before\n"
                     "and after, the result and the integrity verdict.",
                     "");
  std::string logDirectory = "C:\\spindraxel\\logs";
  parser.App()
      .add_option("--log-dir", logDirectory,
                  "where to look for the last run's log when no run is scheduled (C:\\spindraxel\\logs)")
      ->option_text("DIR");
  return Run(parser, args, platform, [&]() {
    // The configuration reader logs what it meets; nothing here is for a log.
    CLogger::Instance().SetLevel(0);
    SScheduledRun run;
    const NTSTATUS status = ReadScheduledRun(&run);
    if (!NT_SUCCESS(status)) return parser.Refuse("BootExecute cannot be read: " + DescribeStatus(status));
    std::u16string logs = NativePathOf(Wide(logDirectory));
    if (run.entries.empty()) {
      std::printf("No run is scheduled.\n");
    } else if (!run.configurationRead) {
      std::printf("A run is scheduled (%s), but its configuration %s cannot be read: the boot will log that and do "
                  "nothing.\n",
                  Shown(run.entries.front()).c_str(), Shown(run.configPath).c_str());
    } else {
      std::printf("A run is scheduled for the next boot: %s\n", Shown(run.entries.front()).c_str());
      std::printf("  log level %ld into %s%s%s%s\n", static_cast<long>(run.logLevel), Shown(run.logDirectory).c_str(),
                  run.checkIntegrity ? ", integrity check" : "", run.report ? ", fragment report" : "",
                  run.oneShot ? ", one-shot" : "");
      for (const std::u16string& file : run.files) std::printf("  %s\n", Shown(file).c_str());
      if (run.logLevel > 0 && !run.logDirectory.empty()) logs = run.logDirectory;
    }
    std::u16string log;
    if (logs.empty() || !FindNewestLog(logs, &log)) {
      std::printf("No run has logged into %s.\n", Shown(logs).c_str());
      return 0;
    }
    std::string text;
    const NTSTATUS read = ReadWholeFile(log, &text);
    if (!NT_SUCCESS(read)) return parser.Refuse(Shown(log) + " cannot be read: " + DescribeStatus(read));
    const SRunOutcome outcome = ReadRunLog(text);
    std::printf("Last run: %s (%s)\n", Shown(log).c_str(),
                outcome.aborted    ? "stopped by a key press"
                : outcome.finished ? "finished"
                                   : "did not finish");
    for (const SFileOutcome& file : outcome.files) {
      std::string line = "  " + Shown(Wide(file.path)) + ":";
      if (file.fragmentsBefore >= 0) line += " " + std::to_string(file.fragmentsBefore);
      if (file.fragmentsAfter >= 0) line += " -> " + std::to_string(file.fragmentsAfter);
      if (file.fragmentsBefore >= 0) line += " fragments,";
      line += file.status.empty() ? " not worked on" : file.status == "0x0" ? " done" : " failed (" + file.status + ")";
      if (!file.integrity.empty()) line += ", integrity " + file.integrity;
      std::printf("%s\n", line.c_str());
    }
    return 0;
  });
}

int RunAnalyzeCommand(const std::vector<std::string>& args, const SPlatform& platform) {
  CommandLine parser("analyze", "spindraxel analyze FILE|FOLDER|DRIVE... [--json] [--top N] " + platform.usageOptions,
                     "How fragmented files are, as the boot-time program sees them (the file system's retrieval\n"
                     "pointers): clusters and fragments of each FILE and of every file under each FOLDER; for a\n"
                     "DRIVE (C:), its free space, the largest free block outside the MFT zone and its most fragmented\n"
                     "files. Needs the NTFS controls: a volume that does not answer them is named in one line.",
                     "Examples:\n  spindraxel analyze C:\\Data\\big.bin\n  spindraxel analyze C: --top 50 --json");
  std::vector<std::string> targets;
  bool json = false;
  size_t top = 20;
  parser.App().add_option("TARGET", targets, "a file, a folder or a drive")->required();
  parser.App().add_flag("--json", json, "one JSON object instead of the text");
  parser.App().add_option("--top", top, "how many of a drive's most fragmented files to list (20)")->option_text("N");
  return Run(parser, args, platform, [&]() {
    CLogger::Instance().SetLevel(0);
    std::map<WCHAR, CVolumeAnalyzer> analyzers;
    nlohmann::ordered_json files = nlohmann::ordered_json::array(), drives = nlohmann::ordered_json::array();
    auto show = [&](const SFileLayout& file, const char* indent) {
      if (json) {
        files.push_back({{"path", Shown(file.path)}, {"clusters", file.clusters}, {"fragments", file.fragments}});
      } else if (NT_SUCCESS(file.status)) {
        std::printf("%s%s: %lld clusters in %lld fragment%s\n", indent, Shown(file.path).c_str(),
                    static_cast<long long>(file.clusters), static_cast<long long>(file.fragments),
                    file.fragments == 1 ? "" : "s");
      } else {
        std::printf("%s%s: %s\n", indent, Shown(file.path).c_str(), DescribeStatus(file.status).c_str());
      }
    };
    for (const std::string& target : targets) {
      const bool drive = target.size() == 2 && target[1] == ':';
      const std::u16string path = NativePathOf(Wide(drive ? target + "\\" : target));
      if (path.empty()) return parser.Refuse(target + ": name it with its drive, e.g. C:\\Data or C:");
      std::string error;
      if (analyzers.count(path[4]) == 0 && !analyzers[path[4]].Open(path[4], &error)) return parser.Refuse(error);
      CVolumeAnalyzer& analyzer = analyzers[path[4]];
      const NTSTATUS kind = FileKind(path);
      if (kind == STATUS_SUCCESS) {
        show(analyzer.File(path), "");
        continue;
      }
      if (kind != STATUS_FILE_IS_A_DIRECTORY) return parser.Refuse(target + ": " + DescribeStatus(kind));
      std::vector<std::u16string> paths;
      const NTSTATUS listed = FilesUnder(path, &paths);
      if (!NT_SUCCESS(listed)) return parser.Refuse(target + ": cannot be listed: " + DescribeStatus(listed));
      std::vector<SFileLayout> layouts;
      for (const std::u16string& file : paths) layouts.push_back(analyzer.File(file));
      if (!drive) {
        for (const SFileLayout& layout : layouts) show(layout, "");
        continue;
      }
      const SFreeSpace space = analyzer.FreeSpace();
      std::stable_sort(layouts.begin(), layouts.end(),
                       [](const SFileLayout& a, const SFileLayout& b) { return a.fragments > b.fragments; });
      const size_t fragmented = static_cast<size_t>(std::count_if(
          layouts.begin(), layouts.end(), [](const SFileLayout& layout) { return layout.fragments > 1; }));
      layouts.resize(std::min({top, fragmented, layouts.size()}));
      if (json) {
        drives.push_back({{"drive", target.substr(0, 1) + ":"},
                          {"totalClusters", space.totalClusters},
                          {"freeClusters", space.freeClusters},
                          {"largestFreeBlock", space.largestFree},
                          {"files", paths.size()},
                          {"fragmentedFiles", fragmented}});
        for (const SFileLayout& layout : layouts) show(layout, "");
        continue;
      }
      std::printf("%c: %lld clusters, %lld free; the largest free block holds %lld; %zu files, %zu fragmented%s\n",
                  static_cast<char>(path[4]), static_cast<long long>(space.totalClusters),
                  static_cast<long long>(space.freeClusters), static_cast<long long>(space.largestFree), paths.size(),
                  fragmented, layouts.empty() ? "" : "; the most fragmented:");
      for (const SFileLayout& layout : layouts) show(layout, "  ");
    }
    if (json) {
      const nlohmann::ordered_json result = {{"drives", drives}, {"files", files}};
      std::printf("%s\n", result.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    }
    return 0;
  });
}

int RunLogCommand(const std::vector<std::string>& args, const SPlatform& platform) {
  CommandLine parser("log", "spindraxel log [--last | NAME | --list] [--log-dir DIR] " + platform.usageOptions,
                     "Prints the newest log of the boot-time runs, or the one NAME names (a file of the log folder,\n"
                     "or a full path). The log folder is the scheduled run's, else --log-dir.",
                     "Examples:\n  spindraxel log\n  spindraxel log --list\n"
                     "  spindraxel log Spindraxel_native_2026_12_06__23_10_05.txt");
  std::string name, logDirectory = "C:\\spindraxel\\logs";
  bool list = false, last = false;
  parser.App().add_option("NAME", name, "the log to print (the newest by default)");
  parser.App().add_flag("--last", last, "the newest log (what no NAME means)");
  parser.App().add_flag("--list", list, "list the logs, oldest first, instead");
  parser.App()
      .add_option("--log-dir", logDirectory, "the log folder when no run is scheduled (C:\\spindraxel\\logs)")
      ->option_text("DIR");
  return Run(parser, args, platform, [&]() {
    CLogger::Instance().SetLevel(0);
    SScheduledRun run;
    std::u16string folder = NativePathOf(Wide(logDirectory));
    if (NT_SUCCESS(ReadScheduledRun(&run)) && run.configurationRead && !run.logDirectory.empty()) {
      folder = run.logDirectory;
    }
    if (folder.empty()) return parser.Refuse("--log-dir " + logDirectory + ": name a folder with its drive");
    if (!folder.empty() && folder.back() == u'\\') folder.pop_back();
    if (last && !name.empty()) return parser.Refuse("--last or a NAME, not both");
    if (list) {
      std::vector<SFolderEntry> logs;
      const NTSTATUS status = ListFolder(folder, u"Spindraxel_native_*.txt", &logs);
      if (!NT_SUCCESS(status)) return parser.Refuse(Shown(folder) + ": " + DescribeStatus(status));
      std::sort(logs.begin(), logs.end(), [](const SFolderEntry& a, const SFolderEntry& b) { return a.name < b.name; });
      for (const SFolderEntry& log : logs) {
        std::printf("%s  %lld bytes\n", text::Utf16ToUtf8(log.name).c_str(), static_cast<long long>(log.size));
      }
      return 0;
    }
    std::u16string path;
    if (!name.empty()) {
      path = NativePathOf(Wide(name));
      if (path.empty()) path = folder + u"\\" + Wide(name);
    } else if (!FindNewestLog(folder, &path)) {
      return parser.Refuse("no log in " + Shown(folder));
    }
    std::string bytes;
    const NTSTATUS status = ReadWholeFile(path, &bytes);
    if (!NT_SUCCESS(status)) return parser.Refuse(Shown(path) + ": " + DescribeStatus(status));
    // Printed with the console's own line ends: the log's CRLF as a line feed, which text output turns back.
    std::string shown;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) shown += bytes[i];
    }
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    return 0;
  });
}

}  // namespace companion
