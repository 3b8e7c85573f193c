// The four NTFS file-system controls through NtFsControlFile on an image mounted as C:, pinned to the statuses and
// buffers NTFS gives on Windows; the test overrides; fault injection per control. Every test ends with the
// consistency checker and ntfsfix -n on the unmounted image.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/faults/FsOverrides.h"
#include "support/CommandRunner.h"
#include "support/Native.h"
#include "support/TestImage.h"

using testsupport::ClusterRun;
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

class FsControl : public testing::Test {
 protected:
  void Mount() {
    std::string error;
    ASSERT_TRUE(host::MountDrive('C', image_.Path(), &error)) << error;
    volume_ = Open(u"\\??\\C:");
  }
  void TearDown() override {
    for (HANDLE handle : opened_) NtClose(handle);
    host::ClearFsOverrides();
    host::ClearFaultRules();
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
                   IO_STATUS_BLOCK* io = nullptr) {
    IO_STATUS_BLOCK local{};
    return NtFsControlFile(handle, nullptr, nullptr, nullptr, io ? io : &local, code, const_cast<void*>(input),
                           inputLength, output, outputLength);
  }

  NTSTATUS Move(HANDLE file, int64_t vcn, int64_t lcn, ULONG count) {
    MOVE_FILE_DATA move{file, {}, {}, count};
    move.StartingVcn.QuadPart = vcn;
    move.StartingLcn.QuadPart = lcn;
    return Control(volume_, FSCTL_MOVE_FILE, &move, sizeof move, nullptr, 0);
  }

  // One request for up to `room` extents from `vcn`.
  NTSTATUS Pointers(HANDLE file, int64_t vcn, ULONG room, std::vector<Extent>* extents, int64_t* startingVcn = nullptr,
                    IO_STATUS_BLOCK* io = nullptr) {
    std::vector<LONGLONG> buffer(2 + 2 * room, -7);
    STARTING_VCN_INPUT_BUFFER input{};
    input.StartingVcn.QuadPart = vcn;
    const NTSTATUS status = Control(file, FSCTL_GET_RETRIEVAL_POINTERS, &input, sizeof input, buffer.data(),
                                    static_cast<ULONG>(buffer.size() * 8), io);
    extents->clear();
    if (NT_ERROR(status)) return status;
    const ULONG count = static_cast<ULONG>(buffer[0]);
    for (ULONG i = 0; i < count; ++i) extents->push_back(Extent{buffer[2 + 2 * i], buffer[3 + 2 * i]});
    if (startingVcn != nullptr) *startingVcn = buffer[1];
    return status;
  }

  // Every extent, 20 per request as the system asks.
  std::vector<Extent> AllPointers(HANDLE file) {
    std::vector<Extent> all, some;
    NTSTATUS status = STATUS_BUFFER_OVERFLOW;
    while (status == STATUS_BUFFER_OVERFLOW) {
      status = Pointers(file, all.empty() ? 0 : all.back().nextVcn, 20, &some);
      all.insert(all.end(), some.begin(), some.end());
    }
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_END_OF_FILE) << std::hex << status;
    return all;
  }

  NTFS_VOLUME_DATA_BUFFER VolumeData() {
    NTFS_VOLUME_DATA_BUFFER data{};
    EXPECT_EQ(STATUS_SUCCESS, Control(volume_, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data));
    return data;
  }

  // The bitmap from `lcn` into `room` bytes after the header.
  NTSTATUS Bitmap(int64_t lcn, ULONG room, std::vector<uint8_t>* output, IO_STATUS_BLOCK* io = nullptr) {
    output->assign(16 + room, 0xAB);
    STARTING_LCN_INPUT_BUFFER input{};
    input.StartingLcn.QuadPart = lcn;
    return Control(volume_, FSCTL_GET_VOLUME_BITMAP, &input, sizeof input, output->data(),
                   static_cast<ULONG>(output->size()), io);
  }

  testsupport::TestImage image_;
  HANDLE volume_ = nullptr;
  std::vector<HANDLE> opened_;
};

