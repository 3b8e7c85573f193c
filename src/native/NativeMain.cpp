#include "native/NativeMain.h"

#include "config/ConfigElementManager.h"
#include "config/ConfigFileReader.h"
#include "config/FileConfigElement.h"
#include "config/GeneralConfigElement.h"
#include "integrity/FileInformationDumper.h"
#include "integrity/IntegrityChecker.h"
#include "log/Logger.h"
#include "native/BootSettings.h"
#include "native/KeyboardHandler.h"
#include "native/ProcessingThread.h"
#include "native/VolumeExecutionContext.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"
#include "volume/VolumeBitmapCache.h"

namespace {

constexpr const char* kSeparator = "-------------------\n";
// How long the end of a run waits for a log writer that writes nothing before asking it to stop; the lines still
// queued then are not written.
constexpr LONG kLogWriterPatienceMs = 2000;
// How often the wait loop looks at the keyboard and the finished flag.
constexpr ULONG kKeyPollMs = 100;
// run_mode 1: afterwards delete the configuration and take the program out of BootExecute.
constexpr LONG kRunModeOneShot = 1;

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

WCHAR UpperCaseLetter(WCHAR letter) {
  return letter >= u'a' && letter <= u'z' ? static_cast<WCHAR>(letter - u'a' + u'A') : letter;
}

void LogFileInformation(const SFileForProcessing& entry, const std::shared_ptr<CVolume>& volume) {
  SX_LOG_FUNCTION("NativeMain");
  SX_LOG(1, "%s", CFileInformationDumper::GetFileInformationString(entry.path_, volume).c_str());
}

// Opens the volume of `letter` with its bitmap cache and execution context; null (after logging) when it cannot.
std::shared_ptr<SVolumeExecutionContext> OpenVolumeContext(WCHAR letter) {
  SX_LOG_FUNCTION("NativeMain");
  WCHAR path[8] = {};
  NtdllSnwprintf(path, 7, u"\\??\\%c:", UpperCaseLetter(letter));
  auto volume = std::make_shared<CVolume>();
  if (!volume->Initialize(path)) {
    SX_LOG(1, "Failed to initialize volume %S", path);
    return nullptr;
  }
  FlushBuffers(volume);
  ConsolePrint("Initialized Volume %C:\n", letter);
  SX_LOG(1, "Successfully initialized volume %S", path);
  auto bitmapCache = std::make_shared<CVolumeBitmapCache>(volume, true);
  auto context = std::make_shared<SVolumeExecutionContext>(volume, bitmapCache, 0.0, true);
  if (!context->Initialize()) {
    SX_LOG(1, "Failed to initialize processing context");
    return nullptr;
  }
  return context;
}

// Groups the file list into one context per volume, in the order the drive letters first appear. A letter is
// matched without regard to case: \??\c:\ and \??\C:\ name one volume, which must not be opened twice.
std::vector<std::shared_ptr<SDefragContext>> GroupFilesByVolume(const FileList& files, bool dumpFileInformation,
                                                                CIntegrityChecker* integrity) {
  std::vector<std::shared_ptr<SDefragContext>> contexts;
  for (const auto& entry : files) {
    // Every configured file gets its first digest, also one whose volume will not open.
    if (integrity != nullptr) integrity->AddFile(entry->path_);
    WCHAR letter = entry->path_.size() > 4 ? entry->path_[4] : u'\0';
    std::shared_ptr<SDefragContext> context;
    for (const auto& candidate : contexts) {
      if (candidate->executionContext_->volume_->GetDriveLetter() == UpperCaseLetter(letter)) {
        context = candidate;
        break;
      }
    }
    if (context) {
      context->files_->push_back(entry);
    } else {
      std::shared_ptr<SVolumeExecutionContext> executionContext = OpenVolumeContext(letter);
      if (!executionContext) continue;
      context = std::make_shared<SDefragContext>(
          SDefragContext{std::make_shared<FileList>(FileList{entry}), executionContext});
      contexts.push_back(context);
    }
    if (dumpFileInformation) LogFileInformation(*entry, context->executionContext_->volume_);
  }
  return contexts;
}

// One step of the wait loop: a key press that yields a character (greater than 0) aborts the volume. Without a
// keyboard no key ever comes; a wait on the processing thread then paces the loop (it returns as soon as the
// thread ends) instead of a busy poll that would take a core from the thread doing the work.
LONG PollAbortKey(CKeyboardHandler& keyboard, HANDLE thread) {
  if (keyboard.HasDevice()) return keyboard.ReadKey(kKeyPollMs);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(kKeyPollMs) * 10000;
  NtWaitForSingleObject(thread, false, &timeout);
  return -1;
}

// Defragments the files of one volume on a processing thread while the main thread watches for an abort key.
void ProcessVolume(SDefragContext& context, CKeyboardHandler& keyboard, bool dumpFileInformation) {
  SX_LOG_FUNCTION("NativeMain");
  SVolumeExecutionContext& executionContext = *context.executionContext_;
  SFileFragments fragments;
  SProcessingThreadParameters parameters{&context, &fragments};
  HANDLE thread = nullptr;
  CLIENT_ID clientId{};
  NTSTATUS status = RtlCreateUserThread(NtCurrentProcess(), nullptr, false, 0, 0, 0, &ProcessingThreadStub, &parameters,
                                        &thread, &clientId);
  if (status != STATUS_SUCCESS) {
    // No thread will ever set the finished flag: the volume fails here instead of waiting for an abort key.
    SX_LOG(1, "Failed to create processing thread (0x%x)", status);
    SX_LOG(1, "Processing failed (0x%x)", NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
    if (thread != nullptr) NtClose(thread);
    return;
  }

  // The key comes first, then the finished flag: a key pressed as the volume finishes still aborts it.
  bool aborted = false;
  do {
    aborted = PollAbortKey(keyboard, thread) > 0;
  } while (!aborted && !executionContext.IsProcessingFinished());
  if (aborted) {
    ConsolePrint("Aborting...\n");
    SX_LOG(1, "Aborting...");
    executionContext.RequestAbort();
  }
  NtWaitForSingleObject(thread, false, nullptr);
  NtClose(thread);
  if (aborted) {
    SX_LOG(1, "Processing aborted on user request");
    return;
  }
  NTSTATUS result = executionContext.GetProcessingResult();
  if (NT_SUCCESS(result)) {
    SX_LOG(1, "Processing finished successfully...");
  } else {
    SX_LOG(1, "Processing failed (0x%x)", result);
  }
  if (dumpFileInformation) {
    for (const auto& entry : *context.files_) LogFileInformation(*entry, executionContext.volume_);
  }
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

  CKeyboardHandler& keyboard = CKeyboardHandler::Instance();
  keyboard.Initialize();

  CIntegrityChecker integrity;
  std::vector<std::shared_ptr<SDefragContext>> contexts =
      GroupFilesByVolume(*files, dumpFileInformation, checkFileIntegrity ? &integrity : nullptr);
  if (!files->empty()) {
    ConsolePrint("Starting Defragmentation\n");
    ConsolePrint(kSeparator);
    // One volume at a time: the next thread starts only after the previous one has ended.
    for (const auto& context : contexts) ProcessVolume(*context, keyboard, dumpFileInformation);
  }
  if (checkFileIntegrity) integrity.PerformCheck();
  if (runMode == kRunModeOneShot) {
    // The configuration goes first: should the registry write fail, the next boot then finds nothing to do.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, configurationPath.c_str());
    OBJECT_ATTRIBUTES attributes{sizeof attributes, nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    NtDeleteFile(&attributes);
    RestoreBootSettings(crashDumpEnabledBackup, logEventBackup);
  }

  logger.WaitUntilWritten(kLogWriterPatienceMs);
  logger.Close();
  ConsolePrint(kSeparator);
  ConsolePrint("Complete\n");
  return 0;
}
