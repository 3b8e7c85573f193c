// Runs the spindraxel command (or any program) as a child process for end-to-end tests, capturing what it shows
// and its exit status. A child that outlives its time limit is killed and reported, never waited for for ever.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct CommandResult {
  int exitStatus = -1;  // the child's exit status; -1 when it was killed or did not start
  bool timedOut = false;
  std::string out;  // standard output (the boot screen)
  std::string err;  // standard error
};

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 120);

// Runs the spindraxel command built with the tests.
CommandResult RunSpindraxel(const std::vector<std::string>& args, int timeoutSeconds = 120);

}  // namespace testsupport
