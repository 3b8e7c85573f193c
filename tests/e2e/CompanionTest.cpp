// The Windows companion's commands on the host, over an image and a registry file: a run scheduled, booted and
// reported, the machine's own crash settings kept, and every refusal leaving the machine as it was.
#include <gtest/gtest.h>

#include "host/offline/ImageGenerator.h"
#include "support/CommandRunner.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using namespace testsupport;

namespace {

constexpr char16_t kCrashControl[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";
const std::vector<std::string> kBootExecute = {"autocheck autochk *", "other \\??\\C:\\x"};

class Companion : public testing::Test {
 protected:
  Companion()
      : registry_(RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                           "\"BootExecute\"=" + MultiStringHex(kBootExecute), "",
                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]",
                           "\"CrashDumpEnabled\"=dword:00000007", "\"LogEvent\"=dword:00000000"})) {}

  void SetUp() override {
    ASSERT_EQ(0, RunSpindraxel({"image", "fragment", image_.Path(), "--files", "2", "--size", "512K"}).exitStatus);
  }

  CommandResult Run(std::vector<std::string> args) {
    args.insert(args.end(), {"--drive", "C=" + image_.Path(), "--registry", registry_.Path()});
    return RunSpindraxel(args);
  }

  TestImage image_;
  RegistryFile registry_;
};

TEST_F(Companion, ScheduledRunDefragmentsAndStatusReportsItWithTheMachinesCrashSettingsKept) {
  const std::string content = image_.Ntfscat("/Fragmented/file01.bin");
  ASSERT_GT(image_.Fragments("/Fragmented/file01.bin").fragments, 1u);
  ASSERT_EQ(0, Run({"install"}).exitStatus);
  const CommandResult scheduled = Run({"schedule", "C:\\Fragmented\\file01.bin", "--check-integrity", "--report",
                                       "--one-shot"});
  ASSERT_EQ(0, scheduled.exitStatus) << scheduled.err;
  EXPECT_EQ((std::vector<std::string>{"autocheck autochk *", "sxboottime \\??\\C:\\spindraxel.cfg", "other \\??\\C:\\x"}),
            registry_.BootExecute());
  const std::string configuration = image_.Ntfscat("/spindraxel.cfg");
  EXPECT_NE(std::string::npos, configuration.find("log=3\r\nlog_dir=\\??\\C:\\spindraxel\\logs\\\r\n")) << configuration;
  EXPECT_NE(std::string::npos, configuration.find("crash_dump_enabled_backup=7\r\nlog_event_backup=0\r\n"));
  const CommandResult before = Run({"status"});
  EXPECT_NE(std::string::npos, before.out.find("A run is scheduled for the next boot: sxboottime \\??\\C:\\spindraxel.cfg\n"
                                               "  log level 3 into C:\\spindraxel\\logs\\, integrity check, fragment "
                                               "report, one-shot\n  C:\\Fragmented\\file01.bin\n"))
      << before.out;
  EXPECT_EQ(2, Run({"uninstall"}).exitStatus) << "a scheduled run needs the program";

  const CommandResult boot = RunSpindraxel({"boot", "--registry", registry_.Path(), "--drive", "C=" + image_.Path()});
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  const CommandResult after = Run({"status"});
  EXPECT_EQ(0, after.exitStatus) << after.err;
  EXPECT_NE(std::string::npos, after.out.find("No run is scheduled.\nLast run: C:\\spindraxel\\logs\\Spindraxel_native_"))
      << after.out;
  const std::string fragments = std::to_string(image_.Fragments("/Fragmented/file01.bin").fragments);
  EXPECT_NE(std::string::npos, after.out.find("(finished)\n  C:\\Fragmented\\file01.bin: "));
  EXPECT_NE(std::string::npos, after.out.find(" -> 1 fragments, done, integrity OK\n")) << after.out;
  EXPECT_EQ("1", fragments);
  EXPECT_TRUE(image_.Ntfscat("/Fragmented/file01.bin") == content);
  EXPECT_EQ(kBootExecute, registry_.BootExecute());
  EXPECT_EQ(7u, registry_.Dword(kCrashControl, u"CrashDumpEnabled"));
  EXPECT_EQ(0u, registry_.Dword(kCrashControl, u"LogEvent"));
  EXPECT_EQ(0, Run({"uninstall"}).exitStatus);

  // The same answers the offline analysis gives, through the file system's controls; the run's own log.
  const CommandResult file = RunSpindraxel({"analyze", "C:\\Fragmented\\file01.bin", "--drive", "C=" + image_.Path()});
  EXPECT_EQ("C:\\Fragmented\\file01.bin: 128 clusters in 1 fragment\n", file.out) << file.err;
  const CommandResult drive = RunSpindraxel({"analyze", "C:", "--top", "1", "--drive", "C=" + image_.Path()});
  EXPECT_NE(std::string::npos, drive.out.find("the most fragmented:\n  C:\\Fragmented\\file02.bin: 128 clusters in " +
                                              std::to_string(image_.Fragments("/Fragmented/file02.bin").fragments) +
                                              " fragments\n"))
      << drive.out << drive.err;
  EXPECT_NE(std::string::npos, Run({"log"}).out.find(" L1 Processing finished successfully...\n"));
}

