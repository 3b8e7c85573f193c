// What the benchmarks share: a scratch directory that goes with the object, child processes timed by wall clock,
// and figures printed the same way. A benchmark measures its baseline in the same run and prints ratios; it never
// passes or fails on a time. Exit status 1 means the benchmark could not measure (its answers disagreed, a tool
// failed), never that it was slow.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object goes or Abort runs.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Prints "bench: MESSAGE" to standard error, removes the scratch directories and exits with status 1.
[[noreturn]] void Abort(const std::string& message);

// The full path of a tool in PATH or the sbin directories (mkntfs lives there); aborts when it is not installed.
std::string ToolPath(const std::string& name);

// Runs `argv` and waits for it; its standard output goes to `output` (a file path; "" keeps ours). The exit
// status, or 128 + the signal that ended it.
int RunProcess(const std::vector<std::string>& argv, const std::string& output = "");
// Runs `argv` and returns its standard output and error; aborts when it cannot be started.
std::string ProcessOutput(const std::vector<std::string>& argv, int* exitStatus);

// What a child process cost: wall-clock time from its start to its end, and its largest resident set.
struct ProcessCost {
  int exitStatus = 0;  // or 128 + the signal that ended it
  double seconds = 0;
  double peakMiB = 0;
};
// Runs `argv` as RunProcess does and measures it.
ProcessCost MeasureProcess(const std::vector<std::string>& argv, const std::string& output = "");

// A sparse file of `size` bytes formatted as NTFS with `clusterSize`-byte clusters.
void MakeNtfsImage(const std::string& path, uint64_t size, uint32_t clusterSize);

// Writes everything the system holds for the file to its disk.
void SyncFile(const std::string& path);

// Bytes of an image file.
struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// `bytes` bytes from `offset` on, going round to `offset` again at `end` (a run that moves some bytes more than
// once is held to copying as many).
std::vector<ByteRange> RangesFrom(uint64_t offset, uint64_t end, uint64_t bytes);

// Seconds of reading every range of `image` and writing it back where it was, then fsync, from a synced state: the
// bytes a move of them must at least copy, in place in the same file.
double TimeInPlaceCopy(const std::string& image, const std::vector<ByteRange>& ranges);

// Wall-clock seconds of `work`.
double Seconds(const std::function<void()>& work);
// The median time of each of `works`, run one after the other in `rounds` rounds: a change in the machine's load
// during the run then weighs on all of them alike.
std::vector<double> MedianSeconds(int rounds, const std::vector<std::function<void()>>& works);

// "12.3 ms", "1.42 s".
std::string FormatDuration(double seconds);

}  // namespace bench
