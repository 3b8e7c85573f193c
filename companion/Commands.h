// The companion's commands (install, uninstall, schedule, cancel, status, analyze, log), parsed and answered the
// same way in spindraxel.exe on Windows and in the host's command line, where `platform` adds the drives and the
// registry file that stand in for the machine.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace companion {

struct SPlatform {
  std::string usageOptions;                      // the platform's own options in the synopsis ("--drive C=IMAGE ...")
  std::function<void(CLI::App&)> addOptions;     // defines them
  std::function<bool(std::string*)> begin;       // after parsing: the machine ready to be read and changed
  std::function<bool(std::string*)> end;         // after the command: what it changed made to last
  // The bytes of the boot-time program to install, or false with why not.
  std::function<bool(std::string* bytes, std::string* error)> programBytes;
};

int RunInstallCommand(const std::vector<std::string>& args, const SPlatform& platform);
int RunUninstallCommand(const std::vector<std::string>& args, const SPlatform& platform);
int RunScheduleCommand(const std::vector<std::string>& args, const SPlatform& platform);
int RunCancelCommand(const std::vector<std::string>& args, const SPlatform& platform);
int RunStatusCommand(const std::vector<std::string>& args, const SPlatform& platform);
int RunAnalyzeCommand(const std::vector<std::string>& args, const SPlatform& platform);
int RunLogCommand(const std::vector<std::string>& args, const SPlatform& platform);

// "C:\Data\big.bin" (or with '/') as a native path, "\??\C:\Data\big.bin"; empty for a path without a drive letter.
std::u16string NativePathOf(const std::u16string& path);

}  // namespace companion