// Schedule what cannot be, and nothing is written; a run scheduled and cancelled leaves the machine as it was.
TEST_F(Companion, RefusalsChangeNothingAndCancelTakesBackOnlyTheProgramsEntry) {
  const std::string registryBefore = registry_.Bytes();
  EXPECT_NE(std::string::npos, Run({"schedule", "C:\\Fragmented\\file01.bin"}).err.find("not installed"));
  ASSERT_EQ(0, Run({"install"}).exitStatus);
  const std::string installed = FileBytes(image_.Path());
  const struct {
    std::vector<std::string> args;
    const char* says;
  } refusals[] = {
      {{"schedule", "C:\\Fragmented\\none.bin"}, "Fragmented\\none.bin: 0xC0000034 (no such file)"},
      {{"schedule", "Fragmented\\file01.bin"}, "name the file with its drive"},
      {{"schedule", "C:\\Fragmented\\file01.bin", "D:\\x.bin"}, "D:\\x.bin: 0xC000003A (no such folder)"},
      {{"schedule", "C:\\Fragmented\\fil\xc3\xa9.bin"}, "fil\xc3\xa9.bin: cannot be named in a configuration: non-ASCII character at character 18"},
      {{"schedule", "C:\\Fragmented\\file01.bin", "--log-dir", "C:\\Fragmented\\file02.bin"}, "is a file"},
  };
  const TestImage other;  // its folder, as a drive that is not NTFS
  const std::string folder = other.Path().substr(0, other.Path().rfind('/'));
  const CommandResult notNtfs = Run({"schedule", "D:\\" + other.Path().substr(folder.size() + 1), "--drive", "D=" + folder});
  EXPECT_NE(std::string::npos, notNtfs.err.find(": on a HOSTFOLDER volume: the boot-time program defragments NTFS"))
      << notNtfs.err;
  for (const auto& refusal : refusals) {
    const CommandResult result = Run(refusal.args);
    EXPECT_EQ(2, result.exitStatus) << refusal.args[1];
    EXPECT_NE(std::string::npos, result.err.find(refusal.says)) << result.err;
  }
  EXPECT_TRUE(FileBytes(image_.Path()) == installed);
  EXPECT_EQ(registryBefore, registry_.Bytes());

  ASSERT_EQ(0, Run({"schedule", "C:\\Fragmented"}).exitStatus);
  EXPECT_NE(std::string::npos, image_.Ntfscat("/spindraxel.cfg").find("file02.bin")) << "a folder names its files";
  ASSERT_EQ(0, Run({"schedule", "--all-fragmented", "C:"}).exitStatus);
  EXPECT_NE(std::string::npos, image_.Ntfscat("/spindraxel.cfg")
                                   .find("path=\\??\\C:\\Fragmented\\file01.bin\r\nmode=defrag\r\n</file>\r\n<file>\r\n"
                                         "path=\\??\\C:\\Fragmented\\file02.bin\r\nmode=defrag\r\n</file>\r\n"));
  const CommandResult cancelled = Run({"cancel"});
  EXPECT_EQ(0, cancelled.exitStatus) << cancelled.err;
  EXPECT_EQ("Removed from BootExecute: sxboottime \\??\\C:\\spindraxel.cfg\nRemoved C:\\spindraxel.cfg\n", cancelled.out);
  EXPECT_EQ(kBootExecute, registry_.BootExecute());
  EXPECT_EQ("No run was scheduled.\n", Run({"cancel"}).out);
  EXPECT_EQ(0, Run({"uninstall"}).exitStatus);
}

}  // namespace
