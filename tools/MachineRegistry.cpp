#include "MachineRegistry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "BootExecute.h"
#include "cli/CommandLine.h"
#include "companion/Commands.h"
#include "host/ntdll/Host.h"
#include "host/ntdll/registry/Registry.h"
#include "host/ntdll/registry/RegistryKey.h"
#include "text/Utf.h"

namespace {

const std::string kSessionManagerPath[] = {"MACHINE", "SYSTEM", "CurrentControlSet", "Control", "Session Manager"};
constexpr const char* kDefaultBootEntry = "autocheck autochk *";
// What `install` puts in System32 without --program: the host's boot runs the program built into this command.
constexpr char kStandIn[] = "sxboottime stand-in: 'spindraxel boot' runs the boot-time program built into spindraxel\r\n";

}  // namespace

bool LoadMachineRegistry(const std::string& registryFile, std::string* error) {
  struct stat info;
  const bool exists = stat(registryFile.c_str(), &info) == 0;
  if (exists) return host::LoadRegistry(registryFile, error);
  host::ResetRegistry();
  host::BindRegistryFile(registryFile);
  std::lock_guard<std::mutex> guard(host::RegistryMutex());
  std::shared_ptr<host::RegistryKey> key = host::RegistryRootKey();
  bool created = false;
  for (const std::string& name : kSessionManagerPath) key = key->OpenOrCreateSubkey(text::Utf8ToUtf16(name), &created);
  key->SetValue(u"BootExecute", REG_MULTI_SZ, BootExecuteData({text::Utf8ToUtf16(kDefaultBootEntry)}));
  host::MarkRegistryChanged();
  return true;
}

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


int RunCompanionCommand(const std::string& command, const std::vector<std::string>& args) {
  std::vector<std::string> drives;
  std::string registryFile, program;
  companion::SPlatform platform;
  platform.usageOptions = "--drive C=IMAGE --registry FILE.reg";
  platform.addOptions = [&](CLI::App& app) {
    app.add_option("--drive", drives, "back a drive letter with an NTFS image or partition (repeatable)")
        ->option_text("C=IMAGE")
        ->required();
    CLI::Option* registry = app.add_option("--registry", registryFile, "the machine's registry (created when missing)")
                                ->option_text("FILE.reg");
    // Only what reads or changes the registry needs one.
    if (command != "analyze" && command != "log") registry->required();
    if (command == "install") {
      app.add_option("--program", program, "the sxboottime.exe to install (a stand-in by default)")->option_text("FILE");
    }
  };
  platform.begin = [&](std::string* error) {
    if (std::string why = registryFile.empty() ? "" : RegistryNotWritable(registryFile); !why.empty()) {
      *error = "--registry " + why;
      return false;
    }
    for (const std::string& drive : drives) {
      if (drive.size() < 3 || drive[1] != '=') {
        *error = "--drive " + drive + ": give a letter and an image, e.g. --drive C=disk.img";
        return false;
      }
      if (!host::MountDrive(drive[0], drive.substr(2), error)) {
        *error = "--drive " + drive + ": " + *error;
        host::UnmountAllDrives();
        return false;
      }
    }
    if (!registryFile.empty() && !LoadMachineRegistry(registryFile, error)) {
      host::UnmountAllDrives();
      return false;
    }
    return true;
  };
  platform.end = [&](std::string* error) {
    bool kept = registryFile.empty() || host::SaveRegistry(error);
    for (const std::string& failure : host::UnmountAllDrives()) {
      *error = failure;
      kept = false;
    }
    return kept;
  };
  platform.programBytes = [&](std::string* bytes, std::string* error) {
    if (program.empty()) {
      *bytes = kStandIn;
      return true;
    }
    FILE* file = std::fopen(program.c_str(), "rb");
    if (file == nullptr) {
      *error = "--program " + program + ": " + std::strerror(errno);
      return false;
    }
    char buffer[65536];
    bytes->clear();
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes->append(buffer, got);
    std::fclose(file);
    return true;
  };
  if (command == "install") return companion::RunInstallCommand(args, platform);
  if (command == "uninstall") return companion::RunUninstallCommand(args, platform);
  if (command == "schedule") return companion::RunScheduleCommand(args, platform);
  if (command == "status") return companion::RunStatusCommand(args, platform);
  if (command == "analyze") return companion::RunAnalyzeCommand(args, platform);
  if (command == "log") return companion::RunLogCommand(args, platform);
  return companion::RunCancelCommand(args, platform);
}
