#include "host/NtfsVolume.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/NtfsLib.h"
#include "support/TestImage.h"

namespace {

using host::NtfsVolume;
using Node = NtfsVolume::Node;
using testsupport::TestImage;

::testing::AssertionResult StatusEq(const char* expectedText, const char* actualText, NTSTATUS expected,
                                    NTSTATUS actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  char text[64];
  std::snprintf(text, sizeof(text), "0x%08X, expected 0x%08X", static_cast<unsigned>(actual),
                static_cast<unsigned>(expected));
  return ::testing::AssertionFailure() << actualText << " is " << text << " (" << expectedText << ")";
}
#define EXPECT_STATUS(expected, actual) EXPECT_PRED_FORMAT2(StatusEq, expected, actual)
#define ASSERT_STATUS(expected, actual) ASSERT_PRED_FORMAT2(StatusEq, expected, actual)

std::string Pattern(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 17 + i / 251) & 0xFF);
  return bytes;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string UpperAscii(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

std::string ReadAll(NtfsVolume& volume, uint64_t mftRef, uint64_t size) {
  std::string content(size, '\0');
  uint32_t got = 0;
  EXPECT_STATUS(STATUS_SUCCESS, volume.Read(mftRef, 0, &content[0], static_cast<uint32_t>(size), &got));
  EXPECT_EQ(got, size);
  return content;
}

bool IsSparse(NtfsVolume& volume, uint64_t mftRef) {
  std::lock_guard<std::recursive_mutex> lock(volume.LibraryLock());
  ntfs_inode* inode = ntfs_inode_open(volume.Raw(), MREF(mftRef));
  if (inode == nullptr) return false;
  ntfs_attr* data = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
  const bool sparse = data != nullptr && NAttrSparse(data);
  if (data != nullptr) ntfs_attr_close(data);
  ntfs_inode_close(inode);
  return sparse;
}

// Every test starts from this small tree: Dir\File.txt ("abc") and Top.bin (100 bytes of Pattern).
class NtfsVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_.PutFile(u"Dir\\File.txt", "abc"));
    ASSERT_TRUE(image_.PutFile(u"Top.bin", Pattern(100)));
    Remount();
  }

  void Remount() {
    volume_.reset();
    std::string error;
    volume_ = NtfsVolume::Mount(image_.Path(), &error);
    ASSERT_NE(volume_, nullptr) << error;
  }

  Node MustLookup(const std::u16string& path) {
    Node node;
    EXPECT_STATUS(STATUS_SUCCESS, volume_->Lookup(path, &node));
    return node;
  }

  Node MustCreateFile(const std::u16string& path, const std::string& content) {
    Node node;
    EXPECT_STATUS(STATUS_SUCCESS, volume_->Create(path, false, &node));
    if (!content.empty()) {
      EXPECT_STATUS(STATUS_SUCCESS,
                    volume_->Write(node.mftRef, 0, content.data(), static_cast<uint32_t>(content.size())));
    }
    return node;
  }

  TestImage image_;
  std::unique_ptr<NtfsVolume> volume_;
};

// ---------------------------------------------------------------------------------------------------------------
// Write and size

// Extending a file that is not sparse allocates the gap, as NTFS on Windows does; the library on its own would
// leave a hole and mark the file sparse, which the defragmenter then treats differently.
enum class Extension { kWriteAfterGap, kSetSize };
const char* NameOf(Extension way) { return way == Extension::kWriteAfterGap ? "WriteAfterGap" : "SetSize"; }
void PrintTo(Extension way, std::ostream* out) { *out << NameOf(way); }

class NtfsVolumeExtendTest : public NtfsVolumeTest, public ::testing::WithParamInterface<Extension> {};

