// spindraxel boot --dry-run: the whole boot runs on private copies of the images and the registry file, with every
// move refused, so that nothing the user gave is written at all: not the files, not the log the program writes, not
// the one-shot clean-up of the configuration and BootExecute. Afterwards the log files the boot wrote are shown on
// standard error and the copies are deleted.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct DryRun {
  std::string directory;  // the private folder of the copies
  std::vector<std::pair<char, std::string>> originals;
  std::vector<std::pair<char, std::string>> copies;
  std::vector<std::vector<std::u16string>> logsBefore;  // per copy: the log files already there
};

// Checks that every drive is an image file that the system has not mounted, copies each (sparse, sharing blocks
// where the file system can) and the registry file into a private folder, and points *drives and *registryFile at
// the copies. False after one line on standard error; nothing is left behind then.
bool StartDryRun(std::vector<std::pair<char, std::string>>* drives, std::string* registryFile, DryRun* run);

// `text` with the paths of the private copies replaced by the paths the user gave, so that a refusal met on a copy
// names the user's own image or registry file. Unchanged outside a dry run.
std::string AsGiven(std::string text);

// Forks the boot: true in the child, which goes on to boot on the copies with every move refused. The parent waits
// for it, shows the log files it wrote, deletes the copies and returns false with the child's exit status.
bool ForkDryRunBoot(DryRun* run, int* status);
