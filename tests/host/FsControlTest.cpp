// The NTFS file-system controls through NtFsControlFile on an image mounted as C:, held to the statuses and buffers
// the engine relies on: the bitmap window and its overflow, extents from the one holding a VCN, moves refused.
// (The volume data reaches the volume tests; sparse files and moves that join a file, with their contents, the engine
// tests.) Every test ends with the consistency checker and ntfsfix -n on the unmounted image.
#include <gtest/gtest.h>

#include <cstring>

#include "host/ntdll/Host.h"
#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/ConfigSections.h"
#include "support/Native.h"
#include "support/TestImage.h"

using testsupport::NamedAttributes;

namespace {

// A 64 MiB image: the last sector holds the backup boot sector, so 131071 sectors make 16383 whole clusters.
constexpr int64_t kClusters = 16383;
constexpr int64_t kCluster = 4096;

using Extent = std::pair<int64_t, int64_t>;  // (NextVcn, Lcn)

std::string Pattern(int64_t clusters) {
  std::string bytes(static_cast<size_t>(clusters * kCluster), '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 / 4096 + i);
  return bytes;
}

int64_t Int64At(const std::vector<uint8_t>& bytes, size_t offset) {
  int64_t value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

class FsControl : public testing::Test {
 protected:
  void Mount() {
    std::string error;
    ASSERT_TRUE(host::MountDrive('C', image_.Path(), &error)) << error;
    volume_ = Open(u"\\??\\C:");
  }
  void TearDown() override {
    for (HANDLE handle : opened_) NtClose(handle);
    host::UnmountAllDrives();
    EXPECT_TRUE(image_.ClustersConsistent());
    EXPECT_EQ(0, image_.RunNtfsfix().exitStatus);
  }

  // As the system opens files to defragment: read data only, no synchronous option.
  HANDLE Open(const std::u16string& name) {
    NamedAttributes attributes(name);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              NtCreateFile(&handle, FILE_READ_DATA, attributes.get(), &io, nullptr, 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, nullptr, 0));
    opened_.push_back(handle);
    return handle;
  }

  NTSTATUS Control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                   IO_STATUS_BLOCK* io) {
    return NtFsControlFile(handle, nullptr, nullptr, nullptr, io, code, const_cast<void*>(input), inputLength, output,
                           outputLength);
  }

  NTSTATUS Move(HANDLE file, int64_t vcn, int64_t lcn, ULONG count) {
    MOVE_FILE_DATA move{file, {}, {}, count};
    move.StartingVcn.QuadPart = vcn;
    move.StartingLcn.QuadPart = lcn;
    IO_STATUS_BLOCK io{};
    return Control(volume_, FSCTL_MOVE_FILE, &move, sizeof move, nullptr, 0, &io);
  }

  // One request for up to `room` extents from `vcn`; *startingVcn receives the answer's StartingVcn.
  NTSTATUS Pointers(HANDLE file, int64_t vcn, ULONG room, std::vector<Extent>* extents, int64_t* startingVcn,
                    IO_STATUS_BLOCK* io) {
    std::vector<LONGLONG> buffer(2 + 2 * room, -7);
    STARTING_VCN_INPUT_BUFFER input{};
    input.StartingVcn.QuadPart = vcn;
    const NTSTATUS status = Control(file, FSCTL_GET_RETRIEVAL_POINTERS, &input, sizeof input, buffer.data(),
                                    static_cast<ULONG>(buffer.size() * 8), io);
    extents->clear();
    if (NT_ERROR(status)) return status;
    for (ULONG i = 0; i < static_cast<ULONG>(buffer[0]); ++i)
      extents->push_back({buffer[2 + 2 * i], buffer[3 + 2 * i]});
    *startingVcn = buffer[1];
    return status;
  }

  // The bitmap from `lcn` into `room` bytes after the header, the rest of `output` filled with 0xAB.
  NTSTATUS Bitmap(int64_t lcn, ULONG room, std::vector<uint8_t>* output, IO_STATUS_BLOCK* io) {
    output->assign(16 + room + 1, 0xAB);
    STARTING_LCN_INPUT_BUFFER input{};
    input.StartingLcn.QuadPart = lcn;
    return Control(volume_, FSCTL_GET_VOLUME_BITMAP, &input, sizeof input, output->data(), 16 + room, io);
  }

  testsupport::TestImage image_;
  HANDLE volume_ = nullptr;
  std::vector<HANDLE> opened_;
};

// The window starts at a multiple of 8, BitmapSize counts to the end of the volume, the bits past it read as used;
// a buffer too small for the rest takes the whole bytes that fit and overflows.
TEST_F(FsControl, BitmapRoundsDownCountsToTheEndAndOverflowsInWholeBytes) {
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", Pattern(4), {{10001, 4}}));
  Mount();
  std::vector<uint8_t> bitmap;
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_SUCCESS, Bitmap(10003, 65536, &bitmap, &io));
  const size_t bytes = (kClusters - 10000 + 7) / 8;
  EXPECT_EQ(10000, Int64At(bitmap, 0));
  EXPECT_EQ(kClusters - 10000, Int64At(bitmap, 8));
  EXPECT_EQ(16 + bytes, io.Information);
  EXPECT_EQ(0x1E, bitmap[16]) << "clusters 10001 to 10004";
  EXPECT_EQ(0x80, bitmap[16 + bytes - 1]) << "the one bit past the end is set, the last cluster is free";
  EXPECT_EQ(0xAB, bitmap[16 + bytes]) << "nothing written past the answer";

