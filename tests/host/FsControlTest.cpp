// The NTFS file-system controls through NtFsControlFile on an image mounted as C:, held to the statuses and buffers
// the engine relies on: the bitmap window and its overflow, extents from the one holding a VCN, moves that join a
// file or are refused. (The volume data reaches the volume tests, sparse files the engine tests.) Every test ends with
// the consistency checker and ntfsfix -n on the unmounted image.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "host/ntdll/Host.h"
#include "support/CommandRunner.h"
#include "support/Native.h"
#include "support/TestImage.h"

using testsupport::NamedAttributes;

namespace {

// A 64 MiB image: the last sector holds the backup boot sector, so 131071 sectors make 16383 whole clusters.
constexpr int64_t kClusters = 16383;
constexpr int64_t kCluster = 4096;

struct Extent {
  int64_t nextVcn;
  int64_t lcn;
  bool operator==(const Extent& other) const { return nextVcn == other.nextVcn && lcn == other.lcn; }
};
void PrintTo(const Extent& extent, std::ostream* out) { *out << "{" << extent.nextVcn << ", " << extent.lcn << "}"; }

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

  // Every extent, 20 per request as the system asks.
  std::vector<Extent> AllPointers(HANDLE file) {
    std::vector<Extent> all, some;
    NTSTATUS status = STATUS_BUFFER_OVERFLOW;
    for (int64_t start; status == STATUS_BUFFER_OVERFLOW;) {
      IO_STATUS_BLOCK io{};
      status = Pointers(file, all.empty() ? 0 : all.back().nextVcn, 20, &some, &start, &io);
      all.insert(all.end(), some.begin(), some.end());
    }
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_END_OF_FILE) << std::hex << status;
    return all;
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

TEST_F(FsControl, ExtentsComeFromTheExtentHoldingTheVcnAndOverflowWhileMoreRemain) {
  std::vector<testsupport::ClusterRun> runs;
  ASSERT_TRUE(image_.PutFragmentedFile(u"a.bin", Pattern(50), 25, &runs));
  ASSERT_TRUE(image_.PutFile(u"tiny.txt", "resident"));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  std::vector<Extent> expected, extents;
  for (size_t i = 0; i < runs.size(); ++i) expected.push_back(Extent{2 * static_cast<int64_t>(i) + 2, runs[i].lcn});
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

TEST_F(FsControl, MoveJoinsAFragmentedFileAndRefusesATargetInUse) {
  const std::string content = Pattern(300);
  ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\big.bin", content, 12));
  ASSERT_TRUE(image_.PutFileAt(u"other.bin", Pattern(2), {{12100, 2}}));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\Data\\big.bin");
  const std::vector<Extent> before = AllPointers(file);
  EXPECT_EQ(STATUS_ALREADY_COMMITTED, Move(file, 0, 12000, 300));
  EXPECT_EQ(before, AllPointers(file)) << "a refused move changes nothing";
  EXPECT_EQ(STATUS_SUCCESS, Move(file, 0, 12200, 300));
  EXPECT_EQ((std::vector<Extent>{{300, 12200}}), AllPointers(file));
  host::UnmountAllDrives();
  EXPECT_TRUE(image_.Ntfscat("/Data/big.bin") == content);
}

// The boot option reaches the system as the zone its volume reports, and a malformed one stops the boot.
TEST(MftZoneOption, ReplacesTheZoneTheBootSees) {
  testsupport::TestImage image;
  ASSERT_TRUE(image.PutFile(u"defrag.cfg",
                            "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n"
                            "<file>\r\npath=\\??\\C:\\defrag.cfg\r\n</file>\r\n"));
  const std::vector<std::string> boot{"boot", "--drive", "C=" + image.Path(), "--mft-zone"};
  auto run = [&](const std::string& zone) {
    std::vector<std::string> args = boot;
    args.insert(args.end(), {zone, "--", "sxboottime \\??\\C:\\defrag.cfg"});
    return testsupport::RunSpindraxel(args);
  };
  const testsupport::CommandResult good = run("c=-10:99999999");
  ASSERT_EQ(0, good.exitStatus) << good.err;
  const testsupport::CommandResult list = testsupport::RunCommand({testsupport::NtfsToolPath("ntfsls"), image.Path()});
  std::smatch log;
  ASSERT_TRUE(std::regex_search(list.out, log, std::regex(R"(Spindraxel_native_\S+\.txt)"))) << list.out;
  EXPECT_NE(std::string::npos, image.Ntfscat("/" + log.str()).find(" L1 MftZone: <-10, 99999999)\r\n"));

  const testsupport::CommandResult bad = run("C=10");
  EXPECT_EQ(2, bad.exitStatus);
  EXPECT_NE(std::string::npos, bad.err.find("--mft-zone C=10: expected LETTER=START:END"));
}

}  // namespace