int64_t ReadInt64(const std::vector<uint8_t>& bytes, size_t offset) {
  int64_t value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

bool Used(const std::vector<uint8_t>& bitmap, int64_t bit) { return (bitmap[16 + bit / 8] >> (bit % 8)) & 1; }

TEST_F(FsControl, VolumeDataDescribesTheImage) {
  Mount();
  const NTFS_VOLUME_DATA_BUFFER data = VolumeData();
  uint8_t boot[512];
  const int fd = open(image_.Path().c_str(), O_RDONLY);
  ASSERT_EQ(512, pread(fd, boot, sizeof boot, 0));
  close(fd);
  int64_t serial, sectors;
  std::memcpy(&serial, boot + 0x48, 8);
  std::memcpy(&sectors, boot + 0x28, 8);
  EXPECT_EQ(serial, data.VolumeSerialNumber.QuadPart);
  EXPECT_EQ(sectors, data.NumberSectors.QuadPart);
  EXPECT_EQ(kClusters, data.TotalClusters.QuadPart);
  EXPECT_EQ(512u, data.BytesPerSector);
  EXPECT_EQ(4096u, data.BytesPerCluster);
  EXPECT_EQ(1024u, data.BytesPerFileRecordSegment);
  EXPECT_EQ(0u, data.ClustersPerFileRecordSegment) << "a record smaller than a cluster";
  EXPECT_EQ(0, data.MftValidDataLength.QuadPart % 1024);
  // As ntfsinfo -m reports this image.
  EXPECT_EQ(4, data.MftStartLcn.QuadPart);
  EXPECT_EQ(8191, data.Mft2StartLcn.QuadPart);
  EXPECT_EQ(0, data.MftZoneStart.QuadPart);
  EXPECT_EQ(2051, data.MftZoneEnd.QuadPart);
  EXPECT_EQ(data.MftStartLcn.QuadPart, AllPointers(Open(u"\\??\\C:\\$MFT")).at(0).lcn);
  EXPECT_EQ(data.Mft2StartLcn.QuadPart, AllPointers(Open(u"\\??\\C:\\$MFTMirr")).at(0).lcn);
}

// Argument checks, each with the status NTFS gives and the status block left untouched.
struct RefusalCase {
  const char* name;
  ULONG code;
  const char16_t* handle;  // u"" for the volume
  int64_t start;           // StartingLcn / StartingVcn
  ULONG inputLength;
  ULONG outputLength;
  bool nullBuffers;
  NTSTATUS status;
};
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class Refused : public FsControl, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Refused, WithTheStatusNtfsGives) {
  ASSERT_TRUE(image_.PutFile(u"a.bin", Pattern(10)));
  ASSERT_TRUE(image_.PutFile(u"tiny.txt", "resident"));
  Mount();
  const RefusalCase& c = GetParam();
  HANDLE handle = *c.handle == 0 ? volume_ : Open(std::u16string(u"\\??\\C:\\") + c.handle);
  LONGLONG input = c.start;
  std::vector<uint8_t> output(c.outputLength + 8);
  IO_STATUS_BLOCK io{};
  io.Information = 99;
  EXPECT_EQ(c.status, Control(handle, c.code, c.nullBuffers ? nullptr : &input, c.inputLength,
                              c.nullBuffers ? nullptr : output.data(), c.outputLength, &io));
  EXPECT_EQ(99u, io.Information);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, Refused,
    testing::Values(
        RefusalCase{"UnknownCode", 0x00090000, u"", 0, 8, 64, false, STATUS_INVALID_DEVICE_REQUEST},
        RefusalCase{"VolumeDataShort", FSCTL_GET_NTFS_VOLUME_DATA, u"", 0, 0, 95, false, STATUS_BUFFER_TOO_SMALL},
        RefusalCase{"VolumeDataOfFile", FSCTL_GET_NTFS_VOLUME_DATA, u"a.bin", 0, 0, 96, false,
                    STATUS_INVALID_PARAMETER},
        RefusalCase{"VolumeDataNull", FSCTL_GET_NTFS_VOLUME_DATA, u"", 0, 0, 96, true, STATUS_ACCESS_VIOLATION},
        RefusalCase{"BitmapShortInput", FSCTL_GET_VOLUME_BITMAP, u"", 0, 7, 64, false, STATUS_INVALID_PARAMETER},
        RefusalCase{"BitmapNoHeader", FSCTL_GET_VOLUME_BITMAP, u"", 0, 8, 15, false, STATUS_BUFFER_TOO_SMALL},
        RefusalCase{"BitmapNegative", FSCTL_GET_VOLUME_BITMAP, u"", -1, 8, 64, false, STATUS_INVALID_PARAMETER},
        RefusalCase{"BitmapAtEnd", FSCTL_GET_VOLUME_BITMAP, u"", kClusters, 8, 64, false, STATUS_INVALID_PARAMETER},
        RefusalCase{"BitmapOfFile", FSCTL_GET_VOLUME_BITMAP, u"a.bin", 0, 8, 64, false, STATUS_INVALID_PARAMETER},
        RefusalCase{"BitmapNull", FSCTL_GET_VOLUME_BITMAP, u"", 0, 8, 64, true, STATUS_ACCESS_VIOLATION},
        RefusalCase{"PointersOfVolume", FSCTL_GET_RETRIEVAL_POINTERS, u"", 0, 8, 64, false, STATUS_INVALID_PARAMETER},
        RefusalCase{"PointersShortInput", FSCTL_GET_RETRIEVAL_POINTERS, u"a.bin", 0, 7, 64, false,
                    STATUS_INVALID_PARAMETER},
        RefusalCase{"PointersNoExtent", FSCTL_GET_RETRIEVAL_POINTERS, u"a.bin", 0, 8, 31, false,
                    STATUS_BUFFER_TOO_SMALL},
        RefusalCase{"PointersNegative", FSCTL_GET_RETRIEVAL_POINTERS, u"a.bin", -1, 8, 64, false,
                    STATUS_INVALID_PARAMETER},
        RefusalCase{"PointersAtAllocation", FSCTL_GET_RETRIEVAL_POINTERS, u"a.bin", 10, 8, 64, false,
                    STATUS_END_OF_FILE},
        RefusalCase{"PointersOfResident", FSCTL_GET_RETRIEVAL_POINTERS, u"tiny.txt", 0, 8, 64, false,
                    STATUS_END_OF_FILE},
        RefusalCase{"MoveShortInput", FSCTL_MOVE_FILE, u"", 0, 31, 0, false, STATUS_INVALID_PARAMETER}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST_F(FsControl, BitmapRoundsDownAndMarksClustersPastTheEndUsed) {
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", Pattern(4), {{10001, 4}}));
  Mount();
  std::vector<uint8_t> bitmap;
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_SUCCESS, Bitmap(10003, 65547, &bitmap, &io));  // as large as the system's window buffer
  EXPECT_EQ(10000, ReadInt64(bitmap, 0));
  EXPECT_EQ(kClusters - 10000, ReadInt64(bitmap, 8));
  const size_t bytes = (kClusters - 10000 + 7) / 8;
  EXPECT_EQ(16 + bytes, io.Information);
  EXPECT_EQ(0x1E, bitmap[16]) << "clusters 10001 to 10004";
  EXPECT_EQ(0x80, bitmap[16 + bytes - 1]) << "the one bit past the end is set, the last cluster is free";
  EXPECT_EQ(0xAB, bitmap[16 + bytes]) << "nothing written past the answer";
}

TEST_F(FsControl, PartialBitmapFillsWholeBytesAndOverflows) {
  Mount();
  std::vector<uint8_t> whole, part;
  ASSERT_EQ(STATUS_SUCCESS, Bitmap(0, 2048, &whole));
  for (ULONG room : {0u, 1u, 2047u}) {
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(STATUS_BUFFER_OVERFLOW, Bitmap(5, room, &part, &io)) << room;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, io.Status);
    EXPECT_EQ(16 + room, io.Information);
    EXPECT_EQ(0, ReadInt64(part, 0));
    EXPECT_EQ(kClusters, ReadInt64(part, 8)) << "the clusters to the end, not those returned";
    EXPECT_TRUE(std::equal(part.begin() + 16, part.end(), whole.begin() + 16)) << room;
  }
}

