// The volume as the system sees it through the file-system controls of a real NTFS image: size, MFT zone,
// flushing, a file's fragments and the bitmap window.
#include <gtest/gtest.h>

#include "SystemImage.h"
#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "integrity/FileInformationDumper.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

// The system image is a 64 MiB volume with 4 KiB clusters; mkntfs leaves its last sector, the backup boot
// sector, outside the volume.
constexpr LONGLONG kImageClusters = (64 << 20) / 4096 - 1;

class Volume : public testing::Test {
 protected:
  void TearDown() override { host::ClearFaultRules(); }

  std::shared_ptr<CVolume> OpenC() {
    auto volume = std::make_shared<CVolume>();
    EXPECT_TRUE(volume->Initialize(u"\\??\\C:"));
    return volume;
  }

  SFileFragments FragmentsOf(const std::u16string& path, NTSTATUS* status) {
    HANDLE file = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              OpenFile(path.c_str(), &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, 0));
    SFileFragments fragments;
    *status = GetFileFragments(OpenC(), file, fragments);
    NtClose(file);
    return fragments;
  }
};

TEST_F(Volume, InitializeLearnsSizeLetterAndAClampedMftZone) {
  LoggedSinceLastMark();
  std::shared_ptr<CVolume> volume = OpenC();
  EXPECT_EQ(kImageClusters, volume->GetTotalClusters());
  EXPECT_EQ(u'C', volume->GetDriveLetter());
  ASSERT_EQ(1u, volume->GetReservedZones().size());
  const SReservedZone& zone = volume->GetReservedZones()[0];
  EXPECT_LE(0, zone.Start);
  EXPECT_LT(zone.Start, zone.End);
  EXPECT_LE(zone.End, kImageClusters);
  std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos, logged.find("CVolume::GetVolumeInfo#"));
  EXPECT_NE(std::string::npos, logged.find(" L1 Trying to obtain reserved zones\r\n"));
  EXPECT_NE(std::string::npos, logged.find(" L1 MftZone: <" + std::to_string(zone.Start) + ", "));
}

TEST_F(Volume, VolumeThatCannotBeQueriedFailsWithItsStatusLogged) {
  LoggedSinceLastMark();
  FailNextCallOnThisThread("FSCTL_GET_NTFS_VOLUME_DATA#1=0xC00000BB");
  auto volume = std::make_shared<CVolume>();
  EXPECT_FALSE(volume->Initialize(u"\\??\\C:"));
  EXPECT_TRUE(volume->GetReservedZones().empty());
  EXPECT_EQ(u'C', volume->GetDriveLetter());
  EXPECT_NE(std::string::npos,
            LoggedSinceLastMark().find(" L1 Failed to get volume info (code: 0xc00000bb, handle=0x"));

  auto missing = std::make_shared<CVolume>();
  EXPECT_FALSE(missing->Initialize(u"\\??\\Q:"));
  EXPECT_EQ(0, missing->GetTotalClusters());
  EXPECT_EQ(u'Q', missing->GetDriveLetter());
}

TEST_F(Volume, FlushBuffersFlushesAndRestoresTheHardErrorMode) {
  std::shared_ptr<CVolume> volume = OpenC();
  LoggedSinceLastMark();
  EXPECT_EQ(STATUS_SUCCESS, FlushBuffers(volume));
  EXPECT_EQ(1u, host::HardErrorMode());
  EXPECT_NE(std::string::npos, LoggedSinceLastMark().find(" L1 Successfully flushed buffer for volume \\??\\C:\r\n"));

  FailNextCallOnThisThread("NtFlushBuffersFile#1=0xC0000185");
  EXPECT_EQ(STATUS_SUCCESS, FlushBuffers(volume)) << "a failed flush is reported only by its line";
  std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos, logged.find(" L1 NtFlushBuffersFile failed with error code 0xc0000185 (handle: 0x"));
  EXPECT_EQ(std::string::npos, logged.find("Successfully flushed"));

  FailNextCallOnThisThread("NtCreateFile#1=0xC0000022");
  EXPECT_EQ(STATUS_ACCESS_DENIED, FlushBuffers(volume));
  EXPECT_EQ(1u, host::HardErrorMode()) << "the mode goes back even when the volume cannot be opened";
  EXPECT_NE(std::string::npos, LoggedSinceLastMark().find(" L1 NtCreateFile failed with error code 0xc0000022\r\n"));
}

TEST_F(Volume, HardErrorModeFailuresAreLoggedAndReturned) {
  std::shared_ptr<CVolume> volume = OpenC();
  LoggedSinceLastMark();
  FailNextCallOnThisThread("NtSetInformationProcess#1=0xC0000022");
  EXPECT_EQ(STATUS_ACCESS_DENIED, FlushBuffers(volume));
  std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos,
            logged.find(" L1 NtSetInformationProcess (ProcessDefaultHardErrorMode/NOERROR) failed with error code "
                        "0xc0000022\r\n"));
  EXPECT_EQ(std::string::npos, logged.find("Successfully flushed")) << "nothing is flushed after that";

  FailNextCallOnThisThread("NtSetInformationProcess#2=0xC0000008");
  EXPECT_EQ(STATUS_INVALID_HANDLE, FlushBuffers(volume));
  logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos,
            logged.find(" L1 NtSetInformationProcess (ProcessDefaultHardErrorMode/DEFAULT) failed with error code "
                        "0xc0000008\r\n"));
  EXPECT_EQ(std::string::npos, logged.find("Successfully flushed")) << "the success line follows the restore";
}

