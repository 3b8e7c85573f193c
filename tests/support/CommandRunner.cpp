#include "support/CommandRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, int outFd, int errFd, const std::string& terminal) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ != 0) return;
  // A session leader's first terminal becomes its controlling one.
  if (!terminal.empty()) setsid();
  const int devNull = open("/dev/null", O_RDWR);
  dup2(terminal.empty() ? devNull : open(terminal.c_str(), O_RDWR), STDIN_FILENO);
  dup2(outFd >= 0 ? outFd : devNull, STDOUT_FILENO);
  dup2(errFd >= 0 ? errFd : devNull, STDERR_FILENO);
  // A test runner may ignore or block signals that a command started from a shell would act on.
  for (int number = 1; number < NSIG; ++number) ::signal(number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  execv(args[0], args.data());
  _exit(127);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::optional<int> ChildProcess::Wait(int timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  return status;
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds, int errFd) {
  // Files rather than pipes: the child's output can be any size, and nothing here has to drain it while waiting.
  char outPath[] = "/tmp/sx-out-XXXXXX";
  char errPath[] = "/tmp/sx-err-XXXXXX";
  const int outFile = mkstemp(outPath);
  const int errFile = mkstemp(errPath);
  CommandResult result;
  {
    ChildProcess child(argv, outFile, errFd >= 0 ? errFd : errFile);
    close(outFile);
    close(errFile);
    const std::optional<int> status = child.Wait(timeoutSeconds);
    if (status && WIFEXITED(*status)) result.exitStatus = WEXITSTATUS(*status);
  }
  result.out = FileBytes(outPath);
  result.err = FileBytes(errPath);
  unlink(outPath);
  unlink(errPath);
  return result;
}

std::vector<std::string> SpindraxelArgv(std::vector<std::string> args) {
  args.insert(args.begin(), SX_SPINDRAXEL_PATH);
  return args;
}

CommandResult RunSpindraxel(const std::vector<std::string>& args, int timeoutSeconds, int errFd) {
  return RunCommand(SpindraxelArgv(args), timeoutSeconds, errFd);
}

}  // namespace testsupport