TEST_F(FsControl, FreeClustersFollowAFullVolumeItsMovesAndDeletes) {
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", Pattern(5), {{9000, 5}}));
  ASSERT_TRUE(image_.PutFile(u"b.bin", Pattern(6)));
  ASSERT_TRUE(image_.FillVolumeExcept({{12000, 3}, {12010, 5}}));
  Mount();
  EXPECT_EQ(8, VolumeData().FreeClusters.QuadPart);
  std::vector<uint8_t> bitmap;
  ASSERT_EQ(STATUS_SUCCESS, Bitmap(0, 2048, &bitmap));
  std::vector<int64_t> free;
  for (int64_t lcn = 0; lcn < kClusters; ++lcn) {
    if (!Used(bitmap, lcn)) free.push_back(lcn);
  }
  EXPECT_EQ((std::vector<int64_t>{12000, 12001, 12002, 12010, 12011, 12012, 12013, 12014}), free);
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  EXPECT_EQ(STATUS_ALREADY_COMMITTED, Move(file, 0, 12000, 5));
  EXPECT_EQ(STATUS_SUCCESS, Move(file, 0, 12010, 5));
  EXPECT_EQ(8, VolumeData().FreeClusters.QuadPart);
  EXPECT_EQ(STATUS_SUCCESS, NtDeleteFile(NamedAttributes(u"\\??\\C:\\b.bin").get()));
  EXPECT_EQ(14, VolumeData().FreeClusters.QuadPart);
}

