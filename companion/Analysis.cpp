#include "companion/Analysis.h"

#include "companion/NativeFiles.h"
#include "defrag/Defragmentation.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace companion {

bool CVolumeAnalyzer::Open(WCHAR drive, std::string* error) {
  const std::u16string path = std::u16string(u"\\??\\") + drive + u":";
  volume_ = std::make_shared<CVolume>();
  if (volume_->Initialize(path.c_str())) return true;
  // Which of the two questions failed, and how: ask once more for the answer's status.
  HANDLE handle = nullptr;
  NTSTATUS status = OpenFile(path.c_str(), &handle, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0);
  if (NT_SUCCESS(status)) {
    NTFS_VOLUME_DATA_BUFFER data{};
    IO_STATUS_BLOCK io{};
    status = NtFsControlFile(handle, nullptr, nullptr, nullptr, &io, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data,
                             sizeof data);
    NtClose(handle);
  }
  *error = std::string(1, static_cast<char>(drive)) + ": " +
           (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST
                ? "the file system does not answer the NTFS controls (" + DescribeStatus(status) +
                      "): not an NTFS volume, or not Windows"
                : "the volume cannot be opened for its controls: " + DescribeStatus(status));
  return false;
}

SFileLayout CVolumeAnalyzer::File(const std::u16string& path) {
  SFileLayout layout;
  layout.path = path;
  HANDLE file = nullptr;
  layout.status = OpenFile(path.c_str(), &file, FILE_READ_DATA | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
  if (!NT_SUCCESS(layout.status)) return layout;
  SFileFragments fragments;
  layout.status = GetFileFragments(volume_, file, fragments);
  NtClose(file);
  if (layout.status == STATUS_END_OF_FILE) layout.status = STATUS_SUCCESS;
  layout.fragments = fragments.FragmentCount;
  for (const SFileFragment& fragment : fragments.Fragments) layout.clusters += fragment.LcnCount;
  return layout;
}

SFreeSpace CVolumeAnalyzer::FreeSpace() {
  SFreeSpace space;
  space.totalClusters = volume_->GetTotalClusters();
  CVolumeBitmapCache cache(volume_, false);
  for (LONGLONG lcn = 0; lcn < space.totalClusters; lcn += CVolumeBitmapCache::kWindowClusters) {
    if (!NT_SUCCESS(cache.ReloadFromCluster(lcn)) || !cache.Covers(lcn)) continue;
    // The clusters past the volume's end read as used.
    const UCHAR* bits = cache.GetWindowBits();
    for (LONGLONG i = 0; i < CVolumeBitmapCache::kWindowClusters / 8; ++i) space.freeClusters += 8 - __builtin_popcount(bits[i]);
  }
  space.largestFreeAt = CDefragmentation::FindLargestFreeBlock(volume_, space.largestFree);
  return space;
}

}  // namespace companion
