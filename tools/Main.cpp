// spindraxel: the host command line of Zenmoria Spindraxel.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"

namespace {

const char kUsage[] =
    "Usage: spindraxel COMMAND [OPTIONS]\n"
    "\n"
    "Zenmoria Spindraxel defragments files on NTFS volumes at boot time. On Linux this command runs the same\n"
    "boot-time program on NTFS images (or partitions) instead of a Windows boot.\n"
    "\n"
    "Commands:\n"
    "  analyze  show how fragmented an image's files and free space are\n"
    "  boot     run the boot-time program the way the Session Manager starts it\n"
    "  check    check an image's cluster allocation and count the fragments of files\n"
    "  image    make an NTFS image, or fragmented files on one\n"
    "  prepare  put a configuration into an image and the program into a registry's BootExecute\n"
    "  map      draw an image's cluster map as a PNG picture\n"
    "  help     show this text, or 'spindraxel help COMMAND' for one command\n"
    "\n"
    "Examples:\n"
    "  spindraxel boot --drive C=disk.img -- sxboottime \\??\\C:\\defrag.cfg\n"
    "  spindraxel check disk.img Data/big.bin\n"
    "  spindraxel prepare disk.img --registry machine.reg --file Data/big.bin\n"
    "  spindraxel image create disk.img --size 256M && spindraxel image fragment disk.img\n"
    "  spindraxel analyze disk.img\n"
    "  spindraxel map disk.img --out map.png --highlight Fragmented/file01.bin\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string command = args.front();
  args.erase(args.begin());
  if (command == "help" || command == "--help" || command == "-h") {
    if (!args.empty() && args.front() == "boot") return RunBootCommand({"--help"});
    if (!args.empty() && args.front() == "check") return RunCheckCommand({"--help"});
    if (!args.empty() && args.front() == "image") return RunImageCommand({"--help"});
    if (!args.empty() && args.front() == "prepare") return RunPrepareCommand({"--help"});
    if (!args.empty() && args.front() == "analyze") return RunAnalyzeCommand({"--help"});
    if (!args.empty() && args.front() == "map") return RunMapCommand({"--help"});
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "boot") return RunBootCommand(args);
  if (command == "check") return RunCheckCommand(args);
  if (command == "image") return RunImageCommand(args);
  if (command == "prepare") return RunPrepareCommand(args);
  if (command == "analyze") return RunAnalyzeCommand(args);
  if (command == "map") return RunMapCommand(args);
  std::fprintf(stderr, "spindraxel: unknown command '%s'; 'spindraxel help' lists the commands\n", command.c_str());
  return 2;
}
