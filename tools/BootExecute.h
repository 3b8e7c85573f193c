// spindraxel boot and the registry: loading the --registry file with its imports, and booting without a command
// line, which is the Session Manager's pass over BootExecute.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Loads the registry file `file`, merges each of `imports` into it and saves at once what they changed, so that
// every program run, in this process or a child, finds them in the file. False after one line on standard error
// naming the file (and the line of a malformed one).
bool LoadBootRegistry(const std::string& file, const std::vector<std::string>& imports);

// Reads BootExecute (REG_MULTI_SZ under \Registry\Machine\System\CurrentControlSet\Control\Session Manager) of the
// loaded registry once and goes through its entries in order. Each entry for which `isProgram` holds runs as its
// own process: the call returns true in that child, with the entry in *commandLine and the registry loaded again
// from its file (so that it sees what earlier runs saved), and the child goes on to start it. Every other entry
// gets one "skipped" line on standard error. In the calling process the call returns false once all have run,
// with *status the exit status of the last program run (128 + the signal for one that was killed), 0 when none ran.
bool RunBootExecute(const std::function<bool(const std::string& commandLine)>& isProgram, std::string* commandLine,
                    int* status);

// Waits for `child` and returns its wait status. An interrupt signal (SIGINT, SIGTERM, SIGHUP) this process receives
// meanwhile is passed on, so that a signal to the command stops every process it started.
int WaitForChild(pid_t child);

// In a child just forked by `parent`: should the parent die (even by SIGKILL, which cannot be passed on), the child
// gets SIGTERM and stops at its next native call instead of running on alone.
void StopWithParent(pid_t parent);

// BootExecute's REG_MULTI_SZ data as its entries and back, through the system's own codec, so that the command line
// reads the list as the boot-time program does: the entries up to the empty string that ends the list, a last one
// the data does not terminate kept. The data written ends with two zeros, also for an empty list.
std::vector<std::u16string> BootExecuteEntries(const std::vector<uint8_t>& data);
std::vector<uint8_t> BootExecuteData(const std::vector<std::u16string>& entries);
