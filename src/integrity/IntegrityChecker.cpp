#include "integrity/IntegrityChecker.h"

#include "integrity/Md5Calculator.h"
#include "log/Logger.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"

namespace {

constexpr ULONG kReadSize = 512;
constexpr char kVerdict[] = "Integrity check for file %s ";

}  // namespace

std::string CFileIntegrityChecker::CalculateHash() {
  SX_LOG_FUNCTION("CFileIntegrityChecker::CalculateHash");
  CMd5Calculator md5;
  HANDLE file = nullptr;
  NTSTATUS status = OpenFile(path_.c_str(), &file, GENERIC_READ | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
  if (!NT_SUCCESS(status)) {
    SX_LOG(1, "Failed to open file (0x%x)", status);
    return {};
  }
  UCHAR buffer[kReadSize];
  for (;;) {
    IO_STATUS_BLOCK ioStatus{};
    status = NtReadFile(file, nullptr, nullptr, nullptr, &ioStatus, buffer, kReadSize, nullptr, nullptr);
    if (!NT_SUCCESS(status)) break;
    // Never more than was asked for, whatever the status block claims.
    ULONG got = ioStatus.Information < kReadSize ? static_cast<ULONG>(ioStatus.Information) : kReadSize;
    md5.Update(buffer, got);
  }
  std::string digest;
  if (status == STATUS_END_OF_FILE) {
    md5.Finalize();
    digest = md5.GetHexDigest();
  } else {
    SX_LOG(1, "Failed to read file. 0x%x", status);
  }
  NtClose(file);
  return digest;
}

bool CFileIntegrityChecker::Initialize(const std::u16string& path) {
  path_ = path;
  digest_ = CalculateHash();
  return !digest_.empty();
}

bool CFileIntegrityChecker::Check() { return CalculateHash() == digest_; }

void CIntegrityChecker::AddFile(std::u16string path) {
  SX_LOG_FUNCTION("CIntegrityChecker::AddFile");
  auto checker = std::make_shared<CFileIntegrityChecker>();
  const bool initialised = checker->Initialize(path);
  const std::string format = std::string(kVerdict) + (initialised ? "initialized successfully." : "failed");
  SX_LOG(3, format.c_str(), ToAnsiString(path).c_str());
  if (initialised) checkers_.push_back(std::move(checker));
}

void CIntegrityChecker::PerformCheck() {
  SX_LOG_FUNCTION("CIntegrityChecker::PerformCheck");
  for (const auto& checker : checkers_) {
    const bool unchanged = checker->Check();
    const std::string format = std::string(kVerdict) + (unchanged ? "performed successfully. File is OK."
                                                                  : "failed. File appears to be corrupted!");
    SX_LOG(unchanged ? 3 : 1, format.c_str(), ToAnsiString(checker->GetFilePath()).c_str());
  }
}
