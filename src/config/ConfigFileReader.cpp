#include "config/ConfigFileReader.h"

#include "log/Logger.h"
#include "volume/OpenFile.h"

namespace {

// Positions of the first "<" and the first ">", and whether they frame a tag.
bool IsTag(const std::string& line, size_t* open) {
  *open = line.find('<');
  size_t close = line.find('>');
  return *open != std::string::npos && close != std::string::npos && close >= 1 && *open < close;
}

}  // namespace

bool CConfigFileReader::Initialize() {
  SX_LOG_FUNCTION("CConfigFileReader::Initialize");
  NTSTATUS status = OpenFile(path_.c_str(), &file_, GENERIC_READ | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
  if (NT_SUCCESS(status)) return true;
  SX_LOG(1, "Could not open config file: %ws, status: 0x%x", path_.c_str(), status);
  return false;
}

bool CConfigFileReader::ReadLine(std::string& line) {
  SX_LOG_FUNCTION("CConfigFileReader::ReadLine");
  line.clear();
  while (!readingEnded_) {
    char byte = 0;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = NtReadFile(file_, nullptr, nullptr, nullptr, &ioStatus, &byte, 1, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
      if (status != STATUS_END_OF_FILE) SX_LOG(1, "Failed to read configuration file. 0x%x", status);
      readingEnded_ = true;
      return false;
    }
    if (byte >= 0x20 && byte <= 0x7E) line.push_back(byte);
    if (byte == '\n') return true;
  }
  return false;
}

bool CConfigFileReader::IsSectionStart(std::string line) {
  size_t open;
  return IsTag(line, &open) && (open + 1 >= line.size() || line[open + 1] != '/');
}

bool CConfigFileReader::IsSectionEnd(std::string line) {
  size_t open;
  return IsTag(line, &open) && open + 1 < line.size() && line[open + 1] == '/';
}

std::string CConfigFileReader::GetSectionName(std::string line) {
  size_t open = line.find('<');
  size_t close = line.find('>');
  if (IsSectionStart(line)) return line.substr(open + 1, close - open - 1);
  if (IsSectionEnd(line)) return line.substr(open + 2, close - open - 2);
  return {};
}

std::shared_ptr<CConfigBlock> CConfigFileReader::ReadBlock() {
  std::string line;
  do {
    if (!ReadLine(line)) return nullptr;
  } while (line.empty() || !IsSectionStart(line));

  std::string name = GetSectionName(line);
  if (name.empty()) return nullptr;

  std::vector<std::string> lines;
  while (ReadLine(line)) {
    if (line.empty()) continue;
    if (IsSectionEnd(line)) {
      if (GetSectionName(line) == name) break;
      return nullptr;
    }
    lines.push_back(line);
  }
  return std::make_shared<CConfigBlock>(name, std::move(lines));
}

std::vector<std::shared_ptr<CConfigBlock>> CConfigFileReader::ReadAllBlocks() {
  std::vector<std::shared_ptr<CConfigBlock>> blocks;
  while (std::shared_ptr<CConfigBlock> block = ReadBlock()) blocks.push_back(std::move(block));
  return blocks;
}
