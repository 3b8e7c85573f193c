// The keyboard class device through the native calls, held to the statuses Windows gives, with strokes delivered
// when the test says so (its opening with and without a keyboard is checked on whole boots); the key script's strokes;
// and the decoder that turns what a terminal sends into strokes.
#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "host/ntdll/keyboard/Keyboard.h"
#include "host/ntdll/keyboard/KeyboardDevice.h"
#include "host/ntdll/keyboard/TerminalKeys.h"
#include "support/Native.h"

namespace {

// How the program opens the device: GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE.
constexpr ACCESS_MASK kKeyboardAccess = 0x80100080;
constexpr ULONG kRecord = sizeof(KEYBOARD_INPUT_DATA);
constexpr USHORT kMake = KEY_MAKE, kBreak = KEY_BREAK, kE0 = KEY_E0;
constexpr USHORT kShift = 0x2A, kCtrl = 0x1D, kAlt = 0x38;

// (MakeCode, Flags) of each record.
using Codes = std::vector<std::pair<USHORT, USHORT>>;

Codes CodesOf(const KEYBOARD_INPUT_DATA* records, size_t count) {
  Codes codes;
  for (size_t i = 0; i < count; ++i) codes.emplace_back(records[i].MakeCode, records[i].Flags);
  return codes;
}

// A key's press and release, and the same inside a modifier's press and release.
Codes Key(USHORT code, USHORT e0 = 0) { return {{code, e0 | kMake}, {code, e0 | kBreak}}; }
Codes Held(USHORT modifier, Codes inner) {
  inner.insert(inner.begin(), {modifier, kMake});
  inner.emplace_back(modifier, kBreak);
  return inner;
}

NTSTATUS Poll(HANDLE event) {
  LARGE_INTEGER zero{};
  return NtWaitForSingleObject(event, false, &zero);
}

NTSTATUS WaitLong(HANDLE event) {
  LARGE_INTEGER timeout = testsupport::RelativeTimeout(10000);
  return NtWaitForSingleObject(event, false, &timeout);
}

// An open keyboard, and an event for its reads, whose strokes arrive only when Press delivers them.
class Keyboard : public testing::Test {
 protected:
  void SetUp() override {
    host::AttachKeyboard([] {});
    testsupport::NamedAttributes attributes(u"\\Device\\KeyboardClass0", 0);
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(STATUS_SUCCESS, NtCreateFile(&device_, kKeyboardAccess, attributes.get(), &io, nullptr,
                                           FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, 0));
    ASSERT_EQ(STATUS_SUCCESS, NtCreateEvent(&event_, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, false));
  }
  void TearDown() override {
    if (device_ != nullptr) NtClose(device_);
    NtClose(event_);
    host::RemoveKeyboard();
  }

  static void Press(const char* key, size_t times = 1) {
    host::KeyRecords records;
    for (size_t i = 0; i < times; ++i) ASSERT_TRUE(host::AppendNamedStroke(key, 0, &records));
    host::DeliverKeyRecords(records);
  }

  // A read as the program makes it, at offset 0 with no APC, signalling event_.
  NTSTATUS Read(IO_STATUS_BLOCK* io, KEYBOARD_INPUT_DATA* records, ULONG length = kRecord) {
    LARGE_INTEGER offset{};
    return NtReadFile(device_, event_, nullptr, nullptr, io, records, length, &offset, nullptr);
  }

  HANDLE device_ = nullptr;
  HANDLE event_ = nullptr;
};

TEST_F(Keyboard, CancelledReadGetsCancelledAndTheLaterKeyGoesToTheNextRead) {
  KEYBOARD_INPUT_DATA record{0x7777, 0x7777, 0x7777, 0x7777, 0x77777777};
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_PENDING, Read(&io, &record));
  IO_STATUS_BLOCK cancel{};
  cancel.Status = -1;
  EXPECT_EQ(STATUS_SUCCESS, NtCancelIoFile(device_, &cancel));
  EXPECT_EQ(STATUS_SUCCESS, cancel.Status);
  EXPECT_EQ(STATUS_CANCELLED, io.Status) << "the cancel completes the read before it returns";
  EXPECT_EQ(0u, io.Information);
  EXPECT_EQ(0x7777, record.MakeCode) << "a cancelled read writes no record";

  // The cancel signalled the event; the next read clears it, so only the key can end the wait.
  IO_STATUS_BLOCK next{};
  ASSERT_EQ(STATUS_PENDING, Read(&next, &record));
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event_));
  Press("b");
  ASSERT_EQ(STATUS_WAIT_0, WaitLong(event_));
  EXPECT_EQ(STATUS_SUCCESS, next.Status);
  EXPECT_EQ((Codes{{0x30, kMake}}), CodesOf(&record, 1));
}

// A read made before the key pends, and its event is set when the key arrives; a cancel on this thread leaves the
// read of another thread pending.
TEST_F(Keyboard, PendingReadOfAnotherThreadOutlivesACancelAndGetsTheKey) {
  KEYBOARD_INPUT_DATA record{};
  IO_STATUS_BLOCK io{};
  std::thread([&] { EXPECT_EQ(STATUS_PENDING, Read(&io, &record)); }).join();
  IO_STATUS_BLOCK cancel{};
  EXPECT_EQ(STATUS_SUCCESS, NtCancelIoFile(device_, &cancel));
  EXPECT_EQ(STATUS_TIMEOUT, Poll(event_));
  Press("x");
  ASSERT_EQ(STATUS_WAIT_0, WaitLong(event_));
  EXPECT_EQ(STATUS_SUCCESS, io.Status);
  EXPECT_EQ(kRecord, io.Information);
  EXPECT_EQ((Codes{{0x2D, kMake}}), CodesOf(&record, 1));

  // The release is already waiting: the next read completes at once and sets the event too.
  ASSERT_EQ(STATUS_SUCCESS, Read(&io, &record));
  EXPECT_EQ((Codes{{0x2D, kBreak}}), CodesOf(&record, 1));
  EXPECT_EQ(STATUS_WAIT_0, Poll(event_));
}

