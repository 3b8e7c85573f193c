#include "companion/Schedule.h"

#include "companion/BootRegistry.h"
#include "companion/NativeFiles.h"

namespace companion {
namespace {

// The UTF-16 text, ASCII only (checked before), as the configuration's single bytes.
std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// The crash-control value as the configuration writes it; empty (and a note) when the machine has none.
std::string CrashValue(const std::u16string& name, int fallback, std::vector<std::string>* notes) {
  ULONG value = 0;
  if (NT_SUCCESS(ReadCrashControl(name, &value))) return std::to_string(value);
  notes->push_back("the registry has no " + Narrow(name) + " under CrashControl: the one-shot run will set it to " +
                   std::to_string(fallback));
  return "";
}

constexpr char kNotElevated[] =
    "not running elevated: BootExecute may not be changed (run it from an administrator's command prompt)";

std::string NotWritten(NTSTATUS status) {
  return std::string("BootExecute cannot be written: ") + DescribeStatus(status) +
         (status == STATUS_ACCESS_DENIED ? ": run it as an administrator" : "") + "; nothing was changed";
}

}  // namespace

std::string Indented(const std::string& configuration) {
  std::string shown;
  for (size_t start = 0; start < configuration.size();) {
    const size_t end = configuration.find("\r\n", start);
    shown += "  " + configuration.substr(start, end - start) + "\n";
    start = end == std::string::npos ? configuration.size() : end + 2;
  }
  return shown;
}

std::string Unnameable(const std::u16string& path) {
  // Counted as the user sees the path, without the "\\??\\" of the native form.
  const size_t hidden = path.rfind(u"\\??\\", 0) == 0 ? 4 : 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] < 0x20 || path[i] > 0x7E) {
      return Shown(path) + ": cannot be named in a configuration: " +
             (path[i] > 0x7E ? "non-ASCII character" : "control character") + " at character " +
             std::to_string(i + 1 - hidden) + " (the boot-time program reads printable ASCII only)";
    }
  }
  return "";
}

std::string ConfigurationText(const SRunSettings& run, const std::string& crashDumpEnabled,
                              const std::string& logEvent) {
  std::string text = "<general>\r\nlog=" + std::to_string(run.logLevel) + "\r\n";
  // The program appends the log file's name to the folder as it is, so the folder ends with a backslash.
  std::string folder = Narrow(run.logDirectory);
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  text += "log_dir=" + folder + "\r\n";
  if (run.checkIntegrity) text += "check_file_integrity=1\r\n";
  if (run.report) text += "dump_file_information=1\r\n";
  if (run.oneShot) text += "run_mode=1\r\n";
  if (run.oneShot && !crashDumpEnabled.empty()) text += "crash_dump_enabled_backup=" + crashDumpEnabled + "\r\n";
  if (run.oneShot && !logEvent.empty()) text += "log_event_backup=" + logEvent + "\r\n";
  text += "</general>\r\n";
  for (const std::u16string& file : run.files) text += "<file>\r\npath=" + Narrow(file) + "\r\nmode=defrag\r\n</file>\r\n";
  return text;
}

