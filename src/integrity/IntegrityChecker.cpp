#include "integrity/IntegrityChecker.h"

#include "integrity/Md5Calculator.h"
#include "log/Logger.h"
#include "volume/FileFragments.h"
#include "volume/OpenFile.h"

namespace {

constexpr ULONG kReadSize = 512;
constexpr char kVerdict[] = "Integrity check for file %s ";

// Whether two native paths name the same file: NTFS compares names without regard to case.
bool SamePath(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

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
  const CFileIntegrityChecker* same = nullptr;
  for (const CFileIntegrityChecker* hashed : hashed_) {
    if (SamePath(hashed->GetFilePath(), path)) same = hashed;
  }
  bool initialised = true;
  if (same != nullptr) {
    checker->Initialize(path, same->GetDigest());
  } else {
    initialised = checker->Initialize(path);
    if (initialised) hashed_.push_back(checker.get());
  }
  const std::string format = std::string(kVerdict) + (initialised ? "initialized successfully." : "failed");
  SX_LOG(3, format.c_str(), ToAnsiString(path).c_str());
  if (initialised) checkers_.push_back(std::move(checker));
}

void CIntegrityChecker::PerformCheck() {
  SX_LOG_FUNCTION("CIntegrityChecker::PerformCheck");
  // The fresh digests of this pass, by the entry that made them.
  std::vector<std::pair<const CFileIntegrityChecker*, std::string>> fresh;
  for (const auto& checker : checkers_) {
    const std::string* made = nullptr;
    for (const auto& [entry, digest] : fresh) {
      if (SamePath(entry->GetFilePath(), checker->GetFilePath())) made = &digest;
    }
    std::string digest = made != nullptr ? *made : checker->CalculateHash();
    if (made == nullptr && !digest.empty()) fresh.emplace_back(checker.get(), digest);
    const bool unchanged = digest == checker->GetDigest();
    const std::string format = std::string(kVerdict) + (unchanged ? "performed successfully. File is OK."
                                                                  : "failed. File appears to be corrupted!");
    SX_LOG(unchanged ? 3 : 1, format.c_str(), ToAnsiString(checker->GetFilePath()).c_str());
  }
}
