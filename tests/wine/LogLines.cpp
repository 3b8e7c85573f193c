#include "LogLines.h"

#include <regex>

namespace winetest {
namespace {

const std::regex kLine(R"(\[\d{4}-\d\d-\d\d\] \[\d\d:\d\d:\d\d\.\d{3}\] ([A-Za-z:]+#\d+ L[13] [^\r]*))");
const std::regex kSourceLine(R"(^([A-Za-z:]+)#\d+ )");

}  // namespace

::testing::AssertionResult SplitLogLines(const std::string& log, std::vector<std::string>* lines) {
  lines->clear();
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = log.substr(start, end - start);
    std::smatch parts;
    if (!std::regex_match(line, parts, kLine)) {
      return ::testing::AssertionFailure() << "line " << lines->size() + 1 << " lacks the format: " << line;
    }
    lines->push_back(parts[1].str());
  }
  if (start != log.size()) return ::testing::AssertionFailure() << "unfinished last line: " << log.substr(start);
  return ::testing::AssertionSuccess();
}

std::string WithoutSourceLine(const std::string& line) { return std::regex_replace(line, kSourceLine, "$1 "); }

std::vector<std::string> WithoutSourceLines(const std::vector<std::string>& lines) {
  std::vector<std::string> shown;
  for (const std::string& line : lines) shown.push_back(WithoutSourceLine(line));
  return shown;
}

}  // namespace winetest
