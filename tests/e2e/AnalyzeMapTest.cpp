// `spindraxel analyze` and `spindraxel map` as a user runs them: their help, the arguments they refuse, the text
// and JSON reports on a fragmented image, and a map written to a file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::CommandResult;
using testsupport::RunSpindraxel;
using testsupport::TestImage;

namespace {

struct HelpCase {
  std::vector<std::string> args;
  const char* usage;  // the first line
};
void PrintTo(const HelpCase& help, std::ostream* out) { *out << help.usage; }

class CommandHelp : public testing::TestWithParam<HelpCase> {};

TEST_P(CommandHelp, AnswersWithUsageAndExamples) {
  CommandResult result = RunSpindraxel(GetParam().args);
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_EQ(0u, result.out.rfind(GetParam().usage, 0)) << result.out;
  EXPECT_NE(std::string::npos, result.out.find("\nExamples:\n  spindraxel ")) << result.out;
  EXPECT_EQ("", result.err);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandHelp,
    testing::Values(HelpCase{{"analyze", "--help"}, "Usage: spindraxel analyze IMAGE [PATH...] [--json]"},
                    HelpCase{{"help", "analyze"}, "Usage: spindraxel analyze IMAGE"},
                    HelpCase{{"map", "--help"}, "Usage: spindraxel map IMAGE --out FILE.png [--highlight PATH...]"},
                    HelpCase{{"map", "disk.img", "-h"}, "Usage: spindraxel map IMAGE"}));

struct RefusedCase {
  std::vector<std::string> args;  // IMAGE at the start of one stands for a real image
  const char* message;            // a part of the one-line error
};
void PrintTo(const RefusedCase& refused, std::ostream* out) { *out << refused.message; }

class RefusedArguments : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedArguments, GiveOneClearLineAndStatusTwo) {
  TestImage image;
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(arg.rfind("IMAGE", 0) == 0 ? image.Path() + arg.substr(5) : arg);
  }
  const std::string out = image.Path() + ".png";
  CommandResult result = RunSpindraxel(args);
  EXPECT_EQ(2, result.exitStatus);
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find(GetParam().message)) << result.err;
  EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is written after a refusal";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, RefusedArguments,
    testing::Values(
        RefusedCase{{"analyze", "IMAGE", "--fast"}, "unknown option --fast\nTry 'spindraxel analyze --help'.\n"},
        RefusedCase{{"analyze", "IMAGE", "--top", "x"}, "--top takes"},
        RefusedCase{{"analyze", "IMAGE", "a.bin", "--all"}, "only without PATH"},
        RefusedCase{{"analyze", "/nonexistent.img"}, "cannot open /nonexistent.img"},
        RefusedCase{{"map", "IMAGE", "--out", "IMAGE.png", "--colour"}, "unknown option --colour\nTry 'spindraxel map"},
        RefusedCase{{"map", "IMAGE"}, "no picture to write: add --out FILE.png"},
        RefusedCase{{"map", "IMAGE", "--out", "IMAGE.png", "--width", "100"}, "--width takes a number of pixels"},
        RefusedCase{{"map", "IMAGE", "--out", "IMAGE.png", "--highlight"}, "--highlight needs at least one PATH"},
        RefusedCase{{"map", "IMAGE", "--out", "IMAGE.png", "--highlight", "none.bin"}, "none.bin: No such file"}));

class Reports : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\big.bin", std::string(40 * 4096, 'b'), 8));
    ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\Größe.bin", std::string(6 * 4096, 'g'), 3));
    ASSERT_TRUE(image_.PutFile(u"Data\\whole.bin", std::string(5 * 4096, 'w')));
  }
  TestImage image_;
};

TEST_F(Reports, TextListsTheFragmentedFilesMostFragmentedFirst) {
  CommandResult result = RunSpindraxel({"analyze", image_.Path()});
  EXPECT_EQ(0, result.exitStatus) << result.err;
  EXPECT_NE(std::string::npos, result.out.find("  Fragmented files:    2\n"));
  EXPECT_NE(std::string::npos, result.out.find("  Fragments per fragmented file: 5.50\n"));
  EXPECT_NE(std::string::npos, result.out.find("The 2 fragmented files, most fragmented first:\n"
                                               "  Fragments      Clusters  Path\n"
                                               "          8            40  /Data/big.bin\n"
                                               "          3             6  /Data/Größe.bin\n"))
      << result.out;

  result = RunSpindraxel({"analyze", image_.Path(), "--top", "1"});
  EXPECT_NE(std::string::npos,
            result.out.find("The 1 most fragmented of 2 fragmented files (--top N or --all for more):\n"
                            "  Fragments      Clusters  Path\n"
                            "          8            40  /Data/big.bin\n"))
      << result.out;
}

TEST_F(Reports, JsonEscapesWhatItQuotesAndListsEachPathAsGiven) {
  // Linux lets an image's name hold what JSON must escape, and bytes that are not UTF-8.
  const std::string odd = std::filesystem::path(image_.Path()).parent_path().string() + "/we\"ird\\na\x01me\xff.img";
  ASSERT_EQ(0, link(image_.Path().c_str(), odd.c_str()));
  CommandResult result = RunSpindraxel({"analyze", odd, "data\\BIG.bin", "missing.bin", "Data/whole.bin", "--json"});
  EXPECT_EQ(2, result.exitStatus) << "a PATH was missing";
  EXPECT_NE(std::string::npos, result.err.find("missing.bin: No such file or directory")) << result.err;
  EXPECT_NE(std::string::npos, result.out.find("we\\\"ird\\\\na\\u0001me\xEF\xBF\xBD.img\",\n")) << result.out;
  EXPECT_NE(std::string::npos, result.out.find("  \"fragmentedFileCount\": 2,\n  \"fragmentCount\": ")) << result.out;
  EXPECT_NE(std::string::npos,
            result.out.find("  \"files\": [\n"
                            "    {\"path\": \"data\\\\BIG.bin\", \"clusters\": 40, \"fragments\": 8},\n"
                            "    {\"path\": \"Data/whole.bin\", \"clusters\": 5, \"fragments\": 1}\n"
                            "  ]\n}\n"))
      << result.out;
}

TEST_F(Reports, MapIsWrittenAsAPngOfTheRequestedWidth) {
  const std::string out = image_.Path() + ".png";
  CommandResult result = RunSpindraxel({"map", image_.Path(), "--out", out, "--width", "800", "--highlight",
                                        "Data/big.bin", "--highlight", "DATA\\GRÖßE.bin", "data/whole.bin"});
  EXPECT_EQ(0, result.exitStatus) << result.err;
  EXPECT_EQ(0u, result.out.rfind(out + ": 800 x ", 0)) << result.out;
  std::ifstream png(out, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
  EXPECT_EQ(0u, bytes.rfind("\x89PNG\r\n\x1a\n", 0));
  EXPECT_EQ(std::string("\0\0\x03\x20", 4), bytes.substr(16, 4)) << "IHDR width 800";
}

}  // namespace
