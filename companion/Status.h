// What the companion reports of a machine: the run scheduled for the next boot, read back with the system's own
// configuration reader, and what the last run did, read from its log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace companion {

struct SScheduledRun {
  std::vector<std::u16string> entries;  // the program's BootExecute entries; none when nothing is scheduled
  std::u16string configPath;            // the first entry's configuration
  bool configurationRead = false;       // false: the entry names a configuration that cannot be read
  LONG logLevel = 0;
  std::u16string logDirectory;
  bool checkIntegrity = false;
  bool report = false;
  bool oneShot = false;
  std::vector<std::u16string> files;
};

// The program's entries in BootExecute and the configuration the first one names, as the program will read it.
NTSTATUS ReadScheduledRun(SScheduledRun* run);

struct SFileOutcome {
  std::string path;              // as logged: \??\C:\Data\big.bin
  int64_t fragmentsBefore = -1;  // from the report lines; -1 when not logged
  int64_t fragmentsAfter = -1;
  std::string status;     // the engine's result, "0x0" for success; empty when the file was not worked on
  std::string integrity;  // "OK", "CORRUPTED" or empty when not logged
};

struct SRunOutcome {
  std::vector<SFileOutcome> files;  // in the order the log names them first
  bool finished = false;            // "Processing finished successfully"
  bool aborted = false;             // a key press stopped it
};

// The newest log in `folder` (its name carries the time: Spindraxel_native_YYYY_MM_DD__HH_MM_SS.txt); false when
// there is none.
bool FindNewestLog(const std::u16string& folder, std::u16string* path);

// Reads what a run's log says of each file: the report lines (fragments before and after), each file's result and
// integrity verdict, and how the run ended.
SRunOutcome ReadRunLog(const std::string& log);

}  // namespace companion
