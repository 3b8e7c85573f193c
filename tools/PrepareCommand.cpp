// spindraxel prepare: writes a configuration file into an image and adds the program to BootExecute in a .reg
// file, so that the next `spindraxel boot --registry` (or a Windows boot) defragments the chosen files.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BootExecute.h"
#include "CommandLine.h"
#include "Commands.h"
#include "host/ntdll/registry/RegFile.h"
#include "host/ntdll/registry/Registry.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/text/Utf.h"

namespace {

const char kPrepareUsage[] = "spindraxel prepare IMAGE --registry FILE.reg --file PATH [--file PATH ...] [OPTIONS]";

const char kPrepareDescription[] =
    "Prepares a boot that defragments the files PATH of the NTFS volume in IMAGE: writes the configuration file\n"
    "the boot-time program reads into the volume (replacing one that is there) and adds the entry\n"
    "'sxboottime \\??\\C:\\spindraxel.cfg' to BootExecute in FILE.reg (REG_MULTI_SZ under\n"
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager). Every other entry and value of\n"
    "FILE.reg stays; an entry that is already there is not added twice. A missing FILE.reg is created with\n"
    "BootExecute 'autocheck autochk *' before the program's entry, as on a fresh Windows. The file is replaced\n"
    "atomically, in regedit's form. Nothing is written when a PATH is missing or FILE.reg does not read.\n"
    "\n"
    "PATH is volume-relative, '/' or '\\' between names, any case, e.g. Fragmented/file01.bin.";

const char kPrepareFooter[] =
    "Examples:\n"
    "  spindraxel prepare disk.img --registry machine.reg --file Fragmented/file01.bin --file Fragmented/file02.bin\n"
    "  spindraxel prepare disk.img --registry machine.reg --file Data/big.bin --log-dir Logs --log-level 2 \\\n"
    "      --check-integrity --report --one-shot\n"
    "  spindraxel boot --registry machine.reg --drive C=disk.img";

const std::string kSessionManagerPath[] = {"MACHINE", "SYSTEM", "CurrentControlSet", "Control", "Session Manager"};
constexpr const char* kDefaultBootEntry = "autocheck autochk *";

constexpr char16_t kCrashControlKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";

struct PrepareOptions {
  std::string image;
  std::string registryFile;
  std::vector<std::string> files;
  std::string logDirectory;
  int logLevel = 1;
  bool checkIntegrity = false;
  bool report = false;
  bool oneShot = false;
  std::string driveName = "C";
  char drive = 'C';  // driveName once checked
  std::string configPath = "spindraxel.cfg";
  // The machine's own crash settings, which a one-shot run writes back; empty when the registry has none.
  std::string crashDumpEnabled;
  std::string logEvent;
};

int Failure(const std::string& message) {
  std::fprintf(stderr, "spindraxel prepare: %s\n", message.c_str());
  return 2;
}

