// The configuration file syntax: which sections a file yields, read from an NTFS image one byte at a time.
#include <gtest/gtest.h>

#include "SystemImage.h"
#include "config/ConfigFileReader.h"
#include "host/ntdll/faults/Faults.h"
#include "support/BootLog.h"

namespace {

using testsupport::Occurrences;

using Blocks = std::vector<std::pair<std::string, std::vector<std::string>>>;

Blocks ReadBlocksOf(const std::string& content) {
  WriteNativeFile(u"\\??\\C:\\Config\\reader.cfg", content);
  CConfigFileReader reader(u"\\??\\C:\\Config\\reader.cfg");
  EXPECT_TRUE(reader.Initialize());
  Blocks blocks;
  for (const auto& block : reader.ReadAllBlocks()) blocks.emplace_back(block->GetName(), block->GetLines());
  NtClose(reader.GetHandle());
  return blocks;
}

std::string Utf16WithBom(const std::string& ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) bytes += std::string{c, '\0'};
  return bytes;
}

struct SyntaxCase {
  const char* what;
  std::string content;
  Blocks blocks;
};

void PrintTo(const SyntaxCase& syntax, std::ostream* out) { *out << syntax.what; }

class Syntax : public testing::TestWithParam<SyntaxCase> {};

TEST_P(Syntax, YieldsTheseSections) { EXPECT_EQ(GetParam().blocks, ReadBlocksOf(GetParam().content)); }

const std::string kExample =
    "<general>\nlog=3\nlog_dir=\\??\\C:\\Logs\\\n</general>\n<file>\npath=\\??\\C:\\a.db\n</file>\n";
const std::string kHuge(200000, 'v');
const Blocks kExampleBlocks = {{"general", {"log=3", "log_dir=\\??\\C:\\Logs\\"}}, {"file", {"path=\\??\\C:\\a.db"}}};

INSTANTIATE_TEST_SUITE_P(
    Files, Syntax,
    testing::Values(
        SyntaxCase{"line feeds", kExample, kExampleBlocks},
        SyntaxCase{"UTF-16 with byte-order mark", Utf16WithBom(kExample), kExampleBlocks},
        SyntaxCase{"last content line without line feed is lost", "<file>\npath=x\nmode=frag", {{"file", {"path=x"}}}},
        SyntaxCase{"opening line inside a section is content; the foreign closing line ends the reading",
                   "<general>\nlog=1\n<file>\npath=x\n</file>\n<file>\npath=y\n</file>\n",
                   {}},
        SyntaxCase{"blank lines: content inside, remarks outside; text around the tags ignored",
                   "   \n  remark <general> more\n  \nx </general> y\n",
                   {{"general", {"  "}}}},
        SyntaxCase{"empty tag ends the reading and keeps what came before",
                   "<file>\npath=a\n</file>\n<>\n<file>\npath=b\n</file>\n",
                   {{"file", {"path=a"}}}},
        SyntaxCase{"names are case-sensitive when closing", "<file>\npath=a\n</File>\n", {}},
        SyntaxCase{"control bytes and bytes above 0x7E are dropped",
                   "<fi\tle>\npa\x01th=\xC3\xA9x\x7F\r\n</file>\n",
                   {{"file", {"path=x"}}}},
        SyntaxCase{"empty lines never count", "\n\r\n<general>\n\n\r\nlog=1\n</general>\n", {{"general", {"log=1"}}}},
        SyntaxCase{
            "a huge line is kept whole", "<file>\npath=" + kHuge + "\n</file>\n", {{"file", {"path=" + kHuge}}}}));

TEST(ConfigFileReader, MissingFileIsLoggedWithPathAndStatus) {
  LoggedSinceLastMark();
  CConfigFileReader reader(u"\\??\\C:\\Config\\missing.cfg");
  EXPECT_FALSE(reader.Initialize());
  EXPECT_EQ(nullptr, reader.GetHandle());
  EXPECT_TRUE(testsupport::Matches(LoggedSinceLastMark(),
                                   "…CConfigFileReader::Initialize#… L1 Could not open config "
                                   "file: \\??\\C:\\Config\\missing.cfg, status: 0xc0000034\r\n…"));
}

TEST(ConfigFileReader, ReadErrorIsLoggedOnceKeepsTheOpenSectionAndStopsTheReading) {
  WriteNativeFile(u"\\??\\C:\\Config\\failing.cfg",
                  "<file>\npath=a\n</file>\n<file>\npath=b\nmode=frag\n</file>\n"
                  "<file>\npath=c\n</file>\n");
  CConfigFileReader reader(u"\\??\\C:\\Config\\failing.cfg");
  ASSERT_TRUE(reader.Initialize());
  LoggedSinceLastMark();
  FailNextCallOnThisThread("NtReadFile#37=0xC0000185");  // at "mode=frag"
  auto blocks = reader.ReadAllBlocks();
  host::ClearFaultRules();
  NtClose(reader.GetHandle());
  ASSERT_EQ(2u, blocks.size());
  EXPECT_EQ(std::vector<std::string>{"path=a"}, blocks[0]->GetLines());
  EXPECT_EQ(std::vector<std::string>{"path=b"}, blocks[1]->GetLines());
  const std::string logged = LoggedSinceLastMark();
  EXPECT_EQ(1u, Occurrences(logged, "CConfigFileReader::ReadLine#")) << logged;
  EXPECT_EQ(1u, Occurrences(logged, " L1 Failed to read configuration file. 0xc0000185\r\n"));
}

}  // namespace
