// The status line of `spindraxel boot`: drawn on standard error only when that is a terminal, never in the boot
// screen, and cleared when the program ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::TestImage;

namespace {

constexpr const char* kConfig =
    "<general>\r\nlog=0\r\n</general>\r\n<file>\r\npath=\\??\\C:\\Data\\a.bin\r\n"
    "mode=defrag\r\n</file>\r\n";

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(got));
  return text;
}

TEST(BootProgress, ShowsTheFileOnATerminalAndClearsItAtTheEnd) {
  TestImage image;
  ASSERT_TRUE(image.PutFragmentedFile(u"Data\\a.bin", std::string(81920, 'a'), 10));
  ASSERT_TRUE(image.PutFile(u"sx.cfg", kConfig));
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  const std::string terminal = ptsname(master);
  int out[2];
  ASSERT_EQ(0, pipe(out));

  std::vector<std::string> words{SX_SPINDRAXEL_PATH,
                                 "boot",
                                 "--fault",
                                 "FSCTL_MOVE_FILE=delay:800",
                                 "--drive",
                                 "C=" + image.Path(),
                                 "--",
                                 "sxboottime \\??\\C:\\sx.cfg"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int tty = open(terminal.c_str(), O_RDWR | O_NOCTTY);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(tty, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  const std::string screen = ReadAll(out[0]);  // ends when the program does
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  std::string shown;
  char chunk[4096];
  for (pollfd ready{master, POLLIN, 0}; poll(&ready, 1, 200) > 0;) {
    const ssize_t got = read(master, chunk, sizeof chunk);
    if (got <= 0) break;
    shown.append(chunk, static_cast<size_t>(got));
  }
  close(master);

  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, screen.find("C:\\Data\\a.bin\n")) << screen;
  EXPECT_EQ(std::string::npos, screen.find("moves asked")) << screen;
  EXPECT_NE(std::string::npos, shown.find("\r\033[Kspindraxel: C:\\Data\\a.bin: ")) << shown;
  EXPECT_NE(std::string::npos, shown.find(" moves asked so far")) << shown;
  ASSERT_GE(shown.size(), 4u);
  EXPECT_EQ("\r\033[K", shown.substr(shown.size() - 4)) << "the line must be cleared at the end";
}

TEST(BootProgress, NothingIsAddedWhenStandardErrorIsNotATerminal) {
  TestImage image;
  ASSERT_TRUE(image.PutFragmentedFile(u"Data\\a.bin", std::string(40960, 'a'), 5));
  ASSERT_TRUE(image.PutFile(u"sx.cfg", kConfig));
  testsupport::CommandResult result =
      testsupport::RunSpindraxel({"boot", "--fault", "FSCTL_MOVE_FILE=delay:100", "--drive", "C=" + image.Path(), "--",
                                  "sxboottime \\??\\C:\\sx.cfg"});
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ("", result.err);
}

}  // namespace
