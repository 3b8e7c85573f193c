#include "support/CommandRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {
namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds) {
  CommandResult result;
  // Files rather than pipes: the child's output can be any size, and nothing here has to drain it while waiting.
  char outPath[] = "/tmp/sx-out-XXXXXX";
  char errPath[] = "/tmp/sx-err-XXXXXX";
  int outFd = mkstemp(outPath);
  int errFd = mkstemp(errPath);
  pid_t child = fork();
  if (child == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!result.timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  result.out = ReadWhole(outPath);
  result.err = ReadWhole(errPath);
  unlink(outPath);
  unlink(errPath);
  return result;
}

CommandResult RunSpindraxel(const std::vector<std::string>& args, int timeoutSeconds) {
  std::vector<std::string> argv{SX_SPINDRAXEL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, timeoutSeconds);
}

}  // namespace testsupport
