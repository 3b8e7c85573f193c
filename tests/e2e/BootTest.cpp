// Whole boots of `spindraxel boot` on real NTFS images: what the boot screen shows, the exit status, and what the
// command refuses before anything is touched.
#include <gtest/gtest.h>

#include <fstream>

#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::CommandResult;
using testsupport::RunSpindraxel;
using testsupport::TestImage;

namespace {

constexpr const char* kBanner = "Zenmoria Spindraxel\n-------------------\n";
constexpr const char* kEnding = "-------------------\nComplete\n";

class Boot : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(image_.PutFile(u"defrag.cfg", "<general>\r\nlog=0\r\n</general>\r\n")); }

  CommandResult BootWith(const std::string& commandLine, std::vector<std::string> options = {}) {
    std::vector<std::string> args{"boot", "--drive", "C=" + image_.Path()};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("--");
    args.push_back(commandLine);
    return RunSpindraxel(args);
  }

  TestImage image_;
};

TEST_F(Boot, ShowsBannerAndCompleteAndExitsWithZero) {
  CommandResult result = BootWith("sxboottime \\??\\C:\\defrag.cfg");
  EXPECT_EQ(0, result.exitStatus) << result.err;
  EXPECT_EQ(std::string(kBanner) + kEnding, result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(0, image_.RunNtfsfix().exitStatus) << "the image must stay consistent";
}

TEST_F(Boot, ConfigurationPathIsFoundWithoutRegardToCase) {
  CommandResult result = BootWith("sxboottime \\??\\c:\\DEFRAG.CFG");
  EXPECT_EQ(std::string(kBanner) + kEnding, result.out);
}

// Every one of these names no file that opens: the run ends at once, silently, with status 0.
class SilentBoot : public Boot, public testing::WithParamInterface<const char*> {};

TEST_P(SilentBoot, ShowsNothingAndExitsWithZero) {
  CommandResult result = BootWith(GetParam());
  EXPECT_EQ(0, result.exitStatus) << result.err;
  EXPECT_EQ("", result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ("<general>\r\nlog=0\r\n</general>\r\n", image_.ReadFile(u"defrag.cfg")) << "configuration untouched";
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SilentBoot,
                         testing::Values("sxboottime \\??\\C:\\missing.cfg",  // no such file
                                         "sxboottime",                        // no blank: the word is the path
                                         "sxboottime  \\??\\C:\\defrag.cfg",  // the path starts with a blank
                                         "sxboottime \\??\\C:\\defrag.cfg\\", "sxboottime \\??\\Q:\\defrag.cfg"));

TEST_F(Boot, ReaderThatCannotOpenTheFileEndsTheRunWithItsMessage) {
  // The second open of the configuration is the reader's own.
  CommandResult result = BootWith("sxboottime \\??\\C:\\defrag.cfg", {"--fault", "NtCreateFile#2=0xC0000022"});
  EXPECT_EQ(0, result.exitStatus) << "the exit status is 0 whatever the run did";
  EXPECT_EQ(std::string(kBanner) + "Failed to read configuration file. Quiting....", result.out);
}

struct RefusedCase {
  std::vector<std::string> args;
  const char* message;  // a part of the one-line error
};

void PrintTo(const RefusedCase& refused, std::ostream* out) { *out << refused.message; }

class RefusedBoot : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedBoot, GivesOneClearLineAndANonZeroStatusBeforeRunning) {
  TestImage image;
  ASSERT_TRUE(image.PutFile(u"defrag.cfg", "<general>\n</general>\n"));
  std::string notNtfs = image.Path() + ".txt";
  std::ofstream(notNtfs) << std::string(1 << 16, 'x');
  std::vector<std::string> args{"boot"};
  for (std::string arg : GetParam().args) {
    for (auto [token, value] : {std::pair<std::string, std::string>{"IMAGE", image.Path()}, {"TEXT", notNtfs}}) {
      size_t at = arg.find(token);
      if (at != std::string::npos) arg.replace(at, token.size(), value);
    }
    args.push_back(arg);
  }
  CommandResult result = RunSpindraxel(args);
  std::remove(notNtfs.c_str());
  EXPECT_NE(0, result.exitStatus);
  EXPECT_EQ("", result.out) << "nothing may run before the arguments are accepted";
  EXPECT_NE(std::string::npos, result.err.find(GetParam().message)) << result.err;
  EXPECT_EQ(0, image.RunNtfsfix().exitStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, RefusedBoot,
    testing::Values(
        RefusedCase{{"--drive", "C=/nonexistent/disk.img", "--", "sxboottime \\??\\C:\\defrag.cfg"}, "no such file"},
        RefusedCase{{"--drive", "C=TEXT", "--", "sxboottime \\??\\C:\\defrag.cfg"}, "not an NTFS volume"},
        RefusedCase{{"--drive", "CC=IMAGE", "--", "sxboottime \\??\\C:\\defrag.cfg"}, "expected LETTER=IMAGE"},
        RefusedCase{{"--drive", "1=IMAGE", "--", "sxboottime \\??\\C:\\defrag.cfg"}, "expected LETTER=IMAGE"},
        RefusedCase{{"--drive", "C", "--", "sxboottime \\??\\C:\\defrag.cfg"}, "expected LETTER=IMAGE"},
        RefusedCase{{"--drive", "C=IMAGE", "--drive", "c=IMAGE", "--", "sxboottime x"}, "given twice"},
        RefusedCase{{"--drive", "C=IMAGE", "--", "autochk *"}, "not a boot-time program"},
        RefusedCase{{"--drive", "C=IMAGE"}, "no command line"},
        RefusedCase{{"--drive", "C=IMAGE", "--fault", "NtReadFile#0=1", "--", "sxboottime x"}, "call number"},
        RefusedCase{{"--drive", "C=IMAGE", "--clock", "yesterday", "--", "sxboottime x"}, "UTC time"},
        RefusedCase{{"--speed", "fast", "--", "sxboottime x"}, "unknown option"}));

TEST(BootHelp, ExplainsEveryOptionWithAnExample) {
  CommandResult result = RunSpindraxel({"boot", "--help"});
  EXPECT_EQ(0, result.exitStatus);
  for (const char* option : {"--drive", "--fault", "--clock", "sxboottime \\??\\C:\\defrag.cfg"}) {
    EXPECT_NE(std::string::npos, result.out.find(option)) << option;
  }
}

}  // namespace
