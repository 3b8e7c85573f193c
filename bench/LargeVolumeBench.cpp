// The read-only commands on a large volume: a 1 TiB sparse image with 100,000 scattered files of 16 KiB, made by
// `spindraxel image fragment`, then `analyze`, `check` and a 1024-pixel `map` of it, each a child process timed by
// wall clock with its peak resident memory. They are meant to answer in seconds; the generation in minutes.
//
// Each command runs three times in turns and its median is printed with the range. The page cache is warm (the
// image was just written): what is timed is the commands' own work, not the disk. The image takes about 3 GiB of
// the scratch directory's disk and is removed at the end.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

constexpr int kFiles = 100000;
constexpr int kRounds = 3;
constexpr double kCommandTarget = 10;      // seconds: "in seconds"
constexpr double kGenerationTarget = 600;  // seconds: "in minutes"
const char kVolume[] = "1 TiB / 100,000 files";

struct Command {
  const char* name;
  std::vector<std::string> argv;
  const char* expected;  // in its output, so that a failing command is never timed as a fast one
};

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

const char* Verdict(double seconds, double target) { return seconds < target ? "met" : "MISSED"; }

}  // namespace

int main() {
  bench::ScratchDirectory scratch;
  const std::string image = scratch.Path() + "/large.img", output = scratch.Path() + "/output.txt";
  const std::string picture = scratch.Path() + "/map.png";
  if (bench::RunProcess({SX_SPINDRAXEL_PATH, "image", "create", image, "--size", "1024G"}, "/dev/null") != 0) {
    bench::Abort("image create failed");
  }
  const bench::ProcessCost made = bench::MeasureProcess(
      {SX_SPINDRAXEL_PATH, "image", "fragment", image, "--files", std::to_string(kFiles), "--size", "16K"}, output);
  if (made.exitStatus != 0) bench::Abort("image fragment failed");
  std::printf("image fragment %s of 16 KiB: %s, peak %.0f MiB (target: under %.0f s: %s)\n", kVolume,
              bench::FormatDuration(made.seconds).c_str(), made.peakMiB, kGenerationTarget,
              Verdict(made.seconds, kGenerationTarget));

  const std::vector<Command> commands = {
      {"analyze", {SX_SPINDRAXEL_PATH, "analyze", image}, "Fragmented files:"},
      {"check", {SX_SPINDRAXEL_PATH, "check", image}, "consistent:"},
      {"map",
       {SX_SPINDRAXEL_PATH, "map", image, "--out", picture, "--width", "1024", "--highlight", "Fragmented/file01.bin",
        "Fragmented/file50000.bin", "Fragmented/file100000.bin"},
       "1024 x "}};
  std::vector<std::vector<double>> seconds(commands.size());
  std::vector<double> peakMiB(commands.size(), 0);
  // In turns, so that a change in the machine's load weighs on every command alike.
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < commands.size(); ++i) {
      const bench::ProcessCost cost = bench::MeasureProcess(commands[i].argv, output);
      const std::string printed = FileText(output);
      if (cost.exitStatus != 0 || printed.find(commands[i].expected) == std::string::npos) {
        bench::Abort(std::string("spindraxel ") + commands[i].name + " failed (exit status " +
                     std::to_string(cost.exitStatus) + "):\n" + printed);
      }
      seconds[i].push_back(cost.seconds);
      peakMiB[i] = std::max(peakMiB[i], cost.peakMiB);
    }
  }
  for (size_t i = 0; i < commands.size(); ++i) {
    std::vector<double>& times = seconds[i];
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("%s %s: %s (%s-%s), peak %.0f MiB (target: under %.0f s: %s)\n", commands[i].name, kVolume,
                bench::FormatDuration(median).c_str(), bench::FormatDuration(times.front()).c_str(),
                bench::FormatDuration(times.back()).c_str(), peakMiB[i], kCommandTarget,
                Verdict(median, kCommandTarget));
  }
  return 0;
}
