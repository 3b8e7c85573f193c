#include "support/TestImage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ConsistencyCheck.h"
#include "host/offline/ImageLayout.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;
using host::Hex;
using host::Narrow;
using host::NtfsVolume;

std::string MakeTempDirectory() {
  std::string pattern = (fs::temp_directory_path() / "spindraxel-ntfs-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

// Copies only the data regions of `source`: a fresh volume is mostly hole, and a full copy of every test's image
// would cost more than the test.
bool CopySparse(const std::string& source, const std::string& target) {
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = open(target.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  bool ok = in >= 0 && out >= 0;
  const off_t size = ok ? lseek(in, 0, SEEK_END) : -1;
  ok = ok && size >= 0 && ftruncate(out, size) == 0;
  std::vector<char> buffer(1 << 20);
  for (off_t data = 0; ok && data < size;) {
    data = lseek(in, data, SEEK_DATA);
    if (data < 0) break;  // ENXIO: only a hole is left
    const off_t hole = lseek(in, data, SEEK_HOLE);
    ok = hole > data;
    for (; ok && data < hole;) {
      const ssize_t got = pread(in, buffer.data(), std::min<off_t>(hole - data, buffer.size()), data);
      ok = got > 0 && pwrite(out, buffer.data(), got, data) == got;
      data += ok ? got : 0;
    }
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return ok;
}

// The formatted images of this test binary, one per size and cluster size, removed at exit.
class TemplateStore {
 public:
  ~TemplateStore() {
    std::error_code ignored;
    if (!directory_.empty()) fs::remove_all(directory_, ignored);
  }

  // The template for `size` and `clusterSize`, formatted on first use; "" with *error set when formatting failed.
  std::string Get(uint64_t size, uint32_t clusterSize, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto key = std::make_pair(size, clusterSize);
    const auto found = templates_.find(key);
    if (found != templates_.end()) return found->second;

    if (directory_.empty()) directory_ = MakeTempDirectory();
    if (directory_.empty()) {
      *error = "cannot make a temporary directory";
      return "";
    }
    const std::string path = directory_ + "/" + std::to_string(size) + "-" + std::to_string(clusterSize) + ".img";
    // mkntfs takes the volume size from the file, so the file gets its full (sparse) size first.
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    const bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (fd >= 0) close(fd);
    if (!sized) {
      *error = "cannot create " + path;
      return "";
    }
    const CommandResult format =
        RunCommand({NtfsToolPath("mkntfs"), "-F", "-f", "-Q", "-q", "-c", std::to_string(clusterSize), path});
    if (format.exitStatus != 0) {
      *error = "mkntfs failed (" + std::to_string(format.exitStatus) + "): " + format.err;
      unlink(path.c_str());
      return "";
    }
    templates_[key] = path;
    return path;
  }

 private:
  std::mutex mutex_;
  std::string directory_;
  std::map<std::pair<uint64_t, uint32_t>, std::string> templates_;
};

TemplateStore& Templates() {
  static TemplateStore store;
  return store;
}

// The layout calls' verdict as a test assertion.
::testing::AssertionResult Verdict(bool ok, const std::string& error) {
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << error;
}

}  // namespace

std::string NtfsToolPath(const std::string& name) {
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
  return "";
}

TestImage::TestImage(uint64_t sizeBytes, uint32_t clusterSize) {
  std::string error;
  const std::string source = Templates().Get(sizeBytes, clusterSize, &error);
  directory_ = MakeTempDirectory();
  if (source.empty() || directory_.empty()) {
    ADD_FAILURE() << "no test image: " << (error.empty() ? "cannot make a temporary directory" : error);
    return;
  }
  path_ = directory_ + "/volume.img";
  if (!CopySparse(source, path_)) ADD_FAILURE() << "copying the test image to " << path_ << " failed";
}

TestImage::~TestImage() {
  std::error_code ignored;
  if (!directory_.empty()) fs::remove_all(directory_, ignored);
}

::testing::AssertionResult TestImage::PutFile(const std::u16string& path, const std::string& bytes) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  const bool ok = host::PutFile(*volume, path, bytes, nullptr, &error);
  return Verdict(ok, error);
}

::testing::AssertionResult TestImage::MakeDirectory(const std::u16string& path) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  const bool ok = host::MakeDirectories(*volume, path, &error);
  return Verdict(ok, error);
}

std::string TestImage::ReadFile(const std::u16string& path) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) {
    ADD_FAILURE() << error;
    return "";
  }
  NtfsVolume::Node node;
  NTSTATUS status = volume->Lookup(path, &node);
  if (!NT_SUCCESS(status) || node.isDirectory) {
    ADD_FAILURE() << "looking up " << Narrow(path) << " answered " << Hex(status)
                  << (node.isDirectory ? " (a directory)" : "");
    return "";
  }
  std::string content(node.size, '\0');
  for (uint64_t done = 0; done < node.size;) {
    uint32_t got = 0;
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(node.size - done, 16 << 20));
    status = volume->Read(node.mftRef, done, &content[done], length, &got);
    if (!NT_SUCCESS(status) || got == 0) {
      ADD_FAILURE() << "reading " << Narrow(path) << " at " << done << " answered " << Hex(status);
      return "";
    }
    done += got;
  }
  return content;
}

