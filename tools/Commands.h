// The subcommands of the spindraxel command line.
#pragma once

#include <string>
#include <vector>

// spindraxel boot ...: runs one boot-time program on drives backed by NTFS images. Returns the exit status for
// usage errors; a boot that starts ends the process with the program's own status.
int RunBootCommand(const std::vector<std::string>& args);
