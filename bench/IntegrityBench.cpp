// The integrity check on a configuration that names the same few files many times: each file must be hashed once
// per pass, so a boot with check_file_integrity=1 should cost little more than the same boot without it. Prints
// both times (medians of five rounds in turns, after a first boot has left the files whole) and their ratio.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "host/ntfs/NtfsVolume.h"
#include "text/Utf.h"

namespace {

constexpr int kFiles = 8;
constexpr int kSections = 10000;
constexpr int kRounds = 5;
constexpr double kTarget = 1.5;

std::string Configuration(bool checkIntegrity) {
  std::string text = "<general>\r\nlog=1\r\nlog_dir=\\??\\D:\\\r\ncheck_file_integrity=" +
                     std::string(checkIntegrity ? "1" : "0") + "\r\n</general>\r\n";
  for (int i = 0; i < kSections; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "file%02d.bin", i % kFiles + 1);
    text += "<file>\r\npath=\\??\\C:\\Fragmented\\" + std::string(name) + "\r\nmode=defrag\r\n</file>\r\n";
  }
  return text;
}

void PutFile(host::NtfsVolume& volume, const std::u16string& path, const std::string& bytes) {
  host::NtfsVolume::Node node;
  if (!NT_SUCCESS(volume.Create(path, false, &node)) ||
      !NT_SUCCESS(volume.Write(node.mftRef, 0, bytes.data(), static_cast<uint32_t>(bytes.size())))) {
    bench::Abort("cannot write " + text::Utf16ToUtf8(path));
  }
}

}  // namespace

int main() {
  bench::ScratchDirectory scratch;
  const std::string image = scratch.Path() + "/disk.img", logs = scratch.Path() + "/logs";
  bench::MakeNtfsImage(image, 256ull << 20, 4096);
  if (bench::RunProcess({SX_SPINDRAXEL_PATH, "image", "fragment", image, "--files", std::to_string(kFiles), "--size",
                         "1M"},
                        "/dev/null") != 0) {
    bench::Abort("image fragment failed");
  }
  {
    std::string error;
    std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
    if (!volume) bench::Abort(error);
    PutFile(*volume, u"checked.cfg", Configuration(true));
    PutFile(*volume, u"unchecked.cfg", Configuration(false));
  }
  if (!std::filesystem::create_directory(logs)) bench::Abort("cannot make " + logs);
  auto boot = [&](const char* configuration) {
    if (bench::RunProcess({SX_SPINDRAXEL_PATH, "boot", "--drive", "C=" + image, "--drive", "D=" + logs, "--",
                           std::string("sxboottime \\??\\C:\\") + configuration},
                          "/dev/null") != 0) {
      bench::Abort("the boot failed");
    }
  };
  boot("unchecked.cfg");  // the moves happen once, here
  const std::vector<double> medians =
      bench::MedianSeconds(kRounds, {[&] { boot("checked.cfg"); }, [&] { boot("unchecked.cfg"); }});
  const double ratio = medians[0] / medians[1];
  std::printf("boot of %d sections naming %d files of 1 MiB: with check_file_integrity %s, without %s; "
              "integrity / without %.2fx (target at most %.1fx: %s)\n",
              kSections, kFiles, bench::FormatDuration(medians[0]).c_str(), bench::FormatDuration(medians[1]).c_str(),
              ratio, kTarget, ratio <= kTarget ? "met" : "MISSED");
  return 0;
}
