// Events, mutants, waits and threads of the host platform, pinned to the statuses Windows gives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "host/Faults.h"
#include "support/Native.h"

using testsupport::NamedAttributes;
using testsupport::RelativeTimeout;

namespace {

HANDLE MakeEvent(EVENT_TYPE type, bool initialState) {
  HANDLE event = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, type, initialState));
  return event;
}

HANDLE MakeMutant(bool owned) {
  HANDLE mutant = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, NtCreateMutant(&mutant, MUTANT_ALL_ACCESS, nullptr, owned));
  return mutant;
}

NTSTATUS Poll(HANDLE handle) {
  LARGE_INTEGER zero{};
  return NtWaitForSingleObject(handle, false, &zero);
}

// Runs `body` on a thread made by RtlCreateUserThread and waits for it to end.
template <typename Body>
void RunOnNativeThread(Body body) {
  struct Start {
    Body* body;
    static NTSTATUS NTAPI Routine(PVOID parameter) {
      (*static_cast<Start*>(parameter)->body)();
      return STATUS_SUCCESS;
    }
  } start{&body};
  HANDLE thread = nullptr;
  CLIENT_ID client{};
  ASSERT_EQ(STATUS_SUCCESS, RtlCreateUserThread(NtCurrentProcess(), nullptr, false, 0, 0, 0, &Start::Routine, &start,
                                                &thread, &client));
  ASSERT_EQ(STATUS_WAIT_0, NtWaitForSingleObject(thread, false, nullptr));
  NtClose(thread);
}

TEST(Event, SynchronizationEventReleasesOneWaitAndResets) {
  HANDLE event = MakeEvent(SynchronizationEvent, false);
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event));
  LONG previous = -1;
  EXPECT_EQ(STATUS_SUCCESS, NtSetEvent(event, &previous));
  EXPECT_EQ(0, previous);
  EXPECT_EQ(STATUS_WAIT_0, Poll(event));
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event));
  NtClose(event);
}

TEST(Event, NotificationEventStaysSignalledUntilCleared) {
  HANDLE event = MakeEvent(NotificationEvent, true);
  EXPECT_EQ(STATUS_WAIT_0, Poll(event));
  EXPECT_EQ(STATUS_WAIT_0, Poll(event));
  LONG previous = 0;
  EXPECT_EQ(STATUS_SUCCESS, NtSetEvent(event, &previous));
  EXPECT_EQ(1, previous);
  EXPECT_EQ(STATUS_SUCCESS, NtClearEvent(event));
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event));
  NtClose(event);
}

TEST(Event, SetWhileNobodyWaitsIsKeptForTheNextWait) {
  HANDLE event = MakeEvent(SynchronizationEvent, false);
  NtSetEvent(event, nullptr);
  NtSetEvent(event, nullptr);  // a second set of a signalled auto-reset event is not counted
  EXPECT_EQ(STATUS_WAIT_0, Poll(event));
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event));
  NtClose(event);
}

TEST(Event, NamedEventCollidesUnlessOpenIfAsksForTheExistingObject) {
  NamedAttributes name(u"\\keyboardEventForTest", 0);
  NamedAttributes openIf(u"\\KEYBOARDEVENTFORTEST", OBJ_OPENIF);
  HANDLE first = nullptr, second = nullptr, mutant = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, NtCreateEvent(&first, EVENT_ALL_ACCESS, name.get(), SynchronizationEvent, false));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
            NtCreateEvent(&second, EVENT_ALL_ACCESS, name.get(), SynchronizationEvent, false));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, NtCreateMutant(&mutant, MUTANT_ALL_ACCESS, name.get(), false));
  ASSERT_EQ(STATUS_OBJECT_NAME_EXISTS,
            NtCreateEvent(&second, EVENT_ALL_ACCESS, openIf.get(), SynchronizationEvent, false));
  NtSetEvent(first, nullptr);
  EXPECT_EQ(STATUS_WAIT_0, Poll(second));
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, NtCreateMutant(&mutant, MUTANT_ALL_ACCESS, openIf.get(), false));
  NtClose(first);
  NtClose(second);
  EXPECT_EQ(STATUS_SUCCESS, NtCreateEvent(&first, EVENT_ALL_ACCESS, name.get(), SynchronizationEvent, false))
      << "the name goes with the last handle";
  NtClose(first);
}