// "/Data/a.bin", "Data\a.bin" and "Data/a.bin\" all name Data\a.bin.
std::string VolumePath(const std::string& path) {
  std::string out;
  for (char c : path) {
    c = c == '/' ? '\\' : c;
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  if (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

std::string NativePath(char drive, const std::string& volumePath) {
  return std::string("\\??\\") + drive + ":\\" + volumePath;
}

// The configuration file as the program reads it: a general section and one section per file, CRLF line ends.
std::string ConfigText(const PrepareOptions& options) {
  const std::string logDirectory = VolumePath(options.logDirectory);
  std::string text = "<general>\r\nlog=" + std::to_string(options.logLevel) + "\r\n";
  // The program appends the file name to the folder as it is, so the folder ends with a backslash.
  text += "log_dir=" + NativePath(options.drive, logDirectory) + (logDirectory.empty() ? "" : "\\") + "\r\n";
  if (options.checkIntegrity) text += "check_file_integrity=1\r\n";
  if (options.report) text += "dump_file_information=1\r\n";
  if (options.oneShot) text += "run_mode=1\r\n";
  if (options.oneShot && !options.crashDumpEnabled.empty()) {
    text += "crash_dump_enabled_backup=" + options.crashDumpEnabled + "\r\n";
  }
  if (options.oneShot && !options.logEvent.empty()) text += "log_event_backup=" + options.logEvent + "\r\n";
  text += "</general>\r\n";
  for (const std::string& file : options.files) {
    text += "<file>\r\npath=" + NativePath(options.drive, VolumePath(file)) + "\r\nmode=defrag\r\n</file>\r\n";
  }
  return text;
}

// Loads FILE.reg (or a fresh registry bound to it when missing) and adds `entry` to BootExecute in memory. False
// with a one-line reason when the file does not read or its BootExecute is not a list; nothing is saved here.
bool AddBootEntry(const std::string& registryFile, const std::u16string& entry, std::vector<std::u16string>* list,
                  std::string* error) {
  struct stat info;
  const bool exists = stat(registryFile.c_str(), &info) == 0;
  if (exists && !host::LoadRegistry(registryFile, error)) return false;
  if (!exists) {
    host::ResetRegistry();
    host::BindRegistryFile(registryFile);
  }
  std::lock_guard<std::mutex> guard(host::RegistryMutex());
  std::shared_ptr<host::RegistryKey> key = host::RegistryRootKey();
  bool created = false;
  for (const std::string& name : kSessionManagerPath) key = key->OpenOrCreateSubkey(host::Utf8ToUtf16(name), &created);
  const host::RegistryValue* value = key->Value(u"BootExecute");
  if (value != nullptr && value->type != REG_MULTI_SZ) {
    *error = registryFile + ": BootExecute is of type " + std::to_string(value->type) +
             ", not REG_MULTI_SZ (7); it was left as it is";
    return false;
  }
  *list = value != nullptr ? BootExecuteEntries(value->data) : std::vector<std::u16string>{};
  if (!exists) list->push_back(host::Utf8ToUtf16(kDefaultBootEntry));
  bool present = false;
  for (const std::u16string& existing : *list)
    present = present || host::FoldRegistryName(existing) == host::FoldRegistryName(entry);
  if (!present) list->push_back(entry);
  // Rewritten only when the list changed, so that data past a well-formed list's end stays as it was.
  if (!exists || !present) {
    if (key->SetValue(u"BootExecute", REG_MULTI_SZ, BootExecuteData(*list))) host::MarkRegistryChanged();
  }
  return true;
}

// Whether FILE.reg can be replaced: written atomically beside itself, so its folder must take a new file. "" when
// it can, else why not.
std::string RegistryNotWritable(const std::string& registryFile) {
  const size_t slash = registryFile.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : registryFile.substr(0, slash + 1);
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return registryFile + ": no such folder " + folder;
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return registryFile + ": its folder " + folder + " cannot be written (" + std::strerror(errno) + ")";
  }
  if (stat(registryFile.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return registryFile + ": not a file";
  return "";
}

// A REG_DWORD of CrashControl as the configuration writes it; empty when the registry does not hold one.
std::string CrashControlValue(const std::u16string& name) {
  host::RegistryValue value;
  if (!host::QueryRegistryValue(kCrashControlKey, name, &value) || value.type != REG_DWORD || value.data.size() != 4) {
    return "";
  }
  const uint32_t number =
      value.data[0] | value.data[1] << 8 | value.data[2] << 16 | static_cast<uint32_t>(value.data[3]) << 24;
  return std::to_string(number);
}

// Creates every missing folder of `path` on the volume; false with a reason when a name on the way is a file.
bool MakeDirectories(host::NtfsVolume& volume, const std::string& path, std::string* error) {
  for (size_t end = 0; end != std::string::npos;) {
    end = path.find('\\', end + 1);
    const std::string part = path.substr(0, end);
    host::NtfsVolume::Node node;
    NTSTATUS status = volume.Lookup(host::Utf8ToUtf16(part), &node);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = volume.Create(host::Utf8ToUtf16(part), true, &node);
    if (!NT_SUCCESS(status) || !node.isDirectory) {
      *error = "--log-dir " + part + (NT_SUCCESS(status) ? ": is a file" : ": cannot be made on the volume");
      return false;
    }
  }
  return true;
}

// The configuration already at `path`; false when there is none.
bool ReadConfig(host::NtfsVolume& volume, const std::string& path, std::string* text) {
  host::NtfsVolume::Node node;
  if (!NT_SUCCESS(volume.Lookup(host::Utf8ToUtf16(path), &node)) || node.isDirectory) return false;
  text->assign(node.size, '\0');
  uint32_t read = 0;
  return node.size <= UINT32_MAX &&
         NT_SUCCESS(volume.Read(node.mftRef, 0, text->data(), static_cast<uint32_t>(node.size), &read)) &&
         read == node.size;
}

bool WriteConfig(host::NtfsVolume& volume, const std::string& path, const std::string& text, std::string* error) {
  host::NtfsVolume::Node node;
  NTSTATUS status = volume.Lookup(host::Utf8ToUtf16(path), &node);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    status = volume.Create(host::Utf8ToUtf16(path), false, &node);
  } else if (NT_SUCCESS(status)) {
    status = volume.SetSize(node.mftRef, 0);
  }
  if (NT_SUCCESS(status)) status = volume.Write(node.mftRef, 0, text.data(), static_cast<uint32_t>(text.size()));
  if (!NT_SUCCESS(status)) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    *error = "cannot write " + path + " on the volume (status " + hex + ")";
  }
  return NT_SUCCESS(status);
}

// Everything checked before anything is written: the image mounts, each file is a file, the log folder and the
// configuration's place are not taken by the wrong kind.
bool CheckVolume(host::NtfsVolume& volume, const PrepareOptions& options, std::string* error) {
  host::NtfsVolume::Node node;
  for (const std::string& file : options.files) {
    const NTSTATUS status = volume.Lookup(host::Utf8ToUtf16(VolumePath(file)), &node);
    if (!NT_SUCCESS(status) || node.isDirectory) {
      *error = "--file " + file + ": " + (NT_SUCCESS(status) ? "is a folder" : "no such file") + " on " + options.image;
      return false;
    }
  }
  const std::string config = VolumePath(options.configPath);
  if (NT_SUCCESS(volume.Lookup(host::Utf8ToUtf16(config), &node)) && node.isDirectory) {
    *error = "--config " + options.configPath + ": is a folder on " + options.image;
    return false;
  }
  const std::string logDirectory = VolumePath(options.logDirectory);
  if (!logDirectory.empty() && NT_SUCCESS(volume.Lookup(host::Utf8ToUtf16(logDirectory), &node)) && !node.isDirectory) {
    *error = "--log-dir " + options.logDirectory + ": is a file on " + options.image;
    return false;
  }
  return true;
}

// The options, defined once for parsing and help; values CLI11 cannot judge are checked in Check.
void DefineOptions(CLI::App& app, PrepareOptions* options) {
  app.add_option("IMAGE", options->image)->required();
  app.add_option("--registry", options->registryFile, "the machine's registry (created when missing)")
      ->option_text("FILE.reg")
      ->required();
  app.add_option("--file", options->files, "a file to defragment (repeatable, at least one)")
      ->option_text("PATH")
      ->required();
  app.add_option("--log-dir", options->logDirectory,
                 "the folder on the volume for the program's log file (made when missing); the root by\n"
                 "default")
      ->option_text("DIR");
  app.add_option("--log-level", options->logLevel,
                 "how much the log holds, 0 (nothing) to 3 (every step); 1 by default")
      ->option_text("N")
      ->check(CLI::Range(0, 3));
  app.add_flag("--check-integrity", options->checkIntegrity, "prove with MD5 that no file's content changed");
  app.add_flag("--report", options->report, "log each file's fragments before and after");
  app.add_flag("--one-shot", options->oneShot, "afterwards, remove the configuration file and the BootExecute entry");
  app.add_option("--drive", options->driveName, "the drive letter the program will see the volume as; C by default")
      ->option_text("LETTER");
  app.add_option("--config", options->configPath,
                 "where on the volume the configuration goes; spindraxel.cfg by default")
      ->option_text("PATH");
}

// The configuration is single-byte text whose reader keeps only printable ASCII: "" when `path` can be named in it,
// else why not.
std::string Unnameable(const std::string& option, const std::string& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c > 0x7E) {
      return option + " " + path +
             ": cannot be named in a configuration: " + (c > 0x7E ? "non-ASCII character" : "control character") +
             " at byte " + std::to_string(i + 1) + " (the boot-time program reads printable ASCII only)";
    }
  }
  return "";
}