std::string TestImage::Ntfscat(const std::string& path) const {
  const CommandResult result = RunCommand({NtfsToolPath("ntfscat"), path_, path});
  if (result.exitStatus != 0) {
    ADD_FAILURE() << "ntfscat " << path << " exited with " << result.exitStatus << ": " << result.err;
  }
  return result.out;
}

CommandResult TestImage::RunNtfsfix() const { return RunCommand({NtfsToolPath("ntfsfix"), "-n", path_}); }

::testing::AssertionResult TestImage::PutFileAt(const std::u16string& path, const std::string& bytes,
                                                const std::vector<ClusterRun>& runs) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  NtfsVolume::Node node;
  const bool ok =
      host::PutFile(*volume, path, bytes, &node, &error) && host::PlaceRuns(*volume, node.mftRef, runs, &error);
  return Verdict(ok, error);
}

::testing::AssertionResult TestImage::PutFragmentedFile(const std::u16string& path, const std::string& bytes,
                                                        int fragments, std::vector<ClusterRun>* runs) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  NtfsVolume::Node node;
  const bool ok = host::PutFile(*volume, path, bytes, &node, &error) &&
                  host::FragmentFile(*volume, node.mftRef, fragments, runs, &error);
  return Verdict(ok, error);
}

::testing::AssertionResult TestImage::PutSparseFile(const std::u16string& path, uint64_t size,
                                                    const std::vector<FilePiece>& pieces) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  const bool ok = host::PutSparseFile(*volume, path, size, pieces, &error);
  return Verdict(ok, error);
}

::testing::AssertionResult TestImage::PutCompressedFile(const std::u16string& path, const std::string& bytes) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  const bool ok = host::PutCompressedFile(*volume, path, bytes, &error);
  return Verdict(ok, error);
}

::testing::AssertionResult TestImage::FillVolumeExcept(const std::vector<ClusterRun>& keepFree,
                                                       const std::u16string& path) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  const bool ok = host::FillVolumeExcept(*volume, keepFree, path, &error);
  return Verdict(ok, error);
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
  if (!report.Consistent()) return ::testing::AssertionFailure() << report.Describe();
  return ::testing::AssertionSuccess();
}

host::FileFragmentation TestImage::Fragments(const std::string& path) const {
  std::string error;
  std::unique_ptr<host::ConsistencyCheck> check = host::ConsistencyCheck::Open(path_, &error);
  host::FileFragmentation result;
  if (!check || !check->Fragmentation(path, &result, &error)) ADD_FAILURE() << error;
  return result;
}

}  // namespace testsupport
