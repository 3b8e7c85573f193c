// Boots as Windows would run them: a key press aborting the volume being processed, and the one-shot run mode
// that deletes its configuration and takes the program out of the Session Manager's BootExecute list.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::BootLogOf;
using testsupport::CommandResult;
using testsupport::Occurrences;
using testsupport::TestImage;

namespace {

std::string Section(char drive, const std::string& name) {
  return std::string("<file>\r\npath=\\??\\") + drive + ":\\" + name + "\r\n</file>\r\n";
}

// C: holds three fragmented files, D: one. Every move is slowed, so the first volume takes seconds.
struct TwoVolumes {
  TestImage c, d;
  TwoVolumes() {
    for (const char* name : {"one.bin", "two.bin", "three.bin"}) {
      EXPECT_TRUE(c.PutFragmentedFile(std::u16string(name, name + strlen(name)), std::string(40 * 4096, *name), 5));
    }
    EXPECT_TRUE(d.PutFragmentedFile(u"d.bin", std::string(40 * 4096, 'd'), 5));
    EXPECT_TRUE(c.PutFile(u"defrag.cfg", "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\n</general>\r\n" +
                                             Section('C', "one.bin") + Section('C', "two.bin") +
                                             Section('C', "three.bin") + Section('D', "d.bin")));
  }
  CommandResult Boot(const std::string& keys) {
    return testsupport::RunSpindraxel({"boot", "--drive", "C=" + c.Path(), "--drive", "D=" + d.Path(), "--keys", keys,
                                       "--fault", "FSCTL_MOVE_FILE=delay:400", "--",
                                       "sxboottime \\??\\C:\\defrag.cfg"});
  }
};

TEST(KeyboardAbort, KeyPressStopsTheFirstVolumeAndTheSecondIsStillProcessed) {
  TwoVolumes disks;
  CommandResult boot = disks.Boot("150:x");
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_NE(std::string::npos, boot.out.find("\nAborting...\n")) << boot.out;
  EXPECT_NE(std::string::npos, boot.out.find("\nD:\\d.bin\n-------------------\nComplete\n")) << boot.out;
  const std::string log = BootLogOf(disks.c);
  EXPECT_EQ(1u, Occurrences(log, " L1 Processing aborted on user request\r\n")) << log;
  EXPECT_EQ(1u, Occurrences(log, " L1 Processing finished successfully...\r\n")) << "D: ends normally";
  // The move under way when the key came completes; the file after it may still be begun, and stops at the
  // engine's first question.
  EXPECT_EQ(0u, Occurrences(log, "Beginning defragmentation of \\??\\C:\\three.bin"));
  EXPECT_EQ(5u, disks.c.Fragments("/two.bin").fragments) << "untouched after the abort";
  EXPECT_EQ(5u, disks.c.Fragments("/three.bin").fragments);
  EXPECT_EQ(1u, disks.d.Fragments("/d.bin").fragments);
  EXPECT_EQ(std::string(40 * 4096, 'o'), disks.c.Ntfscat("/one.bin"));
  EXPECT_TRUE(disks.c.ClustersConsistent());
}

TEST(KeyboardAbort, KeysWithoutACharacterDoNotAbort) {
  TwoVolumes disks;
  CommandResult boot = disks.Boot("100:esc,150:f1,200:left,250:tab");
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_EQ(std::string::npos, boot.out.find("Aborting")) << boot.out;
  for (const char* name : {"/one.bin", "/two.bin", "/three.bin"}) EXPECT_EQ(1u, disks.c.Fragments(name).fragments);
  EXPECT_EQ(1u, disks.d.Fragments("/d.bin").fragments);
}

// REG_MULTI_SZ as regedit writes it: hex(7): UTF-16LE bytes, each string and its zero, then one more zero.
std::string HexMultiString(const std::vector<std::string>& strings) {
  std::string hex = "hex(7):";
  char byte[8];
  auto add = [&](unsigned value) {
    snprintf(byte, sizeof byte, "%02x,", value);
    hex += byte;
  };
  for (const std::string& text : strings) {
    for (char c : text) add(static_cast<unsigned char>(c)), add(0);
    add(0), add(0);
  }
  add(0), add(0);
  hex.pop_back();
  return hex;
}

// The text of a .reg file, UTF-16LE with a byte-order mark or UTF-8, as narrow text (the tests use ASCII only).
std::string ReadRegFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE') return bytes;
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
  return text;
}

