// The process heap: every block is its own allocation, and RtlAllocateHeap can be made to fail.
#include <cstdlib>

#include "host/ntdll/faults/Faults.h"
#include "platform/NativeApi.h"

extern "C" {

PVOID NTAPI RtlAllocateHeap(PVOID, ULONG Flags, SIZE_T Size) {
  NTSTATUS injected;
  if (host::InjectFault("RtlAllocateHeap", &injected)) {
    host::RecordCall("RtlAllocateHeap", STATUS_NO_MEMORY);
    return nullptr;
  }
  // Every block is a separate allocation, so the sanitizers see the system's own mistakes.
  size_t bytes = Size == 0 ? 1 : Size;
  return (Flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
}

BOOLEAN NTAPI RtlFreeHeap(PVOID, ULONG, PVOID BaseAddress) {
  std::free(BaseAddress);
  return 1;
}

}  // extern "C"
