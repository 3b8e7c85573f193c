// The spindraxel commands around a boot, as a user runs them: `prepare` writing the configuration and the
// BootExecute entry, `analyze` and `map` reporting on an image, and what each command refuses, writing nothing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using namespace testsupport;

namespace {

const std::string kSessionManagerLine = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]";
constexpr char kPrepared[] = "sxboottime \\??\\C:\\spindraxel.cfg";
constexpr int kRefused = -1;  // any exit status but 0

// `text` with each "{image}", "{odd}" and "{reg}" replaced by the path it names.
std::string Substituted(std::string text, const std::vector<std::pair<std::string, std::string>>& paths) {
  for (const auto& [token, path] : paths) {
    for (size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, token.size(), path);
  }
  return text;
}

class Commands : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\big.bin", std::string(40 * 4096, 'b'), 8));
    ASSERT_TRUE(image_.PutFragmentedFile(u"Data\\Größe.bin", std::string(6 * 4096, 'g'), 3));
    ASSERT_TRUE(image_.PutFile(u"Data\\whole.bin", std::string(5 * 4096, 'w')));
  }

  TestImage image_;
};

struct CommandCase {
  const char* name;
  std::string named;              // what the message on standard error names; "" for no message
  std::vector<std::string> args;  // "{image}", "{odd}" (the image under an odd name) and "{reg}" stand for files
  std::string registry = "";      // a value of the Session Manager's key in {reg}
  int exitStatus = kRefused;
  std::string out = "";  // "…" for any text
};
void PrintTo(const CommandCase& given, std::ostream* out) { *out << given.name; }

std::vector<std::string> Prepare(const std::vector<std::string>& files) {
  std::vector<std::string> args{"prepare", "{image}", "--registry", "{reg}", "--file"};
  args.insert(args.end(), files.begin(), files.end());
  return args;
}

// clang-format off
const CommandCase kCommands[] = {
    {"AnalyzeListsTheFragmentedFilesMostFragmentedFirst", "", {"analyze", "{image}"}, "", 0,
     "…  Fragmented files:    2\n…  Fragments per fragmented file: 5.50\n…"
     "The 2 fragmented files, most fragmented first:\n  Fragments      Clusters  Path\n"
     "          8            40  /Data/big.bin\n          3             6  /Data/Größe.bin  (*)\n"
     "  (*) not ASCII: a boot's configuration cannot name this file\n"},
    // Linux lets an image's name hold what JSON must escape, and bytes that are not UTF-8.
    {"AnalyzeJsonEscapesWhatItQuotesAndListsEachPathAsGiven", "missing.bin",
     {"analyze", "{odd}", "data\\BIG.bin", "missing.bin", "Data/whole.bin", "--json"}, "", 1,
     "…we\\\"ird\\\\na\\u0001me\xEF\xBF\xBD.img\",\n…  \"fragmentedFileCount\": 2,\n  \"fragmentCount\": …"
     "  \"files\": [\n    {\n      \"path\": \"data\\\\BIG.bin\",\n      \"clusters\": 40,\n      \"fragments\": 8\n    },\n"
     "    {\n      \"path\": \"Data/whole.bin\",\n      \"clusters\": 5,\n      \"fragments\": 1\n    }\n  ]\n}\n"},
    {"MapIsWrittenAsAPngOfTheRequestedWidth", "",
     {"map", "{image}", "--out", "{image}.png", "--width", "800", "--highlight", "Data/big.bin", "DATA\\GRÖßE.bin"},
     "", 0, "{image}.png: 800 x …"},
    {"BootOfAMissingImage", "/nonexistent/disk.img", {"boot", "--drive", "C=/nonexistent/disk.img", "--", kPrepared}},
    {"BootOfADriveThatIsNoLetter", "CC={image}", {"boot", "--drive", "CC={image}", "--", kPrepared}},
    {"BootOfAnotherProgramsEntry", "autochk", {"boot", "--drive", "C={image}", "--", "autochk *"}},
    {"BootWithAMalformedRegistryNamesTheLine", "line 4", {"boot", "--registry", "{reg}", "--drive", "C={image}"},
     "\"Count\"=dword:12345678Z"},
    {"BootFromARegistryWithoutBootExecuteRunsNothing", "BootExecute",
     {"boot", "--registry", "{reg}", "--drive", "C={image}"}, "\"Other\"=dword:00000001", 0},
    {"BootWithAMissingRegistry", "/nonexistent/machine.reg",
     {"boot", "--registry", "/nonexistent/machine.reg", "--drive", "C={image}"}},
    {"DryRunOfAPartition", "/dev/null", {"boot", "--dry-run", "--drive", "C=/dev/null", "--", kPrepared}},
    {"PrepareOfAMissingFile", "Data/missing.bin", Prepare({"Data/big.bin", "--file", "Data/missing.bin"})},
    {"PrepareOfAFolder", "folder", Prepare({"Data"})},
    {"PrepareWithALogFolderThatIsAFile", "Data/whole.bin", Prepare({"Data/big.bin", "--log-dir", "Data/whole.bin"})},
    {"PrepareOfABootExecuteThatIsNoList", "REG_MULTI_SZ", Prepare({"Data/big.bin"}),
     "\"BootExecute\"=\"autocheck autochk *\""},
    {"MapOfAMissingFile", "none.bin", {"map", "{image}", "--out", "{image}.png", "--highlight", "none.bin"}},
    {"PrepareToARegistryInAMissingFolder", "/nonexistent/dir/",
     {"prepare", "{image}", "--registry", "/nonexistent/dir/p.reg", "--file", "Data/big.bin"}},
    {"PrepareOfANameTheConfigurationCannotCarry", "non-ASCII character at byte 8", Prepare({"Data/Größe.bin"})},
    {"DryRunNamesTheUsersRegistryFile", "{reg}, line 4", {"boot", "--dry-run", "--registry", "{reg}", "--drive",
     "C={image}"}, "\"Count\"=dword:12345678Z"},
    {"DefragWithoutFilesNamed", "--all", {"defrag", "{image}"}},
    {"DefragOfANameOnNoVolume", "Data/none.bin", {"defrag", "{image}", "Data/none.bin", "Data/big.bin"}},
    {"DefragDryRunChoosesAnyNameUnderAFolder", "", {"defrag", "{image}", "DATA/", "--dry-run"}, "", 0,
     "Would defragment 2 files (nothing is changed):\n          8 fragments            40 clusters  /Data/big.bin\n"
     "          3 fragments             6 clusters  /Data/Größe.bin\n"},
    {"BootWhoseFirstAllocationFailsEndsAsUsual", "", {"boot", "--drive", "C={image}", "--fault",
     "RtlAllocateHeap#1=0xC0000017", "--", kPrepared}, "", 0},
};
// clang-format on

