#include "SystemImage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/ntdll/Host.h"
#include "host/ntdll/faults/Faults.h"
#include "log/Logger.h"
#include "support/Native.h"
#include "support/TestImage.h"

namespace {

class SystemImage : public testing::Environment {
 public:
  void SetUp() override {
    image_ = new testsupport::TestImage();
    for (const char16_t* directory : {u"Logs", u"Other", u"Quiet", u"Config", u"Second"}) {
      ASSERT_TRUE(image_->MakeDirectory(directory));
    }
    std::string error;
    ASSERT_TRUE(host::MountDrive('C', image_->Path(), &error)) << error;
    SX_LOG_FUNCTION("SystemImage::SetUp");
    SX_LOG(3, "queued before the log was opened");
    CLogger::Instance().Open(u"\\??\\C:\\Logs\\", 3);
  }
  void TearDown() override {
    host::UnmountAllDrives();
    delete image_;
  }

 private:
  testsupport::TestImage* image_ = nullptr;
};

testing::Environment* const g_systemImage = testing::AddGlobalTestEnvironment(new SystemImage);

}  // namespace

void WriteNativeFile(const std::u16string& path, const std::string& bytes) {
  testsupport::NamedAttributes name(path);
  HANDLE file = nullptr;
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_SUCCESS,
            NtCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, name.get(), &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                         FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0));
  if (!bytes.empty()) {
    EXPECT_EQ(STATUS_SUCCESS, NtWriteFile(file, nullptr, nullptr, nullptr, &io, const_cast<char*>(bytes.data()),
                                          static_cast<ULONG>(bytes.size()), nullptr, nullptr));
  }
  NtClose(file);
}

std::string ReadNativeFile(const std::u16string& path) {
  testsupport::NamedAttributes name(path);
  HANDLE file = nullptr;
  IO_STATUS_BLOCK io{};
  if (!NT_SUCCESS(NtCreateFile(&file, GENERIC_READ | SYNCHRONIZE, name.get(), &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
                               0))) {
    return {};
  }
  std::string text;
  char buffer[65536];
  while (NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr) == STATUS_SUCCESS) {
    text.append(buffer, io.Information);
  }
  NtClose(file);
  return text;
}

std::string FileTextWith(const std::u16string& path, const std::string& marker) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    std::string text = ReadNativeFile(path);
    if (text.find(marker) != std::string::npos) return text;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "never showed up: " << marker;
      return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string LogTextWith(const std::string& marker) { return FileTextWith(CLogger::Instance().GetFilePath(), marker); }

std::string LineWith(const std::string& text, const std::string& marker) {
  size_t at = text.find(marker);
  if (at == std::string::npos) return {};
  size_t start = text.rfind("\r\n", at);
  start = start == std::string::npos ? 0 : start + 2;
  size_t end = text.find("\r\n", at);
  return text.substr(start, end == std::string::npos ? std::string::npos : end + 2 - start);
}

std::string LoggedSinceLastMark() {
  static int mark = 0;
  static std::string previous;
  std::string marker = "---- mark " + std::to_string(++mark) + " ----";
  SX_LOG_FUNCTION("Test");
  SX_LOG(1, "%s", marker.c_str());
  std::string text = LogTextWith(marker);
  size_t from = previous.empty() ? 0 : text.find(previous);
  from = from == std::string::npos ? 0 : text.find("\r\n", from) + 2;
  size_t to = text.rfind("\r\n", text.find(marker));
  previous = marker;
  return to == std::string::npos || to < from ? std::string() : text.substr(from, to + 2 - from);
}

void FailNextCallOnThisThread(const char* text) {
  host::FaultRule rule;
  ASSERT_TRUE(host::ParseFaultRule(text, &rule, nullptr)) << text;
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
}
