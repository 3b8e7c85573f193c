// spindraxel.exe: the companion on Windows, a console program. Arguments arrive in UTF-16 and go on in UTF-8, which
// the console is told to show; the machine is the one it runs on.
#include <cstdio>
#include <string>
#include <vector>

#include "companion/Commands.h"
#include "companion/NativeFiles.h"
#include "text/Utf.h"

// kernel32, declared here rather than through windows.h, whose types would meet the native API's own.
extern "C" __declspec(dllimport) int __stdcall SetConsoleOutputCP(unsigned int codePage);
extern "C" __declspec(dllimport) unsigned long __stdcall GetModuleFileNameW(void* module, wchar_t* name,
                                                                           unsigned long size);

namespace {

struct SCommand {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>&, const companion::SPlatform&);
};

const SCommand kCommands[] = {
    {"install", "copy sxboottime.exe into System32", companion::RunInstallCommand},
    {"uninstall", "remove it again", companion::RunUninstallCommand},
    {"schedule", "defragment files at the next boot", companion::RunScheduleCommand},
    {"cancel", "withdraw a scheduled run", companion::RunCancelCommand},
    {"status", "what the scheduled run will do and what the last run did", companion::RunStatusCommand},
    {"analyze", "how fragmented files, folders and drives are", companion::RunAnalyzeCommand},
    {"log", "print the last run's log", companion::RunLogCommand},
};

void PrintOverview(FILE* to) {
  std::fputs("Usage: spindraxel COMMAND [OPTIONS]   (as an administrator)\n\nCommands:\n", to);
  for (const SCommand& command : kCommands) std::fprintf(to, "  %-10s %s\n", command.name, command.summary);
  std::fputs("\n'spindraxel COMMAND --help' explains one.\n", to);
}

// sxboottime.exe from the folder this program was started from.
bool ProgramBytes(std::string* bytes, std::string* error) {
  wchar_t self[1024] = {};
  const unsigned long length = GetModuleFileNameW(nullptr, self, 1023);
  std::u16string path(reinterpret_cast<const char16_t*>(self), length);
  path = path.substr(0, path.rfind(u'\\') + 1) + u"sxboottime.exe";
  const std::u16string native = companion::NativePathOf(path);
  const NTSTATUS status = native.empty() ? STATUS_OBJECT_PATH_NOT_FOUND : companion::ReadWholeFile(native, bytes);
  if (NT_SUCCESS(status)) return true;
  *error = text::Utf16ToUtf8(path) + ": " + companion::DescribeStatus(status) +
           " (sxboottime.exe must be beside spindraxel.exe)";
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(65001);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(text::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    PrintOverview(args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  companion::SPlatform platform;
  platform.programBytes = ProgramBytes;
  for (const SCommand& command : kCommands) {
    if (args[0] == command.name) return command.run(std::vector<std::string>(args.begin() + 1, args.end()), platform);
  }
  std::fprintf(stderr, "spindraxel: unknown command '%s'; 'spindraxel help' lists the commands\n", args[0].c_str());
  return 2;
}
