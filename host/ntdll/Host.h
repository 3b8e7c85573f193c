// The host platform's own interface, for the command line and the tests: what stands in for the machine that the
// native program would otherwise find (drives, the boot screen, the end of the process).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace host {

// Backs drive `letter` (A to Z, either case) with an NTFS image or partition, or with a host folder when `device`
// is a directory (files only: for logs kept outside the volumes). False with a one-line reason when the letter is
// taken or the device cannot be mounted.
bool MountDrive(char letter, const std::string& device, std::string* error);
// Unmounts one drive cleanly; false when the letter was not mounted. Open handles on it fail afterwards.
// *failure, when asked for, is the line UnmountAllDrives would give for it, empty when every write got through.
bool UnmountDrive(char letter, std::string* failure = nullptr);
// Unmounts every drive cleanly. Returns one line per drive whose device refused a write ("drive C: disk.img could
// not be written: No space left on device"), none when every write reached its device.
std::vector<std::string> UnmountAllDrives();

// The clusters FSCTL_MOVE_FILE has written in this process, on every drive.
uint64_t ClustersMoved();

// Everything the program has shown on the boot screen (UTF-8), and whether it is also written to standard output.
std::string ScreenText();
void ClearScreenText();
void SetScreenEcho(bool toStandardOutput);

// Called for every piece of boot-screen text, under the screen's lock: once with `echoed` false just before the
// text reaches standard output, once with it true just after. For a status line on the terminal that must stay out
// of the boot screen's way. One observer; an empty function removes it.
using ScreenObserver = std::function<void(const std::string& text, bool echoed)>;
void SetScreenObserver(ScreenObserver observer);

// Runs `hook` first thing in ExitHostProcess, while the drives are still mounted. Add hooks before the program
// starts; the list is not locked.
void AddExitHook(std::function<void()> hook);

// The hard-error mode the program last set (1 when never set).
unsigned HardErrorMode();

// The privileges the process token holds, by LUID: SeTcbPrivilege, SeBackupPrivilege, SeRestorePrivilege,
// SeShutdownPrivilege, SeChangeNotifyPrivilege (the one enabled from the start) and SeManageVolumePrivilege.
constexpr ULONG kHeldPrivileges[] = {7, 17, 18, 19, 23, 28};
// Whether privilege `luid` is enabled on the process token, and the token put back as the process started.
bool PrivilegeEnabled(ULONG luid);
void ResetProcessToken();

// From now on SIGINT, SIGTERM and SIGHUP stop the program at its next native call: the process ends as
// ExitHostProcess ends it, with status 128 + the signal and one line on standard error. A second signal before
// that ends the process at once. Processes forked later keep the handlers.
void StopOnInterruptSignals();
// The interrupt signal received, 0 when none was; for a parent that passes it on to its children.
int PendingInterrupt();

// Ends the process the way NtTerminateProcess does: every drive unmounted, output flushed, exit status passed on.
[[noreturn]] void ExitHostProcess(int status);

}  // namespace host
