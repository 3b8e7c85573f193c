// spindraxel image: makes NTFS images and fragmented content on them, for demonstrations, tests and benchmarks.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "Commands.h"
#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ImageGenerator.h"
#include "text/Utf.h"

extern char** environ;

namespace {

const char kCreateUsage[] = "spindraxel image create IMAGE --size SIZE [--cluster-size SIZE]";
const char kFragmentUsage[] = "spindraxel image fragment IMAGE [--files N] [--size SIZE] [--seed S]";

const char kCreateDescription[] =
    "create    makes IMAGE a fresh, empty NTFS volume of SIZE bytes (a sparse file; mkntfs from ntfs-3g formats\n"
    "          it). --cluster-size is 512 to 64K, 4K by default. An existing IMAGE is replaced.";
const char kFragmentDescription[] =
    "fragment  writes N files (8 by default) of SIZE bytes (4M by default) of random content into \\Fragmented on\n"
    "          the volume in IMAGE and scatters each over the free space outside the MFT zone in 10 to 100 pieces,\n"
    "          interleaved with each other. The same seed (1 by default) gives the same bytes and, on the same\n"
    "          volume, the same layout. It prints each file with its clusters and fragments.";

const char kImageFooter[] =
    "SIZE takes the suffixes K, M and G (powers of 1024). The image must not be mounted elsewhere meanwhile.\n"
    "\n"
    "Examples:\n"
    "  spindraxel image create disk.img --size 256M\n"
    "  spindraxel image fragment disk.img --files 20 --size 2M --seed 7";

// mkntfs lives in sbin, which a user's PATH may lack.
std::string FindMkntfs() {
  std::vector<std::string> directories;
  if (const char* path = std::getenv("PATH")) {
    std::string list = path;
    for (size_t start = 0, end; start <= list.size(); start = end + 1) {
      end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      directories.push_back(list.substr(start, end - start));
    }
  }
  directories.insert(directories.end(), {"/usr/sbin", "/sbin"});
  for (const std::string& directory : directories) {
    std::string candidate = directory + "/mkntfs";
    if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

int Create(const CommandLine& parser, const std::string& image, const std::string& sizeText,
           const std::string& clusterSizeText) {
  uint64_t size = 0, clusterSize = 4096;
  if (!ParseSize(sizeText, &size) || size < (2ull << 20)) {
    return parser.Refuse("--size " + sizeText + ": expected a size of at least 2M, e.g. --size 256M");
  }
  if ((!clusterSizeText.empty() && !ParseSize(clusterSizeText, &clusterSize)) || clusterSize < 512 ||
      clusterSize > 65536 || (clusterSize & (clusterSize - 1)) != 0) {
    return parser.Refuse("--cluster-size must be a power of two from 512 to 64K");
  }
  const std::string mkntfs = FindMkntfs();
  if (mkntfs.empty()) {
    std::fputs("spindraxel image: mkntfs not found; install ntfs-3g\n", stderr);
    return 1;
  }
  int fd = open(image.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    std::fprintf(stderr, "spindraxel image: cannot create %s\n", image.c_str());
    if (fd >= 0) close(fd);
    return 1;
  }
  close(fd);
  const std::string cluster = std::to_string(clusterSize);
  std::vector<const char*> argv{mkntfs.c_str(), "-F", "-f", "-Q", "-q", "-c", cluster.c_str(), image.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // mkntfs talks about geometry that does not matter for an image.
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  int status = -1;
  if (posix_spawn(&child, mkntfs.c_str(), &actions, nullptr, const_cast<char**>(argv.data()), environ) == 0) {
    waitpid(child, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "spindraxel image: mkntfs could not format %s\n", image.c_str());
    return 1;
  }
  std::printf("%s: NTFS, %llu bytes, %llu-byte clusters\n", image.c_str(), static_cast<unsigned long long>(size),
              static_cast<unsigned long long>(clusterSize));
  return 0;
}

int Fragment(const CommandLine& parser, const std::string& image, const std::string& sizeText, int64_t count,
             int64_t seed) {
  host::FragmentOptions settings;
  if (!sizeText.empty() && (!ParseSize(sizeText, &settings.size) || settings.size == 0)) {
    return parser.Refuse("--size " + sizeText + ": not a size, e.g. --size 4M");
  }
  if (count >= 0) settings.files = static_cast<int>(count);
  if (seed >= 0) settings.seed = static_cast<uint32_t>(seed);
  std::string error;
  std::unique_ptr<host::NtfsVolume> volume = host::NtfsVolume::Mount(image, &error);
  if (!volume) {
    std::fprintf(stderr, "spindraxel image: %s\n", error.c_str());
    return 1;
  }
  // A made-up layout on a made-up image: thousands of moves need no protection against a power cut.
  volume->SkipMoveFlushes();
  std::vector<host::GeneratedFile> files;
  const bool made = host::GenerateFragmentedFiles(*volume, settings, &files, &error);
  for (const host::GeneratedFile& file : files) {
    std::string path = text::Utf16ToUtf8(file.path);
    for (char& c : path) c = c == '\\' ? '/' : c;
    std::printf("/%s: %lld clusters in %lld fragments\n", path.c_str(), static_cast<long long>(file.clusters),
                static_cast<long long>(file.fragments));
  }
  volume.reset();
  if (!made) {
    std::fprintf(stderr, "spindraxel image: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int RunImageCommand(const std::vector<std::string>& args) {
  CommandLine parser("image", std::string(kCreateUsage) + "\n       " + kFragmentUsage,
                     std::string(kCreateDescription) + "\n" + kFragmentDescription, kImageFooter);
  std::string image, size, clusterSize;
  int64_t files = -1, seed = -1;
  CLI::App* create = parser.App().add_subcommand("create");
  CommandLine::Describe(*create, kCreateUsage, kCreateDescription, kImageFooter);
  create->add_option("IMAGE", image)->required();
  create->add_option("--size", size, "the volume's size")->option_text("SIZE")->required();
  create->add_option("--cluster-size", clusterSize, "its cluster size, 512 to 64K (4K by default)")
      ->option_text("SIZE");
  CLI::App* fragment = parser.App().add_subcommand("fragment");
  CommandLine::Describe(*fragment, kFragmentUsage, kFragmentDescription, kImageFooter);
  fragment->add_option("IMAGE", image)->required();
  fragment->add_option("--files", files, "how many files, up to 100000 (8 by default)")
      ->option_text("N")
      ->check(CLI::Range(0, 100000));
  fragment->add_option("--size", size, "each file's size (4M by default)")->option_text("SIZE");
  fragment->add_option("--seed", seed, "the random seed (1 by default)")
      ->option_text("S")
      ->check(CLI::Range(int64_t{0}, int64_t{UINT32_MAX}));
  if (const int status = parser.Parse(args); status >= 0) return status;
  if (create->parsed()) return Create(parser, image, size, clusterSize);
  if (fragment->parsed()) return Fragment(parser, image, size, files, seed);
  return parser.Refuse("expected create or fragment, e.g. spindraxel image create disk.img --size 256M");
}
