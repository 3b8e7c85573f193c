// The volumes NtfsVolume::Mount refuses to write: mounted by the system (directly, through a loop device or another
// name of the same file), cut short, marked dirty, hibernated, not NTFS, not writable. Each refusal is one line, and
// the device is left exactly as it was.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host/ntfs/MountSafety.h"
#include "host/ntfs/NtfsLib.h"
#include "host/ntfs/NtfsVolume.h"
#include "support/TestImage.h"

namespace {

using host::NtfsVolume;
using testsupport::TestImage;

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// Points the mount check at files in `dir`: a mount table and a /sys/block with loop devices.
struct FakeSystem {
  explicit FakeSystem(const std::string& dir) : mounts(dir + "/mounts"), sysBlock(dir + "/block") {
    WriteText(mounts, "proc /proc proc rw 0 0\n");
    std::filesystem::create_directories(sysBlock);
    host::SetMountTableForTests(mounts, sysBlock);
  }
  ~FakeSystem() { host::SetMountTableForTests("", ""); }
  std::string mounts;
  std::string sysBlock;
};

struct RefusalCase {
  const char* name;
  // Prepares the refusal on `image` (already holding a file), with the fake system in place.
  std::function<void(TestImage& image, FakeSystem& system)> prepare;
  const char* reason;  // the end of the one-line error
};
void PrintTo(const RefusalCase& given, std::ostream* out) { *out << given.name; }

void MarkDirty(TestImage& image) {
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Mount(image.Path(), &error);
  ASSERT_TRUE(volume) << error;
  std::lock_guard<std::recursive_mutex> lock(NtfsVolume::LibraryLock());
  ntfs_volume* vol = volume->Raw();
  ASSERT_EQ(0, ntfs_volume_write_flags(vol, static_cast<le16>(vol->flags | NTFS_VOLUME_IS_DIRTY)));
}

const RefusalCase kRefusals[] = {
    {"MountedImage",
     [](TestImage& image, FakeSystem& system) {
       WriteText(system.mounts, "proc /proc proc rw 0 0\n" + image.Path() + " /mnt/my\\040disk fuseblk rw 0 0\n");
     },
     "mounted by the system at /mnt/my disk (unmount it first)"},
    {"ImageMountedThroughLoopPartition",
     [](TestImage& image, FakeSystem& system) {
       WriteText(system.sysBlock + "/loop0/loop/backing_file", "/elsewhere.img\n");
       WriteText(system.sysBlock + "/loop7/loop/backing_file",
                 std::filesystem::canonical(image.Path()).string() + "\n");
       WriteText(system.mounts, "/dev/loop0 /mnt/a ntfs3 rw 0 0\n/dev/loop7p1 /mnt/b ntfs3 rw 0 0\n");
     },
     "mounted by the system at /mnt/b (unmount it first)"},
    {"Dirty", [](TestImage& image, FakeSystem&) { MarkDirty(image); },
     "the volume is marked dirty: run chkdsk on Windows (or ntfsfix) first"},
    {"Hibernated",
     [](TestImage& image, FakeSystem&) {
       ASSERT_TRUE(image.PutFile(u"hiberfil.sys", "hibr" + std::string(8192, 'h')));
     },
     "Windows is hibernated on this volume, or was shut down with Fast Startup (hiberfil.sys is in use): start "
     "Windows and shut it down fully (Fast Startup off) first"},
    {"MountedImageReachedThroughAHardLink",
     [](TestImage& image, FakeSystem& system) {
       const std::string link = image.Path() + ".link";
       ASSERT_EQ(0, ::link(image.Path().c_str(), link.c_str()));
       WriteText(system.mounts, link + " /mnt/l fuseblk rw 0 0\n");
     },
     "mounted by the system at /mnt/l (unmount it first)"},
    {"CutShort", [](TestImage& image, FakeSystem&) { std::filesystem::resize_file(image.Path(), 32 << 20); },
     "the device holds 33554432 bytes of a 67108352-byte NTFS volume: the image was cut short (or the partition is "
     "too small)"},
    {"NotNtfs",
     [](TestImage& image, FakeSystem&) {
       std::FILE* file = std::fopen(image.Path().c_str(), "r+b");
       ASSERT_NE(nullptr, file);
       std::fseek(file, 3, SEEK_SET);
       std::fputs("MSDOS5.0", file);
       std::fclose(file);
     },
     "not an NTFS volume (no NTFS boot sector)"},
};

class MountRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(MountRefusal, IsOneLineAndLeavesTheDeviceUnchanged) {
  TestImage image;
  ASSERT_TRUE(image.PutFile(u"Data\\a.bin", std::string(20000, 'a')));
  FakeSystem system(std::filesystem::path(image.Path()).parent_path().string() + "/system");
  GetParam().prepare(image, system);
  if (testing::Test::HasFatalFailure()) return;
  const std::string before = FileBytes(image.Path());

  std::string error;
  EXPECT_EQ(nullptr, NtfsVolume::Mount(image.Path(), &error));
  EXPECT_EQ("cannot mount " + image.Path() + ": " + GetParam().reason, error);
  EXPECT_EQ(std::string::npos, error.find('\n'));
  EXPECT_TRUE(before == FileBytes(image.Path())) << "the refused mount changed the image";
}

INSTANTIATE_TEST_SUITE_P(Volumes, MountRefusal, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// Root may write any file but an immutable one: the closest a test can come to a user without write permission,
// whom the library would otherwise give a read-only mount on which every move fails.
TEST(MountRefusal, DeviceThatCannotBeWrittenIsRefusedInsteadOfMountedReadOnly) {
  TestImage image;
  const int fd = open(image.Path().c_str(), O_RDONLY);
  int flags = 0;
  ASSERT_EQ(0, ioctl(fd, FS_IOC_GETFLAGS, &flags));
  flags |= FS_IMMUTABLE_FL;
  if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) GTEST_SKIP() << "no immutable files here";
  std::string error;
  EXPECT_EQ(nullptr, NtfsVolume::Mount(image.Path(), &error));
  EXPECT_EQ("cannot mount " + image.Path() + ": it cannot be opened for writing (Operation not permitted)", error);
  flags &= ~FS_IMMUTABLE_FL;
  EXPECT_EQ(0, ioctl(fd, FS_IOC_SETFLAGS, &flags));
  close(fd);
}

TEST(KernelMount, UnrelatedMountsAndLoopDevicesDoNotCount) {
  TestImage image;
  FakeSystem system(std::filesystem::path(image.Path()).parent_path().string() + "/system");
  WriteText(system.sysBlock + "/loop1/loop/backing_file", image.Path() + ".other\n");
  WriteText(system.mounts, "/dev/loop1 /mnt/a ntfs3 rw 0 0\n/dev/loop17 /mnt/b ntfs3 rw 0 0\n" + image.Path() +
                               ".copy /mnt/c ntfs3 rw 0 0\n");
  WriteText(system.sysBlock + "/loop17/loop/backing_file", image.Path() + ".other\n");
  std::string mountPoint;
  EXPECT_FALSE(host::FindKernelMount(image.Path(), &mountPoint)) << mountPoint;
  std::string error;
  EXPECT_NE(nullptr, NtfsVolume::Mount(image.Path(), &error)) << error;
}

}  // namespace
