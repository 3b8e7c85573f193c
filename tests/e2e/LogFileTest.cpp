// The log file a boot leaves in the image: where it is, what it is called, and that every line has the system's
// format, including the lines queued before the general section opened the log.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::CommandResult;
using testsupport::TestImage;

namespace {

const std::regex kLogName(R"(Spindraxel_native_(\d{4})_(\d\d)_(\d\d)__(\d\d)_(\d\d)_(\d\d)\.txt)");
const std::regex kLine(R"(\[\d{4}-\d\d-\d\d\] \[\d\d:\d\d:\d\d\.\d{3}\] [A-Za-z:]+#\d+ L[13] [^\r]*)");

class LogFile : public testing::Test {
 protected:
  // Boots with `configuration`.
  CommandResult Boot(const std::string& configuration, const std::string& clock = "2026-12-04T23:59:58Z") {
    EXPECT_TRUE(image_.MakeDirectory(u"Logs"));
    EXPECT_TRUE(image_.PutFile(u"defrag.cfg", configuration));
    return testsupport::RunSpindraxel(
        {"boot", "--drive", "C=" + image_.Path(), "--clock", clock, "--", "sxboottime \\??\\C:\\defrag.cfg"});
  }

  // The names in a directory of the image, one per line as ntfsls lists them.
  std::vector<std::string> List(const std::string& directory) {
    CommandResult result =
        testsupport::RunCommand({testsupport::NtfsToolPath("ntfsls"), "-p", directory, image_.Path()});
    std::vector<std::string> names;
    std::istringstream lines(result.out);
    for (std::string name; std::getline(lines, name);) {
      if (name != "." && name != "..") names.push_back(name);
    }
    return names;
  }

  TestImage image_;
};

TEST_F(LogFile, HoldsTheQueuedLinesUnderTheUtcNameInTheConfiguredDirectory) {
  CommandResult boot = Boot(
      "<unknown>\r\n</unknown>\r\n<general>\r\nlog=3\r\nlog_dir=\\??\\C:\\Logs\\\r\n"
      "</general>\r\n");
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  std::vector<std::string> names = List("/Logs");
  ASSERT_EQ(1u, names.size()) << testing::PrintToString(names);
  std::smatch stamp;
  ASSERT_TRUE(std::regex_match(names[0], stamp, kLogName)) << names[0];
  EXPECT_EQ("2026", stamp[1].str());
  EXPECT_EQ("12", stamp[2].str());
  EXPECT_TRUE(stamp[3].str() == "04" || stamp[3].str() == "05") << "the clock was started just before midnight";

  std::string log = image_.Ntfscat("/Logs/" + names[0]);
  EXPECT_NE(std::string::npos, log.find("CConfigElementManager::AddConfigElement#"))
      << "lines queued before the log opened: " << log;
  // Lines end in CRLF; a message may hold a bare line feed of its own (the keyboard lines begin with one).
  ASSERT_TRUE(log.size() >= 2 && log.compare(log.size() - 2, 2, "\r\n") == 0) << "the last line ends in CRLF";
  int count = 0;
  for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = log.substr(start, end - start);
    EXPECT_TRUE(std::regex_match(line, kLine)) << line;
    ++count;
  }
  EXPECT_GE(count, 1);
  EXPECT_EQ(0, image_.RunNtfsfix().exitStatus);
}

struct QuietCase {
  const char* what;
  std::string general;
  const char* directory;  // where no log may appear
};

void PrintTo(const QuietCase& quiet, std::ostream* out) { *out << quiet.what; }

class NoLogFile : public LogFile, public testing::WithParamInterface<QuietCase> {};

TEST_P(NoLogFile, IsMadeAndTheBootStillCompletes) {
  CommandResult boot = Boot("<general>\r\n" + GetParam().general + "</general>\r\n");
  EXPECT_EQ(0, boot.exitStatus);
  EXPECT_NE(std::string::npos, boot.out.find("Complete\n"));
  for (const std::string& name : List(GetParam().directory)) {
    EXPECT_FALSE(std::regex_search(name, std::regex("Spindraxel_native_"))) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, NoLogFile,
                         testing::Values(QuietCase{"level zero", "log=0\r\nlog_dir=\\??\\C:\\Logs\\\r\n", "/Logs"},
                                         QuietCase{"no level", "log_dir=\\??\\C:\\Logs\\\r\n", "/Logs"},
                                         QuietCase{"missing directory", "log=3\r\nlog_dir=\\??\\C:\\Missing\\\r\n",
                                                   "/"},
                                         QuietCase{"no directory", "log=3\r\n", "/"}));

TEST_F(LogFile, DirectoryWithoutTrailingBackslashPrefixesTheName) {
  CommandResult boot = Boot("<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\Logs\r\n</general>\r\n");
  EXPECT_EQ(0, boot.exitStatus);
  bool found = false;
  for (const std::string& name : List("/")) found = found || name.rfind("LogsSpindraxel_native_2026_12_0", 0) == 0;
  EXPECT_TRUE(found);
}

}  // namespace
