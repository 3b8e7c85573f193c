// The keyboard class device through the native calls, pinned to the statuses Windows gives, with keys typed by a
// script; the script's parser; and the decoder that turns what a terminal sends into strokes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "host/ntdll/keyboard/Keyboard.h"
#include "host/ntdll/keyboard/KeyboardDevice.h"
#include "host/ntdll/keyboard/TerminalKeys.h"
#include "support/Native.h"

using testsupport::NamedAttributes;
using testsupport::RelativeTimeout;

namespace {

// How the program opens the device: GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE.
constexpr ACCESS_MASK kKeyboardAccess = 0x80100080;
constexpr ULONG kRecord = sizeof(KEYBOARD_INPUT_DATA);
constexpr USHORT kMake = KEY_MAKE;
constexpr USHORT kBreak = KEY_BREAK;

// (MakeCode, Flags) of each record.
using Codes = std::vector<std::pair<USHORT, USHORT>>;

Codes CodesOf(const KEYBOARD_INPUT_DATA* records, size_t count) {
  Codes codes;
  for (size_t i = 0; i < count; ++i) codes.emplace_back(records[i].MakeCode, records[i].Flags);
  return codes;
}

// A key's press and release, and the same inside a modifier's press and release.
Codes Key(USHORT code, USHORT e0 = 0) { return {{code, e0 | KEY_MAKE}, {code, e0 | KEY_BREAK}}; }
Codes Held(USHORT modifier, Codes inner) {
  inner.insert(inner.begin(), {modifier, KEY_MAKE});
  inner.emplace_back(modifier, KEY_BREAK);
  return inner;
}

constexpr USHORT kE0 = KEY_E0;
constexpr USHORT kShift = 0x2A;

NTSTATUS Poll(HANDLE event) {
  LARGE_INTEGER zero{};
  return NtWaitForSingleObject(event, false, &zero);
}

NTSTATUS WaitLong(HANDLE event) {
  LARGE_INTEGER timeout = RelativeTimeout(10000);
  return NtWaitForSingleObject(event, false, &timeout);
}

class Keyboard : public testing::Test {
 protected:
  void TearDown() override {
    for (HANDLE handle : opened_) NtClose(handle);
    host::RemoveKeyboard();
  }

  // Installs a script; its times count from now.
  void Type(const std::string& script) {
    host::KeyScript keys;
    std::string error;
    ASSERT_TRUE(host::ParseKeyScript(script, &keys, &error)) << error;
    host::SetKeyboardScript(keys);
  }

  NTSTATUS Open(const std::u16string& name, HANDLE* device = nullptr, ULONG options = FILE_DIRECTORY_FILE,
                ULONG_PTR* information = nullptr) {
    NamedAttributes attributes(name, 0);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateFile(&handle, kKeyboardAccess, attributes.get(), &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                                   FILE_OPEN, options, nullptr, 0);
    if (NT_SUCCESS(status)) opened_.push_back(handle);
    if (device != nullptr) *device = handle;
    if (information != nullptr) *information = io.Information;
    return status;
  }

  HANDLE OpenKeyboard(ULONG options = FILE_DIRECTORY_FILE) {
    HANDLE device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, Open(u"\\Device\\KeyboardClass0", &device, options));
    return device;
  }

  HANDLE MakeEvent() {
    HANDLE event = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, false));
    opened_.push_back(event);
    return event;
  }

  // A read as the program makes it, at offset 0 with no APC.
  static NTSTATUS Read(HANDLE device, HANDLE event, IO_STATUS_BLOCK* io, KEYBOARD_INPUT_DATA* records, ULONG length) {
    LARGE_INTEGER offset{};
    return NtReadFile(device, event, nullptr, nullptr, io, records, length, &offset, nullptr);
  }

  std::vector<HANDLE> opened_;
};

struct NameCase {
  bool keyboard;  // a source is installed
  const char16_t* name;
  NTSTATUS status;
};

void PrintTo(const NameCase& open, std::ostream* out) {
  *out << (open.keyboard ? "keyboard " : "no keyboard ")
       << std::string(open.name, open.name + std::char_traits<char16_t>::length(open.name));
}

class DeviceName : public Keyboard, public testing::WithParamInterface<NameCase> {};

TEST_P(DeviceName, OpensAsWindowsAnswers) {
  if (GetParam().keyboard) Type("");
  ULONG_PTR information = 99;
  EXPECT_EQ(GetParam().status, Open(GetParam().name, nullptr, FILE_DIRECTORY_FILE, &information));
  if (NT_SUCCESS(GetParam().status)) {
    EXPECT_EQ(FILE_OPENED, information);
  }
}

