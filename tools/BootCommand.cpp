// spindraxel boot: one boot-time program, started the way the Session Manager starts a BootExecute entry.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BootExecute.h"
#include "BootProgress.h"
#include "cli/CommandLine.h"
#include "Commands.h"
#include "DryRun.h"
#include "host/ntdll/Host.h"
#include "host/ntdll/faults/CallTrace.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/faults/FsOverrides.h"
#include "host/ntdll/keyboard/Keyboard.h"
#include "host/ntdll/objects/Clock.h"
#include "host/ntfs/NtfsVolume.h"
#include "text/Utf.h"
#include "native/ProcessEntry.h"

namespace {

const char kBootUsage[] =
    "spindraxel boot --drive LETTER=IMAGE [--drive ...] [OPTIONS] [--] COMMAND LINE\n"
    "       spindraxel boot --registry FILE.reg --drive LETTER=IMAGE [--drive ...] [OPTIONS]";

const char kBootDescription[] =
    "Runs the boot-time program named by COMMAND LINE, exactly as a BootExecute entry would start it: the\n"
    "program's word, one blank and its argument. The boot screen goes to standard output and the exit status is\n"
    "the program's own. While it runs, a terminal on standard error shows a status line with the file being\n"
    "worked on and the moves asked for so far.\n"
    "\n"
    "Without COMMAND LINE, boots from the --registry file the way the Session Manager does: each entry of its\n"
    "BootExecute list whose first word is sxboottime runs in turn, each as its own process that reads the\n"
    "registry as the runs before it left it; other entries, such as 'autocheck autochk *', are skipped with one\n"
    "line on standard error. The exit status is then the last program's (0 when none ran).";

const char kFaultHelp[] =
    "make native calls fail or wait (repeatable):\n"
    "  NtReadFile#3=0xC0000185     the third NtReadFile fails with that status\n"
    "  NtReadFile#3+=0xC0000185    the third and every later one fails\n"
    "  NtWriteFile=0xC000007F      every NtWriteFile fails\n"
    "  NtCreateFile#2=delay:500    the second NtCreateFile first waits 500 ms\n"
    "  FSCTL_MOVE_FILE#2=0xC0000021  the second move-file control is refused\n"
    "  NtFlushKey=delay:2000       the registry's save waits 2 s before replacing the file\n"
    "  DeviceWrite#40+=0xC000007F  the image's disk is full from the 40th write under the volume on\n"
    "Calls are counted in each program run separately.";

const char kMftZoneHelp[] =
    "report clusters START to END (END excluded) as the MFT zone of drive C: instead of\n"
    "the zone the volume computes (repeatable; either value may be negative or past the\n"
    "end of the volume), e.g. --mft-zone C=0:4096 or --mft-zone C=-10:99999999";

const char kKeysHelp[] =
    "type on the keyboard (\\Device\\KeyboardClass0): comma-separated TIME:KEY items, TIME in\n"
    "milliseconds after spindraxel starts, KEY a character (a-z, 0-9, US punctuation; 'A'\n"
    "and '?' come with Shift), esc, enter, space, tab, backspace, f1-f12, left, right, up,\n"
    "down, home, end, pgup, pgdn, insert, delete, or shift+KEY (also ctrl+, alt+). Each key\n"
    "is pressed and released and waits in the keyboard's buffer until the program reads\n"
    "it, e.g. --keys '1500:a,2000:shift+b,2500:esc' (repeatable). A key that types a\n"
    "character aborts the volume being processed; Esc, the arrows and the F keys do not.\n"
    "Without --keys a terminal on standard input is the keyboard (raw mode while the\n"
    "program runs); with neither there is none";

const char kRegistryHelp[] =
    "the machine's registry, read from a file that regedit exports and imports: the line\n"
    "'Windows Registry Editor Version 5.00', keys [HKEY_LOCAL_MACHINE\\SYSTEM\\...] (also\n"
    "HKEY_USERS), values \"Name\"=\"text\" (escapes \\\\ and \\\"), \"Name\"=dword:00000002,\n"
    "\"Name\"=hex:01,02 and \"Name\"=hex(7):61,00,... (any type N as hex(N):, lines continued\n"
    "with a final backslash), @= for the default value; UTF-16LE with a byte-order mark\n"
    "or UTF-8. The file must exist; a malformed line stops the boot before it starts,\n"
    "naming the line. When a program run changed a value, the file is replaced at its\n"
    "end, atomically (a killed run leaves the old file or the new one), in regedit's own\n"
    "form: UTF-16LE with a byte-order mark, CRLF. CurrentControlSet is an ordinary key\n"
    "here, not a link to ControlSet001. Without --registry the registry is empty";

const char kDryRunHelp[] =
    "run the whole boot without writing anything: the program runs on private copies of\n"
    "the images and of the --registry file (which must be image files, not partitions),\n"
    "every move it asks for is refused, and afterwards the log files it wrote are shown\n"
    "on standard error and the copies deleted";

const char kBootFooter[] =
    "COMMAND LINE is taken word for word; quote it to keep blanks as they are. The words after '--' are joined\n"
    "with single blanks.\n"
    "\n"
    "A registry file that boots the program from C:\\defrag.cfg after the file-system check:\n"
    "  Windows Registry Editor Version 5.00\n"
    "\n"
    "  [HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\n"
    "  \"BootExecute\"=hex(7):61,00,75,00,74,00,6f,00,63,00,68,00,65,00,63,00,6b,00,20,\\\n"
    "    00,61,00,75,00,74,00,6f,00,63,00,68,00,6b,00,20,00,2a,00,00,00,73,00,78,00,\\\n"
    "    62,00,6f,00,6f,00,74,00,74,00,69,00,6d,00,65,00,20,00,5c,00,3f,00,3f,00,5c,\\\n"
    "    00,43,00,3a,00,5c,00,64,00,65,00,66,00,72,00,61,00,67,00,2e,00,63,00,66,00,\\\n"
    "    67,00,00,00,00,00\n"
    "\n"
    "Examples:\n"
    "  spindraxel boot --registry machine.reg --drive C=disk.img\n"
    "  spindraxel boot --registry machine.reg --drive C=disk.img -- sxboottime \\??\\C:\\defrag.cfg\n"
    "  spindraxel boot --drive C=disk.img -- sxboottime \\??\\C:\\defrag.cfg\n"
    "  spindraxel boot --dry-run --registry machine.reg --drive C=disk.img\n"
    "  spindraxel boot --drive C=disk.img --fault NtReadFile#5=0xC0000185 -- 'sxboottime \\??\\C:\\defrag.cfg'\n"
    "  spindraxel boot --drive C=disk.img --keys 3000:a -- sxboottime \\??\\C:\\defrag.cfg";

constexpr const char* kProgramWord = "sxboottime";

// The command line's first word, in lower case, and whether it names this system's program.
std::string ProgramWord(const std::string& commandLine) {
  return LowerCase(commandLine.substr(0, commandLine.find(' ')));
}
bool IsProgramCommandLine(const std::string& commandLine) {
  const std::string word = ProgramWord(commandLine);
  return word == kProgramWord || word == std::string(kProgramWord) + ".exe";
}

bool ParseCount(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  size_t used = 0;
  try {
    *value = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size();
}

// "C=START:END": the MFT zone drive C: reports from now on.
bool ParseMftZone(const std::string& value) {
  const size_t colon = value.find(':', 2);
  int64_t start = 0, end = 0;
  if (value.size() < 5 || value[1] != '=' || !std::isalpha(static_cast<unsigned char>(value[0])) ||
      colon == std::string::npos || !ParseCount(value.substr(2, colon - 2), &start) ||
      !ParseCount(value.substr(colon + 1), &end)) {
    return false;
  }
  host::OverrideMftZone(value[0], start, end);
  return true;
}

// Writes `path` when the program ends: the clusters its moves moved and how many times it made each native call.
void WriteStatsAtExit(const std::string& path) {
  host::AddExitHook([path] {
    nlohmann::json calls = nlohmann::json::object();
    for (const auto& [call, count] : host::CallCounts()) calls[call] = count;
    const std::string text =
        nlohmann::json{{"clustersMoved", host::ClustersMoved()}, {"calls", calls}}.dump(2) + "\n";
    FILE* file = std::fopen(path.c_str(), "w");
    const bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file == nullptr || std::fclose(file) != 0 || !written) {
      std::fprintf(stderr, "spindraxel boot: --stats %s: %s\n", path.c_str(), std::strerror(errno));
    }
  });
}

// The process that the Session Manager would have made: parameters with the command line, and a PEB.
[[noreturn]] void StartBootProcess(const std::string& commandLine) {
  static std::u16string command = text::Utf8ToUtf16(commandLine);
  static std::u16string image = u"\\SystemRoot\\System32\\sxboottime.exe";
  static RTL_USER_PROCESS_PARAMETERS parameters{};
  static PEB peb{};
  static char heapStandIn;
  auto counted = [](std::u16string& text) {
    return UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                          static_cast<USHORT>((text.size() + 1) * sizeof(WCHAR)), text.data()};
  };
  parameters.MaximumLength = parameters.Length = sizeof parameters;
  parameters.Flags = 1;  // normalised: the strings hold pointers
  parameters.ImagePathName = counted(image);
  parameters.CommandLine = counted(command);
  peb.ProcessParameters = &parameters;
  peb.ProcessHeap = &heapStandIn;
  ProcessStartup(&peb);
}

}  // namespace

