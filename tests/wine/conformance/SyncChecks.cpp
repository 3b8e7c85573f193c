// Events, mutants and waits as the logger, the keyboard and the processing thread use them, and the threads
// RtlCreateUserThread starts.
#include "Harness.h"

namespace {

HANDLE MakeEvent(EVENT_TYPE type, bool signalled) {
  HANDLE event = nullptr;
  CHECK_STATUS(STATUS_SUCCESS, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, type, signalled));
  return event;
}

NTSTATUS Poll(HANDLE handle) {
  LARGE_INTEGER now{};
  return NtWaitForSingleObject(handle, false, &now);
}

LONGLONG Now() {
  LARGE_INTEGER time{};
  NtQuerySystemTime(&time);
  return time.QuadPart;
}

void EventsSignalAndReset() {
  HANDLE event = MakeEvent(SynchronizationEvent, false);
  LONG previous = -1;
  CHECK_STATUS(STATUS_TIMEOUT, Poll(event));
  CHECK_STATUS(STATUS_SUCCESS, NtSetEvent(event, &previous));
  CHECK_EQ(0, previous);
  CHECK_STATUS(STATUS_SUCCESS, NtSetEvent(event, &previous));
  CHECK_EQ(1, previous);
  CHECK_STATUS(STATUS_WAIT_0, Poll(event));
  CHECK_STATUS(STATUS_TIMEOUT, Poll(event));
  NtClose(event);
  CHECK_STATUS(STATUS_INVALID_HANDLE, NtSetEvent(event, nullptr));

  event = MakeEvent(NotificationEvent, true);
  CHECK_STATUS(STATUS_WAIT_0, Poll(event));
  CHECK_STATUS(STATUS_WAIT_0, Poll(event));
  NtClose(event);
}

// The keyboard's event is named: a second one of that name is refused.
void NamedEventsCollide() {
  SObjectName name(u"\\SpindraxelConformanceEvent", 0);
  HANDLE first = nullptr, second = nullptr;
  if (CHECK_STATUS(STATUS_SUCCESS, NtCreateEvent(&first, EVENT_ALL_ACCESS, name.Get(), SynchronizationEvent, false))) {
    CHECK_STATUS(STATUS_OBJECT_NAME_COLLISION,
                 NtCreateEvent(&second, EVENT_ALL_ACCESS, name.Get(), SynchronizationEvent, false));
    NtClose(first);
  }
}

void MutantsCountRecursiveOwnership() {
  HANDLE mutant = nullptr;
  CHECK_STATUS(STATUS_SUCCESS, NtCreateMutant(&mutant, MUTANT_ALL_ACCESS, nullptr, false));
  LONG previous = 99;
  CHECK_STATUS(STATUS_MUTANT_NOT_OWNED, NtReleaseMutant(mutant, nullptr));
  CHECK_STATUS(STATUS_WAIT_0, Poll(mutant));
  CHECK_STATUS(STATUS_WAIT_0, Poll(mutant));
  CHECK_STATUS(STATUS_SUCCESS, NtReleaseMutant(mutant, &previous));
  CHECK_EQ(static_cast<ULONG>(-1), static_cast<ULONG>(previous));
  CHECK_STATUS(STATUS_SUCCESS, NtReleaseMutant(mutant, &previous));
  CHECK_EQ(0, previous);
  CHECK_STATUS(STATUS_MUTANT_NOT_OWNED, NtReleaseMutant(mutant, &previous));
  NtClose(mutant);
}

void WaitsTimeOut() {
  HANDLE event = MakeEvent(NotificationEvent, false);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -60 * 10000;  // 60 ms from now
  const LONGLONG start = Now();
  CHECK_STATUS(STATUS_TIMEOUT, NtWaitForSingleObject(event, false, &timeout));
  // The system clock may tick in steps of about 16 ms.
  CHECK_TRUE(Now() - start >= 40 * 10000);
  LARGE_INTEGER past;
  past.QuadPart = Now() - 10000000;
  CHECK_STATUS(STATUS_TIMEOUT, NtWaitForSingleObject(event, false, &past));
  NtClose(event);
}

// What a thread under test saw, checked by the main thread once the thread has ended.
struct SThreadRecord {
  LONG ran;
};

NTSTATUS NTAPI TerminateItself(PVOID parameter) {
  static_cast<SThreadRecord*>(parameter)->ran = 1;
  NtTerminateThread(NtCurrentThread(), STATUS_SUCCESS);
  static_cast<SThreadRecord*>(parameter)->ran = 2;
  return STATUS_UNSUCCESSFUL;
}

HANDLE Start(PUSER_THREAD_START_ROUTINE routine, SThreadRecord* record) {
  HANDLE thread = nullptr;
  CLIENT_ID client{};
  if (!CHECK_STATUS(STATUS_SUCCESS, RtlCreateUserThread(NtCurrentProcess(), nullptr, false, 0, 0, 0, routine, record,
                                                        &thread, &client))) {
    return nullptr;
  }
  CHECK_TRUE(client.UniqueThread != nullptr);
  return thread;
}

// The processing thread and the log writer end themselves with NtTerminateThread; the handle is signalled then.
void ThreadHandlesAreSignalledWhenTheThreadEnds() {
  SThreadRecord ending{0};
  if (HANDLE thread = Start(&TerminateItself, &ending)) {
    CHECK_STATUS(STATUS_WAIT_0, NtWaitForSingleObject(thread, false, nullptr));
    CHECK_STATUS(STATUS_WAIT_0, Poll(thread));
    CHECK_EQ(1, ending.ran);
    NtClose(thread);
  }
}

}  // namespace

void SyncChecks(const SConformanceEnvironment&) {
  EventsSignalAndReset();
  NamedEventsCollide();
  MutantsCountRecursiveOwnership();
  WaitsTimeOut();
}

void ThreadChecks(const SConformanceEnvironment&) { ThreadHandlesAreSignalledWhenTheThreadEnds(); }