  ASSERT_EQ(STATUS_BUFFER_OVERFLOW, Bitmap(5, 12, &bitmap, &io));
  EXPECT_EQ(16u + 12, io.Information);
  EXPECT_EQ(kClusters, Int64At(bitmap, 8)) << "the clusters to the end, not those returned";
  EXPECT_EQ(0xAB, bitmap[16 + 12]);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Bitmap(kClusters, 64, &bitmap, &io));
}

TEST_F(FsControl, ExtentsComeFromTheOneHoldingTheVcnOverflowWhileMoreRemainAndSurviveARefusedMove) {
  std::vector<testsupport::ClusterRun> runs;
  ASSERT_TRUE(image_.PutFragmentedFile(u"a.bin", Pattern(50), 25, &runs));
  ASSERT_TRUE(image_.PutFile(u"tiny.txt", "resident"));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  std::vector<Extent> expected, extents;
  for (size_t i = 0; i < runs.size(); ++i) expected.emplace_back(2 * static_cast<int64_t>(i) + 2, runs[i].lcn);
  // Onto clusters in use: refused, and the extents below show that nothing changed.
  EXPECT_EQ(STATUS_ALREADY_COMMITTED, Move(file, 0, runs[0].lcn, 50));
  IO_STATUS_BLOCK io{};
  int64_t start = -1;
  ASSERT_EQ(STATUS_BUFFER_OVERFLOW, Pointers(file, 0, 20, &extents, &start, &io));
  EXPECT_EQ(16u + 20 * 16, io.Information);
  EXPECT_EQ(std::vector<Extent>(expected.begin(), expected.begin() + 20), extents);
  ASSERT_EQ(STATUS_SUCCESS, Pointers(file, 41, 20, &extents, &start, &io));
  EXPECT_EQ(40, start) << "rounded down to the start of its extent";
  EXPECT_EQ(std::vector<Extent>(expected.begin() + 20, expected.end()), extents);
  EXPECT_EQ(STATUS_END_OF_FILE, Pointers(file, 50, 20, &extents, &start, &io));
  EXPECT_EQ(STATUS_END_OF_FILE, Pointers(Open(u"\\??\\C:\\tiny.txt"), 0, 20, &extents, &start, &io));
}

// The boot option reaches the system as the zone its volume reports, and a malformed one stops the boot.
TEST(MftZoneOption, ReplacesTheZoneTheBootSees) {
  testsupport::TestImage image;
  ASSERT_TRUE(image.PutFile(u"defrag.cfg", testsupport::GeneralSection({"log=1", "log_dir=\\??\\C:\\"}) +
                                               testsupport::FileSection("\\??\\C:\\defrag.cfg")));
  auto run = [&](const std::string& zone) {
    return testsupport::RunSpindraxel(
        {"boot", "--drive", "C=" + image.Path(), "--mft-zone", zone, "--", "sxboottime \\??\\C:\\defrag.cfg"});
  };
  const testsupport::CommandResult good = run("c=-10:99999999");
  ASSERT_EQ(0, good.exitStatus) << good.err;
  EXPECT_NE(std::string::npos, testsupport::BootLogOf(image).find(" L1 MftZone: <-10, 99999999)\r\n"));

  const testsupport::CommandResult bad = run("C=10");
  EXPECT_EQ(2, bad.exitStatus);
  EXPECT_NE(std::string::npos, bad.err.find("--mft-zone C=10: expected LETTER=START:END"));
}

}  // namespace
