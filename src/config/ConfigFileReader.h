// CConfigFileReader: opens the configuration file and cuts it into sections (CConfigBlock).
#pragma once

#include <string>

#include "platform/NativeApi.h"

class CConfigFileReader {
 public:
  explicit CConfigFileReader(std::u16string path) : path_(std::move(path)) {}
  CConfigFileReader(const CConfigFileReader&) = delete;
  CConfigFileReader& operator=(const CConfigFileReader&) = delete;

  // Opens the file for synchronous reading; logs and returns false when it cannot.
  bool Initialize();

  // The open file; the main sequence closes it once the configuration has been applied.
  HANDLE GetHandle() const { return file_; }

 private:
  std::u16string path_;
  HANDLE file_ = nullptr;
};
