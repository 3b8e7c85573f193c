// Events, mutants and waits.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <vector>

#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/objects/Clock.h"
#include "host/ntdll/objects/Objects.h"

using namespace host;

namespace {

constexpr ULONG kMaximumWaitObjects = 64;

// Creates a named or unnamed object. A name already in use is a collision, unless OBJ_OPENIF asks to open the
// existing object of that name (STATUS_OBJECT_NAME_EXISTS).
template <typename T, typename Make>
NTSTATUS CreateObject(HANDLE* handle, OBJECT_ATTRIBUTES* attributes, ObjectType type, Make make) {
  if (handle == nullptr) return STATUS_ACCESS_VIOLATION;
  std::u16string name = ObjectNameOf(attributes);
  if (!name.empty()) {
    if (std::shared_ptr<Object> existing = FindNamedObject(name)) {
      if (!(attributes->Attributes & OBJ_OPENIF)) return STATUS_OBJECT_NAME_COLLISION;
      if (existing->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
      *handle = InsertHandle(existing);
      return STATUS_OBJECT_NAME_EXISTS;
    }
  }
  std::shared_ptr<T> object = make();
  if (!name.empty()) NameObject(name, object);
  *handle = InsertHandle(object);
  return STATUS_SUCCESS;
}

// Turns a native time-out (null: none; negative: relative, in 100 ns; positive: absolute system time) into a
// deadline on the steady clock.
std::chrono::steady_clock::time_point DeadlineOf(const LARGE_INTEGER* timeout) {
  auto now = std::chrono::steady_clock::now();
  if (timeout == nullptr) return std::chrono::steady_clock::time_point::max();
  int64_t ticks = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart - SystemTimeNow();
  if (ticks <= 0) return now;
  constexpr int64_t kMaxTicks = int64_t{10000000} * 3600 * 24 * 365 * 100;  // a century is "for ever"
  if (ticks > kMaxTicks) return std::chrono::steady_clock::time_point::max();
  return now + std::chrono::nanoseconds(ticks * 100);
}

NTSTATUS WaitFor(const std::vector<std::shared_ptr<Object>>& objects, bool waitAll, const LARGE_INTEGER* timeout) {
  auto deadline = DeadlineOf(timeout);
  std::thread::id self = std::this_thread::get_id();
  Dispatcher& dispatcher = GetDispatcher();
  std::unique_lock<std::mutex> lock(dispatcher.mutex);
  // Registered on every object until the wait ends, however it ends (under the lock, so no signal uses it after).
  std::condition_variable woken;
  struct Registration {
    const std::vector<std::shared_ptr<Object>>& objects;
    std::condition_variable* waiter;
    ~Registration() {
      for (const auto& object : objects) {
        auto& list = object->waiters;
        list.erase(std::find(list.begin(), list.end(), waiter));
      }
    }
  } registration{objects, &woken};
  for (const auto& object : objects) object->waiters.push_back(&woken);
  for (;;) {
    if (waitAll) {
      bool all = true;
      for (const auto& object : objects) all = all && object->IsSignaledFor(self);
      if (all) {
        NTSTATUS result = STATUS_WAIT_0;
        for (const auto& object : objects) {
          if (object->Satisfy(self) == STATUS_ABANDONED_WAIT_0) result = STATUS_ABANDONED_WAIT_0;
        }
        return result;
      }
    } else {
      for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->IsSignaledFor(self)) {
          NTSTATUS kind = objects[i]->Satisfy(self);
          return static_cast<NTSTATUS>(kind + i);
        }
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) return STATUS_TIMEOUT;
    if (deadline == std::chrono::steady_clock::time_point::max()) {
      woken.wait(lock);
    } else {
      woken.wait_until(lock, deadline);
    }
  }
}

NTSTATUS CollectWaitable(HANDLE handle, std::vector<std::shared_ptr<Object>>* objects) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  if (!object->IsWaitable()) return STATUS_OBJECT_TYPE_MISMATCH;
  objects->push_back(object);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI NtCreateEvent(HANDLE* EventHandle, ACCESS_MASK, OBJECT_ATTRIBUTES* ObjectAttributes,
                             EVENT_TYPE EventType, BOOLEAN InitialState) {
  return TraceCall("NtCreateEvent", [&]() -> NTSTATUS {
    if (EventType != NotificationEvent && EventType != SynchronizationEvent) return STATUS_INVALID_PARAMETER;
    return CreateObject<EventObject>(EventHandle, ObjectAttributes, ObjectType::Event, [&] {
      return std::make_shared<EventObject>(EventType == NotificationEvent, InitialState != 0);
    });
  });
}

NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, LONG* PreviousState) {
  return TraceCall("NtSetEvent", [&]() -> NTSTATUS {
    NTSTATUS status;
    auto event = LookupHandleAs<EventObject>(EventHandle, ObjectType::Event, &status);
    if (!event) return status;
    Dispatcher& dispatcher = GetDispatcher();
    {
      std::lock_guard<std::mutex> guard(dispatcher.mutex);
      if (PreviousState != nullptr) *PreviousState = event->signaled ? 1 : 0;
      event->signaled = true;
      WakeWaiters(*event);
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtClearEvent(HANDLE EventHandle) {
  return TraceCall("NtClearEvent", [&]() -> NTSTATUS {
    NTSTATUS status;
    auto event = LookupHandleAs<EventObject>(EventHandle, ObjectType::Event, &status);
    if (!event) return status;
    std::lock_guard<std::mutex> guard(GetDispatcher().mutex);
    event->signaled = false;
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtCreateMutant(HANDLE* MutantHandle, ACCESS_MASK, OBJECT_ATTRIBUTES* ObjectAttributes,
                              BOOLEAN InitialOwner) {
  return TraceCall("NtCreateMutant", [&]() -> NTSTATUS {
    return CreateObject<MutantObject>(MutantHandle, ObjectAttributes, ObjectType::Mutant, [&] {
      auto mutant = std::make_shared<MutantObject>();
      if (InitialOwner) {
        mutant->owner = std::this_thread::get_id();
        mutant->count = 1;
      }
      return mutant;
    });
  });
}

NTSTATUS NTAPI NtReleaseMutant(HANDLE MutantHandle, LONG* PreviousCount) {
  return TraceCall("NtReleaseMutant", [&]() -> NTSTATUS {
    NTSTATUS status;
    auto mutant = LookupHandleAs<MutantObject>(MutantHandle, ObjectType::Mutant, &status);
    if (!mutant) return status;
    Dispatcher& dispatcher = GetDispatcher();
    {
      std::lock_guard<std::mutex> guard(dispatcher.mutex);
      if (mutant->count == 0 || mutant->owner != std::this_thread::get_id()) return STATUS_MUTANT_NOT_OWNED;
      // The previous count is the signal state: 1 free, 0 owned once, -1 owned twice, ...
      if (PreviousCount != nullptr) *PreviousCount = 1 - mutant->count;
      if (--mutant->count == 0) {
        mutant->owner = std::thread::id();
        WakeWaiters(*mutant);
      }
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN, LARGE_INTEGER* Timeout) {
  return TraceCall("NtWaitForSingleObject", [&]() -> NTSTATUS {
    std::vector<std::shared_ptr<Object>> objects;
    NTSTATUS status = CollectWaitable(Handle, &objects);
    if (!NT_SUCCESS(status)) return status;
    return WaitFor(objects, false, Timeout);
  });
}

NTSTATUS NTAPI NtWaitForMultipleObjects(ULONG Count, HANDLE* Handles, WAIT_TYPE WaitType, BOOLEAN,
                                        LARGE_INTEGER* Timeout) {
  return TraceCall("NtWaitForMultipleObjects", [&]() -> NTSTATUS {
    // Windows names the argument at fault: the count is the first, the wait type the third.
    if (Count == 0 || Count > kMaximumWaitObjects) return STATUS_INVALID_PARAMETER_1;
    if (WaitType != WaitAll && WaitType != WaitAny) return STATUS_INVALID_PARAMETER_3;
    if (Handles == nullptr) return STATUS_ACCESS_VIOLATION;
    std::vector<std::shared_ptr<Object>> objects;
    for (ULONG i = 0; i < Count; ++i) {
      NTSTATUS status = CollectWaitable(Handles[i], &objects);
      if (!NT_SUCCESS(status)) return status;
    }
    return WaitFor(objects, WaitType == WaitAll, Timeout);
  });
}

}  // extern "C"
