#include "HostBoot.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "support/TestImage.h"

namespace winetest {
namespace {

namespace fs = std::filesystem;

const std::regex kLogName(R"(Spindraxel_native_\S+\.txt)");

}  // namespace

HostBoot::HostBoot() {
  char pattern[] = "/tmp/sx-wine-host-XXXXXX";
  directory_ = mkdtemp(pattern);
  image_ = directory_ + "/c.img";
  testsupport::CommandResult made = testsupport::RunSpindraxel({"image", "create", image_, "--size", "16M"});
  EXPECT_EQ(0, made.exitStatus) << made.err;
}

HostBoot::~HostBoot() { fs::remove_all(directory_); }

::testing::AssertionResult HostBoot::Put(const std::string& name, const std::string& bytes) {
  const std::string source = directory_ + "/put.tmp";
  std::ofstream(source, std::ios::binary | std::ios::trunc) << bytes;
  testsupport::CommandResult copy =
      testsupport::RunCommand({testsupport::NtfsToolPath("ntfscp"), "-q", image_, source, name});
  fs::remove(source);
  if (copy.exitStatus != 0) return ::testing::AssertionFailure() << "ntfscp " << name << ": " << copy.err;
  return ::testing::AssertionSuccess();
}

testsupport::CommandResult HostBoot::Boot(const std::string& argument, const std::vector<std::string>& options) {
  std::vector<std::string> args{"boot", "--drive", "C=" + image_};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"--", "sxboottime " + argument});
  return testsupport::RunSpindraxel(args);
}

std::string HostBoot::Log(std::string* name) const {
  testsupport::CommandResult list = testsupport::RunCommand({testsupport::NtfsToolPath("ntfsls"), image_});
  std::smatch found;
  if (name != nullptr) name->clear();
  if (!std::regex_search(list.out, found, kLogName)) return "";
  if (name != nullptr) *name = found.str();
  return testsupport::RunCommand({testsupport::NtfsToolPath("ntfscat"), image_, found.str()}).out;
}

bool HostBoot::Exists(const std::string& name) const {
  testsupport::CommandResult list = testsupport::RunCommand({testsupport::NtfsToolPath("ntfsls"), image_});
  return ("\n" + list.out).find("\n" + name + "\n") != std::string::npos;
}

}  // namespace winetest