TEST(Event, InvalidEventTypeIsRefused) {
  HANDLE event = nullptr;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, EVENT_TYPE(2), false));
}

TEST(Wait, RelativeTimeoutElapsesBeforeTimeoutIsReported) {
  HANDLE event = MakeEvent(NotificationEvent, false);
  LARGE_INTEGER timeout = RelativeTimeout(60);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(STATUS_TIMEOUT, NtWaitForSingleObject(event, false, &timeout));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  NtClose(event);
}

TEST(Wait, SetFromAnotherThreadWakesAnUnlimitedWait) {
  HANDLE event = MakeEvent(SynchronizationEvent, false);
  std::thread setter([event] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    NtSetEvent(event, nullptr);
  });
  EXPECT_EQ(STATUS_WAIT_0, NtWaitForSingleObject(event, false, nullptr));
  setter.join();
  NtClose(event);
}

TEST(Wait, BadHandlesAndArgumentsGiveTheirStatuses) {
  EXPECT_EQ(STATUS_INVALID_HANDLE, Poll(nullptr));
  EXPECT_EQ(STATUS_INVALID_HANDLE, Poll(reinterpret_cast<HANDLE>(0x7ffffff0)));
  HANDLE event = MakeEvent(NotificationEvent, false);
  NtClose(event);
  EXPECT_EQ(STATUS_INVALID_HANDLE, Poll(event)) << "a closed handle must not name anything";
  EXPECT_EQ(STATUS_INVALID_HANDLE, NtClose(event));

  HANDLE handles[65];
  for (HANDLE& handle : handles) handle = MakeEvent(NotificationEvent, true);
  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_INVALID_PARAMETER_1, NtWaitForMultipleObjects(65, handles, WaitAny, false, &zero));
  EXPECT_EQ(STATUS_INVALID_PARAMETER_1, NtWaitForMultipleObjects(0, handles, WaitAny, false, &zero));
  EXPECT_EQ(STATUS_INVALID_PARAMETER_3,
            NtWaitForMultipleObjects(2, handles, static_cast<WAIT_TYPE>(2), false, &zero));
  EXPECT_EQ(STATUS_WAIT_0, NtWaitForMultipleObjects(64, handles, WaitAll, false, &zero));
  for (HANDLE handle : handles) NtClose(handle);
}

TEST(Wait, WaitAnyReportsTheFirstSignalledIndexWaitAllNeedsEveryObject) {
  HANDLE events[3] = {MakeEvent(SynchronizationEvent, false), MakeEvent(SynchronizationEvent, true),
                      MakeEvent(SynchronizationEvent, true)};
  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_WAIT_0 + 1, NtWaitForMultipleObjects(3, events, WaitAny, false, &zero));
  EXPECT_EQ(STATUS_TIMEOUT, NtWaitForMultipleObjects(3, events, WaitAll, false, &zero));
  EXPECT_EQ(STATUS_WAIT_0, Poll(events[2])) << "a failed wait-all must not consume any object";
  for (HANDLE event : events) NtSetEvent(event, nullptr);
  EXPECT_EQ(STATUS_WAIT_0, NtWaitForMultipleObjects(3, events, WaitAll, false, &zero));
  EXPECT_EQ(STATUS_TIMEOUT, NtWaitForMultipleObjects(3, events, WaitAny, false, &zero));
  for (HANDLE event : events) NtClose(event);
}

TEST(Mutant, OwnerMayAcquireAgainAndReleasesAsOftenAsAcquired) {
  HANDLE mutant = MakeMutant(false);
  EXPECT_EQ(STATUS_WAIT_0, Poll(mutant));
  EXPECT_EQ(STATUS_WAIT_0, Poll(mutant));
  LONG previous = 7;
  EXPECT_EQ(STATUS_SUCCESS, NtReleaseMutant(mutant, &previous));
  EXPECT_EQ(-1, previous);
  EXPECT_EQ(STATUS_SUCCESS, NtReleaseMutant(mutant, &previous));
  EXPECT_EQ(0, previous);
  EXPECT_EQ(STATUS_MUTANT_NOT_OWNED, NtReleaseMutant(mutant, nullptr));
  NtClose(mutant);
}

