// The conformance checks of the native calls under Wine and on the host: every group runs and every check passes on
// both. (The check counts may differ: a few checks are left out under Wine where it is known to deviate.)
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "WinePrefix.h"
#include "support/TestImage.h"

namespace {

// The per-group summary lines ("files     101 checks, 0 failed") and the total, without the numbers of checks.
std::vector<std::string> Summaries(const std::string& screen) {
  static const std::regex kSummary(R"(([a-z]+ +|sxconformance: )\d+ (checks, \d+ failed))");
  std::vector<std::string> lines;
  std::istringstream text(screen);
  std::smatch parts;
  for (std::string line; std::getline(text, line);) {
    if (std::regex_match(line, parts, kSummary)) lines.push_back(parts[1].str() + parts[2].str());
  }
  return lines;
}

class Conformance : public winetest::WineTest {};

TEST_F(Conformance, EveryCheckPassesUnderWineAndOnTheHost) {
  ASSERT_EQ(0, Wine({"reg", "add", "HKLM\\Software\\Zenmoria\\Conformance", "/f"}).exitStatus);
  std::filesystem::remove_all(DriveC("sxconformance"));
  const winetest::WineRun wine = RunProgram("sxconformance.exe", "\\??\\C:\\sxconformance\\");
  EXPECT_EQ(0, wine.exitStatus) << wine.screen << wine.trace;
  EXPECT_FALSE(wine.screenCut);
  EXPECT_EQ(0u, wine.screen.find("sxconformance: under Wine\n")) << wine.screen;

  testsupport::TestImage image(16 << 20);
  const testsupport::CommandResult host = testsupport::RunCommand({SX_CONFORMANCE_HOST_PATH, image.Path()});
  EXPECT_EQ(0, host.exitStatus) << host.out << host.err;
  EXPECT_EQ(0u, host.out.find("sxconformance: not under Wine\n")) << host.out;

  const std::vector<std::string> groups = Summaries(wine.screen);
  ASSERT_EQ(7u, groups.size()) << wine.screen;
  EXPECT_EQ("sxconformance: checks, 0 failed", groups.back()) << wine.screen;
  EXPECT_EQ(groups, Summaries(host.out));
}

}  // namespace
