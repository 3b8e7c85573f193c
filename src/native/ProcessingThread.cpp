#include "native/ProcessingThread.h"

#include "defrag/Defragmentation.h"
#include "log/Logger.h"
#include "native/VolumeExecutionContext.h"
#include "volume/FileFragments.h"

namespace {

// \??\X:\ : a path without anything after the drive's root cannot name a file.
constexpr size_t kShortestPath = 7;

}  // namespace

NTSTATUS NTAPI ProcessingThreadStub(PVOID parameter) {
  SX_LOG_FUNCTION("ProcessingThreadStub");
  auto* parameters = static_cast<SProcessingThreadParameters*>(parameter);
  SDefragContext& context = *parameters->context;
  SVolumeExecutionContext& executionContext = *context.executionContext_;
  for (const auto& entry : *context.files_) {
    if (entry->path_.size() < kShortestPath) {
      SX_LOG(1, "File path: %S is too short", entry->path_.c_str());
      continue;
    }
    if (entry->operation_ != kOperationDefragment) {
      SX_LOG(1, "Unknown operation (code %d)", entry->operation_);
      continue;
    }
    SX_LOG(1, "Beginning defragmentation of %S", entry->path_.c_str());
    ConsolePrint("%S\n", entry->path_.c_str() + 4);
    executionContext.ResetProgress();
    SProgressRange progress{&executionContext.progress_, 1.0};
    NTSTATUS status = CDefragmentation::DefragmentFile(context, *entry, *parameters->fragments, progress);
    SX_LOG(1, "Defragmentation finished (0x%x)", status);
    if (status == STATUS_CANCELLED) break;
    // A volume with a file left unprocessed reads as failed: its last failure is the volume's result.
    if (!NT_SUCCESS(status)) executionContext.SetProcessingResult(status);
  }
  executionContext.SetProcessingFinished();
  // The pseudo-handle, not the handle the main thread stores: that store may not have happened yet.
  return NtTerminateThread(NtCurrentThread(), STATUS_SUCCESS);
}
