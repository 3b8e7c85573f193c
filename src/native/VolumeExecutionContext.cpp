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
  lock_.Lock();
  bool running = isRunning_;
  lock_.Unlock();
  return running;
}

void SVolumeExecutionContext::RequestAbort() {
  lock_.Lock();
  isRunning_ = false;
  lock_.Unlock();
}

void SVolumeExecutionContext::ResetProgress() {
  lock_.Lock();
  progress_ = 0.0;
  lock_.Unlock();
}

bool SVolumeExecutionContext::IsProcessingFinished() {
  lock_.Lock();
  bool finished = isProcessingFinished_;
  lock_.Unlock();
  return finished;
}

NTSTATUS SVolumeExecutionContext::SetProcessingFinished() {
  lock_.Lock();
  isProcessingFinished_ = true;
  lock_.Unlock();
  return NtSetEvent(processingFinishedEvent_, nullptr);
}

NTSTATUS SVolumeExecutionContext::GetProcessingResult() {
  lock_.Lock();
  NTSTATUS result = processingResult_;
  lock_.Unlock();
  return result;
}

void SVolumeExecutionContext::SetProcessingResult(NTSTATUS result) {
  lock_.Lock();
  processingResult_ = result;
  lock_.Unlock();
}
