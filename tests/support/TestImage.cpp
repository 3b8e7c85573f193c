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

#include "host/ConsistencyCheck.h"
#include "host/NtfsLib.h"
#include "host/NtfsVolume.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;
using host::NtfsVolume;

std::string MakeTempDirectory() {
  std::string pattern = (fs::temp_directory_path() / "spindraxel-ntfs-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

// For messages only: the test paths are ASCII.
std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
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

// Creates the directory `path` and any missing parents.
::testing::AssertionResult MakeDirectories(NtfsVolume& volume, const std::u16string& path) {
  for (size_t end = path.find(u'\\');; end = path.find(u'\\', end + 1)) {
    const std::u16string prefix = path.substr(0, end);
    NtfsVolume::Node node;
    NTSTATUS status = volume.Create(prefix, true, &node);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
      status = volume.Lookup(prefix, &node);
      if (NT_SUCCESS(status) && !node.isDirectory) {
        return ::testing::AssertionFailure() << Narrow(prefix) << " exists and is not a directory";
      }
    }
    if (!NT_SUCCESS(status)) {
      return ::testing::AssertionFailure() << "creating directory " << Narrow(prefix) << " answered " << Hex(status);
    }
    if (end == std::u16string::npos) return ::testing::AssertionSuccess();
  }
}

// Creates or empties the file `path` (and missing parents) and writes `bytes` to it.
::testing::AssertionResult WriteFileOn(NtfsVolume& volume, const std::u16string& path, const std::string& bytes,
                                       NtfsVolume::Node* node) {
  const size_t lastSeparator = path.rfind(u'\\');
  if (lastSeparator != std::u16string::npos) {
    ::testing::AssertionResult made = MakeDirectories(volume, path.substr(0, lastSeparator));
    if (!made) return made;
  }
  NTSTATUS status = volume.Create(path, false, node);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    status = volume.Lookup(path, node);
    if (NT_SUCCESS(status) && node->isDirectory) {
      return ::testing::AssertionFailure() << Narrow(path) << " is a directory";
    }
    if (NT_SUCCESS(status)) status = volume.SetSize(node->mftRef, 0);
  }
  if (!NT_SUCCESS(status)) {
    return ::testing::AssertionFailure() << "creating " << Narrow(path) << " answered " << Hex(status);
  }
  constexpr size_t kChunk = 16 << 20;
  for (size_t done = 0; done < bytes.size(); done += kChunk) {
    const uint32_t length = static_cast<uint32_t>(std::min(kChunk, bytes.size() - done));
    status = volume.Write(node->mftRef, done, bytes.data() + done, length);
    if (!NT_SUCCESS(status)) {
      return ::testing::AssertionFailure()
             << "writing " << Narrow(path) << " at " << done << " answered " << Hex(status);
    }
  }
  return ::testing::AssertionSuccess();
}

// Every run of the stream of `mftRef`.
NTSTATUS AllRuns(NtfsVolume& volume, uint64_t mftRef, std::vector<NtfsVolume::Run>* runs) {
  bool more = false;
  NTSTATUS status = volume.GetRuns(mftRef, 0, SIZE_MAX, runs, &more);
  if (status == STATUS_END_OF_FILE) runs->clear();
  return status == STATUS_END_OF_FILE ? STATUS_SUCCESS : status;
}

// Moves the clusters of `mftRef` (a file without holes) to `runs`, in file order. When the file lies where it is to
// go, it is first moved as a whole out of the way.
::testing::AssertionResult PlaceRuns(NtfsVolume& volume, uint64_t mftRef, const std::vector<ClusterRun>& runs) {
  std::vector<NtfsVolume::Run> current;
  NTSTATUS status = AllRuns(volume, mftRef, &current);
  if (!NT_SUCCESS(status)) return ::testing::AssertionFailure() << "reading the runs answered " << Hex(status);
  int64_t allocated = 0, wanted = 0, low = INT64_MAX, high = 0;
  bool overlaps = false;
  for (const ClusterRun& run : runs) {
    wanted += run.count;
    low = std::min(low, run.lcn);
    high = std::max(high, run.lcn + run.count);
  }
  for (const NtfsVolume::Run& run : current) {
    if (run.lcn == NtfsVolume::kHoleLcn) return ::testing::AssertionFailure() << "the file has holes";
    allocated += run.length;
    overlaps = overlaps || (run.lcn < high && low < run.lcn + run.length);
  }
  if (allocated != wanted) {
    return ::testing::AssertionFailure() << "the runs hold " << wanted << " clusters, the file " << allocated;
  }
  if (overlaps) {
    int64_t aside = 0;
    status = volume.FindFreeRun(allocated, low, high - low, &aside);
    if (NT_SUCCESS(status)) status = volume.MoveClusters(mftRef, 0, allocated, aside);
    if (!NT_SUCCESS(status)) {
      return ::testing::AssertionFailure() << "moving the file out of the way answered " << Hex(status);
    }
  }
  int64_t vcn = 0;
  for (const ClusterRun& run : runs) {
    status = volume.MoveClusters(mftRef, vcn, run.count, run.lcn);
    if (!NT_SUCCESS(status)) {
      return ::testing::AssertionFailure()
             << "moving " << run.count << " clusters to " << run.lcn << " answered " << Hex(status);
    }
    vcn += run.count;
  }
  return ::testing::AssertionSuccess();
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
  NtfsVolume::Node node;
  return WriteFileOn(*volume, path, bytes, &node);
}

