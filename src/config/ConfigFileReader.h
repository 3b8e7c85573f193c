// CConfigFileReader: opens the configuration file and cuts it into sections (CConfigBlock).
//
// The syntax: a line ends at a line feed and keeps only its printable ASCII bytes (so CRLF, LF and UTF-16 LE text
// with a byte-order mark all read alike); text after the last line feed is ignored. "<name>" opens a section and
// "</name>" closes it; sections do not nest; lines outside sections are remarks. A closing line naming another
// section, or an opening line with an empty name, stops the reading and drops the open section.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/ConfigBlock.h"
#include "platform/NativeApi.h"

class CConfigFileReader {
 public:
  explicit CConfigFileReader(std::u16string path) : path_(std::move(path)) {}
  CConfigFileReader(const CConfigFileReader&) = delete;
  CConfigFileReader& operator=(const CConfigFileReader&) = delete;

  // Opens the file for synchronous reading; logs and returns false when it cannot.
  bool Initialize();

  // Reads the next line (printable bytes only) one byte per request. True when a line feed ended it; false at the
  // end of the file or on a read error, which is logged once: after either, nothing more is read, so a failing
  // file can neither loop nor let the sections after a bad spot through.
  bool ReadLine(std::string& line);

  static bool IsSectionStart(std::string line);
  static bool IsSectionEnd(std::string line);
  // The name of an opening or closing line; empty for any other line.
  static std::string GetSectionName(std::string line);

  // The next section, or null when there is none (or the reading stopped).
  std::shared_ptr<CConfigBlock> ReadBlock();
  std::vector<std::shared_ptr<CConfigBlock>> ReadAllBlocks();

  // The open file; the main sequence closes it once the configuration has been applied.
  HANDLE GetHandle() const { return file_; }

 private:
  std::u16string path_;
  HANDLE file_ = nullptr;
  bool readingEnded_ = false;
};
