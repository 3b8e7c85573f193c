// The boot registry settings a one-shot run restores: the two crash-control values written back from the
// configuration's backups, and the program's own entries taken out of the Session Manager's BootExecute list so
// that it does not run again at the next boot.
#pragma once

#include <string>
#include <vector>

#include "platform/NativeApi.h"

// Enables SeRestorePrivilege on the process token; results are not checked (the writes are tried regardless).
void EnableRestorePrivilege();

// Writes CrashDumpEnabled and LogEvent, and removes every BootExecute entry that contains "sxboottime". Reports
// nothing. BootExecute is rewritten only when it could be read: a list that cannot be read is never replaced by
// one rebuilt from nothing, which would delete every other boot-time entry of the system.
void RestoreBootSettings(LONG crashDumpEnabled, LONG logEvent);

// The strings of REG_MULTI_SZ data of `length` bytes, up to the empty string that ends the list. Nothing past
// `length` is read; a last string that the data does not terminate is kept, not dropped.
std::vector<std::u16string> ParseMultiString(const WCHAR* data, ULONG length);

// Writes `strings` as REG_MULTI_SZ data into `buffer` (cleared first): each string and its zero, then one more
// zero; an empty list is two zeros. Returns the units written, or 0 (buffer cleared) when they do not fit in
// `size` bytes.
LONG BuildMultiString(const std::vector<std::u16string>& strings, WCHAR* buffer, ULONG size);
