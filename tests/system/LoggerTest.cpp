// The log file as it reaches an NTFS image: name, line format, level filter, the queue before the writer starts,
// the 4095-character cut, whole lines from concurrent threads, and how Open and Close treat the writer.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "SystemImage.h"
#include "host/ntdll/faults/Faults.h"
#include "log/DataSynchronizationLock.h"
#include "log/Logger.h"

namespace {

TEST(LogFile, IsNamedAfterTheUtcTimeInTheConfiguredDirectory) {
  std::string path(CLogger::Instance().GetFilePath().begin(), CLogger::Instance().GetFilePath().end());
  EXPECT_TRUE(
      std::regex_match(path, std::regex(R"(\\\?\?\\C:\\Logs\\Spindraxel_native_\d{4}_\d\d_\d\d__\d\d_\d\d_\d\d\.txt)")))
      << path;
}

TEST(LogFile, LinesQueuedBeforeOpenAreWrittenFirst) {
  std::string text = LogTextWith("queued before the log was opened");
  EXPECT_EQ(0u, text.find(LineWith(text, "queued before the log was opened")));
}

TEST(LogFile, EveryLineCarriesTimeStampFunctionLineAndLevel) {
  SX_LOG_FUNCTION("NativeMain");
  SX_LOG(1, "Successfully initialized volume %S", u"\\??\\C:");
  std::string line = LineWith(LogTextWith("initialized volume"), "initialized volume");
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\[\d{4}-\d\d-\d\d\] \[\d\d:\d\d:\d\d\.\d{3}\] NativeMain#\d+ L1 Successfully initialized )"
                       R"(volume \\\?\?\\C:\r\n)")))
      << line;
}

TEST(LogFile, LinesAboveTheMaximumLevelAreDropped) {
  SX_LOG_FUNCTION("LogFile::Levels");
  CLogger::Instance().SetLevel(1);
  SX_LOG(3, "detail while the level is one");
  SX_LOG(1, "milestone while the level is one");
  CLogger::Instance().SetLevel(3);
  std::string text = LogTextWith("milestone while the level is one");
  EXPECT_EQ(std::string::npos, text.find("detail while the level is one"));
}

TEST(LogFile, FormatEndingInLineFeedKeepsItBeforeTheLineEnd) {
  SX_LOG_FUNCTION("LogFile::LineFeed");
  SX_LOG(1, "engine message with its own line feed\n");
  std::string text = LogTextWith("own line feed");
  EXPECT_NE(std::string::npos, text.find("own line feed\n\r\n"));
}

TEST(LogFile, OverlongLineIsCutAt4095CharactersWithoutLineEnd) {
  SX_LOG_FUNCTION("LogFile::Cut");
  std::string payload(5000, 'z');
  SX_LOG(1, "%s", payload.c_str());
  SX_LOG(1, "line after the cut one");
  std::string text = LogTextWith("line after the cut one");
  size_t start = text.find("LogFile::Cut#");
  ASSERT_NE(std::string::npos, start);
  start = text.rfind("\r\n", start) + 2;
  size_t next = text.find("[", text.find('z', start));
  EXPECT_EQ(4095u, next - start) << "the cut line runs straight into the next line";
  EXPECT_EQ(std::string::npos, text.substr(start, next - start).find('\r'));
}

TEST(LogFile, LinesFromTwoThreadsNeverMixWithinALine) {
  SX_LOG_FUNCTION("LogFile::Threads");
  auto writer = [](char fill) {
    SX_LOG_FUNCTION("LogFile::Threads");
    std::string payload(300, fill);
    for (int i = 0; i < 200; ++i) SX_LOG(1, "%s", payload.c_str());
  };
  std::thread first(writer, 'a'), second(writer, 'b');
  first.join();
  second.join();
  SX_LOG(1, "both threads done");
  std::string text = LogTextWith("both threads done");
  int whole = 0;
  for (size_t at = text.find("LogFile::Threads#"); at != std::string::npos;
       at = text.find("LogFile::Threads#", at + 1)) {
    std::string line = LineWith(text.substr(at), "L1 ");
    std::string payload = line.substr(line.find("L1 ") + 3);
    if (payload.rfind("both", 0) == 0) continue;
    ASSERT_EQ(302u, payload.size()) << payload;
    EXPECT_EQ(std::string(300, payload[0]) + "\r\n", payload);
    ++whole;
  }
  EXPECT_EQ(400, whole);
}

