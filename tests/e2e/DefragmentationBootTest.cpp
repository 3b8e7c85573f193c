// Whole boots that defragment: volume after volume on its own processing thread, with the screen and log lines a
// user sees, and images that come out consistent with every file's bytes unchanged and nothing moved into the
// MFT zone.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <regex>

#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::BootLogOf;
using testsupport::CommandResult;
using testsupport::Occurrences;
using testsupport::TestImage;

namespace {

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string FileSection(const std::string& path, const std::string& extra = "") {
  return "<file>\r\npath=" + path + "\r\n" + extra + "</file>\r\n";
}

// An image with files whose content the test remembers, checked after the boot.
struct Disk {
  TestImage image;
  std::map<std::string, std::string> contents;  // "/Dir/File" -> bytes

  void Put(const std::string& path, const std::string& bytes, int fragments = 1) {
    std::u16string name = Native(path);
    ASSERT_TRUE(fragments > 1 ? image.PutFragmentedFile(name, bytes, fragments) : image.PutFile(name, bytes));
    contents[path] = bytes;
  }

  // What must hold after any boot: consistent clusters, ntfsfix satisfied, every file's bytes unchanged and no
  // cluster of them in the MFT zone that ntfsinfo reports.
  void ExpectIntact() {
    EXPECT_TRUE(image.ClustersConsistent());
    EXPECT_EQ(0, image.RunNtfsfix().exitStatus);
    CommandResult info = testsupport::RunCommand({testsupport::NtfsToolPath("ntfsinfo"), "-m", image.Path()});
    std::smatch start, end;
    ASSERT_TRUE(std::regex_search(info.out, start, std::regex(R"(MFT Zone Start: (\d+))")));
    ASSERT_TRUE(std::regex_search(info.out, end, std::regex(R"(MFT Zone End: (\d+))")));
    const int64_t zoneStart = std::stoll(start[1]), zoneEnd = std::stoll(end[1]);
    for (const auto& [path, bytes] : contents) {
      EXPECT_TRUE(image.Ntfscat(path) == bytes) << path << " changed";
      for (const auto& run : image.RunsOf(Native(path))) {
        EXPECT_FALSE(run.lcn >= 0 && run.lcn < zoneEnd && zoneStart < run.lcn + run.length)
            << path << " has clusters in the MFT zone";
      }
    }
  }