TEST_F(FsControl, ExtentsComeTwentyPerRequestFromTheExtentHoldingTheVcn) {
  std::vector<ClusterRun> runs;
  ASSERT_TRUE(image_.PutFragmentedFile(u"a.bin", Pattern(50), 25, &runs));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  std::vector<Extent> expected, extents;
  for (size_t i = 0; i < runs.size(); ++i) expected.push_back(Extent{2 * static_cast<int64_t>(i) + 2, runs[i].lcn});

  IO_STATUS_BLOCK io{};
  int64_t start = -1;
  ASSERT_EQ(STATUS_BUFFER_OVERFLOW, Pointers(file, 0, 20, &extents, &start, &io));
  EXPECT_EQ(16u + 20 * 16, io.Information);
  EXPECT_EQ(0, start);
  EXPECT_EQ(std::vector<Extent>(expected.begin(), expected.begin() + 20), extents);
  ASSERT_EQ(STATUS_SUCCESS, Pointers(file, 41, 20, &extents, &start, &io));
  EXPECT_EQ(40, start) << "rounded down to the start of its extent";
  EXPECT_EQ(16u + 5 * 16, io.Information);
  EXPECT_EQ(std::vector<Extent>(expected.begin() + 20, expected.end()), extents);
  EXPECT_EQ(STATUS_END_OF_FILE, Pointers(file, 50, 20, &extents));
}

