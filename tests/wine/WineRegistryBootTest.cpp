// The one-shot run (run_mode=1) under Wine and on the host: the configuration is deleted, the program's own
// BootExecute entry goes while every other stays in its order, and the crash-dump settings the configuration backed
// up are written to CrashControl when that key exists (it is never created). Under Wine the registry is preset
// with `wine reg add` and read back with `wine reg export`; on the host it is a --registry file. Both are read
// with the same .reg reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "WinePrefix.h"
#include "support/BootLog.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using testsupport::RegistryFile;

namespace {

constexpr char kOneShot[] =
    "<general>\r\nlog=0\r\nrun_mode=1\r\ncrash_dump_enabled_backup=7\r\nlog_event_backup=0\r\n</general>\r\n";
constexpr char kBootScreen[] = "Zenmoria Spindraxel\n-------------------\n-------------------\nComplete\n";
constexpr char kSessionManager[] = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr char kCrashControl[] = "HKLM\\System\\CurrentControlSet\\Control\\CrashControl";
constexpr char16_t kCrashControlPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";

const std::vector<std::string> kBootExecute{"autocheck autochk *", "sxboottime \\??\\C:\\defrag.cfg",
                                            "autocheck autochk /p \\??\\D:"};

class OneShotBoot : public winetest::WineTest, public testing::WithParamInterface<bool> {};

TEST_P(OneShotBoot, RemovesItsConfigurationAndEntryAndRestoresCrashControl) {
  const bool crashControlExists = GetParam();
  // What a registry holds after the run, however it was read.
  auto expectOutcome = [&](const char* platform, const RegistryFile& sessionManager, const RegistryFile& crashControl) {
    SCOPED_TRACE(platform);
    EXPECT_EQ((std::vector<std::string>{kBootExecute[0], kBootExecute[2]}), sessionManager.BootExecute());
    const std::optional<uint32_t> none;
    EXPECT_EQ(crashControlExists ? 7u : none, crashControl.Dword(kCrashControlPath, u"CrashDumpEnabled"));
    EXPECT_EQ(crashControlExists ? 0u : none, crashControl.Dword(kCrashControlPath, u"LogEvent"));
  };
  std::string list;
  for (const std::string& entry : kBootExecute) list += (list.empty() ? "" : "\\0") + entry;
  ASSERT_EQ(
      0, Wine({"reg", "add", kSessionManager, "/v", "BootExecute", "/t", "REG_MULTI_SZ", "/d", list, "/f"}).exitStatus);
  Wine({"reg", "delete", kCrashControl, "/f"});
  std::vector<std::string> hostLines{"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                                     "\"BootExecute\"=" + testsupport::MultiStringHex(kBootExecute)};
  if (crashControlExists) {
    hostLines.push_back("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]");
    for (const char* name : {"CrashDumpEnabled", "LogEvent"}) {
      ASSERT_EQ(0, Wine({"reg", "add", kCrashControl, "/v", name, "/t", "REG_DWORD", "/d", "1", "/f"}).exitStatus);
      hostLines.push_back("\"" + std::string(name) + "\"=dword:00000001");
    }
  }
  std::ofstream(DriveC("defrag.cfg"), std::ios::binary | std::ios::trunc) << kOneShot;
  const winetest::WineRun wine = RunProgram("sxboottime.exe", "\\??\\C:\\defrag.cfg");
  EXPECT_EQ(0, wine.exitStatus);
  EXPECT_EQ(kBootScreen, wine.screen) << wine.trace;
  EXPECT_FALSE(std::filesystem::exists(DriveC("defrag.cfg")));
  // An export of a missing key is empty; an empty registry stands for it.
  const std::string crashControl = ExportKey(kCrashControl);
  EXPECT_EQ(crashControlExists, !crashControl.empty());
  expectOutcome("Wine", RegistryFile(ExportKey(kSessionManager)),
                RegistryFile(crashControl.empty() ? testsupport::RegText({}) : crashControl));

  testsupport::TestImage host;
  ASSERT_TRUE(host.PutFile(u"defrag.cfg", kOneShot));
  RegistryFile hostRegistry(testsupport::RegText(hostLines));
  const testsupport::CommandResult hostBoot =
      testsupport::RunSpindraxel({"boot", "--registry", hostRegistry.Path(), "--drive", "C=" + host.Path(), "--",
                                  "sxboottime \\??\\C:\\defrag.cfg"});
  EXPECT_EQ(0, hostBoot.exitStatus) << hostBoot.err;
  EXPECT_EQ(kBootScreen, hostBoot.out);
  EXPECT_EQ(std::vector<std::string>{}, testsupport::NamesIn(host)) << "the configuration is deleted";

  expectOutcome("host", hostRegistry, hostRegistry);
}

INSTANTIATE_TEST_SUITE_P(CrashControl, OneShotBoot, testing::Bool(), [](const testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "KeyPresent" : "KeyAbsent");
});

}  // namespace
