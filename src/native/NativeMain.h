// NativeMain: the main sequence of a run, from the configuration path on the command line to "Complete".
#pragma once

#include <string>

#include "platform/NativeApi.h"

// Runs the whole boot-time job. Returns 0 after a run (also when the configuration file does not exist, which is
// silent) and 1 when the configuration file exists but the reader cannot open it.
LONG NativeMain(UNICODE_STRING* commandLine);

// The configuration path: everything after the first blank of the command line, unchanged; the whole command
// line when it holds no blank. The text ends at its terminating zero.
std::u16string ConfigurationPathFromCommandLine(const UNICODE_STRING& commandLine);
