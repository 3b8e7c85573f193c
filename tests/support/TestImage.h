// NTFS images for tests, each in its own temporary directory that goes with the object:
//
//   testsupport::TestImage image;                          // empty 64 MiB volume, 4 KiB clusters
//   ASSERT_TRUE(image.PutFile(u"Docs\\a.txt", "hello"));    // written through host::NtfsVolume
//   EXPECT_EQ(image.Ntfscat("/Docs/a.txt"), "hello");       // read back by an independent tool
#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "support/CommandRunner.h"

namespace testsupport {

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
  // The content of `path`; fails the current test and returns "" when it cannot be read.
  std::string ReadFile(const std::u16string& path);

  // Independent views through the ntfs-3g tools, with paths as they take them ("/Dir/File", case-sensitive).
  //
  // ntfscat's output for `path`; fails the current test when ntfscat fails.
  std::string Ntfscat(const std::string& path) const;
  // `ntfsfix -n`: checks without changing anything; exit status 0 for a consistent volume.
  CommandResult RunNtfsfix() const;

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace testsupport
