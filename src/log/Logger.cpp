#include "log/Logger.h"

#include <new>
#include <vector>

#include "native/ProcessEntry.h"
#include "volume/OpenFile.h"

namespace {

constexpr size_t kLineBufferSize = 4096;
constexpr size_t kConsoleBufferSize = 1024;
// The display call takes a counted UTF-16 string; its byte count, terminator included, must fit 16 bits.
constexpr size_t kConsoleTextLimit = 32766;

// The single instance, from its first use until its exit handler destroys it. Log does nothing once it is gone, so
// a line logged while the process ends never reaches freed memory.
CLogger* g_loggerInstance = nullptr;
bool g_loggerDestroyed = false;

void DestroyLoggerInstance() {
  // Run at once when the handler could not be registered: there is nothing yet, and the instance made next then
  // lives until the process ends.
  if (g_loggerInstance == nullptr) return;
  CLogger* instance = g_loggerInstance;
  g_loggerInstance = nullptr;
  g_loggerDestroyed = true;
  delete instance;
}

TIME_FIELDS CurrentTimeFields() {
  LARGE_INTEGER now{};
  NtQuerySystemTime(&now);
  TIME_FIELDS fields{};
  RtlTimeToTimeFields(&now, &fields);
  return fields;
}

// Appends `text` to the zero-terminated contents of `buffer` without passing its end.
void AppendBounded(char* buffer, size_t size, const char* text) {
  size_t used = strlen(buffer);
  while (*text != '\0' && used + 1 < size) buffer[used++] = *text++;
  buffer[used] = '\0';
}

// Expands a boot-screen text: in the 1024-byte buffer when it fits, else in a larger one, cut at the display limit.
std::string ExpandConsoleText(const char* format, va_list args) {
  char buffer[kConsoleBufferSize] = {};
  va_list attempt;
  va_copy(attempt, args);
  int length = NtdllVsnprintf(buffer, sizeof buffer - 1, format, attempt);
  va_end(attempt);
  if (length >= 0) return buffer;

  std::vector<char> large(kConsoleTextLimit + 1, '\0');
  va_copy(attempt, args);
  NtdllVsnprintf(large.data(), kConsoleTextLimit, format, attempt);
  va_end(attempt);
  return large.data();
}

}  // namespace

void Log(const SLogLocation& location, const char* format, ...) {
  if (g_loggerDestroyed) return;
  CLogger& logger = CLogger::Instance();
  if (location.Level > logger.GetLevel()) return;

  // The prefix becomes part of the format and is expanded a second time; time stamps and function names hold no
  // percent sign, so that changes nothing.
  char lineFormat[kLineBufferSize] = {};
  NtdllSnprintf(lineFormat, sizeof lineFormat - 1, "%s %s#%d L%d ", FormatTimestamp().c_str(), location.Function,
                location.Line, location.Level);
  AppendBounded(lineFormat, sizeof lineFormat, format);
  AppendBounded(lineFormat, sizeof lineFormat, "\r\n");

  // An expansion longer than 4095 characters is cut there, without its line end; the last byte stays zero.
  char line[kLineBufferSize] = {};
  va_list args;
  va_start(args, format);
  NtdllVsnprintf(line, sizeof line - 1, lineFormat, args);
  va_end(args);
  logger.Enqueue(line);
}

std::string FormatTimestamp() {
  TIME_FIELDS time = CurrentTimeFields();
  char buffer[128] = {};
  NtdllSnprintf(buffer, sizeof buffer - 1, "[%4d-%02d-%02d] [%02d:%02d:%02d.%03d]", time.Year, time.Month, time.Day,
                time.Hour, time.Minute, time.Second, time.Milliseconds);
  return buffer;
}

std::u16string MakeLogFileName(const std::u16string& directory) {
  TIME_FIELDS time = CurrentTimeFields();
  WCHAR stamp[64] = {};
  NtdllSnwprintf(stamp, 63, u"%4d_%02d_%02d__%02d_%02d_%02d", time.Year, time.Month, time.Day, time.Hour, time.Minute,
                 time.Second);
  return directory + u"Spindraxel_native_" + stamp + u".txt";
}

LONG ConsolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = ExpandConsoleText(format, args);
  va_end(args);

  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, text.c_str());
  UNICODE_STRING wide{};
  if (NT_SUCCESS(RtlAnsiStringToUnicodeString(&wide, &narrow, true))) {
    NtDisplayString(&wide);
    RtlFreeUnicodeString(&wide);
  }
  return 0;
}

CLogger& CLogger::Instance() {
  if (g_loggerInstance == nullptr) {
    RegisterExitHandler(&DestroyLoggerInstance);
    g_loggerInstance = new CLogger();
  }
  return *g_loggerInstance;
}

