// The one-shot run (run_mode=1) under Wine and on the host: the configuration is deleted, the program's own
// BootExecute entry goes while every other stays in its order, and the crash-dump settings the configuration backed
// up are written to CrashControl when that key exists (it is never created). Under Wine the registry is preset
// with `wine reg add` and read back with `wine reg export`; on the host it is a --registry file. Both are read
// with the same .reg reader.
#include <gtest/gtest.h>

#include <optional>

#include "HostBoot.h"
#include "WinePrefix.h"
#include "support/RegistryFile.h"

using testsupport::CommandResult;
using testsupport::RegistryFile;

namespace {

constexpr char kConfiguration[] = "\\??\\C:\\defrag.cfg";
constexpr char kOneShot[] =
    "<general>\r\nlog=0\r\nrun_mode=1\r\ncrash_dump_enabled_backup=7\r\nlog_event_backup=0\r\n</general>\r\n";
constexpr char kBootScreen[] = "Zenmoria Spindraxel\n-------------------\n-------------------\nComplete\n";
constexpr char kSessionManager[] = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr char kCrashControl[] = "HKLM\\System\\CurrentControlSet\\Control\\CrashControl";
constexpr char16_t kCrashControlPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";

const std::vector<std::string> kBootExecute{"autocheck autochk *", "sxboottime \\??\\C:\\defrag.cfg",
                                            "autocheck autochk /p \\??\\D:"};
const std::vector<std::string> kKept{"autocheck autochk *", "autocheck autochk /p \\??\\D:"};

// What a registry holds after the run, however it was read.
struct Outcome {
  std::vector<std::string> bootExecute;
  std::optional<uint32_t> crashDumpEnabled;
  std::optional<uint32_t> logEvent;
};

Outcome ReadOutcome(const RegistryFile& sessionManager, const RegistryFile& crashControl) {
  return {sessionManager.BootExecute(), crashControl.Dword(kCrashControlPath, u"CrashDumpEnabled"),
          crashControl.Dword(kCrashControlPath, u"LogEvent")};
}

class OneShotBoot : public winetest::WineTest, public testing::WithParamInterface<bool> {
 protected:
  bool CrashControlExists() const { return GetParam(); }

  void PresetWineRegistry() {
    std::string list;
    for (const std::string& entry : kBootExecute) list += (list.empty() ? "" : "\\0") + entry;
    ASSERT_EQ(0, wine()
                     .Wine({"reg", "add", kSessionManager, "/v", "BootExecute", "/t", "REG_MULTI_SZ", "/d", list, "/f"})
                     .exitStatus);
    wine().Wine({"reg", "delete", kCrashControl, "/f"});
    if (!CrashControlExists()) return;
    for (const char* name : {"CrashDumpEnabled", "LogEvent"}) {
      ASSERT_EQ(0,
                wine().Wine({"reg", "add", kCrashControl, "/v", name, "/t", "REG_DWORD", "/d", "1", "/f"}).exitStatus);
    }
  }

  std::string HostRegistryText() const {
    std::vector<std::string> lines{"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                                   "\"BootExecute\"=" + testsupport::MultiStringHex(kBootExecute)};
    if (CrashControlExists()) {
      lines.insert(lines.end(), {"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]",
                                 "\"CrashDumpEnabled\"=dword:00000001", "\"LogEvent\"=dword:00000001"});
    }
    return testsupport::RegText(lines);
  }
};

TEST_P(OneShotBoot, RemovesItsConfigurationAndEntryAndRestoresCrashControl) {
  RemoveFromDriveC("defrag.cfg");
  WriteDriveC("defrag.cfg", kOneShot);
  PresetWineRegistry();
  winetest::WineRun wine = this->wine().RunProgram("sxboottime.exe", kConfiguration);
  EXPECT_EQ(0, wine.exitStatus);
  EXPECT_EQ(kBootScreen, wine.screen) << wine.trace;
  EXPECT_FALSE(ExistsOnDriveC("defrag.cfg"));
  // An export of a missing key is empty; an empty registry stands for it.
  const std::string crashControl = this->wine().ExportKey(kCrashControl);
  EXPECT_EQ(CrashControlExists(), !crashControl.empty());
  const Outcome underWine = ReadOutcome(RegistryFile(this->wine().ExportKey(kSessionManager)),
                                        RegistryFile(crashControl.empty() ? testsupport::RegText({}) : crashControl));

  winetest::HostBoot host;
  ASSERT_TRUE(host.Put("defrag.cfg", kOneShot));
  RegistryFile hostRegistry(HostRegistryText());
  CommandResult hostBoot = host.Boot(kConfiguration, {"--registry", hostRegistry.Path()});
  EXPECT_EQ(0, hostBoot.exitStatus) << hostBoot.err;
  EXPECT_EQ(kBootScreen, hostBoot.out);
  EXPECT_FALSE(host.Exists("defrag.cfg"));
  const Outcome onHost = ReadOutcome(hostRegistry, hostRegistry);

  for (const auto& [platform, outcome] : {std::pair{"Wine", underWine}, std::pair{"host", onHost}}) {
    SCOPED_TRACE(platform);
    EXPECT_EQ(kKept, outcome.bootExecute);
    if (CrashControlExists()) {
      EXPECT_EQ(7u, outcome.crashDumpEnabled);
      EXPECT_EQ(0u, outcome.logEvent);
    } else {
      EXPECT_FALSE(outcome.crashDumpEnabled.has_value()) << "the key is not created";
      EXPECT_FALSE(outcome.logEvent.has_value());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CrashControl, OneShotBoot, testing::Bool(), [](const testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "KeyPresent" : "KeyAbsent");
});

}  // namespace
