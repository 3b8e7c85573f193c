#include "support/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

namespace testsupport {

PseudoTerminal::PseudoTerminal() {
  controller_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (controller_ < 0 || grantpt(controller_) != 0 || unlockpt(controller_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal";
    return;
  }
  name_ = ptsname(controller_);
  terminal_ = open(name_.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_GE(terminal_, 0) << name_;
}

PseudoTerminal::~PseudoTerminal() {
  if (terminal_ >= 0) close(terminal_);
  if (controller_ >= 0) close(controller_);
}

termios PseudoTerminal::Settings() const {
  termios now{};
  EXPECT_EQ(0, tcgetattr(terminal_, &now));
  return now;
}

bool PseudoTerminal::IsRaw() const { return !(Settings().c_lflag & (ECHO | ICANON)); }

void PseudoTerminal::Type(char byte) const { EXPECT_EQ(1, write(controller_, &byte, 1)); }

std::string PseudoTerminal::Written() const {
  std::string text;
  char chunk[4096];
  for (pollfd ready{controller_, POLLIN, 0}; poll(&ready, 1, 200) > 0;) {
    const ssize_t got = read(controller_, chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  return text;
}

}  // namespace testsupport
