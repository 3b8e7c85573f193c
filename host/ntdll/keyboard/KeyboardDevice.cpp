// The keyboard class device: \Device\KeyboardClass0, its buffer of records and its pending reads. A read takes as
// many whole records as it holds and are waiting; one that finds none stays pending until a source delivers a
// stroke, and is then completed on the delivering thread (as the class driver completes it from its input
// callback), or until it is cancelled.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/ntdll/files/Devices.h"
#include "host/ntdll/keyboard/Keyboard.h"
#include "host/ntdll/keyboard/KeyboardDevice.h"

namespace host {
namespace {

constexpr NTSTATUS kStatusDeviceNotConnected = MakeStatus(0xC000009D);
constexpr ULONG kRecordSize = sizeof(KEYBOARD_INPUT_DATA);
constexpr char16_t kDeviceDirectory[] = u"\\DEVICE\\";
constexpr char16_t kKeyboardName[] = u"KEYBOARDCLASS0";

struct KeyboardFile;

struct PendingRead {
  const KeyboardFile* file;
  std::thread::id thread;  // NtCancelIoFile cancels only the requests its caller made
  std::shared_ptr<EventObject> event;
  IO_STATUS_BLOCK* ioStatus;
  void* buffer;
  size_t capacity;  // whole records
  bool done = false;
};

// One attached keyboard. Handles opened on it keep it after it is detached, and then fail their reads.
struct KeyboardUnit {
  std::mutex mutex;
  std::condition_variable completed;  // for reads on synchronous handles
  bool attached = true;
  std::deque<KEYBOARD_INPUT_DATA> buffer;
  std::list<std::shared_ptr<PendingRead>> pending;
};

struct KeyboardFile : DeviceObject {
  NTSTATUS Read(HANDLE event, IO_STATUS_BLOCK* ioStatus, PVOID buffer, ULONG length) override;
  void CancelIo() override;
  void OnLastHandleClosed() override;

