#include "support/BootLog.h"

#include <regex>

#include "support/CommandRunner.h"

namespace testsupport {

std::string BootLogOf(const TestImage& image, const std::string& directory) {
  CommandResult list = RunCommand({NtfsToolPath("ntfsls"), "-p", directory, image.Path()});
  std::smatch name;
  if (!std::regex_search(list.out, name, std::regex(R"(Spindraxel_native_\S+\.txt)"))) return {};
  return image.Ntfscat((directory == "/" ? "/" : directory + "/") + name.str());
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace testsupport