INSTANTIATE_TEST_SUITE_P(Keyboard, DeviceName,
                         testing::Values(NameCase{false, u"\\Device\\KeyboardClass0", STATUS_OBJECT_NAME_NOT_FOUND},
                                         NameCase{true, u"\\Device\\KeyboardClass0", STATUS_SUCCESS},
                                         NameCase{true, u"\\device\\KEYBOARDCLASS0", STATUS_SUCCESS},
                                         NameCase{true, u"\\Device\\KeyboardClass1", STATUS_OBJECT_NAME_NOT_FOUND},
                                         NameCase{true, u"\\Device\\KeyboardClass19", STATUS_OBJECT_NAME_NOT_FOUND},
                                         NameCase{false, u"\\Device\\Nothing\\KeyboardClass0",
                                                  STATUS_OBJECT_PATH_NOT_FOUND}));

TEST_F(Keyboard, ReadBeforeTheKeyPendsAndItsEventIsSetWhenTheKeyArrives) {
  auto typed = std::chrono::steady_clock::now();
  Type("150:a");
  HANDLE device = OpenKeyboard();
  HANDLE event = MakeEvent();
  KEYBOARD_INPUT_DATA record{};
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_PENDING, Read(device, event, &io, &record, kRecord));
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event));
  ASSERT_EQ(STATUS_WAIT_0, WaitLong(event));
  EXPECT_GE(std::chrono::steady_clock::now() - typed, std::chrono::milliseconds(150)) << "the key came early";
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ(kRecord, io.Information);
  EXPECT_EQ((Codes{{0x1E, kMake}}), CodesOf(&record, 1));

  // The release is already waiting: the next read completes at once and sets the event too.
  IO_STATUS_BLOCK next{};
  ASSERT_EQ(STATUS_SUCCESS, Read(device, event, &next, &record, kRecord));
  EXPECT_EQ(STATUS_SUCCESS, next.Status);
  EXPECT_EQ(kRecord, next.Information);
  EXPECT_EQ((Codes{{0x1E, kBreak}}), CodesOf(&record, 1));
  EXPECT_EQ(STATUS_WAIT_0, Poll(event));
}

struct StrokeCase {
  const char* key;
  Codes codes;
};

void PrintTo(const StrokeCase& stroke, std::ostream* out) { *out << stroke.key; }

class Stroke : public Keyboard, public testing::WithParamInterface<StrokeCase> {};

TEST_P(Stroke, GivesScanCodeSetOneRecordsInOrder) {
  Type(std::string("0:") + GetParam().key);
  HANDLE device = OpenKeyboard();
  HANDLE event = MakeEvent();
  KEYBOARD_INPUT_DATA records[8] = {};
  IO_STATUS_BLOCK io{};
  NTSTATUS status = Read(device, event, &io, records, sizeof records);
  if (status == STATUS_PENDING) {
    ASSERT_EQ(STATUS_WAIT_0, WaitLong(event));
  }
  ASSERT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ(GetParam().codes, CodesOf(records, io.Information / kRecord));
}

INSTANTIATE_TEST_SUITE_P(Keyboard, Stroke,
                         testing::Values(StrokeCase{"a", Key(0x1E)}, StrokeCase{"0", Key(0x0B)},
                                         StrokeCase{",", Key(0x33)}, StrokeCase{"Enter", Key(0x1C)},
                                         StrokeCase{"f12", Key(0x58)}, StrokeCase{"shift+a", Held(kShift, Key(0x1E))},
                                         StrokeCase{"A", Held(kShift, Key(0x1E))},
                                         StrokeCase{"?", Held(kShift, Key(0x35))}, StrokeCase{"left", Key(0x4B, kE0)},
                                         StrokeCase{"kpenter", Key(0x1C, kE0)},
                                         StrokeCase{"ctrl+alt+delete", Held(0x1D, Held(0x38, Key(0x53, kE0)))}));

TEST_F(Keyboard, CancelledReadGetsCancelledAndTheLaterKeyGoesToTheNextRead) {
  Type("300:b");
  HANDLE device = OpenKeyboard();
  HANDLE event = MakeEvent();
  KEYBOARD_INPUT_DATA record{0x7777, 0x7777, 0x7777, 0x7777, 0x77777777};
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_PENDING, Read(device, event, &io, &record, kRecord));
  LARGE_INTEGER timeout = RelativeTimeout(20);
  ASSERT_EQ(STATUS_TIMEOUT, NtWaitForSingleObject(event, false, &timeout));

  IO_STATUS_BLOCK cancel{};
  cancel.Status = -1;
  EXPECT_EQ(STATUS_SUCCESS, NtCancelIoFile(device, &cancel));
  EXPECT_EQ(STATUS_SUCCESS, cancel.Status);
  EXPECT_EQ(STATUS_CANCELLED, io.Status) << "the cancel completes the read before it returns";
  EXPECT_EQ(0u, io.Information);
  EXPECT_EQ(0x7777, record.MakeCode) << "a cancelled read writes no record";

  // The cancel signalled the event; the next read clears it, so only the key can end the wait.
  IO_STATUS_BLOCK next{};
  ASSERT_EQ(STATUS_PENDING, Read(device, event, &next, &record, kRecord));
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event));
  ASSERT_EQ(STATUS_WAIT_0, WaitLong(event));
  EXPECT_EQ(STATUS_SUCCESS, next.Status);
  EXPECT_EQ((Codes{{0x30, kMake}}), CodesOf(&record, 1));
}

