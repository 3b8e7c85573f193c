#include "WinePrefix.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>
#include <sstream>

#include "text/Utf.h"
#include "support/TestImage.h"

namespace winetest {
namespace {

namespace fs = std::filesystem;
using testsupport::NtfsToolPath;  // finds any program in PATH, not only ntfs-3g's

constexpr int kProgramTimeoutSeconds = 60;
// Making the prefix runs wineboot, which takes 10 to 60 seconds.
constexpr int kPrefixTimeoutSeconds = 300;

// The recipe for a headless Wine: its prefix, only the ntdll errors in the trace (NtDisplayString is one), no
// Mono or Gecko installers, no display.
std::vector<std::string> WineCommand(const std::vector<std::string>& args) {
  // clang-format off
  std::vector<std::string> argv{"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "WINEPREFIX=" SX_WINE_PREFIX,
                                "WINEDEBUG=-all,err+ntdll", "WINEDLLOVERRIDES=mscoree,mshtml=", NtfsToolPath("wine")};
  // clang-format on
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The boot screen from Wine's trace, which shows each NtDisplayString call as one line,
//
//   0104:err:ntdll:NtDisplayString L"Zenmoria Spindraxel\n"
//
// with \n, \r, \t, \\ and \" escaped and any other character outside printable ASCII as a backslash and four hex
// digits. A text longer than the trace shows ends in "... after the closing quote.
void DecodeDisplayTrace(const std::string& trace, WineRun* run) {
  const std::string marker = ":err:ntdll:NtDisplayString L\"";
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    std::u16string text;
    bool closed = false;
    for (at += marker.size(); at < line.size() && !closed; ++at) {
      const char c = line[at], escaped = at + 1 < line.size() ? line[at + 1] : '\0';
      const size_t simple = std::string("nrt\\\"").find(escaped);
      if (c == '"') {
        closed = true;
        run->screenCut |= line.compare(at + 1, std::string::npos, "...") == 0;
      } else if (c != '\\') {
        text += static_cast<char16_t>(c);
      } else if (simple != std::string::npos) {
        text += u"\n\r\t\\\""[simple];
        ++at;
      } else if (at + 5 <= line.size() && std::all_of(&line[at + 1], &line[at + 5], isxdigit)) {
        text += static_cast<char16_t>(std::stoul(line.substr(at + 1, 4), nullptr, 16));
        at += 4;
      } else {
        break;
      }
    }
    run->screenCut |= !closed;
    run->screen += text::Utf16ToUtf8(text);
  }
}

}  // namespace

void WineTest::SetUp() {
  if (NtfsToolPath("wine").empty() || NtfsToolPath("wineserver").empty())
    GTEST_SKIP() << "Wine is not installed (apt-get install wine64 wine)";
  for (const char* program : {"sxboottime.exe", "sxconformance.exe"}) {
    const std::string path = std::string(SX_WINDOWS_BUILD_DIR) + "/" + program;
    if (!fs::exists(path)) GTEST_SKIP() << path << " is missing: the Windows build needs mingw-w64";
  }
  if (fs::exists(SX_WINE_PREFIX "/.spindraxel-wine-version")) return;
  const testsupport::CommandResult made =
      testsupport::RunCommand({SX_WINE_PREFIX_SCRIPT, "start", SX_WINE_PREFIX}, kPrefixTimeoutSeconds);
  ASSERT_EQ(0, made.exitStatus) << made.out << made.err;
}

std::string WineTest::DriveC(const std::string& name) { return SX_WINE_PREFIX "/drive_c/" + name; }

std::vector<std::string> WineTest::ListDriveC(const std::string& pattern) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(DriveC())) {
    const std::string name = entry.path().filename().string();
    if (std::regex_match(name, std::regex(pattern))) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

WineRun WineTest::RunProgram(const std::string& program, const std::string& argument) {
  fs::copy_file(std::string(SX_WINDOWS_BUILD_DIR) + "/" + program, DriveC(program),
                fs::copy_options::overwrite_existing);
  const testsupport::CommandResult result =
      testsupport::RunCommand(WineCommand({"C:\\" + program, argument}), kProgramTimeoutSeconds);
  WineRun run{result.exitStatus, "", false, result.err};
  DecodeDisplayTrace(result.err, &run);
  return run;
}

testsupport::CommandResult WineTest::RunCompanion(const std::vector<std::string>& args) {
  for (const char* program : {"spindraxel.exe", "sxboottime.exe"}) {
    fs::copy_file(std::string(SX_WINDOWS_BUILD_DIR) + "/" + program, DriveC(program),
                  fs::copy_options::overwrite_existing);
  }
  std::vector<std::string> command{"C:\\spindraxel.exe"};
  command.insert(command.end(), args.begin(), args.end());
  return testsupport::RunCommand(WineCommand(command), kProgramTimeoutSeconds);
}

testsupport::CommandResult WineTest::Wine(const std::vector<std::string>& args) {
  return testsupport::RunCommand(WineCommand(args), kProgramTimeoutSeconds);
}

std::string WineTest::ExportKey(const std::string& key) {
  const std::string name = "export-" + std::to_string(getpid()) + ".reg";
  fs::remove(DriveC(name));
  if (Wine({"reg", "export", key, "C:\\" + name, "/y"}).exitStatus != 0) return "";
  const std::string bytes = testsupport::FileBytes(DriveC(name));
  fs::remove(DriveC(name));
  return bytes;
}

}  // namespace winetest
