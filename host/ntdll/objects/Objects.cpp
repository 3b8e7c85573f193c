#include "host/ntdll/objects/Objects.h"

#include <shared_mutex>
#include <unordered_map>
#include <vector>

namespace host {
namespace {

struct HandleTable {
  std::shared_mutex mutex;  // lookups, by far the most frequent, share it
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> handles;
  std::unordered_map<std::u16string, std::weak_ptr<Object>> names;
  std::vector<std::weak_ptr<MutantObject>> mutants;
  // Values grow by four as on Windows and are never reused, so a stale handle fails instead of naming another
  // object.
  uintptr_t next = 4;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable();  // threads may still use it while the process exits
  return *table;
}

std::u16string FoldCase(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& c : folded) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return folded;
}

thread_local std::shared_ptr<ThreadObject> t_currentThread;

}  // namespace

Dispatcher& GetDispatcher() {
  static Dispatcher* dispatcher = new Dispatcher();
  return *dispatcher;
}

NTSTATUS EventObject::Satisfy(std::thread::id) {
  if (!manual) signaled = false;
  return STATUS_WAIT_0;
}

NTSTATUS MutantObject::Satisfy(std::thread::id thread) {
  owner = thread;
  ++count;
  if (!abandoned) return STATUS_WAIT_0;
  abandoned = false;
  return STATUS_ABANDONED_WAIT_0;
}

HANDLE InsertHandle(const std::shared_ptr<Object>& object) {
  HandleTable& table = Table();
  std::lock_guard<std::shared_mutex> guard(table.mutex);
  uintptr_t value = table.next;
  table.next += 4;
  table.handles.emplace(value, object);
  ++object->handleCount;
  if (object->type == ObjectType::Mutant) table.mutants.push_back(std::static_pointer_cast<MutantObject>(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
  if (handle == NtCurrentThread()) return CurrentThreadObject();
  HandleTable& table = Table();
  std::shared_lock<std::shared_mutex> guard(table.mutex);
  auto found = table.handles.find(reinterpret_cast<uintptr_t>(handle));
  return found == table.handles.end() ? nullptr : found->second;
}

NTSTATUS CloseHandle(HANDLE handle) {
  std::shared_ptr<Object> object;
  {
    HandleTable& table = Table();
    std::lock_guard<std::shared_mutex> guard(table.mutex);
    auto found = table.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.handles.end()) return STATUS_INVALID_HANDLE;
    object = found->second;
    table.handles.erase(found);
    if (--object->handleCount != 0) return STATUS_SUCCESS;
  }
  object->OnLastHandleClosed();
  return STATUS_SUCCESS;
}

std::shared_ptr<Object> FindNamedObject(const std::u16string& name) {
  HandleTable& table = Table();
  std::shared_lock<std::shared_mutex> guard(table.mutex);
  auto found = table.names.find(FoldCase(name));
  return found == table.names.end() ? nullptr : found->second.lock();
}

void NameObject(const std::u16string& name, const std::shared_ptr<Object>& object) {
  HandleTable& table = Table();
  std::lock_guard<std::shared_mutex> guard(table.mutex);
  table.names[FoldCase(name)] = object;
}

std::shared_ptr<ThreadObject> CurrentThreadObject() {
  if (!t_currentThread) AdoptCurrentThreadObject(std::make_shared<ThreadObject>());
  return t_currentThread;
}

void AdoptCurrentThreadObject(const std::shared_ptr<ThreadObject>& object) {
  std::lock_guard<std::mutex> guard(GetDispatcher().mutex);
  object->id = std::this_thread::get_id();
  t_currentThread = object;
}

void MarkCurrentThreadTerminated(NTSTATUS exitStatus) {
  std::shared_ptr<ThreadObject> self = CurrentThreadObject();
  std::vector<std::shared_ptr<MutantObject>> mutants;
  {
    HandleTable& table = Table();
    std::lock_guard<std::shared_mutex> guard(table.mutex);
    for (const auto& weak : table.mutants) {
      if (auto mutant = weak.lock()) mutants.push_back(mutant);
    }
  }
  Dispatcher& dispatcher = GetDispatcher();
  {
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    for (const auto& mutant : mutants) {
      if (mutant->count != 0 && mutant->owner == self->id) {
        mutant->owner = std::thread::id();
        mutant->count = 0;
        mutant->abandoned = true;
        WakeWaiters(*mutant);
      }
    }
    self->terminated = true;
    self->exitStatus = exitStatus;
    WakeWaiters(*self);
  }
}

void WakeWaiters(const Object& object) {
  for (std::condition_variable* waiter : object.waiters) waiter->notify_one();
}

std::u16string ObjectNameOf(const OBJECT_ATTRIBUTES* attributes) {
  if (attributes == nullptr || attributes->ObjectName == nullptr || attributes->ObjectName->Buffer == nullptr) {
    return {};
  }
  return std::u16string(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(WCHAR));
}

}  // namespace host