  static std::u16string Native(const std::string& path) {
    std::u16string name;
    for (char c : path.substr(1)) name += c == '/' ? u'\\' : static_cast<char16_t>(c);
    return name;
  }
};

CommandResult Boot(Disk& c, Disk* d, const std::vector<std::string>& faults = {}) {
  std::vector<std::string> args{"boot", "--drive", "C=" + c.image.Path()};
  if (d != nullptr) args.insert(args.end(), {"--drive", "D=" + d->image.Path()});
  for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
  args.insert(args.end(), {"--", "sxboottime \\??\\C:\\defrag.cfg"});
  return testsupport::RunSpindraxel(args);
}

const char kGeneral[] = "<general>\r\nlog=3\r\nlog_dir=\\??\\C:\\\r\ndump_file_information=1\r\n</general>\r\n";

TEST(DefragmentationBoot, ProcessesEachVolumeInTurnAndLeavesEveryFileWhole) {
  Disk c, d;
  c.Put("/Data/scattered.bin", RandomBytes(200 * 4096 + 10, 1), 40);
  c.Put("/keep.bin", RandomBytes(30 * 4096, 2), 3);
  d.Put("/big.bin", RandomBytes(2000 * 4096, 3), 100);
  d.Put("/keep.bin", RandomBytes(50 * 4096, 4), 5);
  ASSERT_TRUE(c.image.PutFile(u"defrag.cfg", std::string(kGeneral) + FileSection("\\??\\C:\\Data\\scattered.bin") +
                                                 FileSection("\\??\\D:\\big.bin") + FileSection("\\??\\E:\\e.bin") +
                                                 FileSection("\\??\\C:\\missing.bin") + FileSection("\\??\\C:") +
                                                 FileSection("\\??\\C:\\keep.bin", "mode=frag\r\nfrag_count=4\r\n")));
  CommandResult boot = Boot(c, &d);
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_EQ(
      "Zenmoria Spindraxel\n-------------------\nInitialized Volume C:\nInitialized Volume D:\n"
      "Starting Defragmentation\n-------------------\nC:\\Data\\scattered.bin\nC:\\missing.bin\nD:\\big.bin\n"
      "-------------------\nComplete\n",
      boot.out);

  const std::string log = BootLogOf(c.image);
  const std::vector<std::string> order{
      "File \"\\??\\C:\\Data\\scattered.bin:\", Clusters: 201, Fragments: 40",
      "Failed to initialize volume \\??\\E:",
      "Beginning defragmentation of \\??\\C:\\Data\\scattered.bin",
      "DefragmentFile end \\??\\C:\\Data\\scattered.bin; STATUS = 0x0",
      "Defragmentation finished (0x0)",
      "Beginning defragmentation of \\??\\C:\\missing.bin",
      "Defragmentation finished (0xc0000034)",
      "File path: \\??\\C: is too short",
      "Unknown operation (code 2)",
      "Processing failed (0xc0000034)",
      "File \"\\??\\C:\\Data\\scattered.bin:\", Clusters: 201, Fragments: 1",
      "Beginning defragmentation of \\??\\D:\\big.bin",
      "Processing finished successfully...",
      "File \"\\??\\D:\\big.bin:\", Clusters: 2000, Fragments: 1",
  };
  size_t at = 0;
  for (const std::string& line : order) {
    size_t found = log.find(" L1 " + line, at);
    ASSERT_NE(std::string::npos, found) << "missing or out of order: " << line << "\n" << log;
    at = found;
  }
  EXPECT_EQ(1u, c.image.Fragments("/Data/scattered.bin").fragments);
  EXPECT_EQ(3u, c.image.Fragments("/keep.bin").fragments) << "not listed for defragmentation";
  EXPECT_EQ(1u, d.image.Fragments("/big.bin").fragments);
  EXPECT_EQ(5u, d.image.Fragments("/keep.bin").fragments);
  c.ExpectIntact();
  d.ExpectIntact();
}

// A native call answering STATUS_CANCELLED in the second of three files stops the volume there; a processing
// thread that cannot be created fails its volume at once, and the boot still ends normally.
TEST(DefragmentationBoot, CancelledFileStopsItsVolumeAndAThreadThatCannotStartFailsItsOwn) {
  Disk c, d;
  for (const char* name : {"/one.bin", "/two.bin", "/three.bin"}) c.Put(name, RandomBytes(40 * 4096, name[1]), 4);
  d.Put("/d.bin", RandomBytes(40 * 4096, 9), 4);
  ASSERT_TRUE(c.image.PutFile(u"defrag.cfg", std::string(kGeneral) + FileSection("\\??\\C:\\one.bin") +
                                                 FileSection("\\??\\C:\\two.bin") + FileSection("\\??\\C:\\three.bin") +
                                                 FileSection("\\??\\D:\\d.bin")));
  // The log writer is the first thread, C:'s processing thread the second.
  CommandResult boot = Boot(c, &d, {"FSCTL_MOVE_FILE#2=0xC0000120", "RtlCreateUserThread#3=0xC000009A"});
  ASSERT_EQ(0, boot.exitStatus) << boot.err;
  EXPECT_EQ(
      "Zenmoria Spindraxel\n-------------------\nInitialized Volume C:\nInitialized Volume D:\n"
      "Starting Defragmentation\n-------------------\nC:\\one.bin\nC:\\two.bin\n-------------------\nComplete\n",
      boot.out);
  const std::string log = BootLogOf(c.image);
  EXPECT_EQ(1u, Occurrences(log, " L1 Defragmentation finished (0xc0000120)")) << log;
  EXPECT_EQ(0u, Occurrences(log, "three.bin\r\n")) << "the third file is not processed";
  EXPECT_EQ(1u, Occurrences(log, " L1 Failed to create processing thread (0xc000009a)"));
  EXPECT_EQ(1u, Occurrences(log, " L1 Processing failed (0xc000009a)"));
  EXPECT_EQ(1u, c.image.Fragments("/one.bin").fragments);
  EXPECT_EQ(4u, d.image.Fragments("/d.bin").fragments);
  c.ExpectIntact();
  d.ExpectIntact();
}

}  // namespace
