// Child processes for end-to-end tests: the spindraxel command (or any program) run to its end with what it shows
// and its exit status captured, or started in the background for a test that acts while it runs. A child that
// outlives its time limit is killed and reported, never waited for for ever.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct CommandResult {
  int exitStatus = -1;  // the child's exit status; -1 when it was killed, timed out or did not start
  std::string out;      // standard output (the boot screen)
  std::string err;      // standard error ("" when it went to `errFd`)
};

// Standard input is /dev/null; standard error goes to `errFd` instead of being captured when it is given.
CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 120, int errFd = -1);
// Runs the spindraxel command built with the tests.
CommandResult RunSpindraxel(const std::vector<std::string>& args, int timeoutSeconds = 120, int errFd = -1);
// `args` after the path of the spindraxel command built with the tests.
std::vector<std::string> SpindraxelArgv(std::vector<std::string> args);

// The bytes of a host file; "" when it cannot be read.
std::string FileBytes(const std::string& path);

// A child started as a shell starts a foreground command: default signal dispositions, nothing blocked, no core
// file. Standard input is /dev/null, or `terminal` (a pseudo-terminal's name) as its controlling terminal in a
// session of its own; standard output and error go to `outFd` and `errFd` (-1: /dev/null). The destructor kills
// and reaps a child that is still running.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, int outFd = -1, int errFd = -1,
                        const std::string& terminal = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The wait status once the child has ended; nullopt when it still runs after `timeoutSeconds`.
  std::optional<int> Wait(int timeoutSeconds = 120);
  void Signal(int signal) const;
  pid_t Pid() const { return pid_; }  // -1 once waited for

 private:
  pid_t pid_ = -1;
};

}  // namespace testsupport
