// spindraxel boot --dry-run: the boot runs as usual on the screen, every move is refused, and neither the image
// nor the .reg file changes by a single byte, though the program writes its log and a one-shot run cleans up.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "support/CommandRunner.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using testsupport::CommandResult;
using testsupport::MultiStringHex;
using testsupport::RegistryFile;
using testsupport::RegText;
using testsupport::RunSpindraxel;
using testsupport::TestImage;

namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

struct DryRunCase {
  const char* name;
  const char* general;  // the configuration's general section
  bool fromRegistry;    // booted from BootExecute rather than a command line
};
void PrintTo(const DryRunCase& given, std::ostream* out) { *out << given.name; }

const DryRunCase kCases[] = {
    {"OneShotFromBootExecute", "log=1\r\nlog_dir=\\??\\C:\\Logs\\\r\nrun_mode=1\r\n", true},
    {"CommandLineWithIntegrityCheck", "log=1\r\nlog_dir=\\??\\C:\\\r\ncheck_file_integrity=1\r\n", false},
};

class DryRunBoot : public testing::TestWithParam<DryRunCase> {};

TEST_P(DryRunBoot, ChangesNeitherImageNorRegistryAndShowsTheLog) {
  TestImage image;
  ASSERT_TRUE(image.PutFragmentedFile(u"Data\\a.bin", std::string(40960, 'a'), 5));
  ASSERT_TRUE(image.MakeDirectory(u"Logs"));
  ASSERT_TRUE(image.PutFile(u"sx.cfg", std::string("<general>\r\n") + GetParam().general +
                                           "</general>\r\n<file>\r\npath=\\??\\C:\\Data\\a.bin\r\nmode=defrag\r\n"
                                           "</file>\r\n"));
  RegistryFile registry(RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                                 "\"BootExecute\"=" + MultiStringHex({"sxboottime \\??\\C:\\sx.cfg"})}));
  const std::string temporary = std::filesystem::path(image.Path()).parent_path().string() + "/tmp";
  std::filesystem::create_directory(temporary);
  setenv("TMPDIR", temporary.c_str(), 1);
  const std::string imageBefore = FileBytes(image.Path());
  const std::string registryBefore = registry.Bytes();

  std::vector<std::string> args{"boot", "--dry-run", "--registry", registry.Path(), "--drive", "C=" + image.Path()};
  if (!GetParam().fromRegistry) args.insert(args.end(), {"--", "sxboottime \\??\\C:\\sx.cfg"});
  CommandResult result = RunSpindraxel(args);
  unsetenv("TMPDIR");

  EXPECT_EQ(0, result.exitStatus) << result.err;
  EXPECT_NE(std::string::npos, result.out.find("\nC:\\Data\\a.bin\n")) << result.out;
  EXPECT_NE(std::string::npos, result.out.find("Complete\n")) << result.out;
  EXPECT_NE(std::string::npos, result.err.find("the log it wrote, C:\\")) << result.err;
  EXPECT_NE(std::string::npos, result.err.find("failed with result=0xc0000022")) << result.err;
  EXPECT_TRUE(imageBefore == FileBytes(image.Path())) << "the dry run changed the image";
  EXPECT_EQ(registryBefore, registry.Bytes());
  EXPECT_TRUE(std::filesystem::is_empty(temporary)) << "the copies must be deleted";
  EXPECT_EQ(5u, image.Fragments("/Data/a.bin").fragments);
}

INSTANTIATE_TEST_SUITE_P(Boots, DryRunBoot, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DryRunCase>& info) { return info.param.name; });

TEST(DryRunRefusal, APartitionIsNotCopied) {
  CommandResult result = RunSpindraxel({"boot", "--dry-run", "--drive", "C=/dev/null", "--", "sxboottime x"});
  EXPECT_EQ(2, result.exitStatus);
  EXPECT_EQ("", result.out);
  EXPECT_EQ(
      "spindraxel boot: --dry-run: /dev/null: not an image file (a dry run copies each image, which a "
      "partition is too big for)\n",
      result.err);
}

}  // namespace
