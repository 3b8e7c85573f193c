// The companion under Wine, against Wine's registry and the prefix's C:, and the same commands on the host over an
// image and a registry file: the same configuration text and the same BootExecute on both.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "WinePrefix.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

namespace {

constexpr char kSessionManager[] = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr char kCrashControl[] = "HKLM\\System\\CurrentControlSet\\Control\\CrashControl";
const std::vector<std::string> kBootExecute = {"autocheck autochk *", "other \\??\\C:\\x"};

// A Windows console program ends its lines with CRLF.
testsupport::CommandResult Lf(testsupport::CommandResult result) {
  for (std::string* text : {&result.out, &result.err}) {
    for (size_t at; (at = text->find("\r\n")) != std::string::npos;) text->erase(at, 1);
  }
  return result;
}

class Companion : public winetest::WineTest {
 protected:
  static testsupport::CommandResult Run(const std::vector<std::string>& args) { return Lf(RunCompanion(args)); }
};

TEST_F(Companion, SchedulesReportsAndCancelsAsOnTheHost) {
  std::string list;
  for (const std::string& entry : kBootExecute) list += (list.empty() ? "" : "\\0") + entry;
  ASSERT_EQ(
      0, Wine({"reg", "add", kSessionManager, "/v", "BootExecute", "/t", "REG_MULTI_SZ", "/d", list, "/f"}).exitStatus);
  for (const auto& [name, value] : {std::pair{"CrashDumpEnabled", "7"}, std::pair{"LogEvent", "0"}}) {
    ASSERT_EQ(0, Wine({"reg", "add", kCrashControl, "/v", name, "/t", "REG_DWORD", "/d", value, "/f"}).exitStatus);
  }
  std::filesystem::remove_all(DriveC("Data"));
  std::filesystem::create_directories(DriveC("Data"));
  std::ofstream(DriveC("Data/big.bin")) << "content";
  const std::vector<std::string> schedule = {"schedule", "C:\\Data\\big.bin", "--one-shot", "--check-integrity"};

  EXPECT_EQ(0, Run({"install"}).exitStatus);
  const testsupport::CommandResult wine = Run(schedule);
  ASSERT_EQ(0, wine.exitStatus) << wine.err;
  const std::string configuration = testsupport::FileBytes(DriveC("spindraxel.cfg"));
  const std::vector<std::string> bootExecute = testsupport::RegistryFile(ExportKey(kSessionManager)).BootExecute();
  EXPECT_EQ((std::vector<std::string>{kBootExecute[0], "sxboottime \\??\\C:\\spindraxel.cfg", kBootExecute[1]}),
            bootExecute);
  const testsupport::CommandResult status = Run({"status"});
  EXPECT_NE(std::string::npos, status.out.find("A run is scheduled for the next boot: sxboottime \\??\\C:\\spindraxel.cfg\n"
                                               "  log level 3 into C:\\spindraxel\\logs\\, integrity check, one-shot\n"
                                               "  C:\\Data\\big.bin\n"))
      << status.out << status.err;
  EXPECT_EQ(2, Run({"uninstall"}).exitStatus) << "refused while a run is scheduled";
  // Wine has no file-system controls: what needs them says so in one line.
  const testsupport::CommandResult analyze = Run({"analyze", "C:\\Data\\big.bin"});
  EXPECT_EQ(2, analyze.exitStatus);
  EXPECT_EQ("spindraxel analyze: C: the file system does not answer the NTFS controls (0xC00000BB): not an NTFS "
            "volume, or not Windows\n",
            analyze.err);
  const testsupport::CommandResult cancel = Run({"cancel"});
  EXPECT_EQ("Removed from BootExecute: sxboottime \\??\\C:\\spindraxel.cfg\nRemoved C:\\spindraxel.cfg\n", cancel.out);
  EXPECT_EQ(kBootExecute, testsupport::RegistryFile(ExportKey(kSessionManager)).BootExecute());
  EXPECT_FALSE(std::filesystem::exists(DriveC("spindraxel.cfg")));
  EXPECT_EQ(0, Run({"uninstall"}).exitStatus);
  EXPECT_FALSE(std::filesystem::exists(DriveC("windows/system32/sxboottime.exe")));

  // The host: the same machine as an image and a registry file.
  testsupport::TestImage image;
  ASSERT_TRUE(image.PutFile(u"Data\\big.bin", "content"));
  testsupport::RegistryFile registry(testsupport::RegText(
      {"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
       "\"BootExecute\"=" + testsupport::MultiStringHex(kBootExecute), "",
       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]", "\"CrashDumpEnabled\"=dword:00000007",
       "\"LogEvent\"=dword:00000000"}));
  const std::vector<std::string> machine = {"--drive", "C=" + image.Path(), "--registry", registry.Path()};
  std::vector<std::string> install{"install"}, hostSchedule = schedule;
  install.insert(install.end(), machine.begin(), machine.end());
  hostSchedule.insert(hostSchedule.end(), machine.begin(), machine.end());
  ASSERT_EQ(0, testsupport::RunSpindraxel(install).exitStatus);
  const testsupport::CommandResult host = testsupport::RunSpindraxel(hostSchedule);
  ASSERT_EQ(0, host.exitStatus) << host.err;
  EXPECT_EQ(configuration, image.Ntfscat("/spindraxel.cfg"));
  EXPECT_EQ(bootExecute, registry.BootExecute());
  EXPECT_EQ(wine.out, host.out);
}

}  // namespace
