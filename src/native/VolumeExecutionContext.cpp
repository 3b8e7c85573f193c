#include "native/VolumeExecutionContext.h"

#include "log/Logger.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

SVolumeExecutionContext::SVolumeExecutionContext(std::shared_ptr<CVolume> volume,
                                                 std::shared_ptr<CVolumeBitmapCache> bitmapCache, double progress,
                                                 bool isRunning)
    : volume_(std::move(volume)), bitmapCache_(std::move(bitmapCache)), progress_(progress), isRunning_(isRunning) {
  lock_.Initialize();
}

bool SVolumeExecutionContext::Initialize() {
  SX_LOG_FUNCTION("SVolumeExecutionContext::Initialize");
  NTSTATUS status = NtCreateEvent(&processingFinishedEvent_, EVENT_ALL_ACCESS, nullptr, NotificationEvent, false);
  if (NT_ERROR(status)) {
    SX_LOG(1, "LOGGER: processingFinishedEvent_ was not created. ERROR: 0x%x", status);
    return false;
  }
  return true;
}

bool SVolumeExecutionContext::IsRunning() {
  CDataSynchronizationGuard guard(lock_);
  return isRunning_;
}

void SVolumeExecutionContext::RequestAbort() {
  CDataSynchronizationGuard guard(lock_);
  isRunning_ = false;
}

void SVolumeExecutionContext::ResetProgress() {
  CDataSynchronizationGuard guard(lock_);
  progress_ = 0.0;
}

bool SVolumeExecutionContext::IsProcessingFinished() {
  CDataSynchronizationGuard guard(lock_);
  return isProcessingFinished_;
}

NTSTATUS SVolumeExecutionContext::SetProcessingFinished() {
  {
    CDataSynchronizationGuard guard(lock_);
    isProcessingFinished_ = true;
  }
  return NtSetEvent(processingFinishedEvent_, nullptr);
}

NTSTATUS SVolumeExecutionContext::GetProcessingResult() {
  CDataSynchronizationGuard guard(lock_);
  return processingResult_;
}

void SVolumeExecutionContext::SetProcessingResult(NTSTATUS result) {
  CDataSynchronizationGuard guard(lock_);
  processingResult_ = result;
}
