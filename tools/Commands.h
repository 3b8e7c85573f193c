// The subcommands of the spindraxel command line.
#pragma once

#include <string>
#include <vector>

// Move requests per journal record in the commands that move clusters (boot, defrag): the flushes each record costs
// would otherwise dominate a run of small moves.
constexpr int kMovesPerCommit = 64;

// spindraxel boot ...: runs one boot-time program on drives backed by NTFS images. Returns the exit status for
// usage errors; a boot that starts ends the process with the program's own status.
int RunBootCommand(const std::vector<std::string>& args);

// spindraxel check IMAGE [PATH...]: checks an image's cluster allocation and counts the fragments of files. Returns
// 0 when consistent, 1 when not, 2 for usage errors and unreadable images or paths.
int RunCheckCommand(const std::vector<std::string>& args);

// spindraxel prepare IMAGE --registry FILE.reg --file PATH...: writes the configuration into an image and adds the
// program to BootExecute. Returns 0 when both were written, 2 when refused, failed or misused (nothing is left
// written then).
int RunPrepareCommand(const std::vector<std::string>& args);

// spindraxel image create|fragment ...: makes NTFS images and fragmented content on them. Returns 0 on success, 1
// when the work failed, 2 for usage errors.
int RunImageCommand(const std::vector<std::string>& args);

// spindraxel analyze IMAGE [PATH...]: the volume's free space and the files' clusters and fragments, as text or
// JSON. Returns 0 when done, 1 when a path cannot be read (the others are listed), 2 for usage errors and
// unreadable images.
int RunAnalyzeCommand(const std::vector<std::string>& args);

// spindraxel map IMAGE --out FILE.png: the volume's cluster map as a PNG picture. Returns 0 when written, 1 when
// the picture could not be written, 2 for usage errors and unreadable images or paths.
int RunMapCommand(const std::vector<std::string>& args);

// spindraxel defrag IMAGE PATH...|--all: defragments files of an image or partition with the system's engine, pass
// after pass. Returns 0 when every selected file ends in one fragment, 1 when some could not, 2 for usage errors,
// refused images, changed content (--verify) and images that could not be written.
int RunDefragCommand(const std::vector<std::string>& args);
