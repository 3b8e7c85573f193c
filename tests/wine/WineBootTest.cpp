// Boots under Wine, an independent implementation of the native API, and the same boots on the host platform:
// each configuration gives the same boot screen, exit status and log lines (time stamps aside) on both, and
// what each gives is also pinned here. Wine has no file-system controls and no keyboard; the scenarios are chosen
// where the host agrees (no keyboard there either without --keys, and an absent drive rather than C:), and the
// one place the platforms must differ, a volume that initialises, is a test of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <regex>

#include "HostBoot.h"
#include "LogLines.h"
#include "WinePrefix.h"

using testsupport::CommandResult;
using winetest::HostBoot;
using winetest::WineRun;

namespace {

constexpr char kConfiguration[] = "\\??\\C:\\defrag.cfg";
constexpr char kBootScreen[] = "Zenmoria Spindraxel\n-------------------\n-------------------\nComplete\n";
constexpr char kDefragScreen[] =
    "Zenmoria Spindraxel\n-------------------\nStarting Defragmentation\n-------------------\n-------------------\n"
    "Complete\n";
constexpr char kGeneral[] = "<general>\r\nlog=3\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n";
constexpr char kNoFactory[] = "CConfigElementManager::AddConfigElement L1 No suitable factory found for config section";
const std::regex kLogName(R"(Spindraxel_native_(\d{4})_(\d\d)_(\d\d)__(\d\d)_(\d\d)_(\d\d)\.txt)");

// What twenty keyboard class devices that are not there leave in the log.
std::vector<std::string> KeyboardLines() {
  std::vector<std::string> lines;
  for (int number = 0; number < 20; ++number) {
    lines.push_back("CKeyboardHandler::OpenKeyboard L1 \nCan't open the keyboard \\Device\\KeyboardClass" +
                    std::to_string(number) + ": 0xc0000034");
  }
  return lines;
}

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// UTC seconds since 1970 of a log file name's time stamp.
time_t NameTime(const std::smatch& stamp) {
  std::tm fields{};
  fields.tm_year = std::stoi(stamp[1]) - 1900;
  fields.tm_mon = std::stoi(stamp[2]) - 1;
  fields.tm_mday = std::stoi(stamp[3]);
  fields.tm_hour = std::stoi(stamp[4]);
  fields.tm_min = std::stoi(stamp[5]);
  fields.tm_sec = std::stoi(stamp[6]);
  return timegm(&fields);
}

struct Scenario {
  const char* name;
  const char* configuration;  // null: no configuration file at all
  const char* screen;
  std::vector<std::string> log;  // without time stamps and source lines; empty: no log file
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class WineBoot : public winetest::WineTest {
 protected:
  void SetUp() override {
    WineTest::SetUp();
    if (IsSkipped()) return;
    for (const std::string& name : ListDriveC(R"(Spindraxel_native_.*\.txt|defrag\.cfg|data\.bin)")) {
      RemoveFromDriveC(name);
    }
  }

  // The run under Wine, with the log it left (and the log's name) when there is one.
  WineRun BootUnderWine(std::string* log, std::string* logName) {
    WineRun run = wine().RunProgram("sxboottime.exe", kConfiguration);
    std::vector<std::string> logs = ListDriveC(R"(Spindraxel_native_.*\.txt)");
    EXPECT_LE(logs.size(), 1u);
    *logName = logs.empty() ? "" : logs[0];
    *log = logs.empty() ? "" : ReadDriveC(logs[0]);
    return run;
  }
};

class BootOnBothPlatforms : public WineBoot, public testing::WithParamInterface<Scenario> {};

TEST_P(BootOnBothPlatforms, GiveTheSameScreenAndLogLines) {
  const Scenario& scenario = GetParam();
  if (scenario.configuration != nullptr) WriteDriveC("defrag.cfg", scenario.configuration);
  const time_t before = std::time(nullptr);
  std::string wineLog, wineLogName;
  WineRun wine = BootUnderWine(&wineLog, &wineLogName);
  const time_t after = std::time(nullptr);
  ASSERT_FALSE(wine.timedOut) << wine.trace;
  EXPECT_FALSE(wine.screenCut) << wine.trace;

  HostBoot host;
  if (scenario.configuration != nullptr) {
    ASSERT_TRUE(host.Put("defrag.cfg", scenario.configuration));
  }
  CommandResult hostBoot = host.Boot(kConfiguration);
  std::string hostLogName;
  const std::string hostLog = host.Log(&hostLogName);

  EXPECT_EQ(0, wine.exitStatus) << wine.trace;
  EXPECT_EQ(0, hostBoot.exitStatus) << hostBoot.err;
  EXPECT_EQ(scenario.screen, wine.screen) << wine.trace;
  EXPECT_EQ(scenario.screen, hostBoot.out);

  if (scenario.log.empty()) {
    EXPECT_EQ("", wineLogName);
    EXPECT_EQ("", hostLogName);
    return;
  }
  std::smatch stamp;
  ASSERT_TRUE(std::regex_match(wineLogName, stamp, kLogName)) << wineLogName;
  EXPECT_GE(NameTime(stamp), before - 1) << "the name holds the UTC time the log was made";
  EXPECT_LE(NameTime(stamp), after + 1);
  EXPECT_TRUE(std::regex_match(hostLogName, kLogName)) << hostLogName;

  std::vector<std::string> wineLines, hostLines;
  ASSERT_TRUE(winetest::SplitLogLines(wineLog, &wineLines));
  ASSERT_TRUE(winetest::SplitLogLines(hostLog, &hostLines));
  EXPECT_EQ(scenario.log, winetest::WithoutSourceLines(wineLines));
  EXPECT_EQ(wineLines, hostLines) << "source lines included";
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, BootOnBothPlatforms,
    testing::Values(
        Scenario{"MissingConfiguration", nullptr, "", {}},
        Scenario{"BannerAndComplete", "<general>\r\nlog=0\r\n</general>\r\n", kBootScreen, {}},
        Scenario{"LevelZeroMakesNoLog", "<general>\r\nlog=0\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n", kBootScreen, {}},
        Scenario{"KeyboardsThatAreNotThere", kGeneral, kBootScreen, KeyboardLines()},
        // Both unknown sections are met before the general section opens the log: their lines wait in the queue.
        Scenario{"UnknownSections",
                 "<unknown>\r\nkey=value\r\n</unknown>\r\n<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n"
                 "<General>\r\n</General>\r\n",
                 kBootScreen, Joined({kNoFactory, kNoFactory}, KeyboardLines())},
        // No drive Q: on either platform: the open fails and both controls are refused on the null handle.
        Scenario{"VolumeThatIsNotThere",
                 "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n"
                 "<file>\r\npath=\\??\\Q:\\data.bin\r\n</file>\r\n",
                 kDefragScreen,
                 Joined(KeyboardLines(),
                        {"CVolume::GetVolumeInfo L1 Trying to obtain reserved zones",
                         "CVolume::GetVolumeInfo L1 Failed to get volume info (code: 0xc0000008, handle=0x0)",
                         "NativeMain L1 Failed to initialize volume \\??\\Q:"})}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

class VolumeControls : public WineBoot {};

// The documented difference: Wine refuses the NTFS controls (STATUS_NOT_SUPPORTED), so drive C: does not
// initialise there and the run goes on to its end; the host initialises it and defragments. The lines before the
// volume is asked for its data agree.
TEST_F(VolumeControls, WineRefusesThemAndTheRunStillCompletes) {
  const std::string configuration =
      "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n<file>\r\npath=\\??\\C:\\data.bin\r\n</file>\r\n";
  WriteDriveC("defrag.cfg", configuration);
  WriteDriveC("data.bin", std::string(10000, 'x'));
  std::string wineLog, wineLogName;
  WineRun wine = BootUnderWine(&wineLog, &wineLogName);
  EXPECT_EQ(0, wine.exitStatus);
  EXPECT_EQ(kDefragScreen, wine.screen) << wine.trace;
  std::vector<std::string> wineLines;
  ASSERT_TRUE(winetest::SplitLogLines(wineLog, &wineLines));
  ASSERT_EQ(23u, wineLines.size()) << testing::PrintToString(wineLines);
  EXPECT_EQ("CVolume::GetVolumeInfo L1 Trying to obtain reserved zones", winetest::WithoutSourceLine(wineLines[20]));
  EXPECT_TRUE(std::regex_match(winetest::WithoutSourceLine(wineLines[21]),
                               std::regex(R"(CVolume::GetVolumeInfo L1 Failed to get volume info \(code: 0xc00000bb, )"
                                          R"(handle=0x[0-9a-f]+\))")))
      << wineLines[21];
  EXPECT_EQ("NativeMain L1 Failed to initialize volume \\??\\C:", winetest::WithoutSourceLine(wineLines[22]));

  HostBoot host;
  ASSERT_TRUE(host.Put("defrag.cfg", configuration));
  ASSERT_TRUE(host.Put("data.bin", std::string(10000, 'x')));
  CommandResult hostBoot = host.Boot(kConfiguration);
  EXPECT_EQ(0, hostBoot.exitStatus);
  EXPECT_NE(std::string::npos, hostBoot.out.find("Initialized Volume C:\n")) << hostBoot.out;
  std::vector<std::string> hostLines;
  ASSERT_TRUE(winetest::SplitLogLines(host.Log(), &hostLines));
  ASSERT_GE(hostLines.size(), 21u);
  EXPECT_EQ(std::vector<std::string>(wineLines.begin(), wineLines.begin() + 21),
            std::vector<std::string>(hostLines.begin(), hostLines.begin() + 21));
}

}  // namespace
