// The volume as the system sees it through the file-system controls of real NTFS images: its MFT zone and the
// zone's clamping (size and zone are compared with the offline analysis in VolumeAnalysisTest), flushing, the bitmap
// windows and a file's fragments from chosen retrieval pointers.
#include <gtest/gtest.h>

#include <tuple>

#include "SystemImage.h"
#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/faults/FsOverrides.h"
#include "support/BootLog.h"
#include "support/TestImage.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

constexpr LONGLONG kWindow = CVolumeBitmapCache::kWindowClusters;

std::shared_ptr<CVolume> OpenVolume(const char16_t* path) {
  auto volume = std::make_shared<CVolume>();
  EXPECT_TRUE(volume->Initialize(path));
  return volume;
}

class Volume : public testing::Test {
 protected:
  void TearDown() override {
    host::ClearFaultRules();
    host::ClearFsOverrides();
  }
};

struct FlushCase {
  const char* fault;
  NTSTATUS status;
  const char* line;
  ULONG modeAfter = 1;  // the hard-error mode: back to the default unless restoring it failed
};
void PrintTo(const FlushCase& flush, std::ostream* out) { *out << flush.fault; }

class Flush : public Volume, public testing::WithParamInterface<FlushCase> {};

// A failed flush is reported only by its line; no failure leaves a success line or the hard-error mode off unless
// turning it back on failed.
TEST_P(Flush, FailureIsLoggedAndTheHardErrorModeRestored) {
  std::shared_ptr<CVolume> volume = OpenVolume(u"\\??\\C:");
  LoggedSinceLastMark();
  FailNextCallOnThisThread(GetParam().fault);
  EXPECT_EQ(GetParam().status, FlushBuffers(volume));
  EXPECT_EQ(GetParam().modeAfter, host::HardErrorMode());
  const std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos, logged.find(std::string(" L1 ") + GetParam().line)) << logged;
  EXPECT_EQ(std::string::npos, logged.find("Successfully flushed"));
}

INSTANTIATE_TEST_SUITE_P(
    Volume, Flush,
    testing::Values(
        FlushCase{"NtFlushBuffersFile#1=0xC0000185", STATUS_SUCCESS,
                  "NtFlushBuffersFile failed with error code 0xc0000185 (handle: 0x"},
        FlushCase{"NtCreateFile#1=0xC0000022", STATUS_ACCESS_DENIED,
                  "NtCreateFile failed with error code 0xc0000022\r\n"},
        FlushCase{
            "NtSetInformationProcess#1=0xC0000022", STATUS_ACCESS_DENIED,
            "NtSetInformationProcess (ProcessDefaultHardErrorMode/NOERROR) failed with error code 0xc0000022\r\n"},
        FlushCase{"NtSetInformationProcess#2=0xC0000008", STATUS_INVALID_HANDLE,
                  "NtSetInformationProcess (ProcessDefaultHardErrorMode/DEFAULT) failed with error code 0xc0000008\r\n",
                  0}));

// An 800 MiB sparse image with 512-byte clusters, mounted as D:: three whole bitmap windows and a short last one.
class LargeVolume : public Volume {
 protected:
  static void SetUpTestSuite() {
    image_ = new testsupport::TestImage(800ull << 20, 512);
    std::string error;
    ASSERT_TRUE(host::MountDrive('D', image_->Path(), &error)) << error;
  }
  static void TearDownTestSuite() {
    host::UnmountDrive('D');
    delete image_;
  }
  static testsupport::TestImage* image_;
};
testsupport::TestImage* LargeVolume::image_ = nullptr;

TEST_F(LargeVolume, EachWindowIsReadOnceUntilInvalidatedAndTheLastOneIsShort) {
  std::shared_ptr<CVolume> volume = OpenVolume(u"\\??\\D:");
  const LONGLONG total = volume->GetTotalClusters();
  ASSERT_GT(total, 3 * kWindow);
  CVolumeBitmapCache cache(volume, false);
  const uint64_t reads = host::CallCount("FSCTL_GET_VOLUME_BITMAP");
  cache.IsClusterUsed(kWindow - 1);
  cache.IsClusterUsed(kWindow - 2);
  cache.IsClusterUsed(kWindow);
  EXPECT_EQ(kWindow, cache.GetWindowStart());
  EXPECT_EQ(reads + 2, host::CallCount("FSCTL_GET_VOLUME_BITMAP"));
  cache.Invalidate();
  cache.IsClusterUsed(kWindow + 1);
  EXPECT_EQ(reads + 3, host::CallCount("FSCTL_GET_VOLUME_BITMAP"));
  cache.IsClusterUsed(total - 1);
  EXPECT_EQ(3 * kWindow, cache.GetWindowStart());
  EXPECT_EQ(total - 3 * kWindow, cache.GetWindowClusters());
  EXPECT_TRUE(cache.IsClusterUsed(total)) << "past the end of the volume";
  EXPECT_TRUE(cache.IsClusterUsed(4 * kWindow - 1));
}

