// Files and volumes through the native calls, on an NTFS image mounted as drive C:, pinned to the statuses
// Windows gives.
#include <gtest/gtest.h>

#include "host/Host.h"
#include "support/Native.h"
#include "support/TestImage.h"

using testsupport::NamedAttributes;

namespace {

class Files : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_.PutFile(u"Data\\a.txt", "hello"));
    std::string error;
    ASSERT_TRUE(host::MountDrive('C', image_.Path(), &error)) << error;
  }
  void TearDown() override {
    for (HANDLE handle : opened_) NtClose(handle);
    host::UnmountAllDrives();
    EXPECT_EQ(0, image_.RunNtfsfix().exitStatus) << "every test must leave a consistent volume";
  }

  NTSTATUS Create(const std::u16string& path, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, HANDLE* handle = nullptr, ULONG_PTR* info = nullptr) {
    NamedAttributes name(path);
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    NTSTATUS status = NtCreateFile(&file, access, name.get(), &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                                   options, nullptr, 0);
    if (NT_SUCCESS(status)) {
      opened_.push_back(file);
      if (info != nullptr) *info = io.Information;
    }
    if (handle != nullptr) *handle = file;
    return status;
  }

  HANDLE Open(const std::u16string& path, ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE,
              ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, Create(path, access, share, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &handle));
    return handle;
  }

  void Close(HANDLE handle) {
    opened_.erase(std::find(opened_.begin(), opened_.end(), handle));
    EXPECT_EQ(STATUS_SUCCESS, NtClose(handle));
  }

  testsupport::TestImage image_;
  std::vector<HANDLE> opened_;
};

struct OpenCase {
  const char16_t* path;
  ULONG disposition;
  ULONG options;
  NTSTATUS status;
};

void PrintTo(const OpenCase& open, std::ostream* out) {
  *out << std::string(open.path, open.path + std::char_traits<char16_t>::length(open.path)) << " disposition "
       << open.disposition;
}

class OpenStatus : public Files, public testing::WithParamInterface<OpenCase> {};

TEST_P(OpenStatus, IsWhatWindowsAnswers) {
  EXPECT_EQ(GetParam().status, Create(GetParam().path, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_SHARE_READ,
                                      GetParam().disposition, GetParam().options));
}

constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;