TEST_F(FsControl, PointersFollowWritesAndMovesOfTheSameFile) {
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", Pattern(10), {{9000, 10}}));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  EXPECT_EQ((std::vector<Extent>{{10, 9000}}), AllPointers(file));
  EXPECT_EQ(STATUS_SUCCESS, Move(file, 4, 11000, 2));
  EXPECT_EQ((std::vector<Extent>{{4, 9000}, {6, 11000}, {10, 9006}}), AllPointers(file));

  NamedAttributes name(u"\\??\\C:\\a.bin");
  HANDLE writer = nullptr;
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_SUCCESS, NtCreateFile(&writer, FILE_WRITE_DATA | SYNCHRONIZE, name.get(), &io, nullptr, 0,
                                         FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0));
  opened_.push_back(writer);
  std::string more(3 * kCluster, 'm');
  LARGE_INTEGER offset;
  offset.QuadPart = 10 * kCluster;
  ASSERT_EQ(STATUS_SUCCESS, NtWriteFile(writer, nullptr, nullptr, nullptr, &io, more.data(),
                                        static_cast<ULONG>(more.size()), &offset, nullptr));
  EXPECT_EQ(13, AllPointers(file).back().nextVcn) << "the write reached the pointers";
}

TEST_F(FsControl, MovingAFragmentedFileJoinsItAndKeepsItsContent) {
  const std::string content = Pattern(300);
  ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\big.bin", content, 12));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\Data\\big.bin");
  EXPECT_EQ(STATUS_SUCCESS, Move(file, 0, 12000, 300));
  EXPECT_EQ((std::vector<Extent>{{300, 12000}}), AllPointers(file));
  host::UnmountAllDrives();
  EXPECT_TRUE(image_.Ntfscat("/Data/big.bin") == content);
  EXPECT_EQ(1u, image_.Fragments("Data/big.bin").fragments);
}

TEST_F(FsControl, DirectoryIndexReportsAndMovesLikeAFile) {
  for (char16_t c = u'a'; c <= u'z'; ++c) {
    for (char16_t d = u'a'; d <= u'h'; ++d) ASSERT_TRUE(image_.PutFile(u"Dir\\" + std::u16string{c, d}, "x"));
  }
  Mount();
  HANDLE directory = Open(u"\\??\\C:\\Dir");
  const std::vector<Extent> index = AllPointers(directory);
  ASSERT_EQ(1u, index.size());
  EXPECT_EQ(STATUS_SUCCESS, Move(directory, 0, 12000, static_cast<ULONG>(index[0].nextVcn)));
  EXPECT_EQ((std::vector<Extent>{{index[0].nextVcn, 12000}}), AllPointers(directory));
  host::UnmountAllDrives();
  EXPECT_EQ("x", image_.Ntfscat("/Dir/zh"));
}

struct MoveCase {
  const char* name;
  int64_t vcn;
  int64_t lcn;
  ULONG count;
  NTSTATUS status;
};
void PrintTo(const MoveCase& c, std::ostream* out) { *out << c.name; }

class RefusedMove : public FsControl, public testing::WithParamInterface<MoveCase> {};

TEST_P(RefusedMove, ChangesNothing) {
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", Pattern(20), {{10000, 20}}));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  EXPECT_EQ(GetParam().status, Move(file, GetParam().vcn, GetParam().lcn, GetParam().count));
  EXPECT_EQ((std::vector<Extent>{{20, 10000}}), AllPointers(file));
}

INSTANTIATE_TEST_SUITE_P(Ranges, RefusedMove,
                         testing::Values(MoveCase{"NoClusters", 0, 12000, 0, STATUS_INVALID_PARAMETER},
                                         MoveCase{"VcnAtAllocation", 20, 12000, 1, STATUS_INVALID_PARAMETER},
                                         MoveCase{"PastAllocation", 15, 12000, 6, STATUS_INVALID_PARAMETER},
                                         MoveCase{"NegativeVcn", -1, 12000, 1, STATUS_INVALID_PARAMETER},
                                         MoveCase{"NegativeLcn", 0, -1, 1, STATUS_INVALID_PARAMETER},
                                         MoveCase{"TargetAtEnd", 0, kClusters, 1, STATUS_INVALID_PARAMETER},
                                         MoveCase{"TargetPastEnd", 0, kClusters - 5, 10, STATUS_INVALID_PARAMETER},
                                         MoveCase{"TargetInUse", 0, 0, 1, STATUS_ALREADY_COMMITTED},
                                         MoveCase{"TargetOverlapsFile", 0, 10010, 20, STATUS_ALREADY_COMMITTED},
                                         MoveCase{"TargetIsFile", 0, 10000, 20, STATUS_ALREADY_COMMITTED}),
                         [](const testing::TestParamInfo<MoveCase>& info) { return info.param.name; });

