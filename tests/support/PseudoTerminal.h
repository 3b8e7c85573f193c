// A pseudo-terminal for tests of what a command does with a terminal: its name to give a child, the test's own
// descriptor on the child's side to read the settings, and what the child wrote to it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

class PseudoTerminal {
 public:
  // Fails the current test when no pseudo-terminal can be had.
  PseudoTerminal() : controller_(posix_openpt(O_RDWR | O_NOCTTY)) {
    const bool made = controller_ >= 0 && grantpt(controller_) == 0 && unlockpt(controller_) == 0;
    name_ = made ? ptsname(controller_) : "";
    terminal_ = made ? open(name_.c_str(), O_RDWR | O_NOCTTY) : -1;
    EXPECT_GE(terminal_, 0) << "no pseudo-terminal";
  }
  ~PseudoTerminal() {
    if (terminal_ >= 0) close(terminal_);
    if (controller_ >= 0) close(controller_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& Name() const { return name_; }
  int Terminal() const { return terminal_; }  // the child's side, opened without becoming a controlling terminal
  termios Settings() const {
    termios now{};
    EXPECT_EQ(0, tcgetattr(terminal_, &now));
    return now;
  }
  bool IsRaw() const { return !(Settings().c_lflag & (ECHO | ICANON)); }  // neither echo nor line editing
  // Types `byte` as the user would at the keyboard.
  void Type(char byte) const { EXPECT_EQ(1, write(controller_, &byte, 1)); }
  // Everything written to the terminal so far, once nothing more has come for 200 ms.
  std::string Written() const {
    std::string text;
    char chunk[4096];
    for (pollfd ready{controller_, POLLIN, 0}; poll(&ready, 1, 200) > 0;) {
      const ssize_t got = read(controller_, chunk, sizeof chunk);
      if (got <= 0) break;
      text.append(chunk, static_cast<size_t>(got));
    }
    return text;
  }

 private:
  int controller_;
  int terminal_;
  std::string name_;
};

}  // namespace testsupport
