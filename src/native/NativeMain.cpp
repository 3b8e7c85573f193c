#include "native/NativeMain.h"

#include "config/ConfigElementManager.h"
#include "config/ConfigFileReader.h"
#include "config/FileConfigElement.h"
#include "config/GeneralConfigElement.h"
#include "log/Logger.h"
#include "volume/OpenFile.h"

namespace {

constexpr const char* kSeparator = "-------------------\n";

// The existence check that decides whether this boot has anything to do: a missing configuration ends the run
// before anything is shown or logged.
bool ConfigurationFileOpens(const std::u16string& path) {
  HANDLE file = nullptr;
  if (!NT_SUCCESS(OpenFile(path.c_str(), &file, GENERIC_READ | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT))) {
    return false;
  }
  NtClose(file);
  return true;
}

}  // namespace

std::u16string ConfigurationPathFromCommandLine(const UNICODE_STRING& commandLine) {
  // The text runs to its terminating zero; the buffer's capacity still bounds the scan.
  size_t capacity = commandLine.MaximumLength / sizeof(WCHAR);
  if (capacity == 0) capacity = commandLine.Length / sizeof(WCHAR);
  size_t length = 0;
  while (commandLine.Buffer != nullptr && length < capacity && commandLine.Buffer[length] != u'\0') ++length;
  std::u16string text(commandLine.Buffer != nullptr ? commandLine.Buffer : u"", length);
  size_t blank = text.find(u' ');
  return blank == std::u16string::npos ? text : text.substr(blank + 1);
}

LONG NativeMain(UNICODE_STRING* commandLine) {
  CLogger& logger = CLogger::Instance();
  logger.SetLevel(3);
  auto files = std::make_shared<FileList>();

  std::u16string configurationPath = ConfigurationPathFromCommandLine(*commandLine);
  if (!ConfigurationFileOpens(configurationPath)) return 0;

  ConsolePrint("Zenmoria Spindraxel\n");
  ConsolePrint(kSeparator);

  CConfigFileReader reader(configurationPath);
  if (!reader.Initialize()) {
    ConsolePrint("Failed to read configuration file. Quiting....");
    return 1;
  }
  std::vector<std::shared_ptr<CConfigBlock>> blocks = reader.ReadAllBlocks();

  // The run's settings; the general section writes them while it is parsed.
  bool checkFileIntegrity = false;
  bool dumpFileInformation = false;
  LONG runMode = 0;
  LONG crashDumpEnabledBackup = 2;
  LONG logEventBackup = 1;
  SGeneralSettingsTargets settings{&checkFileIntegrity, &dumpFileInformation, &runMode, &crashDumpEnabledBackup,
                                   &logEventBackup};
  CConfigElementManager elements;
  elements.AddFactory(std::make_shared<CGeneralConfigElementFactory>(&logger, settings));
  elements.AddFactory(std::make_shared<CFileConfigElementFactory>(files));
  for (const auto& block : blocks) elements.AddConfigElement(block);
  elements.ApplyElements();
  NtClose(reader.GetHandle());

  if (!files->empty()) {
    ConsolePrint("Starting Defragmentation\n");
    ConsolePrint(kSeparator);
  }

  logger.Close();
  ConsolePrint(kSeparator);
  ConsolePrint("Complete\n");
  return 0;
}
