// Whole boots of `spindraxel boot` on real NTFS images, one table row each: files, configuration and options in;
// boot screen, log lines and fragments out, and the images checked by independent tools. Then boots from a .reg
// file's BootExecute, and that file never left half-written however a run ends.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/ConfigSections.h"
#include "support/RandomBytes.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using namespace testsupport;

namespace {

const std::string kBanner = "Zenmoria Spindraxel\n-------------------\n";
const std::string kEnding = "-------------------\nComplete\n";
const std::string kTwoVolumes =
    kBanner + "Initialized Volume C:\nInitialized Volume D:\nStarting Defragmentation\n" + "-------------------\n";
// The command line spells the path in other cases than the file has: opens ignore case, as on Windows.
const std::string kCommandLine = "sxboottime \\??\\c:\\DEFRAG.cfg";

std::vector<std::string> With(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

struct FileSpec {
  char drive;
  const char* path;  // "Dir/File"
  size_t clusters;
  int fragments;
};

// Drives C: and D:, with files of random bytes that must come out of every boot unchanged: bytes no two files
// share by chance, so that a cluster moved into the wrong file or the wrong place shows.
struct Machine {
  TestImage c, d;
  std::map<std::string, std::string> contents;  // "C:/Dir/File" -> bytes

  TestImage& Drive(char letter) { return letter == 'C' ? c : d; }

  void Put(const std::vector<FileSpec>& files) {
    for (const FileSpec& file : files) {
      const std::string bytes =
          RandomBytes(file.clusters == 0 ? 0 : file.clusters * 4096 - 10, static_cast<unsigned>(contents.size() + 1));
      std::u16string name;
      for (const char* p = file.path; *p; ++p) name += *p == '/' ? u'\\' : static_cast<char16_t>(*p);
      TestImage& image = Drive(file.drive);
      ASSERT_TRUE(file.fragments > 1 ? image.PutFragmentedFile(name, bytes, file.fragments)
                                     : image.PutFile(name, bytes));
      contents[std::string{file.drive} + ":/" + file.path] = bytes;
    }
  }

  uint64_t Fragments(const std::string& file) { return Drive(file[0]).Fragments(file.substr(2)).fragments; }

  std::vector<std::string> BootArgs(const std::vector<std::string>& more, bool strict) const {
    return With({"boot", "--drive", "C=" + c.Path(), "--drive", "D=" + d.Path()},
                strict ? With({"--ntfs-strict"}, more) : more);
  }

  // What every boot leaves: both volumes consistent for our checker and ntfsfix, and every file's bytes but those
  // of `damaged` unchanged. (That nothing is moved into the MFT zone is the engine's tests' to show.)
  void ExpectIntact(const std::string& damaged = "") {
    for (TestImage* image : {&c, &d}) {
      EXPECT_TRUE(image->ClustersConsistent());
      EXPECT_EQ(0, image->RunNtfsfix().exitStatus);
    }
    for (const auto& [file, bytes] : contents)
      EXPECT_EQ(file != damaged, Drive(file[0]).Ntfscat(file.substr(2)) == bytes) << file;
  }
};

struct BootCase {
  const char* name;
  std::vector<FileSpec> files;
  std::string configuration;                                     // \defrag.cfg of C:; "" for none
  std::vector<std::string> options = {};                         // --fault, --keys
  std::string screen = "";                                       // "…" for any text
  std::vector<std::string> log = {};                             // in C:'s log in this order
  std::vector<std::pair<std::string, size_t>> logCounts = {};    // how often each text is in the log
  std::vector<std::pair<std::string, uint64_t>> fragments = {};  // of "C:/Dir/File" after the boot
  std::string damaged = "";                                      // the file a fault may change
  // The counts --ntfs-strict changes: clusters a move freed are no target until a flush (a volume is flushed only as
  // it is opened), so a later file's whole move into them is refused and all but its first fragment are gathered.
  std::map<std::string, uint64_t> strictFragments = {};
};
void PrintTo(const BootCase& given, std::ostream* out) { *out << given.name; }

// Each scenario runs again on an NTFS as strict as Windows' (--ntfs-strict), expecting the same but strictFragments.
template <typename Case>
std::string ScenarioName(const testing::TestParamInfo<std::tuple<Case, bool>>& info) {
  return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "OnStrictNtfs" : "");
}

// A file section for each of `paths` ("C:\\Dir\\File"), in that order.
std::string Sections(const std::vector<std::string>& paths) {
  std::string text;
  for (const std::string& path : paths) text += FileSection("\\??\\" + path);
  return text;
}

// Three files on C:, one on D:, each of one move.
const std::vector<FileSpec> kFourFiles{
    {'C', "one.bin", 40, 5}, {'C', "two.bin", 40, 5}, {'C', "three.bin", 40, 5}, {'D', "d.bin", 40, 5}};
const std::string kFourSections = GeneralSection({"log=1", "log_dir=\\??\\C:\\"}) +
                                  Sections({"C:\\one.bin", "C:\\two.bin", "C:\\three.bin", "D:\\d.bin"});

// clang-format off
const BootCase kBoots[] = {
    // The second open is the reader's own, after the one that checks the file is there.
    {"UnreadableConfigurationEndsTheRun", {}, GeneralSection({"log=0"}), {"--fault", "NtCreateFile#2=0xC0000022"},
     kBanner + "Failed to read configuration file. Quiting...."},
    {"VolumesInTurnEachOpenedOnceWhateverTheLetterCase",
     {{'C', "Data/scattered.bin", 201, 40}, {'C', "keep.bin", 30, 3}, {'D', "big.bin", 2000, 100},
      {'D', "keep.bin", 50, 5}},
     GeneralSection({"log=3", "log_dir=\\??\\C:\\", "dump_file_information=1"}) +
         Sections({"C:\\Data\\scattered.bin", "D:\\big.bin", "E:\\e.bin", "c:\\missing.bin", "C:"}) +
         FileSection("\\??\\C:\\keep.bin", {"mode=frag", "frag_count=4"}),
     {}, kTwoVolumes + "C:\\Data\\scattered.bin\nc:\\missing.bin\nD:\\big.bin\n" + kEnding,
     {" L1 File \"\\??\\C:\\Data\\scattered.bin:\", Clusters: 201, Fragments: 40",
      " L1 Failed to initialize volume \\??\\E:", " L1 Beginning defragmentation of \\??\\C:\\Data\\scattered.bin",
      " L1 Defragmentation finished (0x0)", " L1 Beginning defragmentation of \\??\\c:\\missing.bin",
      " L1 Defragmentation finished (0xc0000034)",
      " L1 File path: \\??\\C: is too short", " L1 Unknown operation (code 2)", " L1 Processing failed (0xc0000034)",
      " L1 File \"\\??\\C:\\Data\\scattered.bin:\", Clusters: 201, Fragments: 1",
      " L1 Beginning defragmentation of \\??\\D:\\big.bin", " L1 Processing finished successfully...",
      " L1 File \"\\??\\D:\\big.bin:\", Clusters: 2000, Fragments: 1"},
     {{" L1 Trying to obtain reserved zones\r\n", 3}, {" L1 Successfully flushed buffer for volume ", 2}},
     {{"C:/Data/scattered.bin", 1}, {"C:/keep.bin", 3}, {"D:/big.bin", 1}, {"D:/keep.bin", 5}}},
    // C:'s processing thread is the second thread made after the log writer.
    {"CancelledMoveStopsItsVolumeAndAThreadThatCannotStartFailsItsOwn", kFourFiles, kFourSections,
     {"--fault", "FSCTL_MOVE_FILE#2=0xC0000120", "--fault", "RtlCreateUserThread#3=0xC000009A"},
     kTwoVolumes + "C:\\one.bin\nC:\\two.bin\n" + kEnding,
     {" L1 Defragmentation finished (0xc0000120)", " L1 Failed to create processing thread (0xc000009a)",
      " L1 Processing failed (0xc000009a)"},
     {{"Beginning defragmentation of \\??\\C:\\three.bin", 0}},
     {{"C:/one.bin", 1}, {"C:/three.bin", 5}, {"D:/d.bin", 5}}},
    // The moves from the second on are b.bin's; c.bin is whole and never moved.
    {"IntegrityCheckCatchesTheFileADamagingMoveCorrupted",
     {{'C', "a.bin", 40, 4}, {'C', "b.bin", 40, 4}, {'C', "c.bin", 11, 1}, {'C', "empty.bin", 0, 1}},
     GeneralSection({"log=3", "log_dir=\\??\\C:\\", "check_file_integrity=1"}) +
         Sections({"C:\\a.bin", "C:\\b.bin", "C:\\c.bin", "C:\\empty.bin", "C:\\missing.bin"}),
     {"--fault", "FSCTL_MOVE_FILE#2+=corrupt"},
     kBanner + "Initialized Volume C:\nStarting Defragmentation\n…\nC:\\missing.bin\n" + kEnding, {},
     {{"\\??\\C:\\a.bin performed successfully. File is OK.\r\n", 1},
      {"\\??\\C:\\c.bin performed successfully. File is OK.\r\n", 1},
      {"\\??\\C:\\empty.bin performed successfully. File is OK.\r\n", 1}, {"File is OK.", 3},
      {" L1 Integrity check for file \\??\\C:\\b.bin failed. File appears to be corrupted!\r\n", 1},
      {" L3 Integrity check for file \\??\\C:\\missing.bin failed\r\n", 1}},
     {{"C:/a.bin", 1}, {"C:/b.bin", 1}}, "C:/b.bin", {{"C:/b.bin", 2}}},
    // Each move takes 400 ms; the key comes during the first. That move completes, the next file may be begun
    // and stops at the engine's first question, and D: is still processed.
    {"KeyPressAbortsTheVolumeBeingProcessedOnly", kFourFiles, kFourSections,
     {"--keys", "150:x", "--fault", "FSCTL_MOVE_FILE=delay:400"}, kBanner + "…\nAborting...\n…\nD:\\d.bin\n" + kEnding,
     {}, {{" L1 Processing aborted on user request\r\n", 1}, {" L1 Processing finished successfully...\r\n", 1},
          {"Beginning defragmentation of \\??\\C:\\three.bin", 0}},
     {{"C:/two.bin", 5}, {"C:/three.bin", 5}, {"D:/d.bin", 1}}},
    {"KeysWithoutACharacterDoNotAbort", kFourFiles, kFourSections,
     {"--keys", "100:esc,150:f1,200:left,250:tab", "--fault", "FSCTL_MOVE_FILE=delay:400"},
     kTwoVolumes + "C:\\one.bin\nC:\\two.bin\nC:\\three.bin\nD:\\d.bin\n" + kEnding, {}, {},
     {{"C:/one.bin", 1}, {"C:/two.bin", 1}, {"C:/three.bin", 1}, {"D:/d.bin", 1}}, "",
     {{"C:/two.bin", 2}, {"C:/three.bin", 2}}},
    // The key is read before the finished flag: one already waiting when a volume's work ends at once aborts it.
    {"KeyWaitingAsProcessingEndsAbortsTheVolume", {{'C', "whole.bin", 5, 1}}, GeneralSection({"log=0"}) +
     Sections({"C:\\whole.bin"}), {"--keys", "0:a"}, kBanner + "…\nAborting...\n…" + kEnding},
};
// clang-format on

class Boot : public testing::TestWithParam<std::tuple<BootCase, bool>> {};

TEST_P(Boot, ShowsLogsAndLeavesWhatTheCaseSays) {
  const auto& [given, strict] = GetParam();
  Machine machine;
  machine.Put(given.files);
  ASSERT_TRUE(given.configuration.empty() || machine.c.PutFile(u"defrag.cfg", given.configuration));
  const CommandResult boot = RunSpindraxel(machine.BootArgs(With(given.options, {"--", kCommandLine}), strict));

  EXPECT_EQ(0, boot.exitStatus) << "whatever the run did";
  EXPECT_TRUE(Matches(boot.out, given.screen));
  EXPECT_EQ("", boot.err) << "standard error is no terminal: no status line";
  const std::string log = BootLogOf(machine.c);
  std::string inOrder = "…";
  for (const std::string& line : given.log) inOrder += line + "…";
  EXPECT_TRUE(Matches(log, inOrder));
  for (const auto& [text, count] : given.logCounts) EXPECT_EQ(count, Occurrences(log, text)) << text << "\n" << log;
  std::map<std::string, uint64_t> fragments = strict ? given.strictFragments : std::map<std::string, uint64_t>{};
  fragments.insert(given.fragments.begin(), given.fragments.end());  // keeps the strict counts already there
  for (const auto& [file, count] : fragments) EXPECT_EQ(count, machine.Fragments(file)) << file;
  machine.ExpectIntact(given.damaged);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Boot, testing::Combine(testing::ValuesIn(kBoots), testing::Bool()),
                         ScenarioName<BootCase>);

// --stats: what the host counted of the run, for measuring it.
TEST(BootStats, CountTheClustersMovedAndEachNativeCall) {
  Machine machine;
  machine.Put({{'C', "a.bin", 40, 5}});
  ASSERT_TRUE(machine.c.PutFile(u"defrag.cfg", "<file>\r\npath=\\??\\C:\\a.bin\r\nmode=defrag\r\n</file>\r\n"));
  const std::string stats = machine.c.Path() + ".stats";
  const CommandResult boot = RunSpindraxel(machine.BootArgs({"--stats", stats, "--", kCommandLine}, false));
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  const nlohmann::json json = nlohmann::json::parse(FileBytes(stats), nullptr, false);
  std::remove(stats.c_str());
  ASSERT_FALSE(json.is_discarded());
  EXPECT_EQ(40u, json["clustersMoved"].get<uint64_t>()) << "the file's clusters, moved once";
  EXPECT_EQ(1u, json["calls"]["FSCTL_MOVE_FILE"].get<uint64_t>());
  EXPECT_GE(json["calls"]["NtReadFile"].get<uint64_t>(), 50u) << "the configuration is read a byte at a time";
  EXPECT_EQ(1u, machine.Fragments("C:/a.bin"));
}

const std::string kSessionManagerLine = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]";
constexpr char16_t kCrashControl[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";
// Two entries of the program: the second runs after the first, on the image and registry the first left.
const std::string kMachineRegistry =
    RegText({kSessionManagerLine,
             "\"BootExecute\"=" + MultiStringHex({"autocheck autochk *", "sxboottime \\??\\C:\\defrag.cfg",
                                                  "run other now", "SXBOOTTIME.EXE \\??\\C:\\defrag.cfg"}),
             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]",
             "\"CrashDumpEnabled\"=dword:00000000", "\"LogEvent\"=dword:00000000"});
