#include "log/DataSynchronizationLock.h"

#include "log/Logger.h"

void CDataSynchronizationLock::Initialize() {
  if (NT_SUCCESS(NtCreateMutant(&mutant_, MUTANT_ALL_ACCESS, nullptr, false))) initialized_ = true;
}

void CDataSynchronizationLock::Lock() {
  SX_LOG_FUNCTION("CDataSynchronizationLock::Lock");
  if (!initialized_) {
    if (logErrors_) SX_LOG(1, "ERROR: Object was not properly initialized");
    return;
  }
  // An abandoned mutant or any other warning still counts as acquired.
  NTSTATUS status = NtWaitForSingleObject(mutant_, false, nullptr);
  if (NT_ERROR(status) && logErrors_) SX_LOG(1, "ERROR occured while locking the data lock. CODE: 0x%x", status);
}

void CDataSynchronizationLock::Unlock() {
  SX_LOG_FUNCTION("CDataSynchronizationLock::Unlock");
  NTSTATUS status = NtReleaseMutant(mutant_, nullptr);
  if (NT_ERROR(status) && logErrors_) SX_LOG(1, "ERROR occured while releasing the data lock. CODE: 0x%x", status);
}
