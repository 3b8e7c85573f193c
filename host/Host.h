// The host platform's own interface, for the command line and the tests: what stands in for the machine that the
// native program would otherwise find (drives, the boot screen, the end of the process).
#pragma once

#include <string>

#include "platform/NativeApi.h"

namespace host {

// Backs drive `letter` (A to Z, either case) with an NTFS image or partition. False with a one-line reason when
// the letter is taken or the device cannot be mounted.
bool MountDrive(char letter, const std::string& device, std::string* error);
// Unmounts one drive cleanly; false when the letter was not mounted. Open handles on it fail afterwards.
bool UnmountDrive(char letter);
// Unmounts every drive cleanly.
void UnmountAllDrives();

// Everything the program has shown on the boot screen (UTF-8), and whether it is also written to standard output.
std::string ScreenText();
void ClearScreenText();
void SetScreenEcho(bool toStandardOutput);

// The hard-error mode the program last set (1 when never set).
unsigned HardErrorMode();

// The privileges the process token holds, by LUID: SeTcbPrivilege, SeBackupPrivilege, SeRestorePrivilege,
// SeShutdownPrivilege, SeChangeNotifyPrivilege (the one enabled from the start) and SeManageVolumePrivilege.
constexpr ULONG kHeldPrivileges[] = {7, 17, 18, 19, 23, 28};
// Whether privilege `luid` is enabled on the process token, and the token put back as the process started.
bool PrivilegeEnabled(ULONG luid);
void ResetProcessToken();

// Ends the process the way NtTerminateProcess does: every drive unmounted, output flushed, exit status passed on.
[[noreturn]] void ExitHostProcess(int status);

}  // namespace host