TEST(DataSynchronizationLock, UninitializedLockLogsOnLockAndOnUnlock) {
  CDataSynchronizationLock lock;
  lock.Lock();
  lock.Unlock();
  SX_LOG_FUNCTION("Lock::Marker");
  SX_LOG(1, "after the uninitialized pair");
  std::string text = LogTextWith("after the uninitialized pair");
  std::string tail = text.substr(text.rfind("CDataSynchronizationLock::Lock#"));
  EXPECT_NE(std::string::npos, tail.find("L1 ERROR: Object was not properly initialized\r\n"));
  EXPECT_NE(std::string::npos, tail.find("L1 ERROR occured while releasing the data lock. CODE: 0xc0000008\r\n"));
}

TEST(DataSynchronizationLock, ErrorStatusesAreLoggedWarningsAreNot) {
  CDataSynchronizationLock lock;
  lock.Initialize();
  ASSERT_TRUE(lock.IsInitialized());
  FailNextCallOnThisThread("NtWaitForSingleObject#1=0x80000005");
  FailNextCallOnThisThread("NtReleaseMutant#1=0x80000005");
  lock.Lock();
  lock.Unlock();
  host::ClearFaultRules();
  FailNextCallOnThisThread("NtWaitForSingleObject#1=0xC0000008");
  lock.Lock();
  host::ClearFaultRules();
  lock.Unlock();  // the failed wait took nothing, so the release is refused and logged as well
  SX_LOG_FUNCTION("Lock::Marker");
  SX_LOG(1, "after the faulted pairs");
  std::string text = LogTextWith("after the faulted pairs");
  EXPECT_EQ(std::string::npos, text.find("CODE: 0x80000005"));
  EXPECT_NE(std::string::npos, text.find("L1 ERROR occured while locking the data lock. CODE: 0xc0000008\r\n"));
  EXPECT_NE(std::string::npos, text.find("L1 ERROR occured while releasing the data lock. CODE: 0xc0000046\r\n"));
}

TEST(LoggerLifecycle, CloseWithoutWriterReturnsAtOnce) {
  CLogger logger;
  logger.Close();
}

TEST(LoggerLifecycle, LevelZeroMakesNoFileButTheWriterStillRunsAndStops) {
  CLogger logger;
  logger.Open(u"\\??\\C:\\Quiet\\", 0);
  EXPECT_TRUE(logger.GetFilePath().empty());
  EXPECT_EQ(0, logger.GetLevel());
  logger.Enqueue("discarded\r\n");
  logger.Close();
}

TEST(LoggerLifecycle, SecondOpenKeepsTheFirstFileAndOneWriter) {
  CLogger logger;
  logger.Open(u"\\??\\C:\\Second\\", 1);
  std::u16string first = logger.GetFilePath();
  logger.Open(u"\\??\\C:\\Quiet\\", 3);
  EXPECT_EQ(first, logger.GetFilePath());
  EXPECT_EQ(3, logger.GetLevel());
  logger.Enqueue("through the one writer\r\n");
  FileTextWith(first, "through the one writer");
  logger.Close();
  logger.Enqueue("after close\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(std::string::npos, ReadNativeFile(first).find("after close"));
}

TEST(LoggerLifecycle, MissingDirectoryLeavesTheRunWithoutAFileSilently) {
  CLogger logger;
  logger.Open(u"\\??\\C:\\NoSuchDirectory\\", 3);
  logger.Enqueue("nowhere to go\r\n");
  logger.Close();
  EXPECT_EQ("", ReadNativeFile(logger.GetFilePath()));
}

}  // namespace
