// Fault injection and the call log of the host platform. Every native call passes through TraceCall, so a test or
// the command line can make the Nth call of any of them (or of one file-system control) fail with a chosen status
// or take longer, and read afterwards which calls were made and what they returned.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/NativeApi.h"

namespace host {

struct FaultRule {
  std::string call;    // "NtReadFile", "RtlAllocateHeap", "FSCTL_MOVE_FILE", ...
  uint64_t first = 1;  // the first call (1-based) the rule applies to
  uint64_t count = 1;  // how many calls from `first` on; 0 means every later call
  bool fails = true;   // fail with `status` instead of running the call
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  uint32_t delayMs = 0;  // wait this long before the call runs (or fails)
  // The call runs and then damages what it wrote: FSCTL_MOVE_FILE flips a byte of the data at its new place, as a
  // failing disk or driver would. Only the moves know how; other calls ignore it.
  bool corrupts = false;
  std::thread::id thread;  // only calls made on this thread count; the default matches every thread
  // Runs on the caller's thread just before a matching call (after any delay), for a test that needs something
  // to happen at an exact moment, such as an abort request between two moves. Set `fails` false to let the
  // call itself run.
  std::function<void()> before;
  uint64_t seen = 0;  // matching calls so far
};

// Rules count the calls they match: "#3" is the third matching call.
// Parses "CALL[#N[+|-M]]=STATUS", "CALL[#N...]=delay:MS" or "CALL[#N...]=corrupt":
//   NtReadFile#3=0xC0000185     the third call fails
//   NtReadFile#3+=0xC0000185    the third and every later call fails
//   NtReadFile#3-5=0xC0000185   calls 3 to 5 fail
//   NtReadFile=0xC0000022       every call fails
//   FSCTL_MOVE_FILE#2=delay:500 the second move waits half a second first
//   FSCTL_MOVE_FILE#1=corrupt   the first move succeeds but damages the data it moved
bool ParseFaultRule(const std::string& text, FaultRule* rule, std::string* error);

void AddFaultRule(const FaultRule& rule);
void ClearFaultRules();

// Counts the call; waits and/or reports an injected failure in *status. Returns true when the call must fail.
bool InjectFault(const char* call, NTSTATUS* status);

// Whether the call now running on this thread matched a `corrupts` rule; asking clears the answer.
bool TakeCorruptionRequest();

// Traces what a call returned and returns it unchanged.
NTSTATUS RecordCall(const char* call, NTSTATUS status);

// Ends the process when an interrupt signal asked for it (host/ntdll/Host.h) and this thread is between two calls;
// returns otherwise. Inside a call (a control runs inside NtFsControlFile, under its drive's lock) it waits for the
// call to end, so that stopping never needs a lock the stopping thread holds.
void StopIfInterrupted();

// Counts the calls in progress on this thread, for StopIfInterrupted.
struct CallInProgress {
  CallInProgress();
  ~CallInProgress();
  CallInProgress(const CallInProgress&) = delete;
  CallInProgress& operator=(const CallInProgress&) = delete;
};

// Runs `body` unless a fault is injected, and records the outcome. A pending interrupt ends the process first.
template <typename Body>
NTSTATUS TraceCall(const char* call, Body&& body) {
  StopIfInterrupted();
  NTSTATUS injected;
  // An injected delay is spent before the call starts: an interrupt meanwhile stops the program there.
  const bool fails = InjectFault(call, &injected);
  CallInProgress inProgress;
  if (fails) return RecordCall(call, injected);
  return RecordCall(call, body());
}

// How many times `call` was entered since the last reset (injected failures included).
uint64_t CallCount(const std::string& call);
// Every call entered since the last reset, with its count.
std::map<std::string, uint64_t> CallCounts();
void ResetCallLog();

}  // namespace host
