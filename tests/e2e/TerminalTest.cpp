// `spindraxel boot` and terminals: standard input that is a terminal becomes the keyboard, raw while the program
// runs and given its settings back however the command ends; standard error that is a terminal shows the file
// being worked on, on one line cleared at the end.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <thread>

#include "support/CommandRunner.h"
#include "support/ConfigSections.h"
#include "support/PseudoTerminal.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using namespace testsupport;

namespace {

// A crash ends the command with its signal, or with a failing status after a sanitizer's report.
constexpr int kAnyAbnormalEnd = -1;

struct EndingCase {
  const char* name;
  std::vector<std::string> options;  // the first open of the program waits, so that the command can be watched
  int signal;                        // sent once the terminal is raw (SIGINT typed as Ctrl+C); 0 none
  int ending;  // 0 a normal exit with status 0, or the interrupt signal that stops it (exit status 128 + it)
};
void PrintTo(const EndingCase& given, std::ostream* out) { *out << given.name; }

const std::vector<std::string> kWaitAMinute{"--fault", "NtCreateFile#1=delay:60000"};

const EndingCase kEndings[] = {
    {"ProgramEnds", {"--fault", "NtCreateFile#1=delay:1000"}, 0, 0},
    {"CtrlC", kWaitAMinute, SIGINT, SIGINT},
    {"Sigterm", kWaitAMinute, SIGTERM, SIGTERM},
    {"Sighup", kWaitAMinute, SIGHUP, SIGHUP},
    {"Crash", kWaitAMinute, SIGSEGV, kAnyAbnormalEnd},
    {"KeyScriptIsTheKeyboard", {"--keys", "10:a", "--fault", "NtCreateFile#1=delay:1000"}, 0, 0},
};

class TerminalKeyboard : public testing::TestWithParam<EndingCase> {};

TEST_P(TerminalKeyboard, IsRawWhileTheProgramRunsAndRestoredAfterwards) {
  const EndingCase& given = GetParam();
  PseudoTerminal terminal;
  const termios before = terminal.Settings();
  ASSERT_TRUE(before.c_lflag & ECHO);
  std::vector<std::string> args{"boot"};
  args.insert(args.end(), given.options.begin(), given.options.end());
  args.insert(args.end(), {"--", "sxboottime \\??\\C:\\defrag.cfg"});  // no drive C:, so nothing to show
  ChildProcess child(SpindraxelArgv(args), -1, -1, terminal.Name());

  // Watched until it is raw or the command ends; with a key script it must stay as it was all along.
  const bool keyScript = given.options[0] == "--keys";
  std::optional<int> status;
  bool raw = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(raw = terminal.IsRaw()) && !(status = child.Wait(0)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(!keyScript, raw) << "a terminal on standard input is the keyboard unless a key script is";
  if (given.signal == SIGINT) {
    terminal.Type(static_cast<char>(terminal.Settings().c_cc[VINTR]));
  } else if (given.signal != 0) {
    child.Signal(given.signal);
  }
  if (!status) status = child.Wait(60);
  ASSERT_TRUE(status) << "the command did not end";
  const bool exitedWithZero = WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  EXPECT_TRUE(given.ending == 0                 ? exitedWithZero
              : given.ending == kAnyAbnormalEnd ? !exitedWithZero
                                                : WIFEXITED(*status) && WEXITSTATUS(*status) == 128 + given.ending)
      << "wait status " << *status;
  const termios after = terminal.Settings();
  EXPECT_EQ(before.c_lflag, after.c_lflag);
  EXPECT_EQ(before.c_iflag, after.c_iflag);
  EXPECT_EQ(before.c_cc[VSUSP], after.c_cc[VSUSP]);
  EXPECT_EQ(before.c_cc[VMIN], after.c_cc[VMIN]);
}

INSTANTIATE_TEST_SUITE_P(Endings, TerminalKeyboard, testing::ValuesIn(kEndings),
                         [](const testing::TestParamInfo<EndingCase>& info) { return info.param.name; });

// A signal to the command reaches the program's own process, which stops between two native calls: the image is
// free again, consistent and unchanged as soon as the command has ended.
TEST(Interrupt, SignalToTheCommandStopsTheProgramItStarted) {
  TestImage image;
  ASSERT_TRUE(image.PutFragmentedFile(u"Data\\a.bin", std::string(81920, 'a'), 10));
  ASSERT_TRUE(image.PutFile(u"sx.cfg", GeneralSection({"log=0"}) + FileSection("\\??\\C:\\Data\\a.bin")));
  RegistryFile registry(RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                                 "\"BootExecute\"=" + MultiStringHex({"sxboottime \\??\\C:\\sx.cfg"})}));
  const std::string trace = image.Path() + ".trace";
  ChildProcess boot(SpindraxelArgv({"boot", "--registry", registry.Path(), "--trace", trace, "--fault",
                                    "FSCTL_MOVE_FILE=delay:60000", "--drive", "C=" + image.Path()}));
  // The program's process reads the file's layout just before its first (minute-long) move.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (FileBytes(trace).find("FSCTL_GET_RETRIEVAL_POINTERS") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  boot.Signal(SIGTERM);
  const std::optional<int> status = boot.Wait(30);
  ASSERT_TRUE(status) << "the command did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 143) << *status;
  EXPECT_TRUE(image.ClustersConsistent());
  EXPECT_EQ(std::string(81920, 'a'), image.Ntfscat("/Data/a.bin"));
}

TEST(TerminalStatusLine, ShowsTheFileOnStandardErrorOnlyAndIsClearedAtTheEnd) {
  TestImage image;
  ASSERT_TRUE(image.PutFragmentedFile(u"Data\\a.bin", std::string(81920, 'a'), 10));
  ASSERT_TRUE(image.PutFile(u"sx.cfg", GeneralSection({"log=0"}) + FileSection("\\??\\C:\\Data\\a.bin")));
  PseudoTerminal terminal;
  // The line is redrawn every 200 ms; the move lasts ten times that.
  const CommandResult boot = RunSpindraxel({"boot", "--fault", "FSCTL_MOVE_FILE=delay:2000", "--drive",
                                            "C=" + image.Path(), "--", "sxboottime \\??\\C:\\sx.cfg"},
                                           120, terminal.Terminal());
  const std::string shown = terminal.Written();
  EXPECT_EQ(0, boot.exitStatus);
  EXPECT_NE(std::string::npos, boot.out.find("\nC:\\Data\\a.bin\n")) << boot.out;
  EXPECT_EQ(std::string::npos, boot.out.find("moves asked")) << boot.out;
  EXPECT_TRUE(std::regex_search(shown, std::regex(R"(\r\x1b\[Kspindraxel: C:\\Data\\a\.bin: \d+ moves asked so far)")))
      << shown;
  EXPECT_EQ(shown.size() - 4, shown.rfind("\r\033[K")) << "the line must be cleared at the end: " << shown;
}

}  // namespace
