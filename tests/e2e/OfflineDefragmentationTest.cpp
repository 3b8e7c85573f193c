// Offline defragmentation as a Linux user does it: a generated image, a prepared one-shot boot with integrity
// check, the boot from the registry, and the volume checked afterwards by our tools and by ntfs-3g's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <regex>

#include "host/offline/ImageGenerator.h"
#include "support/BootLog.h"
#include "support/CommandRunner.h"
#include "support/TestImage.h"

using testsupport::CommandResult;
using testsupport::Occurrences;
using testsupport::RunSpindraxel;
using testsupport::TestImage;

namespace {

constexpr int kFiles = 50;
constexpr uint64_t kFileSize = 2 << 20;
constexpr uint32_t kSeed = 9;

std::string FileName(int index) {
  char name[32];
  snprintf(name, sizeof name, "Fragmented/file%02d.bin", index + 1);
  return name;
}

// "fragments": N of every file in analyze's JSON, in its order.
std::vector<int> Fragments(const std::string& json) {
  std::vector<int> counts;
  const std::regex fragments(R"("fragments": (\d+))");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), fragments); it != std::sregex_iterator(); ++it) {
    counts.push_back(std::stoi((*it)[1]));
  }
  return counts;
}

TEST(OfflineDefragmentation, FiftyFragmentedFilesOnAGibibyteImageComeOutWholeAndUnchanged) {
  TestImage image(1ull << 30), twin(1ull << 30);
  const std::vector<std::string> generate{"--files", std::to_string(kFiles), "--size", std::to_string(kFileSize),
                                          "--seed",  std::to_string(kSeed)};
  for (const TestImage* target : {&image, &twin}) {
    std::vector<std::string> args{"image", "fragment", target->Path()};
    args.insert(args.end(), generate.begin(), generate.end());
    CommandResult made = RunSpindraxel(args);
    ASSERT_EQ(0, made.exitStatus) << made.err;
  }
  std::vector<std::string> analyze{"analyze", image.Path(), "--json"}, files;
  for (int i = 0; i < kFiles; ++i) files.push_back(FileName(i));
  analyze.insert(analyze.end(), files.begin(), files.end());
  const std::string before = RunSpindraxel(analyze).out;
  analyze[1] = twin.Path();
  EXPECT_EQ(Fragments(before), Fragments(RunSpindraxel(analyze).out)) << "the same seed gives the same layout";
  ASSERT_EQ(static_cast<size_t>(kFiles), Fragments(before).size()) << before;
  for (int count : Fragments(before)) EXPECT_GT(count, 1);

  const std::string registry = image.Path() + ".reg";
  std::vector<std::string> prepare{"prepare",     image.Path(), "--registry",        registry,
                                   "--log-level", "3",          "--check-integrity", "--one-shot"};
  for (const std::string& file : files) prepare.insert(prepare.end(), {"--file", file});
  CommandResult prepared = RunSpindraxel(prepare);
  ASSERT_EQ(0, prepared.exitStatus) << prepared.err;
  CommandResult boot = RunSpindraxel({"boot", "--registry", registry, "--drive", "C=" + image.Path()}, 600);
  unlink(registry.c_str());
  ASSERT_EQ(0, boot.exitStatus) << boot.err;

  analyze[1] = image.Path();
  const std::vector<int> after = Fragments(RunSpindraxel(analyze).out);
  EXPECT_EQ(std::vector<int>(kFiles, 1), after);
  const std::string log = testsupport::BootLogOf(image);
  EXPECT_EQ(static_cast<size_t>(kFiles), Occurrences(log, "performed successfully. File is OK.")) << log;
  EXPECT_EQ(0u, Occurrences(log, "corrupted"));
  for (int i = 0; i < kFiles; i += 7) {
    EXPECT_TRUE(image.Ntfscat("/" + files[i]) == host::GeneratedContent(kSeed, i, kFileSize)) << files[i];
  }
  EXPECT_TRUE(image.ClustersConsistent());
  EXPECT_EQ(0, image.RunNtfsfix().exitStatus);
}

}  // namespace
