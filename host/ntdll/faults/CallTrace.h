// The call trace: one line per native call the program makes, written as the call returns, for a user or a test
// that wants to see where a run went. Off until a file is opened; processes started later (the runs of a
// BootExecute list) inherit it and append to the same file.
//
//   <milliseconds since the trace opened> <thread> <call> <status> [what matters of the arguments]
//   1532 t2 FSCTL_MOVE_FILE 0x00000000 file=0x1000000000040 vcn=0 lcn=20480 clusters=256
#pragma once

#include <string>

#include "platform/NativeApi.h"

namespace host {

// Appends to `path` from now on (created when missing). False with a one-line reason when it cannot be opened.
bool OpenCallTrace(const std::string& path, std::string* error);

// Whether a trace is being written: call sites build their detail only then.
bool CallTraceEnabled();

// What matters of the arguments of the call now running on this thread; it goes on that call's line.
void TraceDetail(std::string detail);

// The name `attributes` give, for a detail: "name=\??\C:\Data\a.bin".
std::string TraceName(const OBJECT_ATTRIBUTES* attributes);
std::string TraceName(const UNICODE_STRING* name);

// Writes the line of a call that has returned `status` (RecordCall does, for every call).
void TraceCallLine(const char* call, unsigned status);

}  // namespace host
