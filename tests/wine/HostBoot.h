// The same boot on the host platform, for comparison with Wine: drive C: is a fresh NTFS image made by
// `spindraxel image create`, the files are put on it with ntfscp, and `spindraxel boot` runs the program.
//
//   winetest::HostBoot host;
//   host.Put("defrag.cfg", configuration);
//   testsupport::CommandResult boot = host.Boot("\\??\\C:\\defrag.cfg");
//   std::string log = host.Log();
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/CommandRunner.h"

namespace winetest {

class HostBoot {
 public:
  // Makes the image in a temporary directory that goes with the object; a failure fails the current test.
  HostBoot();
  ~HostBoot();
  HostBoot(const HostBoot&) = delete;
  HostBoot& operator=(const HostBoot&) = delete;

  const std::string& Image() const { return image_; }
  const std::string& Directory() const { return directory_; }

  // Puts `bytes` at `name` in the image's root.
  ::testing::AssertionResult Put(const std::string& name, const std::string& bytes);
  // Runs `sxboottime ARGUMENT` with `options` (such as --registry FILE) before the command line.
  testsupport::CommandResult Boot(const std::string& argument, const std::vector<std::string>& options = {});
  // The text of the Spindraxel_native_*.txt in the image's root and its name; "" for both when there is none.
  std::string Log(std::string* name = nullptr) const;
  bool Exists(const std::string& name) const;

 private:
  std::string directory_;
  std::string image_;
};

}  // namespace winetest