// The strings of the REG_MULTI_SZ value `name` in .reg text (continuation lines joined).
std::vector<std::string> MultiStringValue(std::string text, const std::string& name) {
  size_t at = text.find("\"" + name + "\"=hex(7):");
  if (at == std::string::npos) return {"<missing>"};
  std::string hex;
  for (size_t i = text.find(':', at) + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      i = text.find('\n', i);
      continue;
    }
    if (text[i] == '\r' || text[i] == '\n') break;
    if (text[i] != ' ') hex += text[i];
  }
  std::vector<std::string> strings{""};
  std::istringstream bytes(hex);
  std::vector<unsigned> values;
  for (std::string item; std::getline(bytes, item, ',');) values.push_back(std::stoul(item, nullptr, 16));
  for (size_t i = 0; i + 1 < values.size(); i += 2) {
    unsigned unit = values[i] | values[i + 1] << 8;
    if (unit == 0) {
      if (strings.back().empty()) break;
      strings.emplace_back();
    } else {
      strings.back() += static_cast<char>(unit);
    }
  }
  strings.pop_back();
  return strings;
}

class OneShot : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    registry_ = image_.Path() + ".reg";
    std::ofstream(registry_, std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\r\n"
        << "\"BootExecute\"="
        << HexMultiString({"autocheck autochk *", "sxboottime \\??\\C:\\defrag.cfg", "run other now"}) << "\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]\r\n"
        << "\"CrashDumpEnabled\"=dword:00000000\r\n\"LogEvent\"=dword:00000000\r\n";
    ASSERT_TRUE(image_.PutFragmentedFile(u"a.bin", std::string(20 * 4096, 'a'), 3));
    ASSERT_TRUE(image_.PutFile(u"defrag.cfg",
                               "<general>\r\nlog=1\r\nlog_dir=\\??\\C:\\\r\nrun_mode=" + std::to_string(GetParam()) +
                                   "\r\ncrash_dump_enabled_backup=7\r\nlog_event_backup=3\r\n"
                                   "</general>\r\n" +
                                   Section('C', "a.bin")));
  }
  void TearDown() override { unlink(registry_.c_str()); }

  // Boots the way the Session Manager does: every sxboottime entry of BootExecute.
  CommandResult BootFromRegistry() {
    return testsupport::RunSpindraxel({"boot", "--registry", registry_, "--drive", "C=" + image_.Path()});
  }

  TestImage image_;
  std::string registry_;
};

TEST_P(OneShot, RunModeOneCleansUpAfterItselfAndOtherModesLeaveEverything) {
  CommandResult boot = BootFromRegistry();
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_NE(std::string::npos, boot.out.find("Complete\n")) << boot.out;
  EXPECT_NE(std::string::npos, boot.err.find("autocheck autochk *")) << "reported as skipped: " << boot.err;
  EXPECT_EQ(1u, image_.Fragments("/a.bin").fragments);

  const std::string registry = ReadRegFile(registry_);
  const bool oneShot = GetParam() == 1;
  CommandResult list = testsupport::RunCommand({testsupport::NtfsToolPath("ntfsls"), image_.Path()});
  EXPECT_EQ(!oneShot, list.out.find("defrag.cfg") != std::string::npos) << list.out;
  if (oneShot) {
    EXPECT_EQ((std::vector<std::string>{"autocheck autochk *", "run other now"}),
              MultiStringValue(registry, "BootExecute"));
    EXPECT_NE(std::string::npos, registry.find("\"CrashDumpEnabled\"=dword:00000007")) << registry;
    EXPECT_NE(std::string::npos, registry.find("\"LogEvent\"=dword:00000003")) << registry;
    // The next boot finds nothing of the program's to run.
    CommandResult again = BootFromRegistry();
    EXPECT_EQ(0, again.exitStatus);
    EXPECT_EQ("", again.out);
  } else {
    EXPECT_EQ((std::vector<std::string>{"autocheck autochk *", "sxboottime \\??\\C:\\defrag.cfg", "run other now"}),
              MultiStringValue(registry, "BootExecute"));
    EXPECT_NE(std::string::npos, registry.find("\"CrashDumpEnabled\"=dword:00000000")) << registry;
  }
}

INSTANTIATE_TEST_SUITE_P(RunModes, OneShot, testing::Values(0, 1, 2), [](const testing::TestParamInfo<int>& info) {
  return "RunMode" + std::to_string(info.param);
});

TEST(OneShotRegistry, MalformedRegistryFileStopsTheBootBeforeItStartsNamingTheLine) {
  TestImage image;
  const std::string registry = image.Path() + ".reg";
  std::ofstream(registry, std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n"
      << "\"BootExecute\"=hex(7):zz\r\n";
  CommandResult boot = testsupport::RunSpindraxel({"boot", "--registry", registry, "--drive", "C=" + image.Path()});
  unlink(registry.c_str());
  EXPECT_NE(0, boot.exitStatus);
  EXPECT_EQ("", boot.out);
  EXPECT_NE(std::string::npos, boot.err.find("line 4")) << "names the line: " << boot.err;
}

}  // namespace
