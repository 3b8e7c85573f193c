// The MD5 calculator's throughput against md5sum on the same bytes in the same run. md5sum reads its file from the
// page cache (warmed first); the calculator is fed the same bytes from memory in the 64 KiB pieces a reader would
// hand it, and in the 512-byte pieces the integrity check uses.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "BenchSupport.h"
#include "integrity/Md5Calculator.h"

namespace {

constexpr size_t kBytes = 256u << 20;

std::string Digest(const std::string& bytes, size_t piece) {
  CMd5Calculator md5;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    md5.Update(bytes.data() + at, static_cast<ULONG>(std::min(piece, bytes.size() - at)));
  }
  md5.Finalize();
  return md5.GetHexDigest();
}

}  // namespace

int main() {
  bench::ScratchDirectory scratch;
  const std::string path = scratch.Path() + "/data.bin";
  std::string bytes(kBytes, '\0');
  std::mt19937_64 random(42);
  for (size_t at = 0; at + 8 <= bytes.size(); at += 8) {
    const uint64_t word = random();
    std::memcpy(&bytes[at], &word, 8);
  }
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

  const std::string md5sum = bench::ToolPath("md5sum");
  const std::string output = scratch.Path() + "/md5sum.txt";
  bench::RunProcess({md5sum, path}, output);  // warms the page cache
  std::string expected;
  std::ifstream(output) >> expected;
  if (Digest(bytes, 65536) != expected || Digest(bytes, 512) != expected) bench::Abort("digests disagree with md5sum");

  std::vector<double> medians = bench::MedianSeconds(5, {[&] {
                                                           bench::RunProcess({md5sum, path}, output);
                                                         },
                                                         [&] { Digest(bytes, 65536); }, [&] { Digest(bytes, 512); }});
  const double mib = static_cast<double>(kBytes) / (1 << 20);
  std::printf("MD5 of %zu MiB, medians of 5 rounds in turns\n", kBytes >> 20);
  std::printf("%-34s %10s %12s %26s\n", "", "time", "MiB/s", "speed / md5sum >= 0.9");
  std::printf("%-34s %10s %12.0f\n", "md5sum (file in the page cache)", bench::FormatDuration(medians[0]).c_str(),
              mib / medians[0]);
  for (int i = 1; i <= 2; ++i) {
    const double ratio = medians[0] / medians[i];
    std::printf("%-34s %10s %12.0f %20.2fx %s\n",
                i == 1 ? "CMd5Calculator, 64 KiB pieces" : "CMd5Calculator, 512 B pieces",
                bench::FormatDuration(medians[i]).c_str(), mib / medians[i], ratio, ratio >= 0.9 ? "met" : "MISSED");
  }
  return 0;
}