::testing::AssertionResult TestImage::MakeDirectory(const std::u16string& path) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  return MakeDirectories(*volume, path);
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
  ::testing::AssertionResult written = WriteFileOn(*volume, path, bytes, &node);
  if (!written) return written;
  return PlaceRuns(*volume, node.mftRef, runs);
}

::testing::AssertionResult TestImage::PutFragmentedFile(const std::u16string& path, const std::string& bytes,
                                                        int fragments, std::vector<ClusterRun>* runs) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  NtfsVolume::Node node;
  ::testing::AssertionResult written = WriteFileOn(*volume, path, bytes, &node);
  if (!written) return written;
  std::vector<NtfsVolume::Run> current;
  NTSTATUS status = AllRuns(*volume, node.mftRef, &current);
  if (!NT_SUCCESS(status)) return ::testing::AssertionFailure() << "reading the runs answered " << Hex(status);
  const int64_t clusters = current.empty() ? 0 : current.back().vcn + current.back().length;
  if (fragments < 1 || clusters < fragments) {
    return ::testing::AssertionFailure() << clusters << " clusters cannot make " << fragments << " fragments";
  }
  // Outside the MFT zone: the MFT grows there when the runlist needs extension records, right under the moves.
  NTFS_VOLUME_DATA_BUFFER data;
  status = volume->GetVolumeData(&data);
  int64_t start = 0;
  if (NT_SUCCESS(status)) {
    status = volume->FindFreeRun(clusters + fragments - 1, data.MftZoneStart.QuadPart,
                                 data.MftZoneEnd.QuadPart - data.MftZoneStart.QuadPart, &start);
  }
  if (!NT_SUCCESS(status)) return ::testing::AssertionFailure() << "no free space answered " << Hex(status);
  std::vector<ClusterRun> layout;
  for (int i = 0; i < fragments; ++i) {
    const int64_t count = clusters / fragments + (i < clusters % fragments ? 1 : 0);
    layout.push_back(ClusterRun{start, count});
    start += count + 1;
  }
  if (runs != nullptr) *runs = layout;
  return PlaceRuns(*volume, node.mftRef, layout);
}

