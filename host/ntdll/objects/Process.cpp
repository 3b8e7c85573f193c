// Threads and the process: RtlCreateUserThread, NtTerminateThread, NtTerminateProcess, NtSetInformationProcess,
// RtlNormalizeProcessParams.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/keyboard/Keyboard.h"
#include "host/ntdll/objects/Objects.h"
#include "host/ntdll/registry/Registry.h"

using namespace host;

namespace {

constexpr ULONG kParametersNormalized = 0x1;
constexpr int kRegistryNotSavedStatus = 2;
constexpr int kNotWrittenStatus = 2;

std::atomic<unsigned> g_hardErrorMode{1};
std::atomic<uintptr_t> g_nextClientId{0x100};

struct ThreadStart {
  std::shared_ptr<ThreadObject> self;
  PUSER_THREAD_START_ROUTINE routine;
  PVOID parameter;
};

void* RunThread(void* argument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
  AdoptCurrentThreadObject(start->self);
  NTSTATUS status = start->routine(start->parameter);
  MarkCurrentThreadTerminated(status);
  return nullptr;
}

bool IsCurrentThread(HANDLE handle, NTSTATUS* status) {
  if (handle == nullptr || handle == NtCurrentThread()) return true;
  auto thread = LookupHandleAs<ThreadObject>(handle, ObjectType::Thread, status);
  if (!thread) return false;
  std::lock_guard<std::mutex> guard(GetDispatcher().mutex);
  return thread->id == std::this_thread::get_id();
}

}  // namespace

namespace host {

unsigned HardErrorMode() { return g_hardErrorMode.load(); }

std::vector<std::function<void()>>& ExitHooks() {
  static auto* hooks = new std::vector<std::function<void()>>();  // still reached while the process exits
  return *hooks;
}

void AddExitHook(std::function<void()> hook) { ExitHooks().push_back(std::move(hook)); }

void ExitHostProcess(int status) {
  for (const std::function<void()>& hook : ExitHooks()) hook();
  RestoreTerminal();
  // The program's status stays its own, but a run whose writes did not reach the image did not do what it said.
  for (const std::string& failure : UnmountAllDrives()) {
    std::fprintf(stderr, "spindraxel: %s\n", failure.c_str());
    status = kNotWrittenStatus;
  }
  // The registry goes back to its file last, as a hive is flushed once the program's work is on disk. A registry
  // that could not be saved fails the run: what the program changed there is lost.
  std::string error;
  if (!SaveRegistry(&error)) {
    std::fprintf(stderr, "spindraxel: the registry was not saved: %s\n", error.c_str());
    status = kRegistryNotSavedStatus;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI RtlCreateUserThread(HANDLE Process, PVOID, BOOLEAN CreateSuspended, ULONG, SIZE_T StackReserve, SIZE_T,
                                   PUSER_THREAD_START_ROUTINE StartAddress, PVOID Parameter, HANDLE* Thread,
                                   CLIENT_ID* ClientId) {
  return TraceCall("RtlCreateUserThread", [&]() -> NTSTATUS {
    if (Process != NtCurrentProcess()) return STATUS_INVALID_HANDLE;
    if (StartAddress == nullptr) return STATUS_INVALID_PARAMETER;
    // Nothing in the system starts a thread suspended; resuming is not implemented either.
    if (CreateSuspended) return STATUS_NOT_IMPLEMENTED;

    auto object = std::make_shared<ThreadObject>();
    object->clientId = g_nextClientId.fetch_add(4);
    auto* start = new ThreadStart{object, StartAddress, Parameter};

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (StackReserve != 0) pthread_attr_setstacksize(&attributes, StackReserve < 65536 ? 65536 : StackReserve);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, &RunThread, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
      delete start;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Thread != nullptr) *Thread = InsertHandle(object);
    if (ClientId != nullptr) {
      ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(getpid()));
      ClientId->UniqueThread = reinterpret_cast<HANDLE>(object->clientId);
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI NtTerminateThread(HANDLE ThreadHandle, NTSTATUS ExitStatus) {
  NTSTATUS status = STATUS_SUCCESS;
  bool self = IsCurrentThread(ThreadHandle, &status);
  if (!NT_SUCCESS(status)) return RecordCall("NtTerminateThread", status);
  // Ending another thread would leave its locks and library state half-changed; the system only ever ends its
  // own threads, so that is all this platform does.
  if (!self) return RecordCall("NtTerminateThread", STATUS_NOT_IMPLEMENTED);
  NTSTATUS injected;
  if (InjectFault("NtTerminateThread", &injected)) return RecordCall("NtTerminateThread", injected);
  RecordCall("NtTerminateThread", STATUS_SUCCESS);
  MarkCurrentThreadTerminated(ExitStatus);
  pthread_exit(nullptr);
}

NTSTATUS NTAPI NtTerminateProcess(HANDLE ProcessHandle, NTSTATUS ExitStatus) {
  // A program that was asked to stop ends as stopped, even when it got to its own end first.
  StopIfInterrupted();
  NTSTATUS injected;
  if (InjectFault("NtTerminateProcess", &injected)) return RecordCall("NtTerminateProcess", injected);
  if (ProcessHandle != NtCurrentProcess()) return RecordCall("NtTerminateProcess", STATUS_INVALID_HANDLE);
  RecordCall("NtTerminateProcess", STATUS_SUCCESS);
  // The exit status reaches the shell as its low byte, as on Windows.
  ExitHostProcess(static_cast<int>(static_cast<ULONG>(ExitStatus) & 0xFF));
}

NTSTATUS NTAPI NtSetInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                       PVOID ProcessInformation, ULONG ProcessInformationLength) {
  return TraceCall("NtSetInformationProcess", [&]() -> NTSTATUS {
    if (ProcessHandle != NtCurrentProcess()) return STATUS_INVALID_HANDLE;
    if (ProcessInformationClass != ProcessDefaultHardErrorMode) return STATUS_INVALID_INFO_CLASS;
    if (ProcessInformationLength != sizeof(ULONG)) return STATUS_INFO_LENGTH_MISMATCH;
    if (ProcessInformation == nullptr) return STATUS_ACCESS_VIOLATION;
    g_hardErrorMode.store(*static_cast<ULONG*>(ProcessInformation));
    return STATUS_SUCCESS;
  });
}

RTL_USER_PROCESS_PARAMETERS* NTAPI RtlNormalizeProcessParams(RTL_USER_PROCESS_PARAMETERS* Parameters) {
  if (Parameters == nullptr || (Parameters->Flags & kParametersNormalized) != 0) return Parameters;
  // Denormalised parameters hold offsets from their own start instead of pointers.
  auto rebase = [Parameters](UNICODE_STRING& text) {
    if (text.Buffer != nullptr) {
      text.Buffer =
          reinterpret_cast<WCHAR*>(reinterpret_cast<char*>(Parameters) + reinterpret_cast<uintptr_t>(text.Buffer));
    }
  };
  rebase(Parameters->CurrentDirectory.DosPath);
  rebase(Parameters->DllPath);
  rebase(Parameters->ImagePathName);
  rebase(Parameters->CommandLine);
  Parameters->Flags |= kParametersNormalized;
  return Parameters;
}

}  // extern "C"