TEST_P(NtfsVolumeExtendTest, GapReadsAsZerosAndFileStaysNotSparse) {
  const uint64_t end = 5 * 65536 + 1000;
  const Node file = MustCreateFile(u"Grow.bin", "head");
  std::string expected = "head" + std::string(end - 4, '\0');
  if (GetParam() == Extension::kWriteAfterGap) {
    ASSERT_STATUS(STATUS_SUCCESS, volume_->Write(file.mftRef, end - 4, "tail", 4));
    expected.replace(end - 4, 4, "tail");
  } else {
    ASSERT_STATUS(STATUS_SUCCESS, volume_->SetSize(file.mftRef, end));
  }
  uint64_t size = 0;
  ASSERT_STATUS(STATUS_SUCCESS, volume_->GetSize(file.mftRef, &size));
  ASSERT_EQ(size, end);
  EXPECT_TRUE(ReadAll(*volume_, file.mftRef, end) == expected);
  EXPECT_FALSE(IsSparse(*volume_, file.mftRef));

  volume_.reset();
  EXPECT_TRUE(image_.Ntfscat("/Grow.bin") == expected);
  EXPECT_EQ(image_.RunNtfsfix().exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, NtfsVolumeExtendTest, ::testing::Values(Extension::kWriteAfterGap, Extension::kSetSize),
                         [](const ::testing::TestParamInfo<Extension>& info) { return NameOf(info.param); });

TEST_F(NtfsVolumeTest, SetSizeShrinksAndReadsStopAtTheNewEnd) {
  const Node file = MustLookup(u"Top.bin");
  ASSERT_STATUS(STATUS_SUCCESS, volume_->SetSize(file.mftRef, 40));
  EXPECT_EQ(ReadAll(*volume_, file.mftRef, 40), Pattern(100).substr(0, 40));
  char byte = 0;
  uint32_t got = 1;
  EXPECT_STATUS(STATUS_SUCCESS, volume_->Read(file.mftRef, 40, &byte, 1, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(MustLookup(u"Top.bin").size, 40u);
}

// The library's allocator refuses requests that need many fragments (ENOSPC) even with thousands of clusters free.
TEST(NtfsVolumeFragmentedTest, WriteOfOneMebibyteReadsBackWhenFreeSpaceIsSingleClusters) {
  TestImage image(16 << 20);
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image.Path(), &error);
  ASSERT_NE(volume, nullptr) << error;

  // Fill the volume with one-cluster files, then free every other one.
  Node node;
  ASSERT_STATUS(STATUS_SUCCESS, volume->Create(u"Fill", true, &node));
  const std::string filler(4096, 'f');
  int count = 0;
  for (;; ++count) {
    const std::u16string path = u"Fill\\" + Widen(std::to_string(count));
    NTSTATUS status = volume->Create(path, false, &node);
    if (status == STATUS_SUCCESS) status = volume->Write(node.mftRef, 0, filler.data(), 4096);
    if (status == STATUS_DISK_FULL) break;
    ASSERT_STATUS(STATUS_SUCCESS, status);
  }
  ASSERT_GT(count, 500);
  for (int i = 0; i < count; i += 2) {
    ASSERT_STATUS(STATUS_SUCCESS, volume->Remove(u"Fill\\" + Widen(std::to_string(i))));
  }

  const std::string content = Pattern(1 << 20, 3);
  ASSERT_STATUS(STATUS_SUCCESS, volume->Create(u"Big.bin", false, &node));
  ASSERT_STATUS(STATUS_SUCCESS, volume->Write(node.mftRef, 0, content.data(), static_cast<uint32_t>(content.size())));
  EXPECT_TRUE(ReadAll(*volume, node.mftRef, content.size()) == content);
  volume.reset();
  EXPECT_EQ(image.RunNtfsfix().exitStatus, 0);
}

TEST(NtfsVolumeFullTest, WritePastTheFreeSpaceAnswersDiskFullAndLeavesAConsistentVolume) {
  TestImage image(8 << 20);
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image.Path(), &error);
  ASSERT_NE(volume, nullptr) << error;
  Node file;
  ASSERT_STATUS(STATUS_SUCCESS, volume->Create(u"Huge.bin", false, &file));
  const std::string chunk(1 << 20, 'h');
  NTSTATUS status = STATUS_SUCCESS;
  for (uint64_t offset = 0; offset < (16u << 20) && status == STATUS_SUCCESS; offset += chunk.size()) {
    status = volume->Write(file.mftRef, offset, chunk.data(), static_cast<uint32_t>(chunk.size()));
  }
  EXPECT_STATUS(STATUS_DISK_FULL, status);
  volume.reset();
  EXPECT_EQ(image.RunNtfsfix().exitStatus, 0);
}

TEST_F(NtfsVolumeTest, DirectoriesHaveNoDataToReadWriteOrResize) {
  const Node dir = MustLookup(u"Dir");
  char byte = 0;
  uint32_t got = 0;
  uint64_t size = 1;
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, volume_->Read(dir.mftRef, 0, &byte, 1, &got));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, volume_->Write(dir.mftRef, 0, "x", 1));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, volume_->SetSize(dir.mftRef, 10));
  EXPECT_STATUS(STATUS_SUCCESS, volume_->GetSize(dir.mftRef, &size));
  EXPECT_EQ(size, 0u);
}

