// `spindraxel boot` with a keyboard: key scripts accepted, or refused before anything runs; and a terminal on
// standard input that is in raw mode while the program runs and gets its settings back however the command ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::CommandResult;
using testsupport::RunSpindraxel;

namespace {

// The image has no configuration file: the program shows nothing and ends with 0.
constexpr const char* kCommandLine = "sxboottime \\??\\C:\\defrag.cfg";

struct KeysCase {
  const char* script;
  int exitStatus;
  const char* err;  // a part of standard error ("" when nothing may be there)
};

void PrintTo(const KeysCase& keys, std::ostream* out) { *out << "--keys '" << keys.script << "'"; }

class KeysOption : public testing::TestWithParam<KeysCase> {};

TEST_P(KeysOption, IsAcceptedOrRefusedBeforeTheBootStarts) {
  testsupport::TestImage image;
  CommandResult result =
      RunSpindraxel({"boot", "--drive", "C=" + image.Path(), "--keys", GetParam().script, "--", kCommandLine});
  EXPECT_EQ(GetParam().exitStatus, result.exitStatus) << result.err;
  EXPECT_EQ("", result.out);
  if (*GetParam().err == '\0') {
    EXPECT_EQ("", result.err);
  } else {
    EXPECT_NE(std::string::npos, result.err.find(GetParam().err)) << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(KeyboardBoot, KeysOption,
                         testing::Values(KeysCase{"x", 2, "spindraxel boot: --keys: item 'x' is not TIME:KEY"},
                                         KeysCase{"10:a,20:nokey", 2, "'nokey' is not a key"}, KeysCase{"10:a", 0, ""},
                                         KeysCase{"0:esc,5:shift+a,9:left", 0, ""}));

struct EndingCase {
  const char* name;
  int signal;        // sent once the terminal is raw; 0 lets the program end by itself
  bool typed;        // the signal comes from its key typed on the terminal (Ctrl+C)
  int endingSignal;  // what ends the command: 0 a normal exit with status 0, kAnyAbnormalEnd a signal or a failure
};

// A crash ends the command with its signal, or with a failing status after a sanitizer's report.
constexpr int kAnyAbnormalEnd = -1;

void PrintTo(const EndingCase& ending, std::ostream* out) { *out << ending.name; }

// A child `spindraxel boot` whose standard input is a new pseudo-terminal, also its controlling terminal, as when a
// shell starts it in the foreground.
class KeyboardTerminal : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    slaveName_ = ptsname(master_);
    slave_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    ASSERT_EQ(0, tcgetattr(slave_, &before_));
    ASSERT_TRUE(before_.c_lflag & ECHO);
  }

  void TearDown() override {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    close(slave_);
    close(master_);
  }

  void Start(const std::vector<std::string>& args) {
    std::vector<std::string> words{SX_SPINDRAXEL_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const char* terminal = slaveName_.c_str();
    child_ = fork();
    if (child_ == 0) {
      setsid();
      int tty = open(terminal, O_RDWR);  // a session leader's first terminal becomes its controlling one
      int devNull = open("/dev/null", O_WRONLY);
      rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      // As a shell starts a foreground command: the signals a test runner may ignore or block act again.
      for (int signal : {SIGHUP, SIGINT, SIGTERM, SIGSEGV}) std::signal(signal, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      dup2(tty, STDIN_FILENO);
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }

  bool TerminalIsRaw() {
    termios now;
    return tcgetattr(slave_, &now) == 0 && !(now.c_lflag & (ECHO | ICANON));
  }

  bool WaitForRawMode() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!TerminalIsRaw()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // The child's wait status, or -1 when it is still running after a generous time.
  int WaitForEnd() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(child_, &status, WNOHANG) != child_) {
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child_ = -1;
    return status;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slaveName_;
  termios before_{};
  pid_t child_ = -1;
};

class KeyboardTerminalEnding : public KeyboardTerminal, public testing::WithParamInterface<EndingCase> {};

TEST_P(KeyboardTerminalEnding, IsRawWhileTheProgramRunsAndRestoredAfterwards) {
  const EndingCase& ending = GetParam();
  // The program's first open waits, so that the raw terminal can be seen, and the signal arrives, meanwhile.
  std::string delay = ending.signal == 0 ? "1000" : "60000";
  Start({"boot", "--fault", "NtCreateFile#1=delay:" + delay, "--", kCommandLine});
  ASSERT_TRUE(WaitForRawMode()) << "standard input was a terminal: it must become the keyboard";

  if (ending.typed) {
    termios raw;
    ASSERT_EQ(0, tcgetattr(slave_, &raw));
    ASSERT_EQ(1, write(master_, &raw.c_cc[VINTR], 1));
  } else if (ending.signal != 0) {
    kill(child_, ending.signal);
  }
  int status = WaitForEnd();
  ASSERT_NE(-1, status) << "the command did not end";
  if (ending.endingSignal == 0) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  } else if (ending.endingSignal == kAnyAbnormalEnd) {
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == ending.endingSignal) << status;
  }

  termios after;
  ASSERT_EQ(0, tcgetattr(slave_, &after));
  EXPECT_EQ(before_.c_lflag, after.c_lflag);
  EXPECT_EQ(before_.c_iflag, after.c_iflag);
  EXPECT_EQ(before_.c_cc[VSUSP], after.c_cc[VSUSP]);
  EXPECT_EQ(before_.c_cc[VMIN], after.c_cc[VMIN]);
}

INSTANTIATE_TEST_SUITE_P(KeyboardBoot, KeyboardTerminalEnding,
                         testing::Values(EndingCase{"ProgramEnds", 0, false, 0},
                                         EndingCase{"CtrlC", SIGINT, true, SIGINT},
                                         EndingCase{"Sigterm", SIGTERM, false, SIGTERM},
                                         EndingCase{"Sighup", SIGHUP, false, SIGHUP},
                                         EndingCase{"Crash", SIGSEGV, false, kAnyAbnormalEnd}),
                         [](const testing::TestParamInfo<EndingCase>& info) { return info.param.name; });

TEST_F(KeyboardTerminal, IsLeftAloneWhenAScriptIsTheKeyboard) {
  Start({"boot", "--keys", "10:a", "--fault", "NtCreateFile#1=delay:500", "--", kCommandLine});
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_FALSE(TerminalIsRaw());
  int status = WaitForEnd();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