TEST_F(Volume, ContiguousAndResidentFilesHaveOneAndNoFragments) {
  WriteNativeFile(u"\\??\\C:\\Config\\contiguous.bin", std::string(100 * 4096, 'c'));
  WriteNativeFile(u"\\??\\C:\\Config\\tiny.bin", "resident");
  NTSTATUS status;
  SFileFragments contiguous = FragmentsOf(u"\\??\\C:\\Config\\contiguous.bin", &status);
  EXPECT_EQ(STATUS_SUCCESS, status);
  ASSERT_EQ(1, contiguous.FragmentCount);
  EXPECT_EQ(100, contiguous.Fragments[0].LcnCount);
  EXPECT_EQ(100, contiguous.Fragments[0].Vcn);
  EXPECT_EQ(100, contiguous.VcnCount);
  SFileFragments tiny = FragmentsOf(u"\\??\\C:\\Config\\tiny.bin", &status);
  EXPECT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(0, tiny.FragmentCount);
  EXPECT_EQ(0, tiny.VcnCount);
}

TEST_F(Volume, ReportLineCountsClustersAndFragmentsOrLogsWhyNot) {
  WriteNativeFile(u"\\??\\C:\\Config\\report.bin", std::string(100 * 4096, 'r'));
  EXPECT_EQ("File \"\\??\\C:\\Config\\report.bin:\", Clusters: 100, Fragments: 1",
            CFileInformationDumper::GetFileInformationString(u"\\??\\C:\\Config\\report.bin", OpenC()));
  LoggedSinceLastMark();
  EXPECT_EQ("", CFileInformationDumper::GetFileInformationString(u"\\??\\C:\\Config\\none.bin", OpenC()));
  EXPECT_EQ("", CFileInformationDumper::GetFileInformationString(u"\\??\\C:\\Config\\report.bin", nullptr));
  std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos, logged.find(" L1 Unable to open file \\??\\C:\\Config\\none.bin (0xc0000034)\r\n"));
  EXPECT_NE(std::string::npos, logged.find(" L1 VolumePtr invalid\r\n"));
}

TEST_F(Volume, BitmapCacheReadsOneWindowAndAgainOnlyWhenStale) {
  std::shared_ptr<CVolume> volume = OpenC();
  CVolumeBitmapCache cache(volume, true);
  uint64_t before = host::CallCount("FSCTL_GET_VOLUME_BITMAP");
  EXPECT_TRUE(cache.IsClusterUsed(0)) << "the boot sector is in use";
  EXPECT_FALSE(cache.IsClusterUsed(kImageClusters - 2));
  EXPECT_EQ(before + 1, host::CallCount("FSCTL_GET_VOLUME_BITMAP")) << "one read for the whole window";
  EXPECT_TRUE(cache.IsClusterUsed(kImageClusters)) << "past the end reads as used";
  EXPECT_TRUE(cache.IsClusterUsed(CVolumeBitmapCache::kWindowClusters - 1));
  EXPECT_EQ(before + 3, host::CallCount("FSCTL_GET_VOLUME_BITMAP")) << "every question past the end asks again";
  cache.Invalidate();
  cache.IsClusterUsed(1);
  EXPECT_EQ(before + 4, host::CallCount("FSCTL_GET_VOLUME_BITMAP"));
  EXPECT_EQ(kImageClusters, cache.GetWindowClusters());
}

TEST_F(Volume, ReservedZonesReadAsUsedOnlyWhenMarked) {
  std::shared_ptr<CVolume> volume = OpenC();
  const SReservedZone zone = volume->GetReservedZones().at(0);
  CVolumeBitmapCache marked(volume, true), unmarked(volume, false);
  LONGLONG freeInZone = -1;
  for (LONGLONG lcn = zone.Start; lcn < zone.End && freeInZone < 0; ++lcn) {
    if (!unmarked.IsClusterUsed(lcn)) freeInZone = lcn;
  }
  ASSERT_GE(freeInZone, 0) << "an empty volume has free clusters in its MFT zone";
  EXPECT_TRUE(marked.IsClusterUsed(freeInZone));
}

TEST_F(Volume, UnreadableBitmapCountsAsUsedWithBothLines) {
  std::shared_ptr<CVolume> volume = OpenC();
  CVolumeBitmapCache cache(volume, false);
  LoggedSinceLastMark();
  FailNextCallOnThisThread("FSCTL_GET_VOLUME_BITMAP#1=0xC0000185");
  EXPECT_TRUE(cache.IsClusterUsed(kImageClusters / 2));
  std::string logged = LoggedSinceLastMark();
  EXPECT_NE(std::string::npos, logged.find(" L1 NtFsControlFile error. Code: 0xc0000185\r\n"));
  EXPECT_NE(std::string::npos, logged.find(" L1 Error occured while reloading from cluster " +
                                           std::to_string(kImageClusters / 2) + ". Marking cluster as used\r\n"));
}

}  // namespace
