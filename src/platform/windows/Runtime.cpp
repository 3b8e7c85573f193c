// The runtime a freestanding C++ native program needs on Windows: the image entry point, global constructors,
// operator new/delete over the process heap, atexit as the exit-handler registration, and the handlers the
// compiler and the header-only standard library call when something cannot go on. There is no C runtime: ntdll
// is the only import.
#include <memory>
#include <new>
#include <string>

#include "native/ProcessEntry.h"
#include "platform/NativeApi.h"

extern "C" {
void NTAPI RtlRaiseStatus(NTSTATUS Status);
// Filled by the linker: a -1 marker, the constructors, a null terminator.
extern void (*__CTOR_LIST__[])();
}

namespace {

PEB* CurrentPeb() {
  PEB* peb;
  __asm__("movq %%gs:0x60, %0" : "=r"(peb));
  return peb;
}

void* HeapAllocate(size_t size) { return RtlAllocateHeap(CurrentPeb()->ProcessHeap, 0, size ? size : 1); }

void HeapFree(void* block) {
  if (block != nullptr) RtlFreeHeap(CurrentPeb()->ProcessHeap, 0, block);
}

// Nothing catches an exception in this program: a failed growable array or string raises the system's
// no-memory exception, which ends the process.
[[noreturn]] void RaiseNoMemory() {
  RtlRaiseStatus(STATUS_NO_MEMORY);
  __builtin_unreachable();
}

[[noreturn]] void RaiseInternalError() {
  RtlRaiseStatus(STATUS_INTERNAL_ERROR);
  __builtin_unreachable();
}

void RunGlobalConstructors() {
  size_t count = reinterpret_cast<size_t>(__CTOR_LIST__[0]);
  if (count == static_cast<size_t>(-1)) {
    count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
  }
  for (size_t i = count; i >= 1; --i) __CTOR_LIST__[i]();
}

}  // namespace

extern "C" [[noreturn]] void NtProcessStartup(PEB* peb) {
  RunGlobalConstructors();
  ProcessStartup(peb);
}

extern "C" int atexit(void (*handler)()) { return RegisterExitHandler(handler) ? 0 : -1; }

extern "C" void __cxa_pure_virtual() { RaiseInternalError(); }

extern "C" void abort() { RaiseInternalError(); }

// shared_ptr counts atomically only when the runtime says threads exist.
extern "C" {
int _CRT_MT = 1;
}

// Single objects: a plain new raises on exhaustion; callers that test for null use new (std::nothrow).
void* operator new(size_t size) {
  void* block = HeapAllocate(size);
  if (block == nullptr) RaiseNoMemory();
  return block;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return HeapAllocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return HeapAllocate(size); }
void operator delete(void* block) noexcept { HeapFree(block); }
void operator delete[](void* block) noexcept { HeapFree(block); }
void operator delete(void* block, size_t) noexcept { HeapFree(block); }
void operator delete[](void* block, size_t) noexcept { HeapFree(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { HeapFree(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { HeapFree(block); }

// What the header-only standard library calls instead of throwing.
namespace std {
void __throw_bad_alloc() { RaiseNoMemory(); }
void __throw_bad_array_new_length() { RaiseNoMemory(); }
void __throw_length_error(const char*) { RaiseNoMemory(); }
void __throw_logic_error(const char*) { RaiseInternalError(); }
void __throw_out_of_range(const char*) { RaiseInternalError(); }
void __throw_out_of_range_fmt(const char*, ...) { RaiseInternalError(); }
void __throw_invalid_argument(const char*) { RaiseInternalError(); }
void __throw_bad_function_call() { RaiseInternalError(); }

// make_shared asks whether a deleter lookup names its own tag; without RTTI the tag is identified by address.
bool _Sp_make_shared_tag::_S_eq(const type_info& typeInfo) noexcept { return &typeInfo == &_S_ti(); }

// The string types are extern templates; instantiating them here keeps the library's own objects (and the
// exception machinery and kernel32 imports they bring) out of the link.
template class basic_string<char>;
template class basic_string<char16_t>;
}  // namespace std
