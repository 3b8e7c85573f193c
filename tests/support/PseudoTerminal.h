// A pseudo-terminal for tests of what a command does with a terminal: its name to give a child, the test's own
// descriptor on the child's side to read the settings, and what the child wrote to it.
#pragma once

#include <termios.h>

#include <string>

namespace testsupport {

class PseudoTerminal {
 public:
  // Fails the current test when no pseudo-terminal can be had.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& Name() const { return name_; }
  int Terminal() const { return terminal_; }  // the child's side, opened without becoming a controlling terminal
  termios Settings() const;
  bool IsRaw() const;  // neither echo nor line editing
  // Types `byte` as the user would at the keyboard.
  void Type(char byte) const;
  // Everything written to the terminal so far, once nothing more has come for 200 ms.
  std::string Written() const;

 private:
  int controller_ = -1;
  int terminal_ = -1;
  std::string name_;
};

}  // namespace testsupport