// The values' own rules; an empty string when they hold.
std::string Check(PrepareOptions* options) {
  for (const std::string& file : options->files) {
    if (VolumePath(file).empty()) return "--file needs a file's path, e.g. --file Data/big.bin";
    if (std::string why = Unnameable("--file", file); !why.empty()) return why;
  }
  if (std::string why = Unnameable("--log-dir", options->logDirectory); !why.empty()) return why;
  if (std::string why = Unnameable("--config", options->configPath); !why.empty()) return why;
  if (VolumePath(options->configPath).empty()) return "--config needs a file's path, e.g. --config sx.cfg";
  options->drive = options->driveName.size() == 1 ? static_cast<char>(options->driveName[0] & ~0x20) : 0;
  if (options->drive < 'A' || options->drive > 'Z') return "--drive takes a letter from A to Z, e.g. --drive D";
  return "";
}

}  // namespace

int RunPrepareCommand(const std::vector<std::string>& args) {
  CommandLine parser("prepare", kPrepareUsage, kPrepareDescription, kPrepareFooter);
  PrepareOptions options;
  DefineOptions(parser.App(), &options);
  if (const int status = parser.Parse(args); status >= 0) return status;
  if (const std::string fault = Check(&options); !fault.empty()) return parser.Refuse(fault);

  if (std::string why = RegistryNotWritable(options.registryFile); !why.empty()) return Failure("--registry " + why);
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(options.image, &error);
  if (!volume) return Failure(error);
  if (!CheckVolume(*volume, options, &error)) return Failure(error);
  const std::string configPath = VolumePath(options.configPath);
  const std::string entry = "sxboottime " + NativePath(options.drive, configPath);
  std::vector<std::u16string> bootExecute;
  if (!AddBootEntry(options.registryFile, host::Utf8ToUtf16(entry), &bootExecute, &error)) {
    return Failure("--registry " + error);
  }

  if (options.oneShot) {
    options.crashDumpEnabled = CrashControlValue(u"CrashDumpEnabled");
    options.logEvent = CrashControlValue(u"LogEvent");
    // A value the registry lacks is left out of the configuration, which then restores the program's default.
    auto noteMissing = [&options](const char* name, const std::string& value, int fallback) {
      if (!value.empty()) return;
      std::fprintf(stderr, "spindraxel prepare: %s has no %s under CrashControl: the one-shot run will set it to %d\n",
                   options.registryFile.c_str(), name, fallback);
    };
    noteMissing("CrashDumpEnabled", options.crashDumpEnabled, 2);
    noteMissing("LogEvent", options.logEvent, 1);
  }

  const std::string logDirectory = VolumePath(options.logDirectory);
  const std::string config = ConfigText(options);
  std::string previous;
  const bool hadConfig = ReadConfig(*volume, configPath, &previous);
  if ((!logDirectory.empty() && !MakeDirectories(*volume, logDirectory, &error)) ||
      !WriteConfig(*volume, configPath, config, &error)) {
    return Failure(error);
  }
  if (!NT_SUCCESS(volume->Flush())) return Failure("cannot write to " + options.image);
  // The registry last: an entry that names a configuration not yet on the volume would fail the next boot. When
  // it cannot be saved, the volume gets its old configuration back (or none).
  if (!host::SaveRegistry(&error)) {
    if (hadConfig) {
      WriteConfig(*volume, configPath, previous, &error);
    } else {
      volume->Remove(host::Utf8ToUtf16(configPath));
    }
    volume->Flush();
    return Failure("the registry was not saved, and the configuration was taken back: " + error);
  }
  volume.reset();

  std::printf("%s: wrote %c:\\%s\n", options.image.c_str(), options.drive, configPath.c_str());
  std::string shown = config;
  for (size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.replace(at, 2, "\n  ");
  std::printf("  %s\n", shown.substr(0, shown.size() - 3).c_str());
  std::printf("%s: BootExecute is now\n", options.registryFile.c_str());
  for (const std::u16string& item : bootExecute) std::printf("  %s\n", host::Utf16ToUtf8(item).c_str());
  std::printf("Boot it with:\n  spindraxel boot --registry %s --drive %c=%s\n", options.registryFile.c_str(),
              options.drive, options.image.c_str());
  return 0;
}