class MetadataFile : public FsControl, public testing::WithParamInterface<const char16_t*> {};

TEST_P(MetadataFile, CannotMove) {
  Mount();
  EXPECT_EQ(STATUS_ACCESS_DENIED, Move(Open(std::u16string(u"\\??\\C:\\") + GetParam()), 0, 12000, 1));
}

INSTANTIATE_TEST_SUITE_P(Cached, MetadataFile,
                         testing::Values(u"$MFT", u"$MFTMirr", u"$LogFile", u"$Bitmap", u"$Boot", u"$BadClus",
                                         u"$Secure"));

TEST_F(FsControl, SparseAndCompressedFilesReportHolesAndMoveInWholeUnits) {
  const std::string head = Pattern(2), tail = Pattern(3);
  std::string compressible;
  for (int i = 0; compressible.size() < 40 * kCluster; ++i) compressible += "unit " + std::to_string(i % 97) + "\n";
  ASSERT_TRUE(image_.PutSparseFile(u"sparse.bin", 64 * kCluster, {{0, head}, {40 * kCluster, tail}}));
  ASSERT_TRUE(image_.PutCompressedFile(u"Packed\\c.bin", compressible));
  Mount();
  HANDLE sparse = Open(u"\\??\\C:\\sparse.bin");
  const std::vector<Extent> before = AllPointers(sparse);
  ASSERT_EQ(4u, before.size());
  EXPECT_EQ((std::vector<Extent>{{2, before[0].lcn}, {40, -1}, {43, before[2].lcn}, {64, -1}}), before);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Move(sparse, 1, 12000, 16));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Move(sparse, 0, 12000, 8));
  EXPECT_EQ(STATUS_SUCCESS, Move(sparse, 32, 12000, 32)) << "to the end of the allocation";
  EXPECT_EQ((std::vector<Extent>{before[0], {40, -1}, {43, 12000}, {64, -1}}), AllPointers(sparse));

  HANDLE packed = Open(u"\\??\\C:\\Packed\\c.bin");
  const std::vector<Extent> units = AllPointers(packed);
  for (size_t i = 1; i < units.size(); i += 2) {
    EXPECT_EQ(-1, units[i].lcn) << "each compression unit ends in a hole";
    EXPECT_EQ(16 * static_cast<int64_t>(i + 1) / 2, units[i].nextVcn);
  }
  const int64_t allocation = units.back().nextVcn;
  EXPECT_EQ(STATUS_SUCCESS, Move(packed, 0, 13000, static_cast<ULONG>(allocation)));
  int64_t nextLcn = 13000, vcn = 0;
  for (const Extent& extent : AllPointers(packed)) {
    if (extent.lcn != -1) {
      EXPECT_EQ(nextLcn, extent.lcn) << "compressed units packed one after another";
      nextLcn = extent.lcn + extent.nextVcn - vcn;
    }
    vcn = extent.nextVcn;
  }
  host::UnmountAllDrives();
  EXPECT_TRUE(image_.Ntfscat("/sparse.bin") ==
              head + std::string(38 * kCluster, '\0') + tail + std::string(21 * kCluster, '\0'));
  EXPECT_TRUE(image_.Ntfscat("/Packed/c.bin") == compressible);
}