int RunBootCommand(const std::vector<std::string>& args) {
  CommandLine parser("boot", kBootUsage, kBootDescription, kBootFooter);
  CLI::App& app = parser.App();
  std::vector<std::string> driveSpecs, faults, mftZones, keyScripts, registryImports, words;
  std::string registryFile, clock, trace, stats;
  bool dryRun = false, strict = false;
  app.add_option("--drive", driveSpecs,
                 "back drive C: with an NTFS image or partition (repeatable; letters A to Z)\n"
                 "e.g. --drive C=disk.img --drive D=/dev/sdb1")
      ->option_text("C=IMAGE");
  app.add_option("--fault", faults, kFaultHelp)->option_text("SPEC");
  app.add_option("--clock", clock, "start the system clock at TIME (UTC), e.g. --clock 2026-12-31T23:59:59Z")
      ->option_text("TIME");
  app.add_option("--mft-zone", mftZones, kMftZoneHelp)->option_text("C=START:END");
  app.add_option("--keys", keyScripts, kKeysHelp)->option_text("SCRIPT");
  app.add_option("--registry", registryFile, kRegistryHelp)->option_text("FILE.reg");
  app.add_option("--registry-import", registryImports,
                 "merge FILE.reg into the --registry file before the boot, as 'regedit /s' would, and\n"
                 "save it (repeatable)")
      ->option_text("FILE.reg");
  app.add_flag("--dry-run", dryRun, kDryRunHelp);
  app.add_flag("--ntfs-strict", strict,
               "make the drives as strict as NTFS on Windows: clusters a move freed are no move target\n"
               "until the volume is flushed, and bitmap answers start at a page of bitmap");
  app.add_option("--trace", trace,
                 "append a line per native call the program makes to FILE: milliseconds since the start,\n"
                 "thread, call, status and what matters of its arguments (names, cluster ranges)")
      ->option_text("FILE");
  app.add_option("--stats", stats,
                 "when the program ends, write to FILE (JSON) the bytes its moves moved and how many times it\n"
                 "made each native call; booting from --registry, each program run replaces FILE")
      ->option_text("FILE");
  // The first word that is not an option starts the command line, as after '--'.
  app.add_option("WORD", words);
  app.positionals_at_end();
  if (const int status = parser.Parse(args); status >= 0) return status;

  std::vector<std::pair<char, std::string>> drives;
  for (const std::string& value : driveSpecs) {
    if (value.find('=') != 1 || value.size() < 3 || !std::isalpha(static_cast<unsigned char>(value[0]))) {
      return parser.Refuse("--drive " + value + ": expected LETTER=IMAGE, for example --drive C=disk.img");
    }
    drives.emplace_back(value[0], value.substr(2));
  }
  for (const std::string& value : faults) {
    host::FaultRule rule;
    std::string error;
    if (!host::ParseFaultRule(value, &rule, &error)) return parser.Refuse(error);
    host::AddFaultRule(rule);
  }
  for (const std::string& value : mftZones) {
    if (!ParseMftZone(value)) {
      return parser.Refuse("--mft-zone " + value + ": expected LETTER=START:END, for example --mft-zone C=0:4096");
    }
  }
  host::KeyScript keys;
  for (const std::string& value : keyScripts) {
    host::KeyScript more;
    std::string error;
    if (!host::ParseKeyScript(value, &more, &error)) return parser.Refuse("--keys: " + error);
    keys.insert(keys.end(), more.begin(), more.end());
  }
  int64_t clockStart = 0;
  if (!clock.empty()) {
    if (!host::ParseUtcTime(clock, &clockStart)) {
      return parser.Refuse("--clock " + clock + ": expected a UTC time such as 2026-12-31T23:59:59Z");
    }
    host::SetClockStart(clockStart);
  }
  if (words.empty() && registryFile.empty()) {
    return parser.Refuse(
        "no command line to run, e.g. -- sxboottime \\??\\C:\\defrag.cfg, and no --registry to boot from");
  }
  if (!registryImports.empty() && registryFile.empty()) {
    return parser.Refuse("--registry-import needs --registry FILE.reg to merge into");
  }

  std::string programLine;
  for (const std::string& word : words) programLine += (programLine.empty() ? "" : " ") + word;
  if (!words.empty() && !IsProgramCommandLine(programLine)) {
    return parser.Refuse("'" + ProgramWord(programLine) +
                         "' is not a boot-time program of this system (expected sxboottime)");
  }
  host::SetNtfsStrict(strict);
  host::NtfsVolume::SetMovesPerCommit(kMovesPerCommit);
  // A signal from now on stops the program between two native calls, and reaches every process started below.
  host::StopOnInterruptSignals();
  if (!trace.empty()) {
    std::string error;
    if (!host::OpenCallTrace(trace, &error)) return parser.Refuse("--trace " + error);
  }
  if (!stats.empty()) {
    // Refused here rather than found out when the boot has ended.
    FILE* file = std::fopen(stats.c_str(), "w");
    if (file == nullptr) return parser.Refuse("--stats " + stats + ": " + std::strerror(errno));
    std::fclose(file);
  }
  if (dryRun) {
    DryRun run;
    int status = 0;
    if (!StartDryRun(&drives, &registryFile, &run)) return 2;
    if (!ForkDryRunBoot(&run, &status)) return status;
  }
  if (!registryFile.empty() && !LoadBootRegistry(registryFile, registryImports)) return 2;

  // Every drive is checked and mounted before the program runs; a bad one stops the boot before anything is
  // touched.
  auto mountDrives = [&drives]() {
    for (const auto& [letter, device] : drives) {
      std::string error;
      if (!host::MountDrive(letter, device, &error)) {
        host::UnmountAllDrives();
        std::fprintf(stderr, "spindraxel boot: %s\n",
                     AsGiven("--drive " + std::string(1, letter) + "=" + device + ": " + error).c_str());
        return false;
      }
    }
    return true;
  };
  if (words.empty()) {
    // Booting from BootExecute: the drives are checked once here and mounted afresh by each program run, which
    // goes on below in its own process; this one only waits for them.
    if (!mountDrives()) return 2;
    host::UnmountAllDrives();
    int status = 0;
    if (!RunBootExecute(IsProgramCommandLine, &programLine, &status)) return status;
  }
  if (!mountDrives()) return 2;
  // The keyboard is in place before the program starts, as a machine's is.
  if (!keyScripts.empty()) {
    host::SetKeyboardScript(keys, host::ProcessStartTime());
  } else if (isatty(STDIN_FILENO)) {
    std::string error;
    if (!host::UseTerminalKeyboard(&error)) std::fprintf(stderr, "spindraxel boot: no keyboard: %s\n", error.c_str());
  }
  if (!stats.empty()) WriteStatsAtExit(stats);
  StartBootProgress();
  std::fflush(stdout);
  StartBootProcess(programLine);
}
