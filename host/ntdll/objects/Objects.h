// Kernel objects of the host platform and the handle table that names them. Waitable objects (events, mutants,
// threads) change their signal state only under the dispatcher lock, and every change wakes all waiters, which
// then re-check their own objects: simple, and plenty fast for a handful of threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/NativeApi.h"

namespace host {

enum class ObjectType { Event, Mutant, Thread, File, Device, Key, Token };

struct Object {
  explicit Object(ObjectType objectType) : type(objectType) {}
  virtual ~Object() = default;

  // Wait support, called with the dispatcher lock held.
  virtual bool IsWaitable() const { return false; }
  virtual bool IsSignaledFor(std::thread::id) const { return false; }
  // Applies what a satisfied wait does to the object (an auto-reset event clears, a mutant is taken). Returns
  // STATUS_ABANDONED_WAIT_0 for an abandoned mutant, else STATUS_WAIT_0.
  virtual NTSTATUS Satisfy(std::thread::id) { return STATUS_WAIT_0; }
  // Called once the last handle to the object is closed.
  virtual void OnLastHandleClosed() {}

  const ObjectType type;
  int handleCount = 0;  // guarded by the handle table
  // The waits in progress on the object, each its own condition: a signal wakes only those. Guarded by the
  // dispatcher lock.
  std::vector<std::condition_variable*> waiters;
};

struct EventObject : Object {
  EventObject(bool manualReset, bool initialState)
      : Object(ObjectType::Event), manual(manualReset), signaled(initialState) {}
  bool IsWaitable() const override { return true; }
  bool IsSignaledFor(std::thread::id) const override { return signaled; }
  NTSTATUS Satisfy(std::thread::id) override;

  const bool manual;
  bool signaled;
};

struct MutantObject : Object {
  MutantObject() : Object(ObjectType::Mutant) {}
  bool IsWaitable() const override { return true; }
  bool IsSignaledFor(std::thread::id thread) const override { return count == 0 || owner == thread; }
  NTSTATUS Satisfy(std::thread::id thread) override;

  std::thread::id owner;
  LONG count = 0;
  bool abandoned = false;
};

struct ThreadObject : Object {
  ThreadObject() : Object(ObjectType::Thread) {}
  bool IsWaitable() const override { return true; }
  bool IsSignaledFor(std::thread::id) const override { return terminated; }

  std::thread::id id;
  uintptr_t clientId = 0;
  bool terminated = false;
  NTSTATUS exitStatus = STATUS_PENDING;
};

// The lock under which every signal state changes.
struct Dispatcher {
  std::mutex mutex;
};
Dispatcher& GetDispatcher();
// Wakes the waits on `object`, after its signal state changed; with the dispatcher lock held.
void WakeWaiters(const Object& object);

// Handle table.
HANDLE InsertHandle(const std::shared_ptr<Object>& object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
// Looks `handle` up as an object of `type`: STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH otherwise.
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle, ObjectType type, NTSTATUS* status) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (!object) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  if (object->type != type) {
    *status = STATUS_OBJECT_TYPE_MISMATCH;
    return nullptr;
  }
  *status = STATUS_SUCCESS;
  return std::static_pointer_cast<T>(object);
}
NTSTATUS CloseHandle(HANDLE handle);

// Named objects (such as the keyboard event): names compare without case.
std::shared_ptr<Object> FindNamedObject(const std::u16string& name);
void NameObject(const std::u16string& name, const std::shared_ptr<Object>& object);

// The object of the calling thread (made on first use for threads the platform did not start).
std::shared_ptr<ThreadObject> CurrentThreadObject();
// Makes `object` the calling thread's object (for threads the platform starts).
void AdoptCurrentThreadObject(const std::shared_ptr<ThreadObject>& object);
// Marks the calling thread ended: abandons the mutants it owns and signals its object.
void MarkCurrentThreadTerminated(NTSTATUS exitStatus);

// The object name of an OBJECT_ATTRIBUTES as a string (empty when there is none).
std::u16string ObjectNameOf(const OBJECT_ATTRIBUTES* attributes);

}  // namespace host