  std::shared_ptr<KeyboardUnit> unit;
  ACCESS_MASK access = 0;
  bool synchronous = false;
};

struct AttachedKeyboard {
  std::mutex mutex;
  std::shared_ptr<KeyboardUnit> unit;
  std::function<void()> stopSource;
};

AttachedKeyboard& Attached() {
  static AttachedKeyboard* attached = new AttachedKeyboard();  // sources may deliver while the process exits
  return *attached;
}

std::shared_ptr<KeyboardUnit> AttachedUnit() {
  std::lock_guard<std::mutex> guard(Attached().mutex);
  return Attached().unit;
}

using Events = std::vector<std::shared_ptr<EventObject>>;

void SignalEvents(const Events& events) {
  Dispatcher& dispatcher = GetDispatcher();
  {
    std::lock_guard<std::mutex> guard(dispatcher.mutex);
    for (const auto& event : events) {
      if (!event) continue;
      event->signaled = true;
      WakeWaiters(*event);
    }
  }
}

// Moves the waiting records that fit into the read's buffer and completes its status block. The unit's lock is
// held.
void FillRead(KeyboardUnit& unit, PendingRead& read) {
  size_t count = 0;
  for (; count < read.capacity && !unit.buffer.empty(); ++count) {
    std::memcpy(static_cast<char*>(read.buffer) + count * kRecordSize, &unit.buffer.front(), kRecordSize);
    unit.buffer.pop_front();
  }
  read.ioStatus->Status = STATUS_SUCCESS;
  read.ioStatus->Information = count * kRecordSize;
  read.done = true;
}

// Completes as cancelled every pending read `selected` picks, and collects their events. The unit's lock is held.
template <typename Select>
void CancelPending(KeyboardUnit& unit, Select selected, Events* events) {
  for (auto it = unit.pending.begin(); it != unit.pending.end();) {
    PendingRead& read = **it;
    if (!selected(read)) {
      ++it;
      continue;
    }
    read.ioStatus->Status = STATUS_CANCELLED;
    read.ioStatus->Information = 0;
    read.done = true;
    events->push_back(read.event);
    it = unit.pending.erase(it);
  }
  unit.completed.notify_all();
}

NTSTATUS KeyboardFile::Read(HANDLE event, IO_STATUS_BLOCK* ioStatus, PVOID buffer, ULONG length) {
  if (ioStatus == nullptr || (buffer == nullptr && length != 0)) return STATUS_ACCESS_VIOLATION;
  if (!(access & FILE_READ_DATA)) return STATUS_ACCESS_DENIED;
  std::shared_ptr<EventObject> eventObject;
  if (event != nullptr) {
    NTSTATUS status;
    eventObject = LookupHandleAs<EventObject>(event, ObjectType::Event, &status);
    if (!eventObject) return status;
    // The request clears its event as it starts, so the signal an earlier completion left (a cancelled read
    // signals too) cannot end the wait for this one.
    std::lock_guard<std::mutex> guard(GetDispatcher().mutex);
    eventObject->signaled = false;
  }
  if (length % kRecordSize != 0) return STATUS_BUFFER_TOO_SMALL;  // whole records only

  auto read = std::make_shared<PendingRead>(
      PendingRead{this, std::this_thread::get_id(), eventObject, ioStatus, buffer, length / kRecordSize});
  std::unique_lock<std::mutex> lock(unit->mutex);
  if (!unit->attached) return kStatusDeviceNotConnected;
  if (length == 0 || !unit->buffer.empty()) {
    FillRead(*unit, *read);
    lock.unlock();
    SignalEvents({eventObject});
    return STATUS_SUCCESS;
  }
  unit->pending.push_back(read);
  if (!synchronous) return STATUS_PENDING;
  unit->completed.wait(lock, [&] { return read->done; });
  return ioStatus->Status;
}

void KeyboardFile::CancelIo() {
  Events events;
  {
    std::lock_guard<std::mutex> guard(unit->mutex);
    std::thread::id self = std::this_thread::get_id();
    CancelPending(
        *unit, [&](const PendingRead& read) { return read.file == this && read.thread == self; }, &events);
  }
  SignalEvents(events);
}

// Closing the last handle cancels every read still pending on it, whichever thread made it.
void KeyboardFile::OnLastHandleClosed() {
  Events events;
  {
    std::lock_guard<std::mutex> guard(unit->mutex);
    CancelPending(
        *unit, [&](const PendingRead& read) { return read.file == this; }, &events);
  }
  SignalEvents(events);
}

std::u16string UpperCase(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

}  // namespace

bool OpenDevice(const OBJECT_ATTRIBUTES* attributes, ACCESS_MASK access, ULONG options,
                std::shared_ptr<DeviceObject>* device, NTSTATUS* status) {
  if (attributes == nullptr || attributes->RootDirectory != nullptr) return false;
  // Object names compare without case whatever the attributes ask: Windows' object manager is case-insensitive
  // by default.
  const std::u16string name = UpperCase(ObjectNameOf(attributes));
  const std::u16string directory = kDeviceDirectory;
  if (name.compare(0, directory.size(), directory) != 0) return false;
  const std::u16string rest = name.substr(directory.size());

  std::shared_ptr<KeyboardUnit> unit = AttachedUnit();
  const size_t separator = rest.find(u'\\');
  if (separator != std::u16string::npos) {
    // A path through a name \Device does not hold; the keyboard itself has no names below it.
    bool throughKeyboard = unit && rest.compare(0, separator, kKeyboardName) == 0;
    *status = throughKeyboard ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    return true;
  }
  if (rest != kKeyboardName || !unit) {
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return true;
  }
  auto file = std::make_shared<KeyboardFile>();
  file->unit = unit;
  file->access = access;
  file->synchronous = (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
  *device = file;
  *status = STATUS_SUCCESS;
  return true;
}

std::shared_ptr<DeviceObject> LookupDevice(HANDLE handle) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (!object || object->type != ObjectType::Device) return nullptr;
  return std::static_pointer_cast<DeviceObject>(object);
}

void AttachKeyboard(std::function<void()> stopSource) {
  RemoveKeyboard();
  std::lock_guard<std::mutex> guard(Attached().mutex);
  Attached().unit = std::make_shared<KeyboardUnit>();
  Attached().stopSource = std::move(stopSource);
}

void RemoveKeyboard() {
  std::shared_ptr<KeyboardUnit> unit;
  std::function<void()> stopSource;
  {
    std::lock_guard<std::mutex> guard(Attached().mutex);
    unit.swap(Attached().unit);
    stopSource.swap(Attached().stopSource);
  }
  // The source may be delivering right now; it finishes before the device goes.
  if (stopSource) stopSource();
  if (!unit) return;
  Events events;
  {
    std::lock_guard<std::mutex> guard(unit->mutex);
    unit->attached = false;
    unit->buffer.clear();
    CancelPending(
        *unit, [](const PendingRead&) { return true; }, &events);
  }
  SignalEvents(events);
}

void DeliverKeyRecords(const KeyRecords& records) {
  std::shared_ptr<KeyboardUnit> unit = AttachedUnit();
  if (!unit) return;
  Events events;
  {
    std::lock_guard<std::mutex> guard(unit->mutex);
    if (!unit->attached) return;
    for (const KEYBOARD_INPUT_DATA& record : records) {
      if (unit->buffer.size() < kKeyboardBufferRecords) unit->buffer.push_back(record);
    }
    while (!unit->pending.empty() && !unit->buffer.empty()) {
      FillRead(*unit, *unit->pending.front());
      events.push_back(unit->pending.front()->event);
      unit->pending.pop_front();
    }
    unit->completed.notify_all();
  }
  SignalEvents(events);
}

}  // namespace host
