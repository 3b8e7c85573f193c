// The machine's registry as the companion reads and changes it: the Session Manager's BootExecute list and the
// crash-control values a one-shot run writes back.
#pragma once

#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace companion {

// The program's entry for a configuration: "sxboottime \??\C:\spindraxel.cfg".
std::u16string ProgramEntry(const std::u16string& configPath);
// Whether `entry` runs this system's boot-time program: its first word is the program's, in any case
// ("sxboottime", "SXBOOTTIME.EXE" alike).
bool IsProgramEntry(const std::u16string& entry);
// `entries` without any of the program's, and `entry` once, right after the disk check ("autocheck autochk *")
// or last when there is none.
std::vector<std::u16string> WithProgramEntry(const std::vector<std::u16string>& entries, const std::u16string& entry);

// BootExecute as it stands. STATUS_OBJECT_TYPE_MISMATCH when the value is not REG_MULTI_SZ (then it must be left as
// it is); a missing value is an empty list.
NTSTATUS ReadBootExecute(std::vector<std::u16string>* entries);
// Replaces BootExecute. STATUS_ACCESS_DENIED when this process may not (not elevated).
NTSTATUS WriteBootExecute(const std::vector<std::u16string>& entries);
// Whether BootExecute could be replaced, asked before anything is written: STATUS_ACCESS_DENIED when not elevated.
NTSTATUS CheckBootExecuteWritable();

// A REG_SZ value of the machine's key `key` (\Registry\Machine\...), without its terminator.
NTSTATUS ReadRegistryString(const WCHAR* key, const std::u16string& name, std::u16string* value);

// `text` with A-Z in lower case, as names are compared on NTFS and in the registry.
std::u16string FoldedCase(std::u16string text);

// A REG_DWORD under CrashControl; STATUS_OBJECT_NAME_NOT_FOUND when there is none (or of another type).
NTSTATUS ReadCrashControl(const std::u16string& name, ULONG* value);

}  // namespace companion
