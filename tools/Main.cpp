// spindraxel: the host command line of Zenmoria Spindraxel.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "Commands.h"
#include "MachineRegistry.h"

namespace {

int RunInstall(const std::vector<std::string>& args) { return RunCompanionCommand("install", args); }
int RunUninstall(const std::vector<std::string>& args) { return RunCompanionCommand("uninstall", args); }
int RunSchedule(const std::vector<std::string>& args) { return RunCompanionCommand("schedule", args); }
int RunCancel(const std::vector<std::string>& args) { return RunCompanionCommand("cancel", args); }
int RunStatus(const std::vector<std::string>& args) { return RunCompanionCommand("status", args); }
int RunLog(const std::vector<std::string>& args) { return RunCompanionCommand("log", args); }
// With --drive, the companion's analysis of a machine; else the offline analysis of an image.
int RunAnalyze(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--drive" || arg.rfind("--drive=", 0) == 0) return RunCompanionCommand("analyze", args);
  }
  return RunAnalyzeCommand(args);
}

struct Command {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>& args);
};

const Command kCommands[] = {
    {"analyze", "show how fragmented an image's files and free space are (with --drive: as on Windows)", RunAnalyze},
    {"boot", "run the boot-time program the way the Session Manager starts it", RunBootCommand},
    {"check", "check an image's cluster allocation and count the fragments of files", RunCheckCommand},
    {"defrag", "defragment files of an image or partition, pass after pass, in one command", RunDefragCommand},
    {"image", "make an NTFS image, or fragmented files on one", RunImageCommand},
    {"prepare", "put a configuration into an image and the program into a registry's BootExecute", RunPrepareCommand},
    {"map", "draw an image's cluster map as a PNG picture", RunMapCommand},
    {"install", "put sxboottime.exe into a machine's System32 (drives and a registry file)", RunInstall},
    {"uninstall", "take sxboottime.exe out of a machine's System32", RunUninstall},
    {"schedule", "schedule a boot-time run on a machine, as spindraxel.exe does on Windows", RunSchedule},
    {"cancel", "withdraw a scheduled run from a machine", RunCancel},
    {"status", "what a machine's scheduled run will do and what its last run did", RunStatus},
    {"log", "print a machine's last boot-time log", RunLog},
};

void PrintOverview(FILE* to) {
  std::fputs(
      "Usage: spindraxel COMMAND [OPTIONS]\n"
      "\n"
      "Zenmoria Spindraxel defragments files on NTFS volumes at boot time. On Linux this command runs the same\n"
      "boot-time program on NTFS images (or partitions) instead of a Windows boot.\n"
      "\n"
      "Commands:\n",
      to);
  for (const Command& command : kCommands) std::fprintf(to, "  %-8s %s\n", command.name, command.summary);
  std::fputs(
      "  help     show this text, or 'spindraxel help COMMAND' for one command\n"
      "\n"
      "Examples:\n"
      "  spindraxel boot --drive C=disk.img -- sxboottime \\??\\C:\\defrag.cfg\n"
      "  spindraxel check disk.img Data/big.bin\n"
      "  spindraxel prepare disk.img --registry machine.reg --file Data/big.bin\n"
      "  spindraxel image create disk.img --size 256M && spindraxel image fragment disk.img\n"
      "  spindraxel analyze disk.img\n"
      "  spindraxel map disk.img --out map.png --highlight Fragmented/file01.bin\n",
      to);
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// One line naming the unknown command, with the closest one when it looks like a typing error.
int UnknownCommand(const std::string& prefix, const std::string& name) {
  std::string hint = "'spindraxel help' lists the commands";
  size_t closest = 3;
  for (const Command& command : kCommands) {
    const size_t distance = EditDistance(name, command.name);
    if (distance < closest) closest = distance, hint = std::string("did you mean ") + command.name + "?";
  }
  std::fprintf(stderr, "%s: unknown command '%s'; %s\n", prefix.c_str(), name.c_str(), hint.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintOverview(stderr);
    return 2;
  }
  const std::string name = args.front();
  args.erase(args.begin());
  if (name == "help" || name == "--help" || name == "-h") {
    if (args.empty()) {
      PrintOverview(stdout);
      return 0;
    }
    const Command* command = FindCommand(args.front());
    if (command == nullptr) return UnknownCommand("spindraxel help", args.front());
    // The words after the command choose an action's help: spindraxel help image create.
    args.erase(args.begin());
    args.push_back("--help");
    return command->run(args);
  }
  const Command* command = FindCommand(name);
  if (command == nullptr) return UnknownCommand("spindraxel", name);
  return command->run(args);
}
