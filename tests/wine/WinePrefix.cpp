#include "WinePrefix.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "DisplayTrace.h"

namespace winetest {
namespace {

namespace fs = std::filesystem;

constexpr int kProgramTimeoutSeconds = 60;
// Making the prefix runs wineboot, which takes 10 to 60 seconds.
constexpr int kPrefixTimeoutSeconds = 300;

// The full path of `name` in PATH; "" when there is none.
std::string FindProgram(const std::string& name) {
  std::istringstream directories(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = directory + "/" + name;
    if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The recipe for a headless Wine: its prefix, only the ntdll errors in the trace (NtDisplayString is one), no
// Mono or Gecko installers, no display.
std::vector<std::string> WineEnvironment() {
  return {"/usr/bin/env",
          "-u",
          "DISPLAY",
          "-u",
          "WAYLAND_DISPLAY",
          "WINEPREFIX=" SX_WINE_PREFIX,
          "WINEDEBUG=-all,err+ntdll",
          "WINEDLLOVERRIDES=mscoree,mshtml="};
}

}  // namespace

std::string WinePrefix::Unavailable() {
  if (FindProgram("wine").empty() || FindProgram("wineserver").empty()) {
    return "Wine is not installed (apt-get install wine64 wine)";
  }
  for (const char* program : {"sxboottime.exe", "sxconformance.exe"}) {
    const std::string path = std::string(SX_WINDOWS_BUILD_DIR) + "/" + program;
    if (!fs::exists(path)) return path + " is missing: the Windows build needs mingw-w64";
  }
  return "";
}

bool WinePrefix::Ensure(std::string* error) const {
  if (fs::exists(Path() + "/.spindraxel-wine-version")) return true;
  testsupport::CommandResult made =
      testsupport::RunCommand({SX_WINE_PREFIX_SCRIPT, "start", Path()}, kPrefixTimeoutSeconds);
  *error = made.out + made.err;
  return made.exitStatus == 0;
}

std::string WinePrefix::Path() const { return SX_WINE_PREFIX; }

std::string WinePrefix::DriveC() const { return Path() + "/drive_c"; }

WineRun WinePrefix::RunProgram(const std::string& program, const std::string& argument) const {
  fs::copy_file(std::string(SX_WINDOWS_BUILD_DIR) + "/" + program, DriveC() + "/" + program,
                fs::copy_options::overwrite_existing);
  std::vector<std::string> argv = WineEnvironment();
  argv.insert(argv.end(), {FindProgram("wine"), "C:\\" + program, argument});
  testsupport::CommandResult result = testsupport::RunCommand(argv, kProgramTimeoutSeconds);
  DisplayTrace trace = DecodeDisplayTrace(result.err);
  return WineRun{result.exitStatus, result.timedOut, trace.screen, trace.cut, result.err};
}

testsupport::CommandResult WinePrefix::Wine(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = WineEnvironment();
  argv.push_back(FindProgram("wine"));
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::RunCommand(argv, kProgramTimeoutSeconds);
}

std::string WinePrefix::ExportKey(const std::string& key) const {
  const std::string name = "export-" + std::to_string(getpid()) + ".reg";
  fs::remove(DriveC() + "/" + name);
  if (Wine({"reg", "export", key, "C:\\" + name, "/y"}).exitStatus != 0) return "";
  std::string bytes = ReadFile(DriveC() + "/" + name);
  fs::remove(DriveC() + "/" + name);
  return bytes;
}

void WineTest::SetUp() {
  const std::string reason = WinePrefix::Unavailable();
  if (!reason.empty()) GTEST_SKIP() << reason;
  std::string error;
  ASSERT_TRUE(wine_.Ensure(&error)) << error;
}

void WineTest::WriteDriveC(const std::string& name, const std::string& bytes) const {
  const fs::path path = wine_.DriveC() + "/" + name;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string WineTest::ReadDriveC(const std::string& name) const { return ReadFile(wine_.DriveC() + "/" + name); }

bool WineTest::ExistsOnDriveC(const std::string& name) const { return fs::exists(wine_.DriveC() + "/" + name); }

std::vector<std::string> WineTest::ListDriveC(const std::string& pattern, const std::string& directory) const {
  std::vector<std::string> names;
  const std::regex match(pattern);
  for (const auto& entry : fs::directory_iterator(wine_.DriveC() + "/" + directory)) {
    const std::string name = entry.path().filename().string();
    if (std::regex_match(name, match)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void WineTest::RemoveFromDriveC(const std::string& name) const { fs::remove_all(wine_.DriveC() + "/" + name); }

}  // namespace winetest