const std::vector<std::string> kOneShot{"run_mode=1", "crash_dump_enabled_backup=7", "log_event_backup=3"};
const std::string kDefragmented =
    kBanner + "Initialized Volume C:\nStarting Defragmentation\n" + "-------------------\nC:\\a.bin\n" + kEnding;
const std::string kSkipped = "…'autocheck autochk *'…'run other now'…";
const std::string kDryRunLog = "…the log it wrote, C:\\…failed with result=0xc0000022…";

struct RegistryCase {
  const char* name;
  std::vector<std::string> general;  // the configuration's general settings; C:\a.bin, 5 fragments, follows
  std::vector<std::string> options;  // after --registry and --drive
  std::string screen;                // "…" for any text
  std::string err;
  bool cleanedUp;  // configuration deleted, the program's entries out of BootExecute, CrashControl restored
  uint64_t fragments;
};
void PrintTo(const RegistryCase& given, std::ostream* out) { *out << given.name; }

// clang-format off
const RegistryCase kRegistryBoots[] = {
    {"OneShotCleansUpAfterItself", With({"log=0"}, kOneShot), {}, kDefragmented, kSkipped, true, 1},
    {"OtherRunModesKeepEverythingAndEveryEntryRuns", {"log=0", "run_mode=2"}, {}, kDefragmented + kDefragmented,
     kSkipped, false, 1},
    {"CommandLineLeavesBootExecuteUnread", {"log=0"}, {"--", kCommandLine}, kDefragmented, "", false, 1},
    {"DryRunOfAOneShotChangesNoByte", With({"log=1", "log_dir=\\??\\C:\\Logs\\"}, kOneShot), {"--dry-run"},
     "…\nC:\\a.bin\n…", kDryRunLog, false, 5},
    {"DryRunWithIntegrityCheckChangesNoByte", {"log=1", "log_dir=\\??\\C:\\", "check_file_integrity=1"},
     {"--dry-run", "--", kCommandLine}, "…\nC:\\a.bin\n…", kDryRunLog, false, 5},
};
// clang-format on

