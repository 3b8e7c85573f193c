// Fuzzes the configuration path of a boot: arbitrary bytes as the configuration file on an NTFS image, read by
// the reader one byte per request and turned into settings and a file list by the element manager.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/ConfigElementManager.h"
#include "config/ConfigFileReader.h"
#include "config/FileConfigElement.h"
#include "config/GeneralConfigElement.h"
#include "host/ntdll/Host.h"
#include "log/Logger.h"

namespace {

const std::u16string kPath = u"\\??\\C:\\fuzz.cfg";
std::string g_scratchDirectory;

void RemoveScratchImage() {
  host::UnmountAllDrives();
  std::string command = "rm -rf " + g_scratchDirectory;
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", g_scratchDirectory.c_str());
}

// One image for the whole run: formatting per input would dwarf the work being fuzzed.
void MountScratchImage() {
  char directory[] = "/tmp/sx-fuzz-XXXXXX";
  if (mkdtemp(directory) == nullptr) std::abort();
  g_scratchDirectory = directory;
  std::string image = g_scratchDirectory + "/c.img";
  std::string command =
      "truncate -s 64M " + image + " && PATH=$PATH:/usr/sbin:/sbin mkntfs -F -f -Q -q " + image + " >/dev/null 2>&1";
  std::string error;
  if (std::system(command.c_str()) != 0 || !host::MountDrive('C', image, &error)) {
    std::fprintf(stderr, "cannot prepare the fuzzing image: %s\n", error.c_str());
    std::abort();
  }
  std::atexit(&RemoveScratchImage);
  // Nothing opens the process log here; dropping its lines keeps memory flat over millions of inputs.
  CLogger::Instance().SetLevel(0);
}

void WriteConfiguration(const uint8_t* data, size_t size) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kPath.c_str());
  OBJECT_ATTRIBUTES attributes{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK io{};
  HANDLE file = nullptr;
  if (!NT_SUCCESS(NtCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                               FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0))) {
    std::abort();
  }
  if (size != 0) {
    NtWriteFile(file, nullptr, nullptr, nullptr, &io, const_cast<uint8_t*>(data), static_cast<ULONG>(size), nullptr,
                nullptr);
  }
  NtClose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool mounted = (MountScratchImage(), true);
  (void)mounted;
  WriteConfiguration(data, size);

  static CLogger logger;  // general sections open it; one writer for the whole run
  bool checkFileIntegrity = false, dumpFileInformation = false;
  LONG runMode = 0, crashDumpEnabledBackup = 2, logEventBackup = 1;
  auto files = std::make_shared<FileList>();
  CConfigFileReader reader(kPath);
  if (!reader.Initialize()) std::abort();
  CConfigElementManager manager;
  manager.AddFactory(std::make_shared<CGeneralConfigElementFactory>(
      &logger, SGeneralSettingsTargets{&checkFileIntegrity, &dumpFileInformation, &runMode, &crashDumpEnabledBackup,
                                       &logEventBackup}));
  manager.AddFactory(std::make_shared<CFileConfigElementFactory>(files));
  for (const auto& block : reader.ReadAllBlocks()) manager.AddConfigElement(block);
  manager.ApplyElements();
  NtClose(reader.GetHandle());
  for (const auto& file : *files) {
    // An entry always carries one of the two operations (its path may be empty after an early stop).
    if (file->operation_ != kOperationDefragment && file->operation_ != kOperationFragment) std::abort();
  }
  return 0;
}