// ---------------------------------------------------------------------------------------------------------------
// Remove

struct RemoveCase {
  const char* name;
  std::u16string path;
  NTSTATUS status;
};
void PrintTo(const RemoveCase& c, std::ostream* out) { *out << c.name; }

class NtfsVolumeRemoveTest : public NtfsVolumeTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(NtfsVolumeRemoveTest, AnswersAsNtfsOnWindowsAndRemovesOnlyTheName) {
  const RemoveCase& c = GetParam();
  Node node;
  ASSERT_STATUS(STATUS_SUCCESS, volume_->Create(u"Empty", true, &node));
  ASSERT_STATUS(c.status, volume_->Remove(c.path));
  if (c.status == STATUS_SUCCESS) {
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, volume_->Lookup(c.path, &node));
  }
  // Whatever else was there still is.
  for (const std::u16string other : {u"Dir", u"Top.bin", u"Empty", u"Dir\\File.txt"}) {
    if (UpperAscii(other) != UpperAscii(c.path)) {
      EXPECT_STATUS(STATUS_SUCCESS, volume_->Lookup(other, &node));
    }
  }
  volume_.reset();
  EXPECT_EQ(image_.RunNtfsfix().exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, NtfsVolumeRemoveTest,
                         ::testing::Values(RemoveCase{"File", u"Top.bin", STATUS_SUCCESS},
                                           RemoveCase{"FileInOtherCase", u"dir\\file.txt", STATUS_SUCCESS},
                                           RemoveCase{"EmptyDirectory", u"Empty", STATUS_SUCCESS},
                                           RemoveCase{"DirectoryNotEmpty", u"Dir", STATUS_DIRECTORY_NOT_EMPTY},
                                           RemoveCase{"MissingName", u"Dir\\Missing", STATUS_OBJECT_NAME_NOT_FOUND},
                                           RemoveCase{"MissingDirectory", u"Missing\\File.txt",
                                                      STATUS_OBJECT_PATH_NOT_FOUND},
                                           RemoveCase{"Root", u"", STATUS_CANNOT_DELETE},
                                           RemoveCase{"MetadataFile", u"$MFT", STATUS_ACCESS_DENIED}),
                         [](const ::testing::TestParamInfo<RemoveCase>& info) { return std::string(info.param.name); });

// The library opens a record by number alone; a reference kept past a delete must not reach the file that reuses
// the record.
TEST_F(NtfsVolumeTest, ReferenceToARemovedFileAnswersFileDeletedEvenAfterReuse) {
  const Node old = MustCreateFile(u"Old.txt", "old");
  ASSERT_STATUS(STATUS_SUCCESS, volume_->Remove(u"Old.txt"));
  Remount();  // the library allocates records onward from the last one until a new mount
  const Node reused = MustCreateFile(u"New.txt", "new");
  EXPECT_EQ(MREF(reused.mftRef), MREF(old.mftRef)) << "expected the freed record to be reused";

  char buffer[8];
  uint32_t got = 0;
  uint64_t size = 0;
  EXPECT_STATUS(STATUS_FILE_DELETED, volume_->Read(old.mftRef, 0, buffer, sizeof(buffer), &got));
  EXPECT_STATUS(STATUS_FILE_DELETED, volume_->Write(old.mftRef, 0, "bad", 3));
  EXPECT_STATUS(STATUS_FILE_DELETED, volume_->SetSize(old.mftRef, 0));
  EXPECT_STATUS(STATUS_FILE_DELETED, volume_->GetSize(old.mftRef, &size));
  EXPECT_EQ(ReadAll(*volume_, reused.mftRef, 3), "new");
}

// ---------------------------------------------------------------------------------------------------------------
// What reaches the image

