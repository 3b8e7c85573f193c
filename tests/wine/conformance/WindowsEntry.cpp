// sxconformance.exe: the conformance checks as a native program. The command line is the program's word, one blank
// and the directory the file checks may create (\??\C:\...\); the exit status is the number of failed checks, at
// most 255 since the shell sees only its low byte.
#include "Harness.h"

namespace {

constexpr size_t kDirectoryUnits = 200;

}  // namespace

extern "C" [[noreturn]] void NtProcessStartup(PEB* peb) {
  const UNICODE_STRING& commandLine = RtlNormalizeProcessParams(peb->ProcessParameters)->CommandLine;
  const size_t units = commandLine.Length / sizeof(WCHAR);
  size_t start = 0;
  while (start < units && commandLine.Buffer[start] != u' ') ++start;
  WCHAR directory[kDirectoryUnits + 1] = {};
  for (size_t at = start + 1, used = 0; at < units && used < kDirectoryUnits; ++at) {
    directory[used++] = commandLine.Buffer[at];
  }
  const int failures = RunConformanceChecks(directory[0] != 0 ? directory : u"\\??\\C:\\sxconformance\\");
  NtTerminateProcess(NtCurrentProcess(), failures < 255 ? failures : 255);
  __builtin_trap();
}
