// The process entry of the native program and the process-wide exit-handler list.
#pragma once

#include "platform/NativeApi.h"

// Runs the whole process: keeps the PEB, normalises the process parameters, calls NativeMain with a copy of the
// command line, then runs the exit routine. The exit status is 0 whatever the run did.
[[noreturn]] void ProcessStartup(PEB* peb);

// The PEB that the entry point received (null before it ran).
PEB* ProcessEnvironmentBlock();

// The process heap, from which the system takes all of its memory.
PVOID ProcessHeap();

// Puts `handler` at the head of the exit-handler list, so handlers run newest first. When no node can be
// allocated the handler runs at once and the result is false.
bool RegisterExitHandler(void (*handler)());

// Runs every exit handler, newest first, and terminates the process with STATUS_SUCCESS.
[[noreturn]] void RunExitRoutine();
