// The engine's entry: one configured file, one decision. A file in one piece is left alone unless part of it lies
// in a reserved zone (the MFT zone must stay free for the MFT to grow); anything else is moved whole when a free
// block can take it, and gathered in parts when none can.
#include "config/FileConfigElement.h"
#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "native/VolumeExecutionContext.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"

namespace {

// Logs the first fragment that overlaps a reserved zone; false when none does.
bool HasFragmentInReservedZone(const CVolume& volume, const SFileFragments& fragments, const std::string& path) {
  SX_LOG_FUNCTION("CDefragmentation::DefragmentFile");
  for (const SFileFragment& fragment : fragments.Fragments) {
    const LONGLONG end = fragment.Lcn + fragment.LcnCount;
    for (const SReservedZone& zone : volume.GetReservedZones()) {
      if (fragment.Lcn < zone.End && end > zone.Start) {
        SX_LOG(1, "File \"%s\" has fragment <%I64d, %I64d) in reserved zone <%I64d, %I64d)", path.c_str(), fragment.Lcn,
               end, zone.Start, zone.End);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

NTSTATUS CDefragmentation::DefragmentFile(SDefragContext& defragContext, const SFileForProcessing& entry,
                                          SFileFragments& fragments, SProgressRange progress) {
  SX_LOG_FUNCTION("CDefragmentation::DefragmentFile");
  const std::string path = ToAnsiString(entry.path_);
  SX_LOG(1, "DefragmentFile for \"%s\" entered", path.c_str());
  SVolumeExecutionContext& executionContext = *defragContext.executionContext_;
  const std::shared_ptr<CVolume> volume = executionContext.volume_;
  if (!executionContext.IsRunning()) {
    SX_LOG(1, "Aborting...");
    return STATUS_CANCELLED;
  }

  HANDLE file = nullptr;
  NTSTATUS result =
      OpenFile(entry.path_.c_str(), &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, 0);
  if (!NT_SUCCESS(result)) {
    SX_LOG(1, "Failed to open file (0x%x)", result);
  } else {
    result = GetFileFragments(volume, file, fragments);
  }
  if (NT_SUCCESS(result)) {
    if (fragments.FragmentCount <= 1 && !HasFragmentInReservedZone(*volume, fragments, path)) {
      NtClose(file);
      return STATUS_DEFRAG_NOT_NEEDED;
    }
    SX_LOG(1, "DefragmentFile move file start %s", path.c_str());
    result = MoveFile(defragContext, file, 0, volume->GetTotalClusters(), progress);
    if (result != STATUS_CANCELLED) {
      // A file that ten whole moves left in pieces would only be torn further by moving it in parts.
      if (!NT_SUCCESS(result) && result != STATUS_DEFRAG_STILL_FRAGMENTED) {
        result = PartialDefragmentFile(defragContext, file, progress);
      }
      SX_LOG(1, "DefragmentFile end %s; STATUS = 0x%x", path.c_str(), result);
    }
    // Describes the file as it was left, for the caller; this reading's status does not change the result.
    GetFileFragments(volume, file, fragments);
  }
  if (result == STATUS_CANCELLED) {
    SX_LOG(1, "Aborting...");
  } else if (!NT_SUCCESS(result)) {
    SX_LOG(1, "DefragmentFile failed with STATUS=0x%x", result);
  }
  if (file != nullptr) NtClose(file);
  return result;
}
