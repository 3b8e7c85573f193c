// spindraxel prepare: the configuration it writes into the image, the BootExecute list it leaves in the .reg file
// whatever that held before, refusals that write nothing, and a boot from what it prepared.
#include <gtest/gtest.h>

#include <algorithm>
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

const std::string kSessionManagerLine = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]";
constexpr const char* kEntry = "sxboottime \\??\\C:\\spindraxel.cfg";

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class Prepare : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\a.bin", std::string(40960, 'a'), 5));
    ASSERT_TRUE(image_.PutFile(u"Data\\b.bin", "b"));
  }
  CommandResult Run(const RegistryFile& registry, const std::vector<std::string>& more) {
    std::vector<std::string> args{"prepare", image_.Path(), "--registry", registry.Path()};
    args.insert(args.end(), more.begin(), more.end());
    return RunSpindraxel(args);
  }

  TestImage image_;
};

struct RegistryCase {
  const char* name;
  const char* before;  // the .reg text; nullptr for no file
  std::vector<std::string> bootExecute;
};
void PrintTo(const RegistryCase& given, std::ostream* out) { *out << given.name; }

const std::string kOtherValue = "\"ObjectDirectories\"=hex(7):00,00";

const RegistryCase kRegistryCases[] = {
    {"MissingFileGetsAutocheckFirst", nullptr, {"autocheck autochk *", kEntry}},
    {"EntryIsAppended",
     "\"BootExecute\"=hex(7):61,00,00,00,00,00",  // one entry, "a"
     {"a", kEntry}},
    {"EntryAlreadyThereInAnotherCaseIsNotAddedTwice",
     "\"BootExecute\"=hex(7):53,00,58,00,42,00,4f,00,4f,00,54,00,54,00,49,00,4d,00,45,00,20,00,5c,00,3f,00,3f,00,5c,"
     "00,63,00,3a,00,5c,00,53,00,50,00,49,00,4e,00,44,00,52,00,41,00,58,00,45,00,4c,00,2e,00,43,00,46,00,47,00,00,"
     "00,00,00",
     {"SXBOOTTIME \\??\\c:\\SPINDRAXEL.CFG"}},
    {"MissingValueGetsTheEntryAlone", "\"Other\"=dword:00000001", {kEntry}},
};

class PrepareRegistry : public Prepare, public testing::WithParamInterface<RegistryCase> {};

TEST_P(PrepareRegistry, LeavesBootExecuteWithTheEntryOnceAndEveryOtherValue) {
  const RegistryCase& given = GetParam();
  const std::string before =
      given.before ? RegText({kSessionManagerLine, given.before, kOtherValue, "", "[HKEY_USERS\\.DEFAULT]"}) : "";
  RegistryFile registry(before);
  if (!given.before) std::filesystem::remove(registry.Path());

  CommandResult result = Run(registry, {"--file", "Data/a.bin"});
  ASSERT_EQ(0, result.exitStatus) << result.err;
  EXPECT_EQ(given.bootExecute, registry.BootExecute());
  if (given.before) {
    EXPECT_TRUE(registry.Value(testsupport::kSessionManagerKey, u"ObjectDirectories"));
    ASSERT_TRUE(registry.Read());
    EXPECT_TRUE(registry.Read()->Subkey(u"USER")->Subkey(u".DEFAULT"));
  }
  if (given.bootExecute.size() == 1 && given.bootExecute[0] != kEntry) {
    EXPECT_EQ(before, registry.Bytes()) << "nothing changed, so the file must not be rewritten";
  }
  EXPECT_EQ(std::vector<std::string>{}, registry.OtherFiles());
}

INSTANTIATE_TEST_SUITE_P(Files, PrepareRegistry, testing::ValuesIn(kRegistryCases),
                         [](const testing::TestParamInfo<RegistryCase>& info) { return info.param.name; });

