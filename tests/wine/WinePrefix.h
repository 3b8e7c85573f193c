// The Wine prefix the wine tests share, and headless runs of the native programs in it. tests/wine/wine-prefix
// makes the prefix once (CTest's wine.prefix fixture) and keeps it for later runs; a test that finds no prefix
// makes it itself.
//
//   class MyTest : public winetest::WineTest {};                 // skipped when Wine or the programs are missing
//   TEST_F(MyTest, Banner) {
//     WriteDriveC("defrag.cfg", "<general>\r\nlog=0\r\n</general>\r\n");
//     winetest::WineRun run = wine().RunProgram("sxboottime.exe", "\\??\\C:\\defrag.cfg");
//     EXPECT_EQ("Zenmoria Spindraxel\n...", run.screen);
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
  int exitStatus = -1;  // the low byte of the status the program ended with; -1 when it was killed
  bool timedOut = false;
  std::string screen;  // what the program showed with NtDisplayString, decoded from Wine's trace
  bool screenCut = false;
  std::string trace;  // Wine's standard error, for failure messages
};

class WinePrefix {
 public:
  // Why the wine tests cannot run here ("" when they can): Wine or the Windows build missing.
  static std::string Unavailable();

  // Makes the prefix when it is not there yet; false with the script's output in *error.
  bool Ensure(std::string* error) const;

  std::string Path() const;
  std::string DriveC() const;  // the directory C:\ is

  // Copies `program` (a file of the Windows build, such as "sxboottime.exe") to C:\ and runs it as C:\PROGRAM with
  // `argument` after one blank, the way the Session Manager passes a BootExecute entry's argument.
  WineRun RunProgram(const std::string& program, const std::string& argument) const;
  // Runs a Wine command such as {"reg", "add", ...}.
  testsupport::CommandResult Wine(const std::vector<std::string>& args) const;
  // The .reg text `reg export` gives for `key` (such as HKLM\System\...); "" when the key is missing.
  std::string ExportKey(const std::string& key) const;
};

// The base of the wine tests: skips each test with the reason when Wine cannot run here.
class WineTest : public testing::Test {
 protected:
  void SetUp() override;

  const WinePrefix& wine() const { return wine_; }
  // Files in C:\ of the prefix, by a name relative to it ("Logs/x.txt").
  void WriteDriveC(const std::string& name, const std::string& bytes) const;
  std::string ReadDriveC(const std::string& name) const;
  bool ExistsOnDriveC(const std::string& name) const;
  // The names in C:\ (or a directory below it) that match `pattern` (an ECMAScript regular expression).
  std::vector<std::string> ListDriveC(const std::string& pattern, const std::string& directory = "") const;
  void RemoveFromDriveC(const std::string& name) const;

 private:
  WinePrefix wine_;
};

}  // namespace winetest