TEST_F(Keyboard, CancelLeavesTheReadsOfOtherThreadsPending) {
  Type("200:x");
  HANDLE device = OpenKeyboard();
  HANDLE event = MakeEvent();
  KEYBOARD_INPUT_DATA record{};
  IO_STATUS_BLOCK io{};
  std::thread([&] { EXPECT_EQ(STATUS_PENDING, Read(device, event, &io, &record, kRecord)); }).join();
  IO_STATUS_BLOCK cancel{};
  EXPECT_EQ(STATUS_SUCCESS, NtCancelIoFile(device, &cancel));
  ASSERT_EQ(STATUS_WAIT_0, WaitLong(event));
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ((Codes{{0x2D, kMake}}), CodesOf(&record, 1));
}

TEST_F(Keyboard, ClosingTheDeviceCompletesItsPendingReadAsCancelled) {
  Type("");
  HANDLE device = OpenKeyboard();
  HANDLE event = MakeEvent();
  KEYBOARD_INPUT_DATA record{};
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_PENDING, Read(device, event, &io, &record, kRecord));
  opened_.erase(std::find(opened_.begin(), opened_.end(), device));
  EXPECT_EQ(STATUS_SUCCESS, NtClose(device));
  EXPECT_EQ(STATUS_CANCELLED, io.Status);
  EXPECT_EQ(STATUS_WAIT_0, Poll(event));
}

TEST_F(Keyboard, ReadTakesAsManyWholeRecordsAsFitAndAreWaiting) {
  Type("0:a,0:b");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both keys wait in the buffer
  HANDLE device = OpenKeyboard();
  KEYBOARD_INPUT_DATA records[3] = {};
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_SUCCESS, Read(device, nullptr, &io, records, 2 * kRecord));
  EXPECT_EQ(2 * kRecord, io.Information);
  EXPECT_EQ((Codes{{0x1E, kMake}, {0x1E, kBreak}}), CodesOf(records, 2));
  ASSERT_EQ(STATUS_SUCCESS, Read(device, nullptr, &io, records, 3 * kRecord));
  EXPECT_EQ(2 * kRecord, io.Information) << "only what is waiting";
  EXPECT_EQ((Codes{{0x30, kMake}, {0x30, kBreak}}), CodesOf(records, 2));
  EXPECT_EQ(STATUS_PENDING, Read(device, nullptr, &io, records, kRecord));
  NtCancelIoFile(device, &io);  // `io` and `records` are written when the read completes: not after this test
}

TEST_F(Keyboard, ReadsOfPartRecordsAreRefusedAndTakeNothing) {
  Type("0:a");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  HANDLE device = OpenKeyboard();
  KEYBOARD_INPUT_DATA records[2] = {};
  for (ULONG length : {1u, kRecord - 1, kRecord + 1, 2 * kRecord - 1}) {
    IO_STATUS_BLOCK io{};
    io.Status = -1;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Read(device, nullptr, &io, records, length)) << length;
    EXPECT_EQ(-1, io.Status) << "a refused read leaves the status block alone";
  }
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(STATUS_SUCCESS, Read(device, nullptr, &io, records, 0));
  EXPECT_EQ(0u, io.Information);
  ASSERT_EQ(STATUS_SUCCESS, Read(device, nullptr, &io, records, kRecord));
  EXPECT_EQ((Codes{{0x1E, kMake}}), CodesOf(records, 1));
}

TEST_F(Keyboard, KeysQueueWhileNobodyReadsUpToTheBufferSize) {
  std::string script = "0:a";
  for (size_t i = 1; i < host::kKeyboardBufferRecords; ++i) script += ",0:a";  // twice the records that fit
  Type(script);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  HANDLE device = OpenKeyboard();
  std::vector<KEYBOARD_INPUT_DATA> records(2 * host::kKeyboardBufferRecords);
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_SUCCESS, Read(device, nullptr, &io, records.data(), records.size() * kRecord));
  EXPECT_EQ(host::kKeyboardBufferRecords * kRecord, io.Information);
}

TEST_F(Keyboard, ReadOnASynchronousHandleWaitsForTheKey) {
  Type("100:z");
  HANDLE device = OpenKeyboard(FILE_SYNCHRONOUS_IO_NONALERT);
  KEYBOARD_INPUT_DATA record{};
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_SUCCESS, Read(device, nullptr, &io, &record, kRecord));
  EXPECT_EQ((Codes{{0x2C, kMake}}), CodesOf(&record, 1));
}

}  // namespace