class Command : public Commands, public testing::WithParamInterface<CommandCase> {};

TEST_P(Command, AnswersAsTheCaseSaysAndWritesOnlyWhenItSucceeds) {
  const CommandCase& given = GetParam();
  RegistryFile registry(RegText({kSessionManagerLine, given.registry}));
  const std::string odd = std::filesystem::path(image_.Path()).parent_path().string() + "/we\"ird\\na\x01me\xff.img";
  ASSERT_EQ(0, link(image_.Path().c_str(), odd.c_str()));
  const std::vector<std::pair<std::string, std::string>> paths{
      {"{image}", image_.Path()}, {"{odd}", odd}, {"{reg}", registry.Path()}};
  std::vector<std::string> args;
  for (const std::string& arg : given.args) args.push_back(Substituted(arg, paths));
  const std::string imageBefore = FileBytes(image_.Path()), registryBefore = registry.Bytes();

  const CommandResult result = RunSpindraxel(args);
  EXPECT_TRUE(given.exitStatus == kRefused ? result.exitStatus != 0 : result.exitStatus == given.exitStatus)
      << result.exitStatus;
  EXPECT_TRUE(imageBefore == FileBytes(image_.Path())) << "the image changed";
  EXPECT_EQ(registryBefore, registry.Bytes());
  EXPECT_TRUE(Matches(result.out, Substituted(given.out, paths)));
  EXPECT_TRUE(Matches(result.err, given.named.empty() ? "" : "…" + Substituted(given.named, paths) + "…"));
  const std::string png = FileBytes(image_.Path() + ".png");
  const std::string pngWidth800("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x03\x20", 20);
  EXPECT_EQ(given.out.find(".png") != std::string::npos ? pngWidth800 : "", png.substr(0, 20));
}

