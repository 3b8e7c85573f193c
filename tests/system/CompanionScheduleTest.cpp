// Scheduling on a machine that refuses part of the work: a run is scheduled whole or not at all, with one line
// saying what was refused.
#include <gtest/gtest.h>

#include "SystemImage.h"
#include "companion/NativeFiles.h"
#include "companion/Schedule.h"
#include "host/ntdll/registry/Registry.h"
#include "support/RegistryFile.h"

namespace {

TEST(CompanionSchedule, RefusedRegistryLeavesNoFolderNorConfiguration) {
  std::string error;
  ASSERT_TRUE(host::LoadRegistryText(
      testsupport::RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                            "\"BootExecute\"=" + testsupport::MultiStringHex({"autocheck autochk *"})}),
      "machine.reg", &error))
      << error;
  WriteNativeFile(u"\\??\\C:\\scheduled.bin", "x");
  companion::SRunSettings run;
  run.files = {u"\\??\\C:\\scheduled.bin"};
  run.logDirectory = u"\\??\\C:\\ScheduleLogs\\Run";
  run.configPath = u"\\??\\C:\\schedule.cfg";
  companion::SScheduled scheduled;

  // Not elevated: known before anything is written.
  FailNextCallOnThisThread("NtOpenKey#1=0xC0000022");
  EXPECT_FALSE(companion::ScheduleRun(run, &scheduled, &error));
  EXPECT_EQ("not running elevated: BootExecute may not be changed (run it from an administrator's command prompt)",
            error);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, companion::FileKind(u"\\??\\C:\\ScheduleLogs"));
  // The value refused at the last step: the configuration written just before goes again.
  FailNextCallOnThisThread("NtSetValueKey#1=0xC000009A");
  EXPECT_FALSE(companion::ScheduleRun(run, &scheduled, &error));
  EXPECT_EQ("BootExecute cannot be written: 0xC000009A; nothing was changed", error);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, companion::FileKind(run.configPath));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, companion::FileKind(u"\\??\\C:\\ScheduleLogs")) << "and the folders it made";
  host::ResetRegistry();
}

}  // namespace