TEST_F(LargeVolume, ReservedZoneAcrossAWindowEdgeIsUsedOnBothSidesOnlyWhenMarked) {
  host::OverrideMftZone('D', 500000, 600000);
  std::shared_ptr<CVolume> volume = OpenVolume(u"\\??\\D:");
  CVolumeBitmapCache plain(volume, false), marked(volume, true);
  for (LONGLONG lcn : {499999LL, 500000LL, 524287LL, 524288LL, 599999LL, 600000LL}) {
    ASSERT_FALSE(plain.IsClusterUsed(lcn)) << lcn << " must be free on the fresh volume for this test";
    EXPECT_EQ(lcn >= 500000 && lcn < 600000, marked.IsClusterUsed(lcn)) << lcn;
  }
}

struct ZoneCase {
  int64_t start, end;
  LONGLONG expectedStart, expectedEnd;  // -1 stands for the volume's cluster count
};

class MftZoneClamp : public LargeVolume, public testing::WithParamInterface<ZoneCase> {};

TEST_P(MftZoneClamp, ZoneIsClampedIntoTheVolumeButLoggedAsReported) {
  host::OverrideMftZone('D', GetParam().start, GetParam().end);
  LoggedSinceLastMark();
  std::shared_ptr<CVolume> volume = OpenVolume(u"\\??\\D:");
  EXPECT_EQ(u'D', volume->GetDriveLetter());
  const LONGLONG total = volume->GetTotalClusters();
  ASSERT_EQ(1u, volume->GetReservedZones().size());
  EXPECT_EQ(GetParam().expectedStart < 0 ? total : GetParam().expectedStart, volume->GetReservedZones()[0].Start);
  EXPECT_EQ(GetParam().expectedEnd < 0 ? total : GetParam().expectedEnd, volume->GetReservedZones()[0].End);
  EXPECT_NE(std::string::npos, LoggedSinceLastMark().find(" L1 MftZone: <" + std::to_string(GetParam().start) + ", " +
                                                          std::to_string(GetParam().end) + ")\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Zones, MftZoneClamp,
                         testing::Values(ZoneCase{-5, 100, 0, 100}, ZoneCase{300, 200, 300, 300},
                                         ZoneCase{int64_t{1} << 40, int64_t{1} << 41, -1, -1}));

struct PointersCase {
  const char* name;
  std::vector<host::OverrideExtent> extents;
  std::vector<SFileFragment> fragments;  // Lcn, LcnCount, Vcn
  LONGLONG vcnCount;
};
void PrintTo(const PointersCase& pointers, std::ostream* out) { *out << pointers.name; }

std::vector<host::OverrideExtent> TwentyOneExtents() {
  std::vector<host::OverrideExtent> extents;
  for (int i = 0; i < 21; ++i) extents.push_back({(i + 1) * 2, 1000 + i * 10 + (i == 20 ? -8 : 0)});
  return extents;
}

class ChosenPointers : public Volume, public testing::WithParamInterface<PointersCase> {};

TEST_P(ChosenPointers, GiveTheseFragments) {
  WriteNativeFile(u"\\??\\C:\\Config\\pointers.bin", std::string(8192, 'p'));
  host::OverrideRetrievalPointers('C', u"Config\\pointers.bin", GetParam().extents);
  HANDLE file = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, OpenFile(u"\\??\\C:\\Config\\pointers.bin", &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL,
                                     FILE_SHARE_READ, FILE_OPEN, 0));
  SFileFragments fragments;
  EXPECT_EQ(STATUS_SUCCESS, GetFileFragments(OpenVolume(u"\\??\\C:"), file, fragments));
  NtClose(file);
  auto triples = [](const std::vector<SFileFragment>& list) {
    std::vector<std::tuple<LONGLONG, LONGLONG, LONGLONG>> result;
    for (const SFileFragment& fragment : list) result.emplace_back(fragment.Lcn, fragment.LcnCount, fragment.Vcn);
    return result;
  };
  EXPECT_EQ(triples(GetParam().fragments), triples(fragments.Fragments));
  EXPECT_EQ(static_cast<LONGLONG>(GetParam().fragments.size()), fragments.FragmentCount);
  EXPECT_EQ(GetParam().vcnCount, fragments.VcnCount);
}

INSTANTIATE_TEST_SUITE_P(
    Volume, ChosenPointers,
    testing::Values(PointersCase{"LeadingHoleBelongsToTheFirstFragment", {{16, -1}, {32, 100}}, {{100, 16, 32}}, 32},
                    PointersCase{"CompressionUnitsAdjacentOnTheVolumeMergeAcrossTheirTails",
                                 {{10, 200}, {16, -1}, {26, 210}, {32, -1}},
                                 {{200, 20, 32}},
                                 32},
                    // The 21st extent comes with the second request and continues the 20th on the volume.
                    PointersCase{"AdjacentRunsMergeAcrossRequests", TwentyOneExtents(),
                                 [] {
                                   std::vector<SFileFragment> runs;
                                   for (int i = 0; i < 19; ++i) runs.push_back({1000 + i * 10, 2, 2});
                                   runs.push_back({1190, 4, 4});
                                   return runs;
                                 }(),
                                 42},
                    PointersCase{"ImpossibleRunsAreSkippedAndABackwardRunStopsTheList",
                                 {{4, 100}, {8, -7}, {12, int64_t{1} << 40}, {16, 300}, {10, 400}},
                                 {{100, 4, 4}, {300, 4, 4}},
                                 8}),
    [](const testing::TestParamInfo<PointersCase>& info) { return std::string(info.param.name); });

}  // namespace
