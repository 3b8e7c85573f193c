// The Wine prefix the wine tests share, and headless runs of the native programs in it. tests/wine/wine-prefix
// makes the prefix once (CTest's wine.prefix fixture) and keeps it for later runs; a test that finds no prefix
// makes it itself.
//
//   class MyTest : public winetest::WineTest {};  // skipped, saying why, when Wine or the programs are missing
//   TEST_F(MyTest, Banner) {
//     std::ofstream(DriveC("defrag.cfg")) << "<general>\r\nlog=0\r\n</general>\r\n";
//     EXPECT_EQ("Zenmoria Spindraxel\n...", RunProgram("sxboottime.exe", "\\??\\C:\\defrag.cfg").screen);
//   }
//
// Every Wine process started here has its standard streams on files: the services Wine starts with the first
// program inherit them, and a pipe they hold open would never reach its end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/CommandRunner.h"

namespace winetest {

struct WineRun {
  int exitStatus = -1;     // the low byte of the status the program ended with; -1 when it was killed or timed out
  std::string screen;      // what the program showed with NtDisplayString, decoded from Wine's trace
  bool screenCut = false;  // a text of it was too long for the trace to show whole
  std::string trace;       // Wine's standard error, for failure messages
};

class WineTest : public testing::Test {
 protected:
  void SetUp() override;

  // The host path of `name` in the prefix's C:\ ("Logs/x.txt").
  static std::string DriveC(const std::string& name = "");
  // The names in C:\ that match `pattern` (an ECMAScript regular expression), sorted.
  static std::vector<std::string> ListDriveC(const std::string& pattern);
  // Copies `program` of the Windows build (such as "sxboottime.exe") to C:\ and runs it as C:\PROGRAM with
  // `argument` after one blank, the way the Session Manager passes a BootExecute entry's argument.
  static WineRun RunProgram(const std::string& program, const std::string& argument);
  // Copies spindraxel.exe and sxboottime.exe of the Windows build to C:\ and runs C:\spindraxel.exe with `args`.
  static testsupport::CommandResult RunCompanion(const std::vector<std::string>& args);
  // Runs a Wine command such as {"reg", "add", ...}.
  static testsupport::CommandResult Wine(const std::vector<std::string>& args);
  // The .reg text `reg export` gives for `key` (such as HKLM\System\...); "" when the key is missing.
  static std::string ExportKey(const std::string& key);
};

}  // namespace winetest
