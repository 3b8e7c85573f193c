// The per-volume records shared by the main thread, the processing thread and the engine: the execution state of
// one volume (SVolumeExecutionContext) and the work on it (SDefragContext).
#pragma once

#include <memory>

#include "config/FileConfigElement.h"
#include "log/DataSynchronizationLock.h"
#include "platform/NativeApi.h"

class CVolume;
class CVolumeBitmapCache;

struct SVolumeExecutionContext {
  SVolumeExecutionContext(std::shared_ptr<CVolume> volume, std::shared_ptr<CVolumeBitmapCache> bitmapCache,
                          double progress, bool isRunning);
  SVolumeExecutionContext(const SVolumeExecutionContext&) = delete;
  SVolumeExecutionContext& operator=(const SVolumeExecutionContext&) = delete;

  // Creates the finished event; logs and answers false when it cannot.
  bool Initialize();

  // Each of these takes the lock around its one field access.
  bool IsRunning();
  void RequestAbort();
  void ResetProgress();
  bool IsProcessingFinished();
  // Sets the finished flag, then (outside the lock) the finished event; returns the event call's status.
  NTSTATUS SetProcessingFinished();
  NTSTATUS GetProcessingResult();
  // Records the volume's outcome for GetProcessingResult; the processing thread stores each failure it meets.
  void SetProcessingResult(NTSTATUS result);

  std::shared_ptr<CVolume> volume_;
  std::shared_ptr<CVolumeBitmapCache> bitmapCache_;
  // Advanced by the engine without the lock: only the processing thread writes it.
  double progress_;
  bool isRunning_;
  bool isProcessingFinished_ = false;
  NTSTATUS processingResult_ = STATUS_SUCCESS;
  // Ends with the process, as does the lock's mutant.
  HANDLE processingFinishedEvent_ = nullptr;
  CDataSynchronizationLock lock_;
};

struct SDefragContext {
  std::shared_ptr<FileList> files_;
  std::shared_ptr<SVolumeExecutionContext> executionContext_;
};
