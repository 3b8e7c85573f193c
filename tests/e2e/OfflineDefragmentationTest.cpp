// Offline defragmentation as a Linux user does it: a generated image, a prepared one-shot boot with integrity
// check, the boot from the registry, and the volume checked afterwards by our tools and by ntfs-3g's.
#include <gtest/gtest.h>

#include <cstdio>

#include "host/offline/ImageGenerator.h"
#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/RegistryFile.h"
#include "support/TestImage.h"

using namespace testsupport;

namespace {

constexpr int kFiles = 50;
constexpr uint64_t kFileSize = 2 << 20;
constexpr uint32_t kSeed = 9;

TEST(OfflineDefragmentation, FiftyFragmentedFilesOnAGibibyteImageComeOutWholeAndUnchanged) {
  TestImage image(1ull << 30), logs;
  const CommandResult made = RunSpindraxel({"image", "fragment", image.Path(), "--files", std::to_string(kFiles),
                                            "--size", std::to_string(kFileSize), "--seed", std::to_string(kSeed)});
  ASSERT_EQ(0, made.exitStatus) << made.err;
  std::vector<std::string> files;
  std::vector<std::string> prepare{"prepare", image.Path(), "--log-level", "3", "--check-integrity", "--one-shot"};
  for (int i = 1; i <= kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Fragmented/file%02d.bin", i);
    files.push_back(name);
    EXPECT_GT(image.Fragments("/" + files.back()).fragments, 1u) << name;
    prepare.insert(prepare.end(), {"--file", name});
  }

  RegistryFile registry("");
  std::remove(registry.Path().c_str());  // prepare makes it
  prepare.insert(prepare.end(), {"--registry", registry.Path()});
  const CommandResult prepared = RunSpindraxel(prepare);
  ASSERT_EQ(0, prepared.exitStatus) << prepared.err;
  // The log goes to another volume: on C: it would grow during the moves, and NTFS may give it a cluster inside
  // the block just chosen for a file, which the move then cannot have (that file would stay in two pieces).
  std::string configuration = image.Ntfscat("/spindraxel.cfg");
  const size_t logDir = configuration.find("log_dir=\\??\\C:\\\r\n");
  ASSERT_NE(std::string::npos, logDir) << configuration;
  configuration[logDir + 12] = 'D';
  ASSERT_TRUE(image.PutFile(u"spindraxel.cfg", configuration));
  const CommandResult boot = RunSpindraxel(
      {"boot", "--registry", registry.Path(), "--drive", "C=" + image.Path(), "--drive", "D=" + logs.Path()}, 600);
  ASSERT_EQ(0, boot.exitStatus) << boot.err;

  const std::string log = BootLogOf(logs);
  EXPECT_EQ(static_cast<size_t>(kFiles), Occurrences(log, "performed successfully. File is OK.")) << log;
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(1u, image.Fragments("/" + files[i]).fragments) << files[i];
    EXPECT_TRUE(image.Ntfscat("/" + files[i]) == host::GeneratedContent(kSeed, i, kFileSize)) << files[i];
  }
  EXPECT_TRUE(image.ClustersConsistent());
  EXPECT_EQ(0, image.RunNtfsfix().exitStatus);
}

// One command from scattered to whole: passes alone leave files fragmented on a volume this full, consolidation
// makes room for them; the excluded file is left alone, the bytes and the file list stay as they were, and a dry run
// or a PATH that names nothing changes nothing.
TEST(OfflineDefragmentation, DefragCommandWithConsolidationLeavesEveryChosenFileWhole) {
  constexpr int kCount = 200;
  constexpr uint64_t kSize = 160 << 10;
  constexpr uint32_t kLayoutSeed = 2;
  TestImage image(48ull << 20);
  ASSERT_EQ(0, RunSpindraxel({"image", "fragment", image.Path(), "--files", std::to_string(kCount), "--size",
                              std::to_string(kSize), "--seed", std::to_string(kLayoutSeed)})
                   .exitStatus);
  const std::string pristine = FileBytes(image.Path());
  const CommandResult dry = RunSpindraxel({"defrag", image.Path(), "--all", "--dry-run"});
  EXPECT_EQ(0, dry.exitStatus) << dry.err;
  EXPECT_NE(std::string::npos, dry.out.find("Would defragment 200 files")) << dry.out;
  EXPECT_EQ(2, RunSpindraxel({"defrag", image.Path(), "Fragmented/none.bin"}).exitStatus);
  EXPECT_TRUE(FileBytes(image.Path()) == pristine);
  auto fileCount = [&image] {
    const std::string out = RunSpindraxel({"analyze", image.Path()}).out;
    return out.substr(out.find("Files:"), out.find('\n', out.find("Files:")) - out.find("Files:"));
  };
  const std::string filesBefore = fileCount();

  const CommandResult passes = RunSpindraxel({"defrag", image.Path(), "\\Fragmented", "--exclude", "FILE07.bin"});
  EXPECT_EQ(1, passes.exitStatus) << passes.out << passes.err;
  EXPECT_NE(std::string::npos, passes.out.find("199 files: fragments ")) << passes.out;
  // The engine's log goes to a host file, not into the volume.
  const std::string logPath = image.Path() + ".log";
  const CommandResult run = RunSpindraxel(
      {"defrag", image.Path(), "--all", "--consolidate", "--verify", "--exclude", "FILE07.bin", "--log", logPath}, 600);
  EXPECT_EQ(0, run.exitStatus) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("consolidation ")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("; 0 still fragmented")) << run.out;
  const std::string log = FileBytes(logPath);
  std::remove(logPath.c_str());
  EXPECT_NE(std::string::npos, log.find("DefragmentFile for \"\\??\\C:\\Fragmented\\file"));
  EXPECT_NE(std::string::npos, log.find("spindraxel defrag#")) << "the pass lines, after consolidation's unmount";
  for (int i = 0; i < kCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/Fragmented/file%02d.bin", i + 1);
    if (i != 6) {
      EXPECT_EQ(1u, image.Fragments(name).fragments) << name;
    }
    EXPECT_TRUE(image.Ntfscat(name) == host::GeneratedContent(kLayoutSeed, i, kSize)) << name;
  }
  EXPECT_EQ(filesBefore, fileCount());
  EXPECT_TRUE(image.ClustersConsistent());
  EXPECT_EQ(0, image.RunNtfsfix().exitStatus);
}

}  // namespace
