// Preparing and withdrawing a boot-time run on a machine: the configuration file the program reads, and its entry
// in BootExecute. Everything is checked before anything is written, and a run is either scheduled whole (folder,
// configuration, entry) or not at all.
//
//   companion::SRunSettings run;
//   run.files = {u"\\??\\C:\\Data\\big.bin"};
//   run.oneShot = true;
//   companion::SScheduled done;
//   if (!companion::ScheduleRun(run, &done, &error)) ...   // error: one line naming what is wrong
#pragma once

#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace companion {

struct SRunSettings {
  std::vector<std::u16string> files;                        // native paths: \??\C:\Data\big.bin
  std::u16string logDirectory = u"\\??\\C:\\spindraxel\\logs";  // made when missing
  LONG logLevel = 1;
  bool checkIntegrity = false;
  bool report = false;
  bool oneShot = false;
  std::u16string configPath = u"\\??\\C:\\spindraxel.cfg";
  // The program's file, which must be there (%SystemRoot%\System32\sxboottime.exe); empty: not checked.
  std::u16string programPath;
};

struct SScheduled {
  std::string configuration;                // the text written
  std::vector<std::u16string> bootExecute;  // the list as written
  bool replacedConfiguration = false;       // a configuration was there and is replaced
  std::string previousConfiguration;        // its text
  std::vector<std::string> notes;           // what the user should know (crash values missing, ...)
};

// The configuration text for `run`, with the machine's crash-control values (empty when it has none) as the
// backups a one-shot run writes back.
std::string ConfigurationText(const SRunSettings& run, const std::string& crashDumpEnabled,
                              const std::string& logEvent);

// A configuration's CRLF lines as the commands show them: each indented by two blanks, ending in a line feed.
std::string Indented(const std::string& configuration);

// "" when `path` can be named in a configuration (printable ASCII), else why not.
std::string Unnameable(const std::u16string& path);

bool ScheduleRun(const SRunSettings& run, SScheduled* scheduled, std::string* error);

struct SCancelled {
  std::vector<std::u16string> removedEntries;
  bool removedConfiguration = false;
};

// Removes the program's entries from BootExecute (every other entry stays as it was) and the configuration file.
// True when nothing of a run is left.
bool CancelRun(const std::u16string& configPath, SCancelled* cancelled, std::string* error);

}  // namespace companion
