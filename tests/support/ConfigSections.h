// The program's configuration file as tests write it, CRLF line ends as on Windows:
//
//   GeneralSection({"log=1", "log_dir=\\??\\C:\\"}) + FileSection("\\??\\C:\\a.bin", {"mode=defrag"})
#pragma once

#include <string>
#include <vector>

namespace testsupport {

inline std::string Section(const std::string& name, const std::vector<std::string>& settings) {
  std::string text = "<" + name + ">\r\n";
  for (const std::string& setting : settings) text += setting + "\r\n";
  return text + "</" + name + ">\r\n";
}

inline std::string GeneralSection(const std::vector<std::string>& settings) { return Section("general", settings); }

// A file section naming the native `path`, then `settings`.
inline std::string FileSection(const std::string& path, std::vector<std::string> settings = {}) {
  settings.insert(settings.begin(), "path=" + path);
  return Section("file", settings);
}

}  // namespace testsupport
