// Boots that open volumes: one per drive letter, in the order the letters first appear, with their log lines and,
// on request, one report line per file that agrees with ntfsinfo.
#include <gtest/gtest.h>

#include <regex>

#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::BootLogOf;
using testsupport::CommandResult;
using testsupport::Occurrences;
using testsupport::TestImage;

namespace {

// "Total runs: N (fragments: M)" and the allocated size, as ntfsinfo reports a file.
int NtfsinfoFragments(const TestImage& image, const std::string& path) {
  CommandResult info = testsupport::RunCommand({testsupport::NtfsToolPath("ntfsinfo"), "-v", "-F", path, image.Path()});
  std::smatch match;
  if (!std::regex_search(info.out, match, std::regex(R"(fragments: (\d+))"))) return -1;
  return std::stoi(match[1]);
}

// The fragment count of the last report line for the native `path` in the log (the one after processing when the
// file was processed); -1 when there is none.
int ReportedFragments(const std::string& log, const std::string& path) {
  std::string escaped = std::regex_replace(path, std::regex(R"([\\?])"), R"(\$&)");
  std::regex line("File \"" + escaped + R"(:", Clusters: \d+, Fragments: (\d+)\r\n)");
  int fragments = -1;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
    fragments = std::stoi((*it)[1]);
  }
  return fragments;
}

TEST(VolumeBoot, OpensEachVolumeOnceInOrderAndReportsEveryFile) {
  TestImage c, d;
  ASSERT_TRUE(c.PutFile(u"Data\\a.bin", std::string(300 * 1024, 'a')));
  ASSERT_TRUE(c.PutFile(u"Data\\b.bin", std::string(40 * 1024, 'b')));
  ASSERT_TRUE(d.PutFile(u"d.bin", std::string(90 * 1024, 'd')));
  ASSERT_TRUE(
      c.PutFile(u"defrag.cfg",
                "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\ndump_file_information=1\r\n</general>\r\n"
                "<file>\r\npath=\\??\\C:\\Data\\a.bin\r\n</file>\r\n<file>\r\npath=\\??\\D:\\d.bin\r\n</file>\r\n"
                "<file>\r\npath=\\??\\c:\\Data\\b.bin\r\n</file>\r\n<file>\r\npath=\\??\\E:\\e.bin\r\n</file>\r\n"));
  CommandResult boot = testsupport::RunSpindraxel(
      {"boot", "--drive", "C=" + c.Path(), "--drive", "D=" + d.Path(), "--", "sxboottime \\??\\C:\\defrag.cfg"});
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_EQ(
      "Zenmoria Spindraxel\n-------------------\nInitialized Volume C:\nInitialized Volume D:\n"
      "Starting Defragmentation\n-------------------\nC:\\Data\\a.bin\nc:\\Data\\b.bin\nD:\\d.bin\n"
      "-------------------\nComplete\n",
      boot.out);

  std::string log = BootLogOf(c);
  EXPECT_EQ(3u, Occurrences(log, " L1 Trying to obtain reserved zones\r\n")) << "E: is tried as well";
  EXPECT_EQ(1u, Occurrences(log, " L1 Failed to get volume info (code: 0xc0000008, handle=0x0)\r\n"));
  EXPECT_EQ(2u, Occurrences(log, " L1 MftZone: <"));
  EXPECT_EQ(1u, Occurrences(log, " L1 Successfully initialized volume \\??\\C:\r\n"));
  EXPECT_EQ(1u, Occurrences(log, " L1 Successfully initialized volume \\??\\D:\r\n"));
  EXPECT_EQ(1u, Occurrences(log, " L1 Failed to initialize volume \\??\\E:\r\n"));
  EXPECT_EQ(2u, Occurrences(log, " L1 Successfully flushed buffer for volume "));
  for (auto [image, path, native] :
       {std::tuple<const TestImage*, std::string, std::string>{&c, "/Data/a.bin", "\\??\\C:\\Data\\a.bin"},
        {&d, "/d.bin", "\\??\\D:\\d.bin"},
        {&c, "/Data/b.bin", "\\??\\c:\\Data\\b.bin"}}) {
    int reported = ReportedFragments(log, native);
    ASSERT_GE(reported, 0) << native << "\n" << log;
    EXPECT_EQ(NtfsinfoFragments(*image, path), reported) << path;
  }
  EXPECT_EQ(0, c.RunNtfsfix().exitStatus);
  EXPECT_EQ(0, d.RunNtfsfix().exitStatus);
}

TEST(VolumeBoot, ReportLinesAfterProcessingAgreeWithNtfsinfoOnEveryKindOfFile) {
  TestImage c;
  ASSERT_TRUE(c.PutFile(u"contiguous.bin", std::string(50 * 4096, 'c')));
  ASSERT_TRUE(c.PutFragmentedFile(u"scattered.bin", std::string(25 * 4096 * 2, 's'), 25));
  ASSERT_TRUE(c.PutSparseFile(u"sparse.bin", 64 * 4096, {{16 * 4096, std::string(16 * 4096, 'x')}}));
  ASSERT_TRUE(c.PutCompressedFile(u"Packed\\compressed.bin", std::string(40 * 4096, 'z') + std::string(9000, 'q')));
  ASSERT_TRUE(c.PutFile(u"empty.bin", ""));
  ASSERT_TRUE(c.PutFile(u"resident.bin", "tiny"));
  std::string configuration = "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\ndump_file_information=1\r\n</general>\r\n";
  const std::vector<std::string> files{"contiguous.bin",        "scattered.bin", "sparse.bin",
                                       "Packed/compressed.bin", "empty.bin",     "resident.bin"};
  for (const std::string& file : files) {
    configuration += "<file>\r\npath=\\??\\C:\\" + std::regex_replace(file, std::regex("/"), "\\") + "\r\n</file>\r\n";
  }
  ASSERT_TRUE(c.PutFile(u"defrag.cfg", configuration));
  CommandResult boot =
      testsupport::RunSpindraxel({"boot", "--drive", "C=" + c.Path(), "--", "sxboottime \\??\\C:\\defrag.cfg"});
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  std::string log = BootLogOf(c);
  for (const std::string& file : files) {
    std::string native = "\\??\\C:\\" + std::regex_replace(file, std::regex("/"), "\\");
    int reported = ReportedFragments(log, native);
    ASSERT_GE(reported, 0) << native << "\n" << log;
    int expected = file == "empty.bin" || file == "resident.bin" ? 0 : NtfsinfoFragments(c, "/" + file);
    EXPECT_EQ(expected, reported) << file;
  }
  // Every kind was processed too: holes and compression units survive the moves.
  EXPECT_EQ(1, NtfsinfoFragments(c, "/scattered.bin"));
  EXPECT_EQ(std::string(16 * 4096, '\0') + std::string(16 * 4096, 'x') + std::string(32 * 4096, '\0'),
            c.Ntfscat("/sparse.bin"));
  EXPECT_EQ(std::string(40 * 4096, 'z') + std::string(9000, 'q'), c.Ntfscat("/Packed/compressed.bin"));
  EXPECT_TRUE(c.ClustersConsistent());
}

}  // namespace