TEST_F(Prepare, ConfigurationHoldsEveryOptionAndTheLogFolderIsMade) {
  RegistryFile registry(RegText({}));
  CommandResult result = Run(registry, {"--file", "/Data/a.bin", "--file", "Data\\b.bin", "--log-dir", "Logs/Boot",
                                        "--log-level", "2", "--check-integrity", "--report", "--one-shot"});
  ASSERT_EQ(0, result.exitStatus) << result.err;
  EXPECT_EQ(
      "<general>\r\nlog=2\r\nlog_dir=\\??\\C:\\Logs\\Boot\\\r\ncheck_file_integrity=1\r\ndump_file_information=1\r\n"
      "run_mode=1\r\n</general>\r\n"
      "<file>\r\npath=\\??\\C:\\Data\\a.bin\r\nmode=defrag\r\n</file>\r\n"
      "<file>\r\npath=\\??\\C:\\Data\\b.bin\r\nmode=defrag\r\n</file>\r\n",
      image_.Ntfscat("/spindraxel.cfg"));
  EXPECT_NE(std::string::npos,
            result.out.find("spindraxel boot --registry " + registry.Path() + " --drive C=" + image_.Path() + "\n"));
  EXPECT_TRUE(image_.PutFile(u"Logs\\Boot\\probe", "")) << "the log folder must exist";
}

struct RefusalCase {
  const char* name;
  const char* registry;
  std::vector<std::string> options;
  const char* error;  // after "spindraxel prepare: "
};
void PrintTo(const RefusalCase& given, std::ostream* out) { *out << given.name; }

const RefusalCase kRefusals[] = {
    {"MissingFile",
     "",
     {"--file", "Data/a.bin", "--file", "Data/missing.bin"},
     "--file Data/missing.bin: no such file"},
    {"FolderAsFile", "", {"--file", "Data"}, "--file Data: is a folder"},
    {"LogFolderIsAFile", "", {"--file", "Data/a.bin", "--log-dir", "Data/b.bin"}, "--log-dir Data/b.bin: is a file"},
    {"BootExecuteNotAList",
     "\"BootExecute\"=\"autocheck autochk *\"",
     {"--file", "Data/a.bin"},
     "BootExecute is of type 1, not REG_MULTI_SZ (7); it was left as it is"},
};

class PrepareRefusal : public Prepare, public testing::WithParamInterface<RefusalCase> {};

TEST_P(PrepareRefusal, WritesNothing) {
  RegistryFile registry(RegText({kSessionManagerLine, GetParam().registry}));
  const std::string imageBefore = FileBytes(image_.Path());
  const std::string registryBefore = registry.Bytes();
  CommandResult result = Run(registry, GetParam().options);
  EXPECT_EQ(1, result.exitStatus);
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find(GetParam().error)) << result.err;
  EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
  EXPECT_TRUE(imageBefore == FileBytes(image_.Path())) << "the image changed";
  EXPECT_EQ(registryBefore, registry.Bytes());
}

INSTANTIATE_TEST_SUITE_P(Options, PrepareRefusal, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST_F(Prepare, TheBootItPreparesDefragmentsTheFileAndCleansUp) {
  RegistryFile registry("");
  std::filesystem::remove(registry.Path());
  ASSERT_EQ(0, Run(registry, {"--file", "Data/a.bin", "--one-shot"}).exitStatus);
  CommandResult boot = RunSpindraxel({"boot", "--registry", registry.Path(), "--drive", "C=" + image_.Path()});
  EXPECT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_NE(std::string::npos, boot.out.find("C:\\Data\\a.bin\n")) << boot.out;
  EXPECT_EQ(1u, image_.Fragments("/Data/a.bin").fragments);
  EXPECT_EQ(std::string(40960, 'a'), image_.Ntfscat("/Data/a.bin"));
  EXPECT_EQ(std::vector<std::string>{"autocheck autochk *"}, registry.BootExecute());
  EXPECT_TRUE(image_.ClustersConsistent());
}

}  // namespace