class RegistryBoot : public testing::TestWithParam<std::tuple<RegistryCase, bool>> {};

TEST_P(RegistryBoot, RunsTheProgramsEntriesAndLeavesTheRegistryAsTheCaseSays) {
  const auto& [given, strict] = GetParam();
  Machine machine;
  machine.Put({{'C', "a.bin", 10, 5}});
  ASSERT_TRUE(machine.c.MakeDirectory(u"Logs"));
  ASSERT_TRUE(machine.c.PutFile(u"defrag.cfg", GeneralSection(given.general) + FileSection("\\??\\C:\\a.bin")));
  RegistryFile registry(kMachineRegistry);
  const std::string imageBefore = FileBytes(machine.c.Path());
  // A dry run copies the images into TMPDIR: a folder of the test's own shows that the copies go.
  const std::string temporary = std::filesystem::path(machine.c.Path()).parent_path().string() + "/tmp";
  const std::vector<std::string> args = machine.BootArgs(With({"--registry", registry.Path()}, given.options), strict);
  std::filesystem::create_directory(temporary);
  setenv("TMPDIR", temporary.c_str(), 1);
  const CommandResult boot = RunSpindraxel(args);
  unsetenv("TMPDIR");

  EXPECT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_TRUE(Matches(boot.out, given.screen));
  EXPECT_TRUE(Matches(boot.err, given.err));
  EXPECT_EQ(given.fragments, machine.Fragments("C:/a.bin"));
  const std::vector<std::string> names = NamesIn(machine.c);
  EXPECT_EQ(given.cleanedUp, std::find(names.begin(), names.end(), "defrag.cfg") == names.end());
  EXPECT_TRUE(std::filesystem::is_empty(temporary));
  if (given.cleanedUp) {
    EXPECT_EQ((std::vector<std::string>{"autocheck autochk *", "run other now", "SXBOOTTIME.EXE \\??\\C:\\defrag.cfg"}),
              registry.BootExecute());
    EXPECT_EQ(7u, registry.Dword(kCrashControl, u"CrashDumpEnabled"));
    EXPECT_EQ(3u, registry.Dword(kCrashControl, u"LogEvent"));
    EXPECT_EQ("", RunSpindraxel(args).out) << "the next boot finds nothing of the program's to do";
  } else {
    EXPECT_EQ(kMachineRegistry, registry.Bytes()) << "nothing changed, so nothing is written";
  }
  const bool dryRun = std::find(given.options.begin(), given.options.end(), "--dry-run") != given.options.end();
  EXPECT_EQ(dryRun, imageBefore == FileBytes(machine.c.Path())) << "unchanged by a dry run only";
  machine.ExpectIntact();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RegistryBoot, testing::Combine(testing::ValuesIn(kRegistryBoots), testing::Bool()),
                         ScenarioName<RegistryCase>);

