#include "BenchSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

extern char** environ;

namespace bench {
namespace fs = std::filesystem;

namespace {

// Scratch directories still present: Abort exits without unwinding, so it removes them itself.
std::vector<std::string>& LiveScratch() {
  static std::vector<std::string> paths;
  return paths;
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (fs::temp_directory_path() / "spindraxel-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    Abort("cannot make a scratch directory in " + fs::temp_directory_path().string());
  path_ = pattern;
  LiveScratch().push_back(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  std::vector<std::string>& live = LiveScratch();
  live.erase(std::remove(live.begin(), live.end(), path_), live.end());
}

void Abort(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "bench: %s\n", message.c_str());
  std::error_code ignored;
  for (const std::string& path : LiveScratch()) fs::remove_all(path, ignored);
  std::exit(1);
}

std::string ToolPath(const std::string& name) {
  std::vector<std::string> directories;
  if (const char* path = std::getenv("PATH")) {
    std::istringstream entries(path);
    for (std::string entry; std::getline(entries, entry, ':');) directories.push_back(entry);
  }
  directories.insert(directories.end(), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
  for (const std::string& directory : directories) {
    const std::string candidate = directory + "/" + name;
    if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  Abort(name + " is not installed");
}

namespace {

// Starts `argv` with its standard output on `outputFd` (when not -1), and its standard error too when `errorsToo`.
pid_t Spawn(const std::vector<std::string>& argv, int outputFd, bool errorsToo) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outputFd >= 0) posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  if (outputFd >= 0 && errorsToo) posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) Abort("cannot start " + argv[0]);
  return pid;
}

// Waits for `pid`; *usage (when given) receives what the child used, its peak memory among it.
int Wait(pid_t pid, rusage* usage = nullptr) {
  int status = 0;
  while (wait4(pid, &status, 0, usage) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `argv` with its standard output in `output` ("" keeps ours).
int RunWithOutput(const std::vector<std::string>& argv, const std::string& output, rusage* usage) {
  std::fflush(stdout);
  const int fd = output.empty() ? -1 : open(output.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (!output.empty() && fd < 0) Abort("cannot create " + output);
  const int status = Wait(Spawn(argv, fd, false), usage);
  if (fd >= 0) close(fd);
  return status;
}

}  // namespace

int RunProcess(const std::vector<std::string>& argv, const std::string& output) {
  return RunWithOutput(argv, output, nullptr);
}

ProcessCost MeasureProcess(const std::vector<std::string>& argv, const std::string& output) {
  ProcessCost cost;
  rusage usage{};
  cost.seconds = Seconds([&] { cost.exitStatus = RunWithOutput(argv, output, &usage); });
  cost.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024;  // Linux counts it in KiB
  return cost;
}

std::string ProcessOutput(const std::vector<std::string>& argv, int* exitStatus) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) Abort("cannot make a pipe");
  const pid_t pid = Spawn(argv, pipeFds[1], true);
  close(pipeFds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) out.append(buffer, static_cast<size_t>(got));
  }
  close(pipeFds[0]);
  *exitStatus = Wait(pid);
  return out;
}

void MakeNtfsImage(const std::string& path, uint64_t size, uint32_t clusterSize) {
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  // mkntfs takes the volume size from the file.
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) Abort("cannot create " + path);
  close(fd);
  int status = 0;
  const std::string output =
      ProcessOutput({ToolPath("mkntfs"), "-F", "-f", "-Q", "-q", "-c", std::to_string(clusterSize), path}, &status);
  if (status != 0) Abort("mkntfs failed on " + path + ": " + output);
}

void SyncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) Abort("cannot sync " + path);
  close(fd);
}

std::vector<ByteRange> RangesFrom(uint64_t offset, uint64_t end, uint64_t bytes) {
  std::vector<ByteRange> ranges;
  for (uint64_t left = bytes; left > 0;) {
    const uint64_t length = std::min(left, end - offset);
    ranges.push_back({offset, length});
    left -= length;
  }
  return ranges;
}

double TimeInPlaceCopy(const std::string& image, const std::vector<ByteRange>& ranges) {
  sync();
  return Seconds([&] {
    const int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
    std::vector<char> buffer(1 << 20);
    for (const ByteRange& range : ranges) {
      for (uint64_t done = 0; fd >= 0 && done < range.length;) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), range.length - done));
        const off_t at = static_cast<off_t>(range.offset + done);
        if (pread(fd, buffer.data(), length, at) != static_cast<ssize_t>(length) ||
            pwrite(fd, buffer.data(), length, at) != static_cast<ssize_t>(length)) {
          Abort("the in-place copy of " + image + " failed");
        }
        done += length;
      }
    }
    if (fd < 0 || fsync(fd) != 0 || close(fd) != 0) Abort("the in-place copy of " + image + " failed");
  });
}

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<double> MedianSeconds(int rounds, const std::vector<std::function<void()>>& works) {
  std::vector<std::vector<double>> times(works.size());
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < works.size(); ++i) times[i].push_back(Seconds(works[i]));
  }
  std::vector<double> medians;
  for (std::vector<double>& each : times) {
    std::sort(each.begin(), each.end());
    medians.push_back(each[each.size() / 2]);
  }
  return medians;
}

std::string FormatDuration(double seconds) {
  char text[32];
  if (seconds < 1) {
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", seconds);
  }
  return text;
}

}  // namespace bench
