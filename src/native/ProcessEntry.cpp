#include "native/ProcessEntry.h"

#include "native/NativeMain.h"

namespace {

struct SExitHandlerNode {
  SExitHandlerNode* next_;
  void (*handler_)();
};

PEB* g_processEnvironmentBlock = nullptr;
// Newest first. Only the main thread registers handlers (single instances are made there) and runs them.
SExitHandlerNode* g_exitHandlers = nullptr;

}  // namespace

PEB* ProcessEnvironmentBlock() { return g_processEnvironmentBlock; }

PVOID ProcessHeap() { return g_processEnvironmentBlock != nullptr ? g_processEnvironmentBlock->ProcessHeap : nullptr; }

bool RegisterExitHandler(void (*handler)()) {
  auto* node = static_cast<SExitHandlerNode*>(RtlAllocateHeap(ProcessHeap(), 0, sizeof(SExitHandlerNode)));
  if (node == nullptr) {
    handler();
    return false;
  }
  node->next_ = g_exitHandlers;
  node->handler_ = handler;
  g_exitHandlers = node;
  return true;
}

void RunExitRoutine() {
  while (g_exitHandlers != nullptr) {
    SExitHandlerNode* node = g_exitHandlers;
    node->handler_();
    g_exitHandlers = node->next_;
    RtlFreeHeap(ProcessHeap(), 0, node);
  }
  NtTerminateProcess(NtCurrentProcess(), STATUS_SUCCESS);
  // Terminating the current process does not return; if the platform ever did, stopping here is the only safe
  // thing left to do.
  __builtin_trap();
}

void ProcessStartup(PEB* peb) {
  g_processEnvironmentBlock = peb;
  RTL_USER_PROCESS_PARAMETERS* parameters = RtlNormalizeProcessParams(peb->ProcessParameters);
  UNICODE_STRING commandLine = parameters->CommandLine;
  NativeMain(&commandLine);
  RunExitRoutine();
}