INSTANTIATE_TEST_SUITE_P(
    Names, OpenStatus,
    testing::Values(OpenCase{u"\\??\\C:\\Data\\a.txt", FILE_OPEN, kSync, STATUS_SUCCESS},
                    OpenCase{u"\\??\\c:\\DATA\\A.TXT", FILE_OPEN, kSync, STATUS_SUCCESS},
                    OpenCase{u"\\DosDevices\\C:\\Data\\a.txt", FILE_OPEN, kSync, STATUS_SUCCESS},
                    OpenCase{u"\\??\\C:\\Data\\missing.txt", FILE_OPEN, kSync, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"\\??\\C:\\Missing\\a.txt", FILE_OPEN, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
                    OpenCase{u"\\??\\C:\\Missing\\a.txt", FILE_CREATE, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
                    OpenCase{u"\\??\\C:\\Data\\a.txt", FILE_CREATE, kSync, STATUS_OBJECT_NAME_COLLISION},
                    OpenCase{u"\\??\\C:\\Data\\a.txt\\", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
                    OpenCase{u"\\??\\C:\\Data\\a?.txt", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
                    OpenCase{u"\\??\\C:\\Data\\..\\Data\\a.txt", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
                    OpenCase{u"\\??\\C:\\Data\\\\a.txt", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
                    OpenCase{u"\\??\\C:\\Data\\a.txt\\b", FILE_OPEN, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
                    OpenCase{u"\\??\\C:\\Data", FILE_OPEN, kSync | FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
                    OpenCase{u"\\??\\C:\\Data\\a.txt", FILE_OPEN, kSync | FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY},
                    OpenCase{u"\\??\\C:\\Data\\a.txt", FILE_OPEN, kSync | FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE,
                             STATUS_INVALID_PARAMETER},
                    OpenCase{u"\\??\\C:\\Data\\a.txt", 6, kSync, STATUS_INVALID_PARAMETER},
                    OpenCase{u"\\??\\Q:\\a.txt", FILE_OPEN, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
                    OpenCase{u"\\??\\Q:", FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"C:\\Data\\a.txt", FILE_OPEN, kSync, STATUS_OBJECT_PATH_SYNTAX_BAD},
                    OpenCase{u"\\Device\\Nothing", FILE_OPEN, kSync, STATUS_OBJECT_NAME_NOT_FOUND}));

TEST_F(Files, SynchronousOptionWithoutSynchronizeAccessIsRefused) {
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Create(u"\\??\\C:\\Data\\a.txt", FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN));
}

TEST_F(Files, CreateDispositionsReportWhatTheyDid) {
  ULONG_PTR info = 99;
  const ACCESS_MASK access = GENERIC_WRITE | SYNCHRONIZE;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\??\\C:\\Data\\new.txt", access, 0, FILE_OPEN_IF, kSync, nullptr, &info));
  EXPECT_EQ(FILE_CREATED, info);
  ASSERT_EQ(STATUS_SUCCESS,
            Create(u"\\??\\C:\\Data\\a.txt", access, FILE_SHARE_WRITE, FILE_OPEN_IF, kSync, nullptr, &info));
  EXPECT_EQ(FILE_OPENED, info);
  ASSERT_EQ(STATUS_SUCCESS,
            Create(u"\\??\\C:\\Data\\a.txt", access, FILE_SHARE_WRITE, FILE_OVERWRITE, kSync, nullptr, &info));
  EXPECT_EQ(FILE_OVERWRITTEN, info);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Create(u"\\??\\C:\\Data\\none.txt", access, 0, FILE_OVERWRITE));
  for (HANDLE handle : std::vector<HANDLE>(opened_)) Close(handle);
  host::UnmountAllDrives();
  EXPECT_EQ("", image_.ReadFile(u"Data\\a.txt")) << "overwrite empties the file";
}

TEST_F(Files, SynchronousReadsAdvanceAndEndWithEndOfFile) {
  HANDLE file = Open(u"\\??\\C:\\Data\\a.txt");
  IO_STATUS_BLOCK io{};
  char buffer[8] = {};
  ASSERT_EQ(STATUS_SUCCESS, NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 3, nullptr, nullptr));
  EXPECT_EQ(3u, io.Information);
  ASSERT_EQ(STATUS_SUCCESS, NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer + 3, 8, nullptr, nullptr));
  EXPECT_EQ(2u, io.Information) << "a read across the end returns what is left";
  EXPECT_EQ("hello", std::string(buffer));
  EXPECT_EQ(STATUS_END_OF_FILE, NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 1, nullptr, nullptr));
  EXPECT_EQ(STATUS_END_OF_FILE, io.Status);
  EXPECT_EQ(0u, io.Information);

  LARGE_INTEGER offset;
  offset.QuadPart = 1;
  ASSERT_EQ(STATUS_SUCCESS, NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 2, &offset, nullptr));
  EXPECT_EQ("el", std::string(buffer, 2));
  EXPECT_EQ(STATUS_ACCESS_DENIED, NtWriteFile(file, nullptr, nullptr, nullptr, &io, buffer, 1, nullptr, nullptr));
}

TEST_F(Files, AsynchronousHandleNeedsAnOffset) {
  HANDLE file = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\??\\C:\\Data\\a.txt", FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN, 0, &file));
  IO_STATUS_BLOCK io{};
  char buffer[4];
  EXPECT_EQ(STATUS_INVALID_PARAMETER, NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 1, nullptr, nullptr));
  LARGE_INTEGER offset{};
  EXPECT_EQ(STATUS_SUCCESS, NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 1, &offset, nullptr));
}

TEST_F(Files, AppendOnlyHandleAlwaysWritesAtTheEnd) {
  HANDLE file = Open(u"\\??\\C:\\Data\\a.txt", FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ);
  IO_STATUS_BLOCK io{};
  char more[] = " world";
  LARGE_INTEGER start{};
  ASSERT_EQ(STATUS_SUCCESS, NtWriteFile(file, nullptr, nullptr, nullptr, &io, more, 6, &start, nullptr));
  EXPECT_EQ(6u, io.Information);
  char bang[] = "!";
  ASSERT_EQ(STATUS_SUCCESS, NtWriteFile(file, nullptr, nullptr, nullptr, &io, bang, 1, nullptr, nullptr));
  Close(file);
  host::UnmountAllDrives();
  EXPECT_EQ("hello world!", image_.Ntfscat("/Data/a.txt"));
}

TEST_F(Files, SharingIsCheckedBothWays) {
  HANDLE reader = Open(u"\\??\\C:\\Data\\a.txt", GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ);
  EXPECT_EQ(STATUS_SHARING_VIOLATION, Create(u"\\??\\C:\\Data\\a.txt", GENERIC_WRITE | SYNCHRONIZE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN));
  EXPECT_EQ(STATUS_SHARING_VIOLATION,
            Create(u"\\??\\C:\\Data\\a.txt", GENERIC_READ | SYNCHRONIZE, FILE_SHARE_WRITE, FILE_OPEN))
      << "a new opener that refuses readers conflicts with the reader already there";
  EXPECT_EQ(STATUS_SUCCESS, Create(u"\\??\\C:\\Data\\a.txt", GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN));
  Close(reader);
}

TEST_F(Files, DeleteRemovesAClosedFileAndWaitsForOpenOnesThatShareDelete) {
  NamedAttributes name(u"\\??\\C:\\Data\\a.txt");
  HANDLE keeps = Open(u"\\??\\C:\\Data\\a.txt", GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ);
  EXPECT_EQ(STATUS_SHARING_VIOLATION, NtDeleteFile(name.get()));
  Close(keeps);
  HANDLE shares = Open(u"\\??\\C:\\Data\\a.txt", GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_EQ(STATUS_SUCCESS, NtDeleteFile(name.get()));
  EXPECT_EQ(STATUS_DELETE_PENDING, Create(u"\\??\\C:\\Data\\a.txt", GENERIC_READ | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN));
  Close(shares);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, NtDeleteFile(name.get()));
  NamedAttributes directory(u"\\??\\C:\\Data");
  EXPECT_EQ(STATUS_SUCCESS, NtDeleteFile(directory.get()));
}

TEST_F(Files, VolumeOpensAndFlushesOnlyWithWriteAccess) {
  HANDLE reader = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\??\\C:", FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   FILE_OPEN, 0, &reader));
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(STATUS_ACCESS_DENIED, NtFlushBuffersFile(reader, &io));
  HANDLE writer = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Create(u"\\??\\C:", FILE_GENERIC_READ_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   kSync, &writer));
  EXPECT_EQ(STATUS_SUCCESS, NtFlushBuffersFile(writer, &io));
  char byte;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            NtReadFile(writer, nullptr, nullptr, nullptr, &io, &byte, 1, nullptr, nullptr));
}

TEST_F(Files, HandlesOfAnUnmountedDriveFailInsteadOfTouchingIt) {
  HANDLE file = Open(u"\\??\\C:\\Data\\a.txt");
  host::UnmountAllDrives();
  IO_STATUS_BLOCK io{};
  char byte;
  EXPECT_EQ(static_cast<NTSTATUS>(0xC000026E),
            NtReadFile(file, nullptr, nullptr, nullptr, &io, &byte, 1, nullptr, nullptr));
}

TEST_F(Files, CompletionSetsTheCallersEvent) {
  HANDLE event = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, false));
  HANDLE file = Open(u"\\??\\C:\\Data\\a.txt");
  IO_STATUS_BLOCK io{};
  char byte;
  ASSERT_EQ(STATUS_SUCCESS, NtReadFile(file, event, nullptr, nullptr, &io, &byte, 1, nullptr, nullptr));
  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_WAIT_0, NtWaitForSingleObject(event, false, &zero));
  NtClose(event);
}

}  // namespace
