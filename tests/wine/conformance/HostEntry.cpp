// The conformance checks on the host platform: drive C: is the NTFS image named on the command line, and the
// registry holds the one key the registry checks need, as the Wine runner makes it there. With a FOLDER, the file
// checks run a second time on drive D: backed by that host folder. The exit status is the
// number of failed checks (at most 255), or 2 after a message on standard error when the run cannot start.
#include <algorithm>
#include <cstdio>
#include <string>

#include "Harness.h"
#include "host/ntdll/Host.h"
#include "host/ntdll/registry/Registry.h"

namespace {

constexpr char kRegistry[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zenmoria\\Conformance]\r\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: sxconformance IMAGE [FOLDER]   (both without conformance, e.g. fresh ones)\n");
    return 2;
  }
  std::string error;
  if (!host::MountDrive('C', argv[1], &error) || !host::LoadRegistryText(kRegistry, "conformance.reg", &error) ||
      (argc == 3 && !host::MountDrive('D', argv[2], &error))) {
    std::fprintf(stderr, "sxconformance: %s\n", error.c_str());
    return 2;
  }
  int failures = RunConformanceChecks(u"\\??\\C:\\conformance\\");
  if (argc == 3) failures = RunFileChecksAgain(u"\\??\\D:\\conformance\\", "a host folder");
  host::ExitHostProcess(std::min(failures, 255));
}
