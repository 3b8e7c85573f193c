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
#include "MachineRegistry.h"
#include "cli/CommandLine.h"
#include "Commands.h"
#include "host/ntdll/registry/RegFile.h"
#include "host/ntdll/registry/Registry.h"
#include "companion/NativeFiles.h"
#include "companion/Schedule.h"
#include "host/ntdll/Host.h"
#include "text/Utf.h"

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
  if (!host::MountDrive(options.drive, options.image, &error)) return Failure(error);
  // The image is the drive the program will see; the rest is the companion's own scheduling, as on Windows.
  companion::SRunSettings run;
  for (const std::string& file : options.files) {
    run.files.push_back(text::Utf8ToUtf16(NativePath(options.drive, VolumePath(file))));
    const NTSTATUS kind = companion::FileKind(run.files.back());
    if (!NT_SUCCESS(kind)) {
      host::UnmountAllDrives();
      return Failure("--file " + file + ": " + (kind == STATUS_FILE_IS_A_DIRECTORY ? "is a folder" : "no such file") +
                     " on " + options.image);
    }
  }
  run.logDirectory = text::Utf8ToUtf16(NativePath(options.drive, VolumePath(options.logDirectory)));
  run.configPath = text::Utf8ToUtf16(NativePath(options.drive, VolumePath(options.configPath)));
  if (companion::FileKind(run.logDirectory) == STATUS_SUCCESS) {
    host::UnmountAllDrives();
    return Failure("--log-dir " + options.logDirectory + ": is a file on " + options.image);
  }
  if (companion::FileKind(run.configPath) == STATUS_FILE_IS_A_DIRECTORY) {
    host::UnmountAllDrives();
    return Failure("--config " + options.configPath + ": is a folder on " + options.image);
  }
  run.logLevel = options.logLevel;
  run.checkIntegrity = options.checkIntegrity;
  run.report = options.report;
  run.oneShot = options.oneShot;
  companion::SScheduled scheduled;
  if (!LoadMachineRegistry(options.registryFile, &error) || !companion::ScheduleRun(run, &scheduled, &error)) {
    host::UnmountAllDrives();
    return Failure("--registry " + options.registryFile + ": " + error);
  }
  for (const std::string& note : scheduled.notes) {
    std::fprintf(stderr, "spindraxel prepare: %s: %s\n", options.registryFile.c_str(), note.c_str());
  }
  // The registry last; when it cannot be saved, the volume gets its old configuration back (or none).
  if (!host::SaveRegistry(&error)) {
    if (scheduled.replacedConfiguration) {
      companion::WriteWholeFile(run.configPath, scheduled.previousConfiguration);
    } else {
      companion::DeleteFileAt(run.configPath);
    }
    host::UnmountAllDrives();
    return Failure("the registry was not saved, and the configuration was taken back: " + error);
  }
  for (const std::string& failure : host::UnmountAllDrives()) return Failure(failure);

  std::printf("%s: wrote %c:\\%s\n", options.image.c_str(), options.drive, VolumePath(options.configPath).c_str());
  std::printf("%s", companion::Indented(scheduled.configuration).c_str());
  std::printf("%s: BootExecute is now\n", options.registryFile.c_str());
  for (const std::u16string& item : scheduled.bootExecute) std::printf("  %s\n", text::Utf16ToUtf8(item).c_str());
  std::printf("Boot it with:\n  spindraxel boot --registry %s --drive %c=%s\n", options.registryFile.c_str(),
              options.drive, options.image.c_str());
  return 0;
}
