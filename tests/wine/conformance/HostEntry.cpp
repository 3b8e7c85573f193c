// The conformance checks on the host platform: drive C: is the NTFS image named on the command line, and the
// registry holds the one key the registry checks need, as the Wine runner makes it there. The exit status is the
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
  if (argc != 2) {
    std::fprintf(stderr, "usage: sxconformance IMAGE   (an NTFS image without \\conformance, e.g. a fresh one)\n");
    return 2;
  }
  std::string error;
  if (!host::MountDrive('C', argv[1], &error) || !host::LoadRegistryText(kRegistry, "conformance.reg", &error)) {
    std::fprintf(stderr, "sxconformance: %s: %s\n", argv[1], error.c_str());
    return 2;
  }
  host::ExitHostProcess(std::min(RunConformanceChecks(u"\\??\\C:\\conformance\\"), 255));
}
