// CFileInformationDumper: the one-line fragment report of a file, logged before and after processing.
#pragma once

#include <memory>
#include <string>

class CVolume;

class CFileInformationDumper {
 public:
  // "File "<path>:", Clusters: <virtual clusters>, Fragments: <count>", or empty text after a logged failure.
  static std::string GetFileInformationString(std::u16string path, std::shared_ptr<CVolume> volume);
};
