// CDataSynchronizationLock: the mutual-exclusion lock around the fields that the main thread and a processing
// thread share. It wraps one unnamed native mutant, never reports failures to its caller, and logs them instead.
#pragma once

#include "platform/NativeApi.h"

class CDataSynchronizationLock {
 public:
  CDataSynchronizationLock() = default;
  CDataSynchronizationLock(const CDataSynchronizationLock&) = delete;
  CDataSynchronizationLock& operator=(const CDataSynchronizationLock&) = delete;

  // Creates the mutant; the lock stays uninitialized (silently) when that fails.
  void Initialize();
  // Waits for the mutant. An error status is logged and the caller goes on as if it held the lock.
  void Lock();
  // Releases the mutant, logging an error status (for instance when this thread does not own it).
  void Unlock();

  bool IsInitialized() const { return initialized_; }

 private:
  bool initialized_ = false;
  bool logErrors_ = true;
  // Not closed here: the owner lives until the process ends, and so does the mutant.
  HANDLE mutant_ = nullptr;
};

// Holds a CDataSynchronizationLock from construction to the end of the scope.
class CDataSynchronizationGuard {
 public:
  explicit CDataSynchronizationGuard(CDataSynchronizationLock& lock) : lock_(lock) { lock_.Lock(); }
  ~CDataSynchronizationGuard() { lock_.Unlock(); }
  CDataSynchronizationGuard(const CDataSynchronizationGuard&) = delete;
  CDataSynchronizationGuard& operator=(const CDataSynchronizationGuard&) = delete;

 private:
  CDataSynchronizationLock& lock_;
};
