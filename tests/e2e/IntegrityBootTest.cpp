// The integrity check of a boot: a verdict per file, and a move that damages data (an injected disk fault) caught
// as corruption of that file only.
#include <gtest/gtest.h>

#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::BootLogOf;
using testsupport::CommandResult;
using testsupport::Occurrences;
using testsupport::TestImage;

namespace {

std::string Section(const std::string& name) { return "<file>\r\npath=\\??\\C:\\" + name + "\r\n</file>\r\n"; }

TEST(IntegrityBoot, EveryFileGetsAVerdictAndADamagingMoveIsCaught) {
  TestImage c;
  // One move each: a.bin is moved first, b.bin second, c.bin is never moved.
  ASSERT_TRUE(c.PutFragmentedFile(u"a.bin", std::string(40 * 4096, 'a'), 4));
  ASSERT_TRUE(c.PutFragmentedFile(u"b.bin", std::string(40 * 4096, 'b'), 4));
  ASSERT_TRUE(c.PutFile(u"c.bin", std::string(10 * 4096 + 5, 'c')));
  ASSERT_TRUE(c.PutFile(u"empty.bin", ""));
  ASSERT_TRUE(
      c.PutFile(u"defrag.cfg", "<general>\r\nlog=3\r\nlog_dir=\\??\\C:\\\r\ncheck_file_integrity=1\r\n</general>\r\n" +
                                   Section("a.bin") + Section("b.bin") + Section("c.bin") + Section("empty.bin") +
                                   Section("missing.bin")));
  CommandResult boot =
      testsupport::RunSpindraxel({"boot", "--drive", "C=" + c.Path(), "--fault", "FSCTL_MOVE_FILE#2=corrupt", "--",
                                  "sxboottime \\??\\C:\\defrag.cfg"});
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  const std::string log = BootLogOf(c);
  for (const char* name : {"a.bin", "c.bin", "empty.bin"}) {
    const std::string file = std::string("\\??\\C:\\") + name;
    EXPECT_EQ(1u, Occurrences(log, " L3 Integrity check for file " + file + " initialized successfully.\r\n")) << log;
    EXPECT_EQ(1u,
              Occurrences(log, " L3 Integrity check for file " + file + " performed successfully. File is OK.\r\n"));
  }
  EXPECT_EQ(1u, Occurrences(log, " L3 Integrity check for file \\??\\C:\\b.bin initialized successfully.\r\n"));
  EXPECT_EQ(1u,
            Occurrences(log, " L1 Integrity check for file \\??\\C:\\b.bin failed. File appears to be corrupted!\r\n"));
  EXPECT_EQ(2u, Occurrences(log, " L1 Failed to open file (0xc0000034)\r\n")) << "by the first hash and the engine";
  EXPECT_EQ(1u, Occurrences(log, " L3 Integrity check for file \\??\\C:\\missing.bin failed\r\n"));
  EXPECT_EQ(0u, Occurrences(log, "missing.bin performed"));
  EXPECT_EQ(std::string(40 * 4096, 'a'), c.Ntfscat("/a.bin"));
  EXPECT_NE(std::string(40 * 4096, 'b'), c.Ntfscat("/b.bin")) << "the injected fault damaged it";
}

}  // namespace