TEST_F(FsControl, MoveNeedsAVolumeHandleAndAFileOfThatVolume) {
  ASSERT_TRUE(image_.PutFile(u"a.bin", Pattern(4)));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  MOVE_FILE_DATA move{file, {}, {}, 1};
  move.StartingLcn.QuadPart = 12000;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Control(file, FSCTL_MOVE_FILE, &move, sizeof move, nullptr, 0));
  move.FileHandle = volume_;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Control(volume_, FSCTL_MOVE_FILE, &move, sizeof move, nullptr, 0));
  move.FileHandle = reinterpret_cast<HANDLE>(0x7FF8);
  EXPECT_EQ(STATUS_INVALID_HANDLE, Control(volume_, FSCTL_MOVE_FILE, &move, sizeof move, nullptr, 0));
}

TEST_F(FsControl, VolumeDataOverridesEditTheRealAnswer) {
  Mount();
  const NTFS_VOLUME_DATA_BUFFER real = VolumeData();
  host::OverrideMftZone('c', -5, int64_t{1} << 40);
  host::OverrideMftZone('D', 1, 2);
  host::AddVolumeDataOverride([](char drive, NTFS_VOLUME_DATA_BUFFER* data) {
    if (drive == 'C') data->FreeClusters.QuadPart = 7;
  });
  NTFS_VOLUME_DATA_BUFFER edited = VolumeData();
  EXPECT_EQ(-5, edited.MftZoneStart.QuadPart);
  EXPECT_EQ(int64_t{1} << 40, edited.MftZoneEnd.QuadPart);
  EXPECT_EQ(7, edited.FreeClusters.QuadPart);
  edited.MftZoneStart = real.MftZoneStart;
  edited.MftZoneEnd = real.MftZoneEnd;
  edited.FreeClusters = real.FreeClusters;
  EXPECT_EQ(0, std::memcmp(&real, &edited, sizeof real)) << "nothing else changed";
  host::ClearFsOverrides();
  EXPECT_EQ(real.MftZoneEnd.QuadPart, VolumeData().MftZoneEnd.QuadPart);
}

TEST_F(FsControl, RefusedRangesAndRedirectionsBendMoves) {
  const std::string content = Pattern(8);
  ASSERT_TRUE(image_.PutFileAt(u"a.bin", content, {{9000, 8}}));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  host::RefuseMovesInto('C', 10000, 10, STATUS_DISK_FULL);
  EXPECT_EQ(STATUS_DISK_FULL, Move(file, 0, 9995, 8));
  EXPECT_EQ(STATUS_SUCCESS, Move(file, 0, 10010, 8));
  EXPECT_EQ((std::vector<Extent>{{8, 10010}}), AllPointers(file));

  host::RedirectMoves('C', 11000, 11500);
  EXPECT_EQ(STATUS_SUCCESS, Move(file, 0, 11000, 8));
  EXPECT_EQ((std::vector<Extent>{{8, 11500}}), AllPointers(file));
  host::RedirectMoves('C', host::kAnyLcn, host::kAnyFreeLcn);
  EXPECT_EQ(STATUS_SUCCESS, Move(file, 0, 12000, 8));
  const Extent landed = AllPointers(file).at(0);
  EXPECT_TRUE(landed.lcn + 8 <= 12000 || landed.lcn >= 12008) << landed.lcn;
  host::UnmountAllDrives();
  EXPECT_TRUE(image_.Ntfscat("/a.bin") == content);
}

TEST_F(FsControl, RetrievalPointersOverrideAnswersTheChosenExtents) {
  ASSERT_TRUE(image_.PutFile(u"Data\\a.bin", Pattern(4)));
  Mount();
  host::OverrideRetrievalPointers('C', u"data\\A.BIN", {{16, 100}, {32, -1}, {40, 300}});
  HANDLE file = Open(u"\\??\\C:\\Data\\a.bin");
  std::vector<Extent> extents;
  int64_t start = -1;
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Pointers(file, 0, 2, &extents, &start));
  EXPECT_EQ((std::vector<Extent>{{16, 100}, {32, -1}}), extents);
  EXPECT_EQ(STATUS_SUCCESS, Pointers(file, 35, 2, &extents, &start));
  EXPECT_EQ(32, start);
  EXPECT_EQ((std::vector<Extent>{{40, 300}}), extents);
  EXPECT_EQ(STATUS_END_OF_FILE, Pointers(file, 40, 2, &extents));
}

