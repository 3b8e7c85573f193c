// Boots with `spindraxel boot --registry`: the file refused before anything runs when it is malformed, the
// Session Manager's pass over BootExecute, and a file that holds every value afterwards and is never left
// half-written, however the run ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "host/ntdll/registry/RegFile.h"
#include "support/CommandRunner.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using testsupport::CommandResult;
using testsupport::MultiStringHex;
using testsupport::RegistryFile;
using testsupport::RegText;
using testsupport::RunSpindraxel;
using testsupport::TestImage;

namespace {

constexpr const char* kBootScreen = "Zenmoria Spindraxel\n-------------------\n-------------------\nComplete\n";
const std::string kSessionManagerLine = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]";

std::string BootExecuteFile(const std::vector<std::string>& entries, const std::vector<std::string>& more = {}) {
  std::vector<std::string> lines{kSessionManagerLine, "\"BootExecute\"=" + MultiStringHex(entries)};
  lines.insert(lines.end(), more.begin(), more.end());
  return RegText(lines);
}

class RegistryBoot : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(image_.PutFile(u"defrag.cfg", "<general>\r\nlog=0\r\n</general>\r\n")); }

  std::vector<std::string> Args(const RegistryFile& registry, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"boot", "--registry", registry.Path(), "--drive", "C=" + image_.Path()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  CommandResult Boot(const RegistryFile& registry, const std::vector<std::string>& more = {}) {
    return RunSpindraxel(Args(registry, more));
  }

  TestImage image_;
};

TEST_F(RegistryBoot, MalformedFileIsRefusedBeforeTheBootNamingItsLine) {
  const std::string text = BootExecuteFile({"sxboottime \\??\\C:\\defrag.cfg"}, {"\"Count\"=dword:12345678Z"});
  RegistryFile registry(text);
  CommandResult result = Boot(registry);
  EXPECT_EQ(2, result.exitStatus);
  EXPECT_EQ("", result.out) << "the program must not run";
  EXPECT_EQ("spindraxel boot: --registry " + registry.Path() + ", line 5: expected dword: and 1 to 8 hex digits\n",
            result.err);
  EXPECT_EQ(text, registry.Bytes());
}

TEST_F(RegistryBoot, MissingFileIsRefused) {
  CommandResult result = RunSpindraxel({"boot", "--registry", "/nonexistent/machine.reg"});
  EXPECT_EQ(2, result.exitStatus);
  EXPECT_EQ("spindraxel boot: --registry /nonexistent/machine.reg: No such file or directory\n", result.err);
}

TEST_F(RegistryBoot, BootExecuteRunsTheProgramEntryAndSkipsAutocheck) {
  const std::string text = BootExecuteFile({"autocheck autochk *", "sxboottime \\??\\C:\\defrag.cfg"});
  RegistryFile registry(text);
  CommandResult result = Boot(registry);
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ(kBootScreen, result.out);
  EXPECT_EQ(
      "spindraxel boot: skipped BootExecute entry 'autocheck autochk *': not a boot-time program of this system\n",
      result.err);
  EXPECT_EQ(text, registry.Bytes()) << "nothing changed, so nothing is written";
  EXPECT_EQ(0, image_.RunNtfsfix().exitStatus);
}

TEST_F(RegistryBoot, EveryProgramEntryRunsInTurn) {
  // The middle entry names no configuration: that run shows nothing and ends with 0.
  RegistryFile registry(BootExecuteFile(
      {"sxboottime \\??\\C:\\defrag.cfg", "sxboottime \\??\\C:\\missing.cfg", "SXBOOTTIME.EXE \\??\\C:\\defrag.cfg"}));
  CommandResult result = Boot(registry);
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ(std::string(kBootScreen) + kBootScreen, result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(0, image_.RunNtfsfix().exitStatus);
}

TEST_F(RegistryBoot, WithoutBootExecuteNothingRuns) {
  RegistryFile registry(RegText({kSessionManagerLine, "\"Other\"=dword:00000001"}));
  CommandResult result = Boot(registry);
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find("has no BootExecute value")) << result.err;
}