TEST(Mutant, OtherThreadsCanNeitherTakeNorReleaseAnOwnedMutant) {
  HANDLE mutant = MakeMutant(true);
  RunOnNativeThread([mutant] {
    EXPECT_EQ(STATUS_MUTANT_NOT_OWNED, NtReleaseMutant(mutant, nullptr));
    LARGE_INTEGER timeout = RelativeTimeout(10);
    EXPECT_EQ(STATUS_TIMEOUT, NtWaitForSingleObject(mutant, false, &timeout));
  });
  EXPECT_EQ(STATUS_SUCCESS, NtReleaseMutant(mutant, nullptr));
  RunOnNativeThread([mutant] {
    EXPECT_EQ(STATUS_WAIT_0, Poll(mutant));
    EXPECT_EQ(STATUS_SUCCESS, NtReleaseMutant(mutant, nullptr));
  });
  NtClose(mutant);
}

TEST(Mutant, OwnerThreadEndingAbandonsItAndTheNextWaitSaysSo) {
  HANDLE mutant = MakeMutant(false);
  RunOnNativeThread([mutant] { EXPECT_EQ(STATUS_WAIT_0, Poll(mutant)); });
  EXPECT_EQ(STATUS_ABANDONED_WAIT_0, Poll(mutant));
  EXPECT_TRUE(NT_SUCCESS(STATUS_ABANDONED_WAIT_0)) << "an abandoned mutant is still acquired";
  EXPECT_EQ(STATUS_SUCCESS, NtReleaseMutant(mutant, nullptr));
  EXPECT_EQ(STATUS_WAIT_0, Poll(mutant));
  NtReleaseMutant(mutant, nullptr);
  NtClose(mutant);
}

struct ThreadProbe {
  std::atomic<int> stage{0};
  HANDLE self = nullptr;
  static NTSTATUS NTAPI EndsItself(PVOID parameter) {
    auto* probe = static_cast<ThreadProbe*>(parameter);
    probe->stage = 1;
    NtTerminateThread(NtCurrentThread(), STATUS_SUCCESS);
    probe->stage = 2;  // never reached
    return STATUS_SUCCESS;
  }
};

TEST(Thread, TerminatingTheCurrentThreadEndsItAndSignalsItsHandle) {
  ThreadProbe probe;
  HANDLE thread = nullptr;
  CLIENT_ID client{};
  ASSERT_EQ(STATUS_SUCCESS, RtlCreateUserThread(NtCurrentProcess(), nullptr, false, 0, 0, 0, &ThreadProbe::EndsItself,
                                                &probe, &thread, &client));
  EXPECT_NE(nullptr, client.UniqueThread);
  EXPECT_EQ(STATUS_WAIT_0, NtWaitForSingleObject(thread, false, nullptr));
  EXPECT_EQ(1, probe.stage.load());
  EXPECT_EQ(STATUS_WAIT_0, Poll(thread)) << "an ended thread stays signalled";
  NtClose(thread);
}

TEST(Thread, CreationRefusesOtherProcessesAndInjectedFailuresReachTheCaller) {
  HANDLE thread = nullptr;
  EXPECT_EQ(STATUS_INVALID_HANDLE, RtlCreateUserThread(reinterpret_cast<HANDLE>(0x1234), nullptr, false, 0, 0, 0,
                                                       &ThreadProbe::EndsItself, nullptr, &thread, nullptr));
  host::FaultRule rule;
  rule.call = "RtlCreateUserThread";
  rule.status = STATUS_NO_MEMORY;
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
  EXPECT_EQ(STATUS_NO_MEMORY, RtlCreateUserThread(NtCurrentProcess(), nullptr, false, 0, 0, 0, &ThreadProbe::EndsItself,
                                                  nullptr, &thread, nullptr));
  host::ClearFaultRules();
}

}  // namespace