TEST(RegistrySave, KilledRunLeavesTheOldFileOrTheNewOneNeverAMixture) {
  TestImage image;
  const std::vector<std::string> lines{kSessionManagerLine,
                                       "\"BootExecute\"=" + MultiStringHex({"sxboottime \\??\\C:\\missing.cfg"}),
                                       "[HKEY_USERS\\.DEFAULT]"};
  const std::string old = RegText(lines);
  std::string bytes = "00";
  for (int i = 1; i < 2000; ++i) bytes += ",5a";
  const std::vector<std::string> added{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]", "\"Big\"=hex:" + bytes};
  RegistryFile import(RegText(added)), registry(old);
  const std::string folder = std::filesystem::path(registry.Path()).parent_path().string() + "/";
  auto boot = [&](const std::vector<std::string>& more) {
    std::ofstream(registry.Path(), std::ios::binary | std::ios::trunc) << old;
    return SpindraxelArgv(With(
        {"boot", "--registry", registry.Path(), "--registry-import", import.Path(), "--drive", "C=" + image.Path()},
        more));
  };

  // The new file holds every value of the old one and of the import, in regedit's own form.
  ASSERT_EQ(0, RunCommand(boot({})).exitStatus);
  const std::string updated = registry.Bytes();
  EXPECT_EQ("\xFF\xFE", updated.substr(0, 2));
  ASSERT_TRUE(registry.Read());
  EXPECT_EQ(*RegistryFile(RegText(With(lines, added))).Read(), *registry.Read());

  // Killed (as the child goes out of scope) while the complete new file waits beside the old one: the save is
  // held there for a minute.
  {
    ChildProcess child(boot({"--fault", "NtFlushKey=delay:60000"}));
    auto complete = [&] {
      const std::vector<std::string> others = registry.OtherFiles();
      return std::any_of(others.begin(), others.end(), [&](auto& name) { return FileBytes(folder + name) == updated; });
    };
    for (int waited = 0; !complete() && waited < 30000; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(complete()) << "the new file never appeared beside the old one";
  }
  EXPECT_EQ(old, registry.Bytes());
  // Killed at moments spread before, during and after a save held for 600 ms.
  for (int killAfterMs = 0; killAfterMs <= 900; killAfterMs += 150) {
    {
      ChildProcess child(boot({"--fault", "NtFlushKey=delay:600"}));
      std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
    }
    const std::string now = registry.Bytes();
    EXPECT_TRUE(now == old || now == updated) << "killed after " << killAfterMs << " ms: " << now.size() << " bytes";
  }
}

}  // namespace
