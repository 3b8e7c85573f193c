// CConfigBlock: one section of the configuration file, its name and its content lines, as the reader found them.
#pragma once

#include <string>
#include <vector>

class CConfigBlock {
 public:
  CConfigBlock(std::string name, std::vector<std::string> lines) : name_(std::move(name)), lines_(std::move(lines)) {}

  std::string GetName() const { return name_; }
  std::vector<std::string> GetLines() const { return lines_; }

 private:
  std::string name_;
  std::vector<std::string> lines_;
};
