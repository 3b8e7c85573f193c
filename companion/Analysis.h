// How fragmented a machine's files and free space are, as the boot-time program sees them: a file's fragments
// through the system's own GetFileFragments (FSCTL_GET_RETRIEVAL_POINTERS) and the free space through the volume's
// allocation bitmap.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

class CVolume;

namespace companion {

struct SFileLayout {
  std::u16string path;  // native
  LONGLONG clusters = 0;
  LONGLONG fragments = 0;
  NTSTATUS status = STATUS_SUCCESS;  // why the file could not be read
};

struct SFreeSpace {
  LONGLONG totalClusters = 0;
  LONGLONG freeClusters = 0;
  LONGLONG largestFree = 0;  // clusters in the largest free block outside the MFT zone
  LONGLONG largestFreeAt = -1;
};

class CVolumeAnalyzer {
 public:
  // Opens volume \??\X: for the controls; false with one line when the file system does not answer them.
  bool Open(WCHAR drive, std::string* error);
  SFileLayout File(const std::u16string& path);
  SFreeSpace FreeSpace();

 private:
  std::shared_ptr<CVolume> volume_;
};

}  // namespace companion
