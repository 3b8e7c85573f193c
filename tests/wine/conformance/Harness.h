// A check harness for the native calls the system makes, small enough to live inside a native program: no C
// runtime, no allocation, no global constructors. The same checks are built into sxconformance.exe (ntdll only, run
// under Wine or Windows) and into the host's sxconformance (linked against sxhost), so one source pins the statuses
// both implementations must give. Results go to the boot screen through NtDisplayString, one short line per call
// (Wine's trace of the call cuts longer ones), and the process exits with the number of failed checks.
//
//   void FileChecks(const SConformanceEnvironment& env) {
//     HANDLE file = nullptr;
//     CHECK_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenForTest(..., FILE_OPEN, &file));
//     CHECK_EQ(FILE_CREATED, io.Information);
//   }
//
// Checks run on the main thread only: a thread under test records what it saw and the main thread checks it after
// the thread has ended, so the counters need no lock.
#pragma once

#include <initializer_list>

#include "platform/NativeApi.h"

struct SConformanceEnvironment {
  // A native directory path ending in a backslash that does not exist yet; the file checks create it.
  const WCHAR* directory_;
  // Wine shows itself by its own registry key; a few checks expect Wine's documented deviations there.
  bool underWine_;
};

// A native path: the environment's directory followed by `name`.
struct SConformancePath {
  SConformancePath(const SConformanceEnvironment& env, const WCHAR* name);
  WCHAR text_[260];
};

// Object attributes for a native name, kept alive with the name.
struct SObjectName {
  SObjectName(const WCHAR* name, ULONG attributes = OBJ_CASE_INSENSITIVE);
  SObjectName(const SObjectName&) = delete;
  OBJECT_ATTRIBUTES* Get() { return &attributes_; }

  UNICODE_STRING name_;
  OBJECT_ATTRIBUTES attributes_;
};

// Shows one formatted line (at most 255 characters) on the boot screen.
void ConformancePrint(const char* format, ...);

bool ConformanceCheckStatus(const char* file, int line, const char* expression, NTSTATUS expected, NTSTATUS actual);
bool ConformanceCheckValue(const char* file, int line, const char* expression, ULONGLONG expected, ULONGLONG actual);
bool ConformanceCheckText(const char* file, int line, const char* expression, const char* expected, const char* actual);
bool ConformanceCheckWideText(const char* file, int line, const char* expression, const WCHAR* expected,
                              const WCHAR* actual);

#define CHECK_STATUS(expected, call) ConformanceCheckStatus(__FILE__, __LINE__, #call, (expected), (call))
#define CHECK_EQ(expected, actual) \
  ConformanceCheckValue(__FILE__, __LINE__, #actual, static_cast<ULONGLONG>(expected), static_cast<ULONGLONG>(actual))
#define CHECK_TRUE(condition) ConformanceCheckValue(__FILE__, __LINE__, #condition, 1, (condition) ? 1 : 0)
#define CHECK_TEXT(expected, actual) ConformanceCheckText(__FILE__, __LINE__, #actual, (expected), (actual))
#define CHECK_WIDE_TEXT(expected, actual) ConformanceCheckWideText(__FILE__, __LINE__, #actual, (expected), (actual))
// A status where Wine is known to differ from Windows: `windows` is pinned everywhere else, `wine` under Wine. Each
// use carries a one-line note saying what Wine does.
#define CHECK_STATUS_WINE_DIFFERS(env, windows, wine, call) \
  ConformanceCheckStatus(__FILE__, __LINE__, #call, (env).underWine_ ? (wine) : (windows), (call))

// The groups, in the order they run.
void FileChecks(const SConformanceEnvironment& env);
void SyncChecks(const SConformanceEnvironment& env);
void ThreadChecks(const SConformanceEnvironment& env);
void RegistryChecks(const SConformanceEnvironment& env);
void FormatChecks(const SConformanceEnvironment& env);
void ProcessChecks(const SConformanceEnvironment& env);

// Runs every group, shows one line per group and a summary, and returns the number of failed checks.
int RunConformanceChecks(const WCHAR* directory);
// Runs the file checks again in `directory` (another drive's), adding to the same counts; the failed checks of
// the whole run.
int RunFileChecksAgain(const WCHAR* directory, const char* label);