TEST_F(Keyboard, ClosingTheDeviceCompletesItsPendingReadAsCancelled) {
  KEYBOARD_INPUT_DATA record{};
  IO_STATUS_BLOCK io{};
  ASSERT_EQ(STATUS_PENDING, Read(&io, &record));
  EXPECT_EQ(STATUS_SUCCESS, NtClose(std::exchange(device_, nullptr)));
  EXPECT_EQ(STATUS_CANCELLED, io.Status);
  EXPECT_EQ(STATUS_WAIT_0, Poll(event_));
}

// Reads take whole records only, as many as fit and are waiting; the buffer keeps the first 100 records.
TEST_F(Keyboard, ReadsTakeWholeWaitingRecordsFromABufferOfAHundred) {
  Press("a");
  Press("b");
  KEYBOARD_INPUT_DATA records[3] = {};
  IO_STATUS_BLOCK io{};
  io.Status = -1;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Read(&io, records, kRecord + 1));
  EXPECT_EQ(-1, io.Status) << "a refused read leaves the status block alone";
  ASSERT_EQ(STATUS_SUCCESS, Read(&io, records, 2 * kRecord));
  EXPECT_EQ(Key(0x1E), CodesOf(records, io.Information / kRecord));
  ASSERT_EQ(STATUS_SUCCESS, Read(&io, records, 3 * kRecord));
  EXPECT_EQ(Key(0x30), CodesOf(records, io.Information / kRecord)) << "only what is waiting";

  Press("a", host::kKeyboardBufferRecords);  // twice the records that fit
  std::vector<KEYBOARD_INPUT_DATA> all(2 * host::kKeyboardBufferRecords);
  ASSERT_EQ(STATUS_SUCCESS, Read(&io, all.data(), static_cast<ULONG>(all.size() * kRecord)));
  EXPECT_EQ(host::kKeyboardBufferRecords * kRecord, io.Information);
}

struct StrokeCase {
  const char* text;  // a script item, or the bytes a terminal sends
  Codes codes;
};
void PrintTo(const StrokeCase& stroke, std::ostream* out) { *out << testing::PrintToString(std::string(stroke.text)); }

class ScriptKey : public testing::TestWithParam<StrokeCase> {};

TEST_P(ScriptKey, GivesScanCodeSetOneRecordsInOrder) {
  host::KeyScript script;
  std::string error;
  ASSERT_TRUE(host::ParseKeyScript(std::string("250:") + GetParam().text, &script, &error)) << error;
  ASSERT_EQ(1u, script.size());
  EXPECT_EQ(250, script[0].at.count());
  EXPECT_EQ(GetParam().codes, CodesOf(script[0].records.data(), script[0].records.size()));
}

INSTANTIATE_TEST_SUITE_P(Keyboard, ScriptKey,
                         testing::Values(StrokeCase{"a", Key(0x1E)}, StrokeCase{",", Key(0x33)},
                                         StrokeCase{"Enter", Key(0x1C)}, StrokeCase{"f12", Key(0x58)},
                                         StrokeCase{"A", Held(kShift, Key(0x1E))}, StrokeCase{"left", Key(0x4B, kE0)},
                                         StrokeCase{"kpenter", Key(0x1C, kE0)},
                                         StrokeCase{"ctrl+alt+delete", Held(kCtrl, Held(kAlt, Key(0x53, kE0)))}));

class TerminalBytes : public testing::TestWithParam<StrokeCase> {};

// Each case is fed byte by byte and then flushed, as the terminal reader does when the terminal goes quiet.
TEST_P(TerminalBytes, DecodeToTheStrokesOfTheirKeys) {
  host::TerminalKeyDecoder decoder;
  host::KeyRecords records;
  for (const char* byte = GetParam().text; *byte != '\0'; ++byte) {
    decoder.Feed(static_cast<unsigned char>(*byte), &records);
  }
  decoder.Flush(&records);
  EXPECT_FALSE(decoder.Waiting());
  EXPECT_EQ(GetParam().codes, CodesOf(records.data(), records.size()));
}

INSTANTIATE_TEST_SUITE_P(Keyboard, TerminalBytes,
                         testing::Values(StrokeCase{"a", Key(0x1E)}, StrokeCase{"?", Held(kShift, Key(0x35))},
                                         StrokeCase{"\r", Key(0x1C)}, StrokeCase{"\x03", Held(kCtrl, Key(0x2E))},
                                         StrokeCase{"\x1b[A", Key(0x48, kE0)}, StrokeCase{"\x1bOP", Key(0x3B)},
                                         StrokeCase{"\x1b[1;5C", Held(kCtrl, Key(0x4D, kE0))},
                                         StrokeCase{"\x1b", Key(0x01)}, StrokeCase{"\x1b[99~a", Key(0x1E)}));

}  // namespace