bool ScheduleRun(const SRunSettings& run, SScheduled* scheduled, std::string* error) {
  // Every check first.
  if (run.files.empty()) {
    *error = "no file named";
    return false;
  }
  for (const std::u16string* path : {&run.configPath, &run.logDirectory}) {
    if (std::string why = Unnameable(*path); !why.empty()) {
      *error = why;
      return false;
    }
  }
  std::u16string checkedDrives;  // the drives known to hold NTFS
  for (const std::u16string& file : run.files) {
    std::string why = Unnameable(file);
    const NTSTATUS kind = why.empty() ? FileKind(file) : STATUS_SUCCESS;
    if (why.empty() && !NT_SUCCESS(kind)) why = Shown(file) + ": " + DescribeStatus(kind);
    std::u16string fileSystem = u"NTFS";
    if (why.empty() && checkedDrives.find(file[4]) == std::u16string::npos) {
      const NTSTATUS status = FileSystemOf(file, &fileSystem);
      if (!NT_SUCCESS(status)) why = Shown(file) + ": its volume does not say what it holds: " + DescribeStatus(status);
    }
    if (why.empty() && fileSystem != u"NTFS") {
      why = Shown(file) + ": on a " + std::string(fileSystem.begin(), fileSystem.end()) +
            " volume: the boot-time program defragments NTFS volumes only";
    }
    if (!why.empty()) {
      *error = why;
      return false;
    }
    checkedDrives += file[4];
  }
  if (!run.programPath.empty() && !NT_SUCCESS(FileKind(run.programPath))) {
    *error = "sxboottime.exe is not installed (" + Shown(run.programPath) + "): run 'spindraxel install' first";
    return false;
  }
  if (FileKind(run.configPath) == STATUS_FILE_IS_A_DIRECTORY) {
    *error = Shown(run.configPath) + ": is a folder";
    return false;
  }
  if (FileKind(run.logDirectory) == STATUS_SUCCESS) {
    *error = "the log folder " + Shown(run.logDirectory) + " is a file";
    return false;
  }
  NTSTATUS status = CheckBootExecuteWritable();
  if (status == STATUS_ACCESS_DENIED) {
    *error = kNotElevated;
    return false;
  }
  std::vector<std::u16string> entries;
  status = ReadBootExecute(&entries);
  if (status == STATUS_OBJECT_TYPE_MISMATCH) {
    *error = "BootExecute is not a list of strings (REG_MULTI_SZ); it was left as it is";
    return false;
  }
  if (!NT_SUCCESS(status)) {
    *error = "BootExecute cannot be read: " + DescribeStatus(status);
    return false;
  }
  scheduled->bootExecute = WithProgramEntry(entries, ProgramEntry(run.configPath));
  std::string crashDumpEnabled, logEvent;
  if (run.oneShot) {
    crashDumpEnabled = CrashValue(u"CrashDumpEnabled", 2, &scheduled->notes);
    logEvent = CrashValue(u"LogEvent", 1, &scheduled->notes);
  }
  scheduled->configuration = ConfigurationText(run, crashDumpEnabled, logEvent);
  scheduled->replacedConfiguration = NT_SUCCESS(ReadWholeFile(run.configPath, &scheduled->previousConfiguration));

  // The folder, the configuration, and the entry last: an entry naming a configuration not yet written would
  // fail the next boot. When the entry cannot be written the configuration goes back to what it was.
  std::vector<std::u16string> made;
  // What this call made goes again when a later step fails, innermost first.
  auto takeBack = [&]() {
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder) DeleteFileAt(*folder);
  };
  status = MakeFolders(run.logDirectory, &made);
  if (!NT_SUCCESS(status)) {
    takeBack();
    *error = "the log folder " + Shown(run.logDirectory) + " cannot be made: " + DescribeStatus(status);
    return false;
  }
  status = WriteWholeFile(run.configPath, scheduled->configuration);
  if (!NT_SUCCESS(status)) {
    takeBack();
    *error = Shown(run.configPath) + " cannot be written: " + DescribeStatus(status);
    return false;
  }
  if (entries != scheduled->bootExecute) status = WriteBootExecute(scheduled->bootExecute);
  if (!NT_SUCCESS(status)) {
    if (scheduled->replacedConfiguration) {
      WriteWholeFile(run.configPath, scheduled->previousConfiguration);
    } else {
      DeleteFileAt(run.configPath);
    }
    takeBack();
    *error = NotWritten(status);
    return false;
  }
  return true;
}

bool CancelRun(const std::u16string& configPath, SCancelled* cancelled, std::string* error) {
  std::vector<std::u16string> entries;
  NTSTATUS status = CheckBootExecuteWritable();
  if (status == STATUS_ACCESS_DENIED) {
    *error = kNotElevated;
    return false;
  }
  status = ReadBootExecute(&entries);
  if (!NT_SUCCESS(status)) {
    *error = "BootExecute cannot be read: " + DescribeStatus(status) + "; nothing was changed";
    return false;
  }
  std::vector<std::u16string> kept;
  for (const std::u16string& entry : entries) {
    (IsProgramEntry(entry) ? cancelled->removedEntries : kept).push_back(entry);
  }
  if (!cancelled->removedEntries.empty()) {
    status = WriteBootExecute(kept);
    if (!NT_SUCCESS(status)) {
      *error = NotWritten(status);
      cancelled->removedEntries.clear();
      return false;
    }
  }
  status = DeleteFileAt(configPath);
  cancelled->removedConfiguration = NT_SUCCESS(status);
  if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND && status != STATUS_OBJECT_PATH_NOT_FOUND) {
    *error = Shown(configPath) + " cannot be removed: " + DescribeStatus(status);
    return false;
  }
  return true;
}

}  // namespace companion
