// Window arithmetic of the bitmap cache on a volume of more than three 524,288-cluster windows, the clamping of
// the MFT zone, and fragment lists built from chosen retrieval pointers.
#include <gtest/gtest.h>

#include "SystemImage.h"
#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/faults/FsOverrides.h"
#include "support/TestImage.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

constexpr LONGLONG kWindow = CVolumeBitmapCache::kWindowClusters;

// An 800 MiB sparse image with 512-byte clusters, mounted as D:: three whole windows and a short last one.
class LargeVolume : public testing::Test {
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
  void TearDown() override { host::ClearFsOverrides(); }

  std::shared_ptr<CVolume> OpenD() {
    auto volume = std::make_shared<CVolume>();
    EXPECT_TRUE(volume->Initialize(u"\\??\\D:"));
    return volume;
  }

  static testsupport::TestImage* image_;
};

testsupport::TestImage* LargeVolume::image_ = nullptr;

TEST_F(LargeVolume, EachWindowIsReadOnceAndTheLastOneIsShort) {
  std::shared_ptr<CVolume> volume = OpenD();
  const LONGLONG total = volume->GetTotalClusters();
  ASSERT_GT(total, 3 * kWindow);
  CVolumeBitmapCache cache(volume, false);
  uint64_t reads = host::CallCount("FSCTL_GET_VOLUME_BITMAP");
  cache.IsClusterUsed(kWindow - 1);
  cache.IsClusterUsed(kWindow - 2);
  cache.IsClusterUsed(kWindow);
  EXPECT_EQ(kWindow, cache.GetWindowStart());
  EXPECT_EQ(reads + 2, host::CallCount("FSCTL_GET_VOLUME_BITMAP"));
  cache.IsClusterUsed(total - 1);
  EXPECT_EQ(3 * kWindow, cache.GetWindowStart());
  EXPECT_EQ(total - 3 * kWindow, cache.GetWindowClusters());
  EXPECT_TRUE(cache.IsClusterUsed(total)) << "past the end of the volume";
  EXPECT_TRUE(cache.IsClusterUsed(4 * kWindow - 1));
}

TEST_F(LargeVolume, ReservedZoneAcrossAWindowEdgeIsUsedOnBothSides) {
  host::OverrideMftZone('D', 500000, 600000);
  std::shared_ptr<CVolume> volume = OpenD();
  ASSERT_EQ(1u, volume->GetReservedZones().size());
  CVolumeBitmapCache plain(volume, false), marked(volume, true);
  for (LONGLONG lcn : {499999LL, 500000LL, 524287LL, 524288LL, 599999LL, 600000LL}) {
    ASSERT_FALSE(plain.IsClusterUsed(lcn)) << lcn << " must be free on the fresh volume for this test";
  }
  EXPECT_FALSE(marked.IsClusterUsed(499999));
  EXPECT_TRUE(marked.IsClusterUsed(500000));
  EXPECT_TRUE(marked.IsClusterUsed(524287));
  EXPECT_TRUE(marked.IsClusterUsed(524288));
  EXPECT_TRUE(marked.IsClusterUsed(599999));
  EXPECT_FALSE(marked.IsClusterUsed(600000));
}

struct ZoneCase {
  int64_t start, end;
  LONGLONG expectedStart, expectedEnd;  // -1 stands for the volume's cluster count
};

class MftZoneClamp : public LargeVolume, public testing::WithParamInterface<ZoneCase> {};

