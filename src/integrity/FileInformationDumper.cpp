#include "integrity/FileInformationDumper.h"

#include "log/Logger.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"
#include "volume/Volume.h"

namespace {

// Formats one piece of the report; a piece that does not fit the scratch buffer is cut rather than overrun it.
std::string FormatPiece(const char* format, ...) {
  char piece[1024] = {};
  va_list args;
  va_start(args, format);
  NtdllVsnprintf(piece, sizeof piece - 1, format, args);
  va_end(args);
  return piece;
}

}  // namespace

std::string CFileInformationDumper::GetFileInformationString(std::u16string path, std::shared_ptr<CVolume> volume) {
  SX_LOG_FUNCTION("CFileInformationDumper::GetFileInformationString");
  if (!volume) {
    SX_LOG(1, "VolumePtr invalid");
    return {};
  }
  HANDLE file = nullptr;
  NTSTATUS status = OpenFile(path.c_str(), &file, FILE_READ_DATA, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, 0);
  if (!NT_SUCCESS(status)) {
    SX_LOG(1, "Unable to open file %s (0x%x)", ToAnsiString(path).c_str(), status);
    return {};
  }
  std::string result;
  SFileFragments fragments;
  status = GetFileFragments(volume, file, fragments);
  if (!NT_SUCCESS(status)) {
    SX_LOG(1, "Unable to get file %s fragments (0x%x)", ToAnsiString(path).c_str(), status);
  } else {
    result += FormatPiece("File \"%s:\", ", ToAnsiString(path).c_str());
    result += FormatPiece("Clusters: %I64d, ", fragments.VcnCount);
    result += FormatPiece("Fragments: %I64d", static_cast<LONGLONG>(fragments.Fragments.size()));
  }
  NtClose(file);
  return result;
}
