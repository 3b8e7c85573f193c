// The log file as it reaches an NTFS image: the level filter, the 4095-character cut, whole lines from concurrent
// threads, the lock's error lines, and how Open and Close treat the writer. (Its name, line format and the lines
// queued before it opened are checked on whole boots.)
#include <gtest/gtest.h>

#include <thread>

#include "SystemImage.h"
#include "host/ntdll/faults/Faults.h"
#include "log/DataSynchronizationLock.h"
#include "log/Logger.h"

namespace {

TEST(LogFile, LinesAboveTheMaximumLevelAreDropped) {
  SX_LOG_FUNCTION("LogFile::Levels");
  CLogger::Instance().SetLevel(1);
  SX_LOG(3, "detail while the level is one");
  SX_LOG(1, "milestone while the level is one");
  CLogger::Instance().SetLevel(3);
  std::string text = LogTextWith("milestone while the level is one");
  EXPECT_EQ(std::string::npos, text.find("detail while the level is one"));
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
  logger.Close();  // the writer's stopped event is set once: waiting for it again would never end
}

}  // namespace
