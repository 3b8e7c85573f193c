#include "BootExecute.h"
#include "DryRun.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/ntdll/Host.h"
#include "host/ntdll/registry/RegFile.h"
#include "host/ntdll/registry/Registry.h"
#include "text/Utf.h"
#include "native/BootSettings.h"

namespace {

constexpr char16_t kSessionManagerKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr const char* kSessionManagerName = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Forks the run of `commandLine`: true in the child, ready to start it; false in the parent once the child ended,
// with its exit status.
bool RunInChild(const std::string& registryFile, const std::string& commandLine, int* status) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("spindraxel boot: fork");
    *status = 2;
    return false;
  }
  if (child == 0) {
    StopWithParent(parent);
    std::string error;
    if (!host::LoadRegistry(registryFile, &error)) {
      std::fprintf(stderr, "spindraxel boot: --registry %s\n", AsGiven(error).c_str());
      _exit(2);
    }
    return true;
  }
  const int waited = WaitForChild(child);
  if (waited < 0) {
    *status = 2;
    return false;
  }
  if (WIFSIGNALED(waited)) {
    std::fprintf(stderr, "spindraxel boot: '%s' was ended by signal %d\n", commandLine.c_str(), WTERMSIG(waited));
    *status = 128 + WTERMSIG(waited);
  } else {
    *status = WEXITSTATUS(waited);
  }
  return false;
}

}  // namespace

void StopWithParent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  // The parent may have died before the request was made.
  if (getppid() != parent) raise(SIGTERM);
}

int WaitForChild(pid_t child) {
  int passedOn = 0;
  for (;;) {
    int waited = 0;
    if (waitpid(child, &waited, 0) == child) return waited;
    if (errno != EINTR) return -1;
    const int signal = host::PendingInterrupt();
    if (signal != 0 && signal != passedOn) {
      kill(child, signal);
      passedOn = signal;
    }
  }
}

bool LoadBootRegistry(const std::string& file, const std::vector<std::string>& imports) {
  std::string error;
  if (!host::LoadRegistry(file, &error)) {
    std::fprintf(stderr, "spindraxel boot: --registry %s\n", AsGiven(error).c_str());
    return false;
  }
  for (const std::string& import : imports) {
    if (!host::ImportRegistry(import, &error)) {
      std::fprintf(stderr, "spindraxel boot: --registry-import %s\n", error.c_str());
      return false;
    }
  }
  if (!host::SaveRegistry(&error)) {
    std::fprintf(stderr, "spindraxel boot: the registry was not saved: %s\n", AsGiven(error).c_str());
    return false;
  }
  return true;
}

bool RunBootExecute(const std::function<bool(const std::string& commandLine)>& isProgram, std::string* commandLine,
                    int* status) {
  *status = 0;
  const std::string registryFile = host::RegistryFile();
  host::RegistryValue value;
  if (!host::QueryRegistryValue(kSessionManagerKey, u"BootExecute", &value)) {
    std::fprintf(stderr, "spindraxel boot: %s has no BootExecute value under %s; nothing to run\n",
                 AsGiven(registryFile).c_str(), kSessionManagerName);
    return false;
  }
  if (value.type != REG_MULTI_SZ) {
    std::fprintf(stderr, "spindraxel boot: BootExecute in %s is of type %u, not REG_MULTI_SZ (7); nothing to run\n",
                 AsGiven(registryFile).c_str(), value.type);
    return false;
  }
  for (const std::u16string& entry16 : BootExecuteEntries(value.data)) {
    const std::string entry = text::Utf16ToUtf8(entry16);
    if (!isProgram(entry)) {
      std::fprintf(stderr, "spindraxel boot: skipped BootExecute entry '%s': not a boot-time program of this system\n",
                   entry.c_str());
      continue;
    }
    if (RunInChild(registryFile, entry, status)) {
      *commandLine = entry;
      return true;
    }
  }
  return false;
}

std::vector<std::u16string> BootExecuteEntries(const std::vector<uint8_t>& data) {
  // Copied out as units: a value's bytes need not be aligned for them.
  std::vector<WCHAR> units(data.size() / sizeof(WCHAR));
  std::memcpy(units.data(), data.data(), units.size() * sizeof(WCHAR));
  return ParseMultiString(units.data(), static_cast<ULONG>(units.size() * sizeof(WCHAR)));
}

std::vector<uint8_t> BootExecuteData(const std::vector<std::u16string>& entries) {
  size_t units = 2;
  for (const std::u16string& entry : entries) units += entry.size() + 1;
  std::vector<WCHAR> buffer(units);
  const LONG written = BuildMultiString(entries, buffer.data(), static_cast<ULONG>(units * sizeof(WCHAR)));
  std::vector<uint8_t> data(static_cast<size_t>(written) * sizeof(WCHAR));
  std::memcpy(data.data(), buffer.data(), data.size());
  return data;
}
