// Boots under Wine, an independent implementation of the native API, and the same boots on the host platform:
// each configuration gives the same boot screen, exit status and log lines (time stamps aside) on both, and what
// each gives is also pinned here. Wine has no file-system controls and no keyboard; the scenarios are chosen where
// the host agrees (no keyboard there either without --keys, and an absent drive rather than C:), except one: a
// volume that initialises on the host only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>

#include "WinePrefix.h"
#include "support/BootLog.h"
#include "support/ConfigSections.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

namespace {

using testsupport::FileSection;
using testsupport::GeneralSection;
using testsupport::RegistryFile;
using testsupport::Section;

constexpr char kBootScreen[] = "Zenmoria Spindraxel\n-------------------\n-------------------\nComplete\n";
constexpr char kDefragScreen[] =
    "Zenmoria Spindraxel\n-------------------\nStarting Defragmentation\n-------------------\n-------------------\n"
    "Complete\n";
constexpr char kNoFactory[] = "CConfigElementManager::AddConfigElement L1 No suitable factory found for config section";
const std::string kLogName = R"(Spindraxel_native_\d{4}_\d\d_\d\d__\d\d_\d\d_\d\d\.txt)";

// `before`, what twenty keyboard class devices that are not there leave in the log, then `after`.
std::vector<std::string> AroundKeyboardLines(std::vector<std::string> lines, const std::vector<std::string>& after) {
  for (int number = 0; number < 20; ++number) {
    lines.push_back("CKeyboardHandler::OpenKeyboard L1 \nCan't open the keyboard \\Device\\KeyboardClass" +
                    std::to_string(number) + ": 0xc0000034");
  }
  lines.insert(lines.end(), after.begin(), after.end());
  return lines;
}

// A log line begins "[YYYY-MM-DD] [HH:MM:SS.mmm] Function#line L1 ": the time stamps differ from run to run, and
// the scenarios are written without the source lines.
const std::regex kTimeStamps(R"(\[\d{4}-\d\d-\d\d\] \[\d\d:\d\d:\d\d\.\d{3}\] )");
const std::regex kSourceLine(R"(#\d+ (L[13] ))");

const std::string kLogToC = GeneralSection({"log=1", "log_dir=\\??\\C:\\"});

struct Scenario {
  const char* name;
  std::optional<std::string> configuration;  // none: no configuration file at all
  const char* screen;
  std::vector<std::string> log;  // Wine's, as WithoutSourceLines gives it, "…" for any text; empty: no log file
  const char* hostScreen;        // null: the same as Wine's, and the same log; else the logs part at the volume
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const Scenario kScenarios[] = {
    {"MissingConfiguration", std::nullopt, "", {}, nullptr},
    {"LevelZeroMakesNoLog", GeneralSection({"log=0", "log_dir=\\??\\C:\\"}), kBootScreen, {}, nullptr},
    // Both unknown sections come before the general section opens the log: their lines wait in the queue.
    {"UnknownSectionsAndKeyboardsThatAreNotThere",
     Section("unknown", {"key=value"}) + GeneralSection({"log=3", "log_dir=\\??\\C:\\"}) + Section("General", {}),
     kBootScreen, AroundKeyboardLines({kNoFactory, kNoFactory}, {}), nullptr},
    // No drive Q: on either platform: the open fails and both controls are refused on the null handle.
    {"VolumeThatIsNotThere", kLogToC + FileSection("\\??\\Q:\\data.bin"), kDefragScreen,
     AroundKeyboardLines({}, {"CVolume::GetVolumeInfo L1 Trying to obtain reserved zones",
                              "CVolume::GetVolumeInfo L1 Failed to get volume info (code: 0xc0000008, handle=0x0)",
                              "NativeMain L1 Failed to initialize volume \\??\\Q:"}),
     nullptr},
    // Wine refuses the NTFS controls (STATUS_NOT_SUPPORTED), so C: does not initialise there and the run goes on
    // to its end; the host initialises it and defragments.
    {"VolumeThatOnlyTheHostInitialises", kLogToC + FileSection("\\??\\C:\\data.bin"), kDefragScreen,
     AroundKeyboardLines({}, {"CVolume::GetVolumeInfo L1 Trying to obtain reserved zones",
                              "CVolume::GetVolumeInfo L1 Failed to get volume info (code: 0xc00000bb, handle=0x…)",
                              "NativeMain L1 Failed to initialize volume \\??\\C:"}),
     "Zenmoria Spindraxel\n-------------------\nInitialized Volume C:\nStarting Defragmentation\n"
     "-------------------\nC:\\data.bin\n-------------------\nComplete\n"},
};

class BootOnBothPlatforms : public winetest::WineTest, public testing::WithParamInterface<Scenario> {};

TEST_P(BootOnBothPlatforms, GiveTheSameScreenAndLogLines) {
  const Scenario& given = GetParam();
  for (const std::string& name : ListDriveC(kLogName + R"(|defrag\.cfg|data\.bin)"))
    std::filesystem::remove(DriveC(name));
  testsupport::TestImage host;
  if (given.configuration) {
    std::ofstream(DriveC("defrag.cfg"), std::ios::binary) << *given.configuration;
    ASSERT_TRUE(host.PutFile(u"defrag.cfg", *given.configuration));
  }
  std::ofstream(DriveC("data.bin"), std::ios::binary) << std::string(10000, 'x');
  ASSERT_TRUE(host.PutFile(u"data.bin", std::string(10000, 'x')));

  const winetest::WineRun wine = RunProgram("sxboottime.exe", "\\??\\C:\\defrag.cfg");
  const testsupport::CommandResult hostBoot =
      testsupport::RunSpindraxel({"boot", "--drive", "C=" + host.Path(), "--", "sxboottime \\??\\C:\\defrag.cfg"});
  ASSERT_EQ(0, wine.exitStatus) << wine.trace;
  EXPECT_FALSE(wine.screenCut) << wine.trace;
  EXPECT_EQ(0, hostBoot.exitStatus) << hostBoot.err;
  EXPECT_EQ(given.screen, wine.screen) << wine.trace;
  EXPECT_EQ(given.hostScreen != nullptr ? given.hostScreen : given.screen, hostBoot.out);

  const std::vector<std::string> wineLogs = ListDriveC(kLogName);
  std::string hostLogName;
  const std::string hostLog = std::regex_replace(testsupport::BootLogOf(host, &hostLogName), kTimeStamps, "");
  ASSERT_EQ(given.log.empty() ? 0u : 1u, wineLogs.size());
  EXPECT_EQ(given.log.empty(), hostLogName.empty());
  if (given.log.empty()) return;
  EXPECT_TRUE(std::regex_match(hostLogName, std::regex(kLogName))) << hostLogName;
  const std::string wineLog = std::regex_replace(testsupport::FileBytes(DriveC(wineLogs[0])), kTimeStamps, "");
  std::string expected;
  for (const std::string& line : given.log) expected += line + "\r\n";
  EXPECT_TRUE(testsupport::Matches(std::regex_replace(wineLog, kSourceLine, " $1"), expected));
  // Where only the host initialises the volume, the logs part at Wine's last two lines.
  size_t shared = wineLog.size();
  for (int line = 0; given.hostScreen != nullptr && line < 3; ++line) shared = wineLog.rfind("\r\n", shared - 1);
  shared = std::min(shared + 2, wineLog.size());
  EXPECT_EQ(wineLog.substr(0, shared), given.hostScreen != nullptr ? hostLog.substr(0, shared) : hostLog);
}

INSTANTIATE_TEST_SUITE_P(Configurations, BootOnBothPlatforms, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// The one-shot run (run_mode=1) under Wine and on the host: the configuration is deleted, the program's own
// BootExecute entry goes while every other stays in its order, and the crash-dump settings the configuration backed
// up are written to CrashControl when that key exists (it is never created). Under Wine the registry is preset
// with `wine reg add` and read back with `wine reg export`; on the host it is a --registry file. Both are read
// with the same .reg reader.
constexpr char kOneShot[] =
    "<general>\r\nlog=0\r\nrun_mode=1\r\ncrash_dump_enabled_backup=7\r\nlog_event_backup=0\r\n</general>\r\n";
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
