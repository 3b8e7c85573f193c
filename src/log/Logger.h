// The system's two ways of speaking: the asynchronous log file (CLogger, Log) and the boot screen (ConsolePrint).
//
// Log formats a whole line on the caller's thread and queues it; one writer thread appends queued lines to the log
// file, so no caller ever waits for the disk. Lines logged before the log is opened wait in the queue and are
// written first once it is.
#pragma once

#include <atomic>
#include <deque>
#include <string>

#include "platform/NativeApi.h"

// Where a log statement stands: the function's name as the system names it, the source line and the level
// (1 errors and milestones, 3 engine detail).
struct SLogLocation {
  const char* Function;
  LONG Line;
  LONG Level;
};

// Names the current function once for its log statements: SX_LOG_FUNCTION("CVolume::GetVolumeInfo");
#define SX_LOG_FUNCTION(name) static constexpr const char* kSxLogFunction = name
// Logs with the function named by SX_LOG_FUNCTION and the current source line: SX_LOG(1, "Failed (0x%x)", status);
#define SX_LOG(level, ...) Log(SLogLocation{kSxLogFunction, __LINE__, (level)}, __VA_ARGS__)

// Queues one line: "<time stamp> <function>#<line> L<level> <message>\r\n", at most 4095 characters. Lines whose
// level is above the logger's maximum level are dropped before any formatting. Safe on any thread at any time.
void Log(const SLogLocation& location, const char* format, ...);

// "[YYYY-MM-DD] [HH:MM:SS.mmm]" of the current UTC system time.
std::string FormatTimestamp();

// `directory` + "Spindraxel_native_YYYY_MM_DD__HH_MM_SS.txt" (UTC); no separator is added.
std::u16string MakeLogFileName(const std::u16string& directory);

// Shows a formatted text on the boot screen. Texts are shown whole up to the longest string the display call
// takes (32767 characters); longer ones are cut. Returns 0.
LONG ConsolePrint(const char* format, ...);

class CLogger {
 public:
  // The process-wide logger, made on first use; its clean-up runs from the exit-handler list, after which Log
  // does nothing.
  static CLogger& Instance();

  CLogger();
  ~CLogger();
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  void SetLevel(LONG level);
  LONG GetLevel() const { return maxLevel_.load(std::memory_order_relaxed); }

  // Sets the maximum level, creates the log file in `directory` when the level is above 0, and starts the writer.
  // A second call in one run (a configuration with two general sections) sets the level and creates the file if
  // none exists yet, but never starts a second writer: one writer keeps the lines in order.
  void Open(const std::u16string& directory, LONG level);

  // Waits until every line queued so far is written, or until the writer has written nothing for `milliseconds`.
  // The main sequence calls it before Close, which stops the writer at its next wake-up: the lines of a run's last
  // moments would be lost otherwise. It bounds only this wait: Close still waits, without a limit, for the writer
  // to finish the lines it is writing and stop. Returns at once without a writer.
  void WaitUntilWritten(LONG milliseconds);

  // Stops the writer and waits for it; a second call returns at once. Without a writer it returns at once; queued
  // lines then stay unwritten.
  // The log file stays open until the process ends.
  void Close();

  // Appends a complete line to the queue and wakes the writer.
  void Enqueue(const char* line);

  const std::u16string& GetFilePath() const { return filePath_; }

 private:
  static NTSTATUS NTAPI WriterThread(PVOID parameter);
  void RunWriter();
  void CreateLogFile(const std::u16string& directory);
  bool IsStopRequested();

  HANDLE writerThread_ = nullptr;
  HANDLE file_ = nullptr;
  HANDLE linesQueued_ = nullptr;
  HANDLE writerStopped_ = nullptr;
  HANDLE lock_ = nullptr;
  HANDLE linesWritten_ = nullptr;  // set by the writer whenever nothing is left unwritten
  bool stopRequested_ = false;
  bool writerEnded_ = false;  // Close has seen the writer stop (main thread only)
  // Lines queued and not yet written: the queue plus the one the writer holds.
  size_t unwritten_ = 0;
  std::u16string filePath_;
  std::deque<std::string> queue_;
  // Read without the lock by every Log call; atomic so that the unlocked read is well defined.
  std::atomic<LONG> maxLevel_{3};
};