class InjectedFault : public FsControl, public testing::WithParamInterface<const char*> {};

TEST_P(InjectedFault, ReachesTheControlByName) {
  ASSERT_TRUE(image_.PutFile(u"a.bin", Pattern(4)));
  Mount();
  HANDLE file = Open(u"\\??\\C:\\a.bin");
  const std::string name = GetParam();
  host::FaultRule rule;
  ASSERT_TRUE(host::ParseFaultRule(name + "#2=0xC0000185", &rule, nullptr));
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
  auto call = [&]() {
    std::vector<Extent> extents;
    std::vector<uint8_t> bitmap;
    if (name == "FSCTL_GET_NTFS_VOLUME_DATA") {
      NTFS_VOLUME_DATA_BUFFER data;
      return Control(volume_, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data);
    }
    if (name == "FSCTL_GET_VOLUME_BITMAP") return Bitmap(0, 2048, &bitmap);
    if (name == "FSCTL_GET_RETRIEVAL_POINTERS") return Pointers(file, 0, 4, &extents);
    return Move(file, 0, 12000 + 4 * static_cast<int64_t>(host::CallCount(name)), 4);
  };
  const uint64_t before = host::CallCount("NtFsControlFile");
  EXPECT_EQ(STATUS_SUCCESS, call());
  EXPECT_EQ(MakeStatus(0xC0000185), call());
  EXPECT_EQ(MakeStatus(0xC0000185), host::RecentCalls().back().status);
  EXPECT_EQ("NtFsControlFile", host::RecentCalls().back().call);
  EXPECT_EQ(STATUS_SUCCESS, call());
  EXPECT_EQ(before + 3, host::CallCount("NtFsControlFile"));
}

INSTANTIATE_TEST_SUITE_P(Controls, InjectedFault,
                         testing::Values("FSCTL_GET_NTFS_VOLUME_DATA", "FSCTL_GET_VOLUME_BITMAP",
                                         "FSCTL_GET_RETRIEVAL_POINTERS", "FSCTL_MOVE_FILE"));

// The boot option reaches the system as the zone its volume reports, and a malformed one stops the boot.
TEST(MftZoneOption, ReplacesTheZoneTheBootSees) {
  testsupport::TestImage image;
  ASSERT_TRUE(image.PutFile(u"a.bin", "a"));
  ASSERT_TRUE(image.PutFile(u"defrag.cfg",
                            "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n"
                            "<file>\r\npath=\\??\\C:\\a.bin\r\n</file>\r\n"));
  const testsupport::CommandResult boot =
      testsupport::RunSpindraxel({"boot", "--drive", "C=" + image.Path(), "--mft-zone", "c=-10:99999999", "--",
                                  "sxboottime \\??\\C:\\defrag.cfg"});
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  const testsupport::CommandResult list = testsupport::RunCommand({testsupport::NtfsToolPath("ntfsls"), image.Path()});
  std::smatch log;
  ASSERT_TRUE(std::regex_search(list.out, log, std::regex(R"(Spindraxel_native_\S+\.txt)"))) << list.out;
  EXPECT_NE(std::string::npos, image.Ntfscat("/" + log.str()).find(" L1 MftZone: <-10, 99999999)\r\n"));

  const testsupport::CommandResult bad = testsupport::RunSpindraxel(
      {"boot", "--drive", "C=" + image.Path(), "--mft-zone", "C=10", "--", "sxboottime \\??\\C:\\defrag.cfg"});
  EXPECT_EQ(2, bad.exitStatus);
  EXPECT_NE(std::string::npos, bad.err.find("--mft-zone C=10: expected LETTER=START:END"));
}

}  // namespace