TEST_F(RegistryBoot, CommandLineRunsWithTheRegistryAvailable) {
  const std::string text = BootExecuteFile({"autocheck autochk *"});
  RegistryFile registry(text);
  CommandResult result = Boot(registry, {"--", "sxboottime \\??\\C:\\defrag.cfg"});
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ(kBootScreen, result.out);
  EXPECT_EQ("", result.err) << "BootExecute is not read when a command line is given";
  EXPECT_EQ(text, registry.Bytes());
}

TEST_F(RegistryBoot, WrittenFileKeepsEveryValue) {
  const std::vector<std::string> lines{
      kSessionManagerLine,
      "\"BootExecute\"=" + MultiStringHex({"autocheck autochk *", "sxboottime \\??\\C:\\defrag.cfg"}),
      "\"Text\"=\"C:\\\\Windows \\\"x\\\"\"",
      "@=\"default\"",
      "\"Binary\"=hex:00,01,fe,ff",
      "\"Expand\"=hex(2):25,00,00,00",
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]",
      "\"CrashDumpEnabled\"=dword:00000007",
      "[HKEY_USERS\\.DEFAULT]"};
  RegistryFile registry(RegText(lines));
  const std::vector<std::string> added{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]", "\"New\"=dword:00000001"};
  RegistryFile import(RegText(added));
  CommandResult result = Boot(registry, {"--registry-import", import.Path()});
  EXPECT_EQ(0, result.exitStatus) << result.err;
  EXPECT_EQ(kBootScreen, result.out);

  std::vector<std::string> all = lines;
  all.insert(all.end(), added.begin(), added.end());
  RegistryFile expected(RegText(all));
  auto written = registry.Read();
  ASSERT_TRUE(written);
  EXPECT_EQ(*expected.Read(), *written);
  EXPECT_EQ("\xFF\xFE", registry.Bytes().substr(0, 2)) << "written in regedit's own form";
}

// Starts spindraxel with its output discarded; the caller kills and reaps it.
pid_t StartSpindraxel(const std::vector<std::string>& args) {
  std::vector<std::string> argv{SX_SPINDRAXEL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  EXPECT_EQ(0, posix_spawn(&child, pointers[0], &actions, nullptr, pointers.data(), environ));
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

TEST_F(RegistryBoot, KilledRunLeavesTheOldFileOrTheNewOneNeverAMixture) {
  const std::string old = BootExecuteFile({"sxboottime \\??\\C:\\missing.cfg"}, {"\"Keep\"=dword:00000001"});
  std::string bytes = "00";
  for (int i = 1; i < 2000; ++i) bytes += ",5a";
  RegistryFile import(RegText({kSessionManagerLine, "\"Added\"=hex:" + bytes}));
  RegistryFile reference(old);
  ASSERT_EQ(0, Boot(reference, {"--registry-import", import.Path()}).exitStatus);
  const std::string updated = reference.Bytes();
  ASSERT_NE(old, updated);

  // The save waits 600 ms with the new file complete beside the old one; the kills fall before, during and after.
  RegistryFile registry(old);
  bool killedMidSave = false;
  for (int killAfterMs = 0; killAfterMs <= 900; killAfterMs += 100) {
    std::ofstream(registry.Path(), std::ios::binary | std::ios::trunc) << old;
    pid_t child =
        StartSpindraxel(Args(registry, {"--registry-import", import.Path(), "--fault", "NtFlushKey=delay:600"}));
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string now = registry.Bytes();
    EXPECT_TRUE(now == old || now == updated) << "killed after " << killAfterMs << " ms: " << now.size() << " bytes";
    if (now == old && !registry.OtherFiles().empty()) killedMidSave = true;
  }
  EXPECT_TRUE(killedMidSave) << "no kill fell between writing the new file and putting it in place";
}

TEST(RegistryBootHelp, ExplainsTheRegistryOptionsAndTheFileForm) {
  CommandResult result = RunSpindraxel({"boot", "--help"});
  EXPECT_EQ(0, result.exitStatus);
  for (const char* text : {"--registry FILE.reg", "--registry-import FILE.reg", "Windows Registry Editor Version 5.00",
                           "NtFlushKey=delay:", "spindraxel boot --registry machine.reg --drive C=disk.img\n"}) {
    EXPECT_NE(std::string::npos, result.out.find(text)) << text;
  }
}

}  // namespace