CLogger::CLogger() {
  NtCreateEvent(&linesQueued_, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, false);
  NtCreateEvent(&writerStopped_, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, false);
  NtCreateEvent(&linesWritten_, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, false);
  NtCreateMutant(&lock_, MUTANT_ALL_ACCESS, nullptr, false);
}

// The handles end with the process; the queue and the path are released here.
CLogger::~CLogger() = default;

void CLogger::SetLevel(LONG level) {
  NtWaitForSingleObject(lock_, false, nullptr);
  maxLevel_.store(level, std::memory_order_relaxed);
  NtReleaseMutant(lock_, nullptr);
}

void CLogger::Open(const std::u16string& directory, LONG level) {
  SetLevel(level);
  if (level > 0 && file_ == nullptr) CreateLogFile(directory);
  if (writerThread_ != nullptr) return;

  HANDLE thread = nullptr;
  CLIENT_ID clientId{};
  NTSTATUS status = RtlCreateUserThread(NtCurrentProcess(), nullptr, false, 0, 0, 0, &CLogger::WriterThread, this,
                                        &thread, &clientId);
  writerThread_ = status == STATUS_SUCCESS ? thread : nullptr;
}

void CLogger::CreateLogFile(const std::u16string& directory) {
  filePath_ = MakeLogFileName(directory);
  HANDLE file = nullptr;
  // A failure (no such directory, a name taken by a run in the same second) leaves the run without a log file,
  // silently: the writer then discards the lines.
  OpenFile(filePath_.c_str(), &file, GENERIC_WRITE | SYNCHRONIZE | FILE_APPEND_DATA, FILE_ATTRIBUTE_NORMAL,
           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
  NtWaitForSingleObject(lock_, false, nullptr);
  file_ = file;
  NtReleaseMutant(lock_, nullptr);
}

void CLogger::WaitUntilWritten(LONG milliseconds) {
  if (writerThread_ == nullptr) return;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  for (;;) {
    NtWaitForSingleObject(lock_, false, nullptr);
    bool written = unwritten_ == 0;
    NtReleaseMutant(lock_, nullptr);
    // The writer sets the event after every line it writes.
    if (written || NtWaitForSingleObject(linesWritten_, false, &timeout) != STATUS_SUCCESS) return;
  }
}

void CLogger::Close() {
  NtWaitForSingleObject(lock_, false, nullptr);
  stopRequested_ = true;
  NtReleaseMutant(lock_, nullptr);
  // The writer sets its stopped event once: a second Close would wait for it for ever.
  if (writerThread_ == nullptr || writerEnded_) return;
  NtSetEvent(linesQueued_, nullptr);
  NtWaitForSingleObject(writerStopped_, false, nullptr);
  writerEnded_ = true;
}

void CLogger::Enqueue(const char* line) {
  std::string copy(line);
  NtWaitForSingleObject(lock_, false, nullptr);
  queue_.push_back(std::move(copy));
  ++unwritten_;
  NtReleaseMutant(lock_, nullptr);
  NtSetEvent(linesQueued_, nullptr);
}

NTSTATUS NTAPI CLogger::WriterThread(PVOID parameter) {
  static_cast<CLogger*>(parameter)->RunWriter();
  return STATUS_SUCCESS;
}

bool CLogger::IsStopRequested() {
  NtWaitForSingleObject(lock_, false, nullptr);
  bool stop = stopRequested_;
  NtReleaseMutant(lock_, nullptr);
  return stop;
}

void CLogger::RunWriter() {
  for (;;) {
    NtWaitForSingleObject(linesQueued_, false, nullptr);
    // The stop flag wins over lines still queued: Close promises only that the writer has ended.
    if (IsStopRequested()) {
      NtSetEvent(writerStopped_, nullptr);
      NtTerminateThread(NtCurrentThread(), STATUS_SUCCESS);
      return;
    }
    bool queueEmpty = false;
    do {
      NtWaitForSingleObject(lock_, false, nullptr);
      if (queue_.empty()) {
        NtReleaseMutant(lock_, nullptr);
        break;
      }
      std::string line = std::move(queue_.front());
      queue_.pop_front();
      queueEmpty = queue_.empty();
      HANDLE file = file_;
      NtReleaseMutant(lock_, nullptr);
      if (file != nullptr) {
        IO_STATUS_BLOCK ioStatus{};
        NtWriteFile(file, nullptr, nullptr, nullptr, &ioStatus, line.data(), static_cast<ULONG>(line.size()), nullptr,
                    nullptr);
      }
      NtWaitForSingleObject(lock_, false, nullptr);
      --unwritten_;
      NtReleaseMutant(lock_, nullptr);
      NtSetEvent(linesWritten_, nullptr);
    } while (!queueEmpty);
  }
}
