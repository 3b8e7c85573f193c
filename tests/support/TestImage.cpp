#include "support/TestImage.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

namespace testsupport {
namespace {

namespace fs = std::filesystem;
using host::Hex;
using host::Narrow;
using host::NtfsVolume;

std::string MakeTempDirectory() {
  std::string pattern = (fs::temp_directory_path() / "spindraxel-ntfs-XXXXXX").string();
  return mkdtemp(pattern.data()) == nullptr ? "" : pattern;
}

// The formatted images of this test binary, one per size and cluster size, removed at exit.
struct TemplateStore {
  std::mutex mutex;
  std::string directory = MakeTempDirectory();
  std::map<std::pair<uint64_t, uint32_t>, std::string> paths;
  ~TemplateStore() {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
  }
};

// The template for `size` and `clusterSize`, formatted on first use; "" with *error set when formatting failed.
std::string Template(uint64_t size, uint32_t clusterSize, std::string* error) {
  static TemplateStore store;
  std::lock_guard<std::mutex> lock(store.mutex);
  std::string& path = store.paths[{size, clusterSize}];
  if (!path.empty()) return path;
  const std::string file = store.directory + "/" + std::to_string(size) + "-" + std::to_string(clusterSize) + ".img";
  // mkntfs takes the volume size from the file, so the file gets its full (sparse) size first.
  std::ofstream{file};
  std::error_code failed;
  fs::resize_file(file, size, failed);
  const CommandResult format =
      failed ? CommandResult{}
             : RunCommand({NtfsToolPath("mkntfs"), "-F", "-f", "-Q", "-q", "-c", std::to_string(clusterSize), file});
  if (format.exitStatus != 0) {
    *error = "cannot format " + file + ": " + (failed ? failed.message() : format.err);
    return "";
  }
  return path = file;
}

// Mounts the image for one `step` (a call of host/ImageLayout taking the volume and an error text) and gives its
// verdict, or the mount's, as a test assertion.
template <typename Step>
::testing::AssertionResult OnVolume(const std::string& image, Step step) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image, &error);
  if (volume) volume->SkipMoveFlushes();
  if (volume && step(*volume, &error)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << error;
}

}  // namespace

std::string NtfsToolPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream directories(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = directory + "/" + name;
    if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

TestImage::TestImage(uint64_t sizeBytes, uint32_t clusterSize) {
  std::string error;
  const std::string source = Template(sizeBytes, clusterSize, &error);
  directory_ = MakeTempDirectory();
  if (source.empty() || directory_.empty()) {
    ADD_FAILURE() << "no test image: " << (error.empty() ? "cannot make a temporary directory" : error);
    return;
  }
  path_ = directory_ + "/volume.img";
  // Only the data regions are copied: a fresh volume is mostly hole, and a full copy of every test's image would
  // cost more than the test.
  const CommandResult copy = RunCommand({"/bin/cp", "--sparse=always", source, path_});
  if (copy.exitStatus != 0) ADD_FAILURE() << "copying the test image to " << path_ << " failed: " << copy.err;
}

TestImage::~TestImage() {
  std::error_code ignored;
  if (!directory_.empty()) fs::remove_all(directory_, ignored);
}

// Each layout step below is a call of host/ImageLayout on the mounted volume (`v`), its error text in `e`.
::testing::AssertionResult TestImage::PutFile(const std::u16string& path, const std::string& bytes) {
  return OnVolume(path_, [&](NtfsVolume& v, std::string* e) { return host::PutFile(v, path, bytes, nullptr, e); });
}

::testing::AssertionResult TestImage::MakeDirectory(const std::u16string& path) {
  return OnVolume(path_, [&](NtfsVolume& v, std::string* e) { return host::MakeDirectories(v, path, e); });
}

std::string TestImage::ReadFile(const std::u16string& path) const {
  std::string slashed = "/" + Narrow(path);
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  return Ntfscat(slashed);
}

std::string TestImage::Ntfscat(const std::string& path) const {
  const CommandResult result = RunCommand({NtfsToolPath("ntfscat"), path_, path});
  if (result.exitStatus != 0)
    ADD_FAILURE() << "ntfscat " << path << " exited " << result.exitStatus << ": " << result.err;
  return result.out;
}

CommandResult TestImage::RunNtfsfix() const { return RunCommand({NtfsToolPath("ntfsfix"), "-n", path_}); }

::testing::AssertionResult TestImage::PutFileAt(const std::u16string& path, const std::string& bytes,
                                                const std::vector<ClusterRun>& runs) {
  return OnVolume(path_, [&](NtfsVolume& v, std::string* e) {
    NtfsVolume::Node node;
    return host::PutFile(v, path, bytes, &node, e) && host::PlaceRuns(v, node.mftRef, runs, e);
  });
}

::testing::AssertionResult TestImage::PutFragmentedFile(const std::u16string& path, const std::string& bytes,
                                                        int fragments, std::vector<ClusterRun>* runs) {
  return OnVolume(path_, [&](NtfsVolume& v, std::string* e) {
    NtfsVolume::Node node;
    return host::PutFile(v, path, bytes, &node, e) && host::FragmentFile(v, node.mftRef, fragments, runs, e);
  });
}

::testing::AssertionResult TestImage::PutSparseFile(const std::u16string& path, uint64_t size,
                                                    const std::vector<FilePiece>& pieces) {
  return OnVolume(path_, [&](NtfsVolume& v, std::string* e) { return host::PutSparseFile(v, path, size, pieces, e); });
}

::testing::AssertionResult TestImage::PutCompressedFile(const std::u16string& path, const std::string& bytes) {
  return OnVolume(path_, [&](NtfsVolume& v, std::string* e) { return host::PutCompressedFile(v, path, bytes, e); });
}

::testing::AssertionResult TestImage::FillVolumeExcept(const std::vector<ClusterRun>& keepFree,
                                                       const std::u16string& path) {
  return OnVolume(path_, [&](NtfsVolume& v, std::string* e) { return host::FillVolumeExcept(v, keepFree, path, e); });
}

std::vector<host::NtfsVolume::Run> TestImage::RunsOf(const std::u16string& path) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  std::vector<NtfsVolume::Run> runs;
  NtfsVolume::Node node;
  NTSTATUS status = volume ? volume->Lookup(path, &node) : STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) status = host::AllRuns(*volume, node.mftRef, &runs);
  if (!NT_SUCCESS(status)) ADD_FAILURE() << "the runs of " << Narrow(path) << ": " << Hex(status) << " " << error;
  return runs;
}

::testing::AssertionResult TestImage::ClustersConsistent() const {
  std::string error;
  std::unique_ptr<host::ConsistencyCheck> check = host::ConsistencyCheck::Open(path_, &error);
  host::ClusterReport report;
  if (!check || !check->CheckClusters(&report, &error)) return ::testing::AssertionFailure() << error;
  return report.Consistent() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << report.Describe();
}

host::FileFragmentation TestImage::Fragments(const std::string& path) const {
  std::string error;
  std::unique_ptr<host::ConsistencyCheck> check = host::ConsistencyCheck::Open(path_, &error);
  host::FileFragmentation result;
  if (!check || !check->Fragmentation(path, &result, &error)) ADD_FAILURE() << error;
  return result;
}

}  // namespace testsupport