TEST_P(MftZoneClamp, ZoneIsClampedIntoTheVolumeButLoggedAsReported) {
  host::OverrideMftZone('D', GetParam().start, GetParam().end);
  LoggedSinceLastMark();
  std::shared_ptr<CVolume> volume = OpenD();
  const LONGLONG total = volume->GetTotalClusters();
  const SReservedZone zone = volume->GetReservedZones().at(0);
  EXPECT_EQ(GetParam().expectedStart < 0 ? total : GetParam().expectedStart, zone.Start);
  EXPECT_EQ(GetParam().expectedEnd < 0 ? total : GetParam().expectedEnd, zone.End);
  EXPECT_NE(std::string::npos, LoggedSinceLastMark().find(" L1 MftZone: <" + std::to_string(GetParam().start) + ", " +
                                                          std::to_string(GetParam().end) + ")\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Zones, MftZoneClamp,
                         testing::Values(ZoneCase{-5, 100, 0, 100}, ZoneCase{300, 200, 300, 300},
                                         ZoneCase{100, int64_t{1} << 40, 100, -1},
                                         ZoneCase{int64_t{1} << 40, int64_t{1} << 41, -1, -1}, ZoneCase{0, 0, 0, 0}));

// Fragment lists from chosen retrieval pointers of a file on C:.
class ChosenPointers : public testing::Test {
 protected:
  void SetUp() override { WriteNativeFile(u"\\??\\C:\\Config\\pointers.bin", std::string(8192, 'p')); }
  void TearDown() override { host::ClearFsOverrides(); }

  SFileFragments FragmentsFor(std::vector<host::OverrideExtent> extents, NTSTATUS* status) {
    host::OverrideRetrievalPointers('C', u"Config\\pointers.bin", std::move(extents));
    auto volume = std::make_shared<CVolume>();
    EXPECT_TRUE(volume->Initialize(u"\\??\\C:"));
    HANDLE file = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, OpenFile(u"\\??\\C:\\Config\\pointers.bin", &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL,
                                       FILE_SHARE_READ, FILE_OPEN, 0));
    SFileFragments fragments;
    *status = GetFileFragments(volume, file, fragments);
    NtClose(file);
    return fragments;
  }
};

TEST_F(ChosenPointers, LeadingHoleBelongsToTheFirstFragment) {
  NTSTATUS status;
  SFileFragments fragments = FragmentsFor({{16, -1}, {32, 100}}, &status);
  EXPECT_EQ(STATUS_SUCCESS, status);
  ASSERT_EQ(1, fragments.FragmentCount);
  EXPECT_EQ(16, fragments.Fragments[0].LcnCount);
  EXPECT_EQ(32, fragments.Fragments[0].Vcn);
  EXPECT_EQ(32, fragments.VcnCount);
}

TEST_F(ChosenPointers, CompressionUnitsAdjacentOnTheVolumeMergeAcrossTheirTails) {
  NTSTATUS status;
  SFileFragments fragments = FragmentsFor({{10, 200}, {16, -1}, {26, 210}, {32, -1}}, &status);
  ASSERT_EQ(1, fragments.FragmentCount);
  EXPECT_EQ(20, fragments.Fragments[0].LcnCount);
  EXPECT_EQ(32, fragments.Fragments[0].Vcn);
  EXPECT_EQ(32, fragments.VcnCount);
}

TEST_F(ChosenPointers, TwentyOneExtentsTakeTwoRequestsAndAdjacentRunsMergeAcrossThem) {
  std::vector<host::OverrideExtent> extents;
  for (int i = 0; i < 21; ++i) extents.push_back({(i + 1) * 2, 1000 + i * 10 + (i == 20 ? -8 : 0)});
  uint64_t requests = host::CallCount("FSCTL_GET_RETRIEVAL_POINTERS");
  NTSTATUS status;
  SFileFragments fragments = FragmentsFor(extents, &status);
  EXPECT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(requests + 2, host::CallCount("FSCTL_GET_RETRIEVAL_POINTERS"));
  EXPECT_EQ(20, fragments.FragmentCount) << "the 21st run continues the 20th on the volume";
  EXPECT_EQ(4, fragments.Fragments.back().LcnCount);
  EXPECT_EQ(42, fragments.VcnCount);
}

TEST_F(ChosenPointers, ImpossibleRunsAreSkippedAndABackwardRunStopsTheList) {
  NTSTATUS status;
  SFileFragments fragments = FragmentsFor({{4, 100}, {8, -7}, {12, int64_t{1} << 40}, {16, 300}, {10, 400}}, &status);
  EXPECT_EQ(STATUS_SUCCESS, status);
  ASSERT_EQ(2, fragments.FragmentCount);
  EXPECT_EQ(100, fragments.Fragments[0].Lcn);
  EXPECT_EQ(300, fragments.Fragments[1].Lcn);
  EXPECT_EQ(8, fragments.VcnCount) << "skipped runs count nowhere";
}

}  // namespace