::testing::AssertionResult TestImage::PutSparseFile(const std::u16string& path, uint64_t size,
                                                    const std::vector<FilePiece>& pieces) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  NtfsVolume::Node node;
  ::testing::AssertionResult created = WriteFileOn(*volume, path, "", &node);
  if (!created) return created;

  // NtfsVolume keeps files solid, as Windows does; writing past the end through the library leaves holes and
  // makes the stream sparse.
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume->Raw();
  ntfs_inode* inode = ntfs_inode_open(vol, MREF(node.mftRef));
  ntfs_attr* data = inode == nullptr ? nullptr : ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
  bool ok = data != nullptr;
  for (const FilePiece& piece : pieces) {
    ok = ok && ntfs_attr_pwrite(data, static_cast<s64>(piece.offset), static_cast<s64>(piece.bytes.size()),
                                piece.bytes.data()) == static_cast<s64>(piece.bytes.size());
  }
  if (ok && static_cast<s64>(size) > data->data_size) ok = ntfs_attr_truncate(data, static_cast<s64>(size)) == 0;
  const bool sparse = ok && NAttrSparse(data);
  if (data != nullptr) ntfs_attr_close(data);
  if (inode != nullptr && ntfs_inode_close(inode) != 0) ok = false;
  if (!ok) return ::testing::AssertionFailure() << "writing the sparse file " << Narrow(path) << " failed";
  if (!sparse) return ::testing::AssertionFailure() << Narrow(path) << " did not become sparse";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult TestImage::PutCompressedFile(const std::u16string& path, const std::string& bytes) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  const size_t lastSeparator = path.rfind(u'\\');
  const std::u16string directory = lastSeparator == std::u16string::npos ? u"" : path.substr(0, lastSeparator);
  if (!directory.empty()) {
    ::testing::AssertionResult made = MakeDirectories(*volume, directory);
    if (!made) return made;
  }
  NtfsVolume::Node parent;
  NTSTATUS status = volume->Lookup(directory, &parent);
  if (!NT_SUCCESS(status)) return ::testing::AssertionFailure() << "looking up the directory answered " << Hex(status);

  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume->Raw();
  NVolSetCompression(vol);
  ntfs_inode* dir = ntfs_inode_open(vol, MREF(parent.mftRef));
  if (dir == nullptr) return ::testing::AssertionFailure() << "opening the directory failed";
  dir->flags = static_cast<FILE_ATTR_FLAGS>(dir->flags | FILE_ATTR_COMPRESSED);
  std::vector<ntfschar> name;
  for (char16_t c : path.substr(lastSeparator == std::u16string::npos ? 0 : lastSeparator + 1)) {
    name.push_back(cpu_to_le16(c));
  }
  ntfs_inode* file = ntfs_create(dir, const_cpu_to_le32(0), name.data(), static_cast<u8>(name.size()), S_IFREG);
  ntfs_attr* data = file == nullptr ? nullptr : ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
  bool ok = data != nullptr;
  constexpr size_t kPiece = 64 * 1024;  // larger writes fail on fragmented free space (see NtfsVolume)
  for (size_t done = 0; ok && done < bytes.size(); done += kPiece) {
    const s64 length = static_cast<s64>(std::min(kPiece, bytes.size() - done));
    ok = ntfs_attr_pwrite(data, static_cast<s64>(done), length, bytes.data() + done) == length;
  }
  ok = ok && ntfs_attr_pclose(data) == 0;
  const bool compressed = ok && NAttrCompressed(data);
  if (data != nullptr) ntfs_attr_close(data);
  if (file != nullptr && ntfs_inode_close_in_dir(file, dir) != 0) ok = false;
  if (ntfs_inode_close(dir) != 0) ok = false;
  if (!ok) return ::testing::AssertionFailure() << "writing the compressed file " << Narrow(path) << " failed";
  if (!compressed) return ::testing::AssertionFailure() << Narrow(path) << " did not become compressed";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult TestImage::FillVolumeExcept(const std::vector<ClusterRun>& keepFree,
                                                       const std::u16string& path) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  if (!volume) return ::testing::AssertionFailure() << error;
  NtfsVolume::Node filler;
  ::testing::AssertionResult created = WriteFileOn(*volume, path, "", &filler);
  if (!created) return created;

  // The clusters to keep are marked used while the filler takes everything else, then given back.
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume->Raw();
  const int64_t total = vol->nr_clusters;
  std::vector<uint8_t> bits(static_cast<size_t>((total + 7) / 8));
  auto used = [&bits](int64_t lcn) { return (bits[lcn / 8] >> (lcn % 8)) & 1; };
  NTSTATUS status = volume->ReadBitmap(0, bits.size(), bits.data());
  if (!NT_SUCCESS(status)) return ::testing::AssertionFailure() << "reading the bitmap answered " << Hex(status);
  int64_t freeClusters = 0;
  for (int64_t lcn = 0; lcn < total; ++lcn) freeClusters += used(lcn) ? 0 : 1;
  for (const ClusterRun& run : keepFree) {
    for (int64_t lcn = run.lcn; lcn < run.lcn + run.count; ++lcn) {
      if (lcn >= total || used(lcn)) return ::testing::AssertionFailure() << "cluster " << lcn << " is not free";
    }
    freeClusters -= run.count;
  }
  for (const ClusterRun& run : keepFree) ntfs_bitmap_set_run(vol->lcnbmp_na, run.lcn, run.count);
  if (NT_SUCCESS(status))
    status = volume->SetSize(filler.mftRef, static_cast<uint64_t>(freeClusters) * vol->cluster_size);
  for (const ClusterRun& run : keepFree) ntfs_bitmap_clear_run(vol->lcnbmp_na, run.lcn, run.count);
  if (!NT_SUCCESS(status)) return ::testing::AssertionFailure() << "allocating the filler answered " << Hex(status);
  return ::testing::AssertionSuccess();
}

std::vector<host::NtfsVolume::Run> TestImage::RunsOf(const std::u16string& path) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(path_, &error);
  std::vector<NtfsVolume::Run> runs;
  NtfsVolume::Node node;
  NTSTATUS status = volume ? volume->Lookup(path, &node) : STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) status = AllRuns(*volume, node.mftRef, &runs);
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
