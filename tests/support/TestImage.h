// NTFS images for tests, each in its own temporary directory that goes with the object:
//
//   testsupport::TestImage image;                          // empty 64 MiB volume, 4 KiB clusters
//   ASSERT_TRUE(image.PutFile(u"Docs\\a.txt", "hello"));    // written through host::NtfsVolume
//   EXPECT_EQ(image.Ntfscat("/Docs/a.txt"), "hello");       // read back by an independent tool
//   ASSERT_TRUE(image.PutFileAt(u"b.bin", data, {{3000, 4}, {2000, 4}}));  // clusters exactly there
//   EXPECT_TRUE(image.ClustersConsistent());                // every used cluster claimed once
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/ntfs/NtfsVolume.h"
#include "host/offline/ConsistencyCheck.h"
#include "host/offline/ImageLayout.h"
#include "support/CommandRunner.h"

namespace testsupport {

// The layout types of host/ImageLayout, under the names the tests have always used.
using ClusterRun = host::ClusterRun;  // clusters [lcn, lcn + count)
using FilePiece = host::FilePiece;    // bytes at an offset of a sparse file

// The full path of an ntfs-3g tool (mkntfs lives in sbin, which a test's PATH may lack); "" when not installed.
std::string NtfsToolPath(const std::string& name);

class TestImage {
 public:
  // An empty NTFS volume of `sizeBytes` with `clusterSize`-byte clusters. Each size and cluster size is formatted
  // once per test binary; every image after that is a copy.
  explicit TestImage(uint64_t sizeBytes = 64ull << 20, uint32_t clusterSize = 4096);
  ~TestImage();
  TestImage(const TestImage&) = delete;
  TestImage& operator=(const TestImage&) = delete;

  const std::string& Path() const { return path_; }

  // These mount the image through host::NtfsVolume for the call only, so the image must not be mounted elsewhere
  // meanwhile. Paths are as NtfsVolume takes them (u"Dir\\File").
  //
  // Puts `bytes` at `path`, creating missing parent directories and replacing the content of an existing file.
  ::testing::AssertionResult PutFile(const std::u16string& path, const std::string& bytes);
  ::testing::AssertionResult MakeDirectory(const std::u16string& path);  // with missing parents

  // Layouts, made with the same move machinery as FSCTL_MOVE_FILE.
  //
  // Puts `bytes` at `path` with its clusters at `runs`, in file order: their counts add up to the file's clusters
  // and the targets are free.
  ::testing::AssertionResult PutFileAt(const std::u16string& path, const std::string& bytes,
                                       const std::vector<ClusterRun>& runs);
  // Puts `bytes` at `path` in `fragments` runs of nearly equal size, ascending, with one free cluster between
  // neighbours, in the first free space large enough outside the MFT zone. *runs (when given) receives them.
  ::testing::AssertionResult PutFragmentedFile(const std::u16string& path, const std::string& bytes, int fragments,
                                               std::vector<ClusterRun>* runs = nullptr);
  // A sparse file of `size` bytes with `pieces` in it (ascending, not overlapping) and holes, in whole clusters,
  // elsewhere.
  ::testing::AssertionResult PutSparseFile(const std::u16string& path, uint64_t size,
                                           const std::vector<FilePiece>& pieces);
  // A compressed file, created in its directory after flagging that directory compressed, as Windows compresses
  // new files in a compressed directory.
  ::testing::AssertionResult PutCompressedFile(const std::u16string& path, const std::string& bytes);
  // Allocates every free cluster except those of `keepFree` (which must be free) to one file at `path`: its
  // clusters are allocated, not written, and read as zeros.
  ::testing::AssertionResult FillVolumeExcept(const std::vector<ClusterRun>& keepFree,
                                              const std::u16string& path = u"Filler.bin");

  // The runs of a file's stream as the host reports them (holes with lcn NtfsVolume::kHoleLcn); fails the current
  // test and returns none when they cannot be read.
  std::vector<host::NtfsVolume::Run> RunsOf(const std::u16string& path);
  // The consistency checker's verdict on the clusters, with its findings as the failure message.
  ::testing::AssertionResult ClustersConsistent() const;
  // The checker's fragment count of `path` ("/Dir/File"); fails the current test when it cannot count.
  host::FileFragmentation Fragments(const std::string& path) const;

  // Independent views through the ntfs-3g tools, with paths as they take them ("/Dir/File", case-sensitive).
  //
  // The content of `path` (u"Dir\\File", case-sensitive here) as ntfscat reads it; fails the current test and
  // returns "" when it cannot be read.
  std::string ReadFile(const std::u16string& path) const;
  // ntfscat's output for `path`; fails the current test when ntfscat fails.
  std::string Ntfscat(const std::string& path) const;
  // `ntfsfix -n`: checks without changing anything; exit status 0 for a consistent volume.
  CommandResult RunNtfsfix() const;

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace testsupport
