#include "support/BootLog.h"

#include <sstream>

#include "support/CommandRunner.h"

namespace testsupport {

std::vector<std::string> NamesIn(const TestImage& image, const std::string& directory) {
  std::istringstream lines(RunCommand({NtfsToolPath("ntfsls"), "-p", directory, image.Path()}).out);
  std::vector<std::string> names;
  for (std::string name; std::getline(lines, name);) {
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

std::string BootLogOf(const TestImage& image, std::string* name) {
  for (const std::string& found : NamesIn(image)) {
    if (found.rfind("Spindraxel_native_", 0) != 0) continue;
    if (name != nullptr) *name = found;
    return image.Ntfscat("/" + found);
  }
  if (name != nullptr) name->clear();
  return "";
}

::testing::AssertionResult Matches(const std::string& text, const std::string& pattern) {
  const std::string gap = "…";
  size_t at = 0, from = 0;
  bool ok = true;
  for (size_t next; ok && (next = pattern.find(gap, from)) != std::string::npos; from = next + gap.size()) {
    const std::string part = pattern.substr(from, next - from);
    at = from == 0 ? (text.compare(0, part.size(), part) == 0 ? 0 : std::string::npos) : text.find(part, at);
    ok = at != std::string::npos;
    at += part.size();
  }
  const std::string last = pattern.substr(from);
  ok = ok &&
       (from == 0 ? text == pattern
                  : text.size() >= at + last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0);
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected\n" << pattern << "\nbut got\n" << text;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace testsupport