TEST_F(NtfsVolumeTest, ChangesReachTheImageAndLeaveItCleanForTheNtfsTools) {
  Node node;
  ASSERT_STATUS(STATUS_SUCCESS, volume_->Create(u"Docs", true, &node));
  ASSERT_STATUS(STATUS_SUCCESS, volume_->Create(u"docs\\Deep", true, &node));
  const std::string big = Pattern(200000, 4);
  MustCreateFile(u"Docs\\Deep\\MixedCase.Txt", big);
  const Node shrunk = MustLookup(u"top.bin");
  ASSERT_STATUS(STATUS_SUCCESS, volume_->SetSize(shrunk.mftRef, 10));
  ASSERT_STATUS(STATUS_SUCCESS, volume_->Remove(u"Dir\\File.txt"));
  ASSERT_STATUS(STATUS_SUCCESS, volume_->Remove(u"Dir"));

  ASSERT_STATUS(STATUS_SUCCESS, volume_->Flush());
  // The ntfs-3g tools take the library's device lock, so they can look only after the unmount.
  volume_.reset();
  // ntfscat matches case exactly: the name was stored as given.
  EXPECT_TRUE(image_.Ntfscat("/Docs/Deep/MixedCase.Txt") == big);
  EXPECT_EQ(image_.Ntfscat("/Top.bin"), Pattern(100).substr(0, 10));
  EXPECT_NE(testsupport::RunCommand({testsupport::NtfsToolPath("ntfscat"), image_.Path(), "/Dir"}).exitStatus, 0);
  const testsupport::CommandResult fix = image_.RunNtfsfix();
  EXPECT_EQ(fix.exitStatus, 0) << fix.out << fix.err;
  // ntfsinfo refuses a volume marked dirty.
  const testsupport::CommandResult info =
      testsupport::RunCommand({testsupport::NtfsToolPath("ntfsinfo"), "-m", image_.Path()});
  EXPECT_EQ(info.exitStatus, 0) << info.err;
}

TEST_F(NtfsVolumeTest, CallsFromSeveralThreadsLeaveAConsistentVolume) {
  constexpr int kThreads = 4;
  constexpr int kFilesPerThread = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      Node dir;
      const std::u16string base = u"T" + Widen(std::to_string(t));
      EXPECT_STATUS(STATUS_SUCCESS, volume_->Create(base, true, &dir));
      for (int i = 0; i < kFilesPerThread; ++i) {
        Node file;
        const std::u16string path = base + u"\\" + Widen(std::to_string(i));
        const std::string content = Pattern(5000 + i * 100, t);
        EXPECT_STATUS(STATUS_SUCCESS, volume_->Create(path, false, &file));
        EXPECT_STATUS(STATUS_SUCCESS,
                      volume_->Write(file.mftRef, 0, content.data(), static_cast<uint32_t>(content.size())));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kFilesPerThread; i += 13) {
      const Node file = MustLookup(u"T" + Widen(std::to_string(t)) + u"\\" + Widen(std::to_string(i)));
      EXPECT_TRUE(ReadAll(*volume_, file.mftRef, file.size) == Pattern(5000 + i * 100, t));
    }
  }
  volume_.reset();
  EXPECT_EQ(image_.RunNtfsfix().exitStatus, 0);
}

// ---------------------------------------------------------------------------------------------------------------
// Mount

struct MountCase {
  const char* name;
  std::string content;  // of the file to mount; "<none>" for no file, "<dir>" for a directory
  std::string reason;
};
void PrintTo(const MountCase& c, std::ostream* out) { *out << c.name; }

class NtfsVolumeMountTest : public ::testing::TestWithParam<MountCase> {};

TEST_P(NtfsVolumeMountTest, RefusesWithOneClearLine) {
  const MountCase& c = GetParam();
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("sx-mount-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "volume.img").string();
  if (c.content == "<dir>") {
    std::filesystem::create_directory(path);
  } else if (c.content != "<none>") {
    std::ofstream(path, std::ios::binary) << c.content;
  }
  std::string error;
  EXPECT_EQ(NtfsVolume::Mount(path, &error), nullptr);
  EXPECT_EQ(error, "cannot mount " + path + ": " + c.reason);
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, NtfsVolumeMountTest,
    ::testing::Values(MountCase{"MissingFile", "<none>", "no such file"},
                      MountCase{"EmptyFile", "", "not an NTFS volume (no NTFS boot sector)"},
                      MountCase{"OtherData", Pattern(1 << 16), "not an NTFS volume (no NTFS boot sector)"},
                      MountCase{"Directory", "<dir>", "not an image file or block device"},
                      MountCase{"TruncatedVolume", std::string(3, '\xEB') + "NTFS    " + std::string(501, '\0'),
                                "not a valid NTFS volume"}),
    [](const ::testing::TestParamInfo<MountCase>& info) { return std::string(info.param.name); });

TEST_F(NtfsVolumeTest, SecondMountOfTheSameImageIsRefused) {
  std::string error;
  EXPECT_EQ(NtfsVolume::Mount(image_.Path(), &error), nullptr);
  EXPECT_EQ(error, "cannot mount " + image_.Path() + ": already mounted by this or another process");
  volume_.reset();
  EXPECT_NE(NtfsVolume::Mount(image_.Path(), &error), nullptr) << error;
}

}  // namespace