INSTANTIATE_TEST_SUITE_P(Cases, Command, testing::ValuesIn(kCommands),
                         [](const testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

struct RegistryCase {
  const char* name;
  std::string before;  // the Session Manager's BootExecute in the .reg file; "" for no file
  std::vector<std::string> after;
  std::string crash = "";  // the machine's CrashDumpEnabled and LogEvent, which a one-shot run writes back
};
void PrintTo(const RegistryCase& given, std::ostream* out) { *out << given.name; }

const RegistryCase kRegistries[] = {
    {"MissingFileIsMadeWithAutocheckFirst", "", {"autocheck autochk *", kPrepared}},
    {"EntryIsAppended", "\"BootExecute\"=" + MultiStringHex({"a"}), {"a", kPrepared}},
    {"EntryThereInAnotherCaseIsNotAddedAgain",
     "\"BootExecute\"=" + MultiStringHex({"SXBOOTTIME \\??\\c:\\SPINDRAXEL.CFG"}),
     {"SXBOOTTIME \\??\\c:\\SPINDRAXEL.CFG"}},
    {"MachineCrashSettingsAreRecorded",
     "\"BootExecute\"=" + MultiStringHex({"a"}),
     {"a", kPrepared},
     "\"CrashDumpEnabled\"=dword:00000007\r\n\"LogEvent\"=dword:00000000"},
};

class PrepareRegistry : public Commands, public testing::WithParamInterface<RegistryCase> {};

TEST_P(PrepareRegistry, WritesTheConfigurationAndTheEntryOnceKeepingEveryOtherValue) {
  const RegistryCase& given = GetParam();
  const std::string before =
      RegText({kSessionManagerLine, given.before, "\"Other\"=dword:00000001", "", "[HKEY_USERS\\.DEFAULT]", "",
               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]", given.crash});
  RegistryFile registry(before);
  if (given.before.empty()) std::filesystem::remove(registry.Path());
  const CommandResult result = RunSpindraxel({"prepare", image_.Path(), "--registry", registry.Path(), "--file",
                                              "/Data/big.bin", "--file", "Data\\whole.bin", "--log-dir", "Logs/Boot",
                                              "--log-level", "2", "--check-integrity", "--report", "--one-shot"});
  ASSERT_EQ(0, result.exitStatus) << result.err;
  EXPECT_EQ(given.after, registry.BootExecute());
  EXPECT_EQ(given.before.empty(), !registry.Value(kSessionManagerKey, u"Other"));
  EXPECT_EQ(given.after.size() == 1, before == registry.Bytes()) << "rewritten exactly when something changed";
  EXPECT_EQ(std::vector<std::string>{}, registry.OtherFiles());
  EXPECT_EQ(
      "<general>\r\nlog=2\r\nlog_dir=\\??\\C:\\Logs\\Boot\\\r\ncheck_file_integrity=1\r\ndump_file_information=1\r\n"
      "run_mode=1\r\n" +
          std::string(given.crash.empty() ? "" : "crash_dump_enabled_backup=7\r\nlog_event_backup=0\r\n") +
          "</general>\r\n<file>\r\npath=\\??\\C:\\Data\\big.bin\r\nmode=defrag\r\n</file>\r\n"
          "<file>\r\npath=\\??\\C:\\Data\\whole.bin\r\nmode=defrag\r\n</file>\r\n",
      image_.Ntfscat("/spindraxel.cfg"));
  EXPECT_EQ(std::vector<std::string>{"Boot"}, NamesIn(image_, "/Logs"));
  EXPECT_NE(std::string::npos,
            result.out.find("spindraxel boot --registry " + registry.Path() + " --drive C=" + image_.Path() + "\n"));
}

INSTANTIATE_TEST_SUITE_P(Files, PrepareRegistry, testing::ValuesIn(kRegistries),
                         [](const testing::TestParamInfo<RegistryCase>& info) { return info.param.name; });

// Tools other than regedit save UTF-16 without a byte-order mark.
TEST_F(Commands, RegistryInUtf16WithoutAByteOrderMarkIsRead) {
  std::string utf16;
  for (char c : RegText({kSessionManagerLine, "\"Other\"=dword:00000001"})) utf16 += std::string{c, '\0'};
  RegistryFile registry(utf16);
  const CommandResult boot = RunSpindraxel({"boot", "--registry", registry.Path(), "--drive", "C=" + image_.Path()});
  EXPECT_EQ(0, boot.exitStatus);
  EXPECT_NE(std::string::npos, boot.err.find("has no BootExecute value")) << boot.err;
}

// A host disk that fills up under the image, at any write: the program goes on as it does on a full disk, but the
// command says the image could not be written and ends with 2; no byte is lost, and what a failed write cut off
// in the middle is rolled back by the next command that writes. The trace shows each call with what matters of
// its arguments.
TEST_F(Commands, HostDiskThatFillsUpIsReportedAndLosesNothing) {
  ASSERT_TRUE(image_.PutFile(u"defrag.cfg",
                             "<general>\r\nlog=0\r\n</general>\r\n<file>\r\npath=\\??\\C:\\Data\\big.bin\r\n"
                             "mode=defrag\r\n</file>\r\n"));
  const std::string trace = image_.Path() + ".trace";
  for (int write = 1; write <= 12; ++write) {
    SCOPED_TRACE("from device write " + std::to_string(write));
    const CommandResult boot =
        RunSpindraxel({"boot", "--trace", trace, "--fault", "DeviceWrite#" + std::to_string(write) + "+=0xC000007F",
                       "--drive", "C=" + image_.Path(), "--", "sxboottime \\??\\C:\\defrag.cfg"});
    EXPECT_EQ(2, boot.exitStatus);
    EXPECT_NE(std::string::npos, boot.err.find(image_.Path() + " could not be written: No space left on device"))
        << boot.err;
    const CommandResult repair = RunSpindraxel({"check", "--repair", image_.Path()});
    EXPECT_EQ(0, repair.exitStatus) << repair.out << repair.err;
    EXPECT_TRUE(std::string(40 * 4096, 'b') == image_.Ntfscat("/Data/big.bin"));
    EXPECT_EQ(0, image_.RunNtfsfix().exitStatus);
  }
  const std::string calls = FileBytes(trace);
  EXPECT_NE(std::string::npos, calls.find(" NtCreateFile 0x00000000 name=\\??\\C:\\defrag.cfg\n")) << calls;
  EXPECT_NE(std::string::npos, calls.find(" FSCTL_MOVE_FILE 0x"));
}

}  // namespace
