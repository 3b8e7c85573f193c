// Time, counted strings, the printf family's buffer rules and fault injection of the host platform.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/objects/Clock.h"
#include "platform/NativeApi.h"

namespace {

struct TimeCase {
  LONGLONG time;
  TIME_FIELDS fields;
};

void PrintTo(const TimeCase& moment, std::ostream* out) { *out << moment.time; }

class TimeFields : public testing::TestWithParam<TimeCase> {};

TEST_P(TimeFields, SplitsSystemTimeIntoUtcFields) {
  LARGE_INTEGER time;
  time.QuadPart = GetParam().time;
  TIME_FIELDS fields{};
  RtlTimeToTimeFields(&time, &fields);
  const TIME_FIELDS& want = GetParam().fields;
  EXPECT_EQ(want.Year, fields.Year);
  EXPECT_EQ(want.Month, fields.Month);
  EXPECT_EQ(want.Day, fields.Day);
  EXPECT_EQ(want.Hour, fields.Hour);
  EXPECT_EQ(want.Minute, fields.Minute);
  EXPECT_EQ(want.Second, fields.Second);
  EXPECT_EQ(want.Milliseconds, fields.Milliseconds);
  EXPECT_EQ(want.Weekday, fields.Weekday);
}

INSTANTIATE_TEST_SUITE_P(
    KnownMoments, TimeFields,
    testing::Values(TimeCase{0, {1601, 1, 1, 0, 0, 0, 0, 1}},                         // a Monday
                    TimeCase{116444736000000000, {1970, 1, 1, 0, 0, 0, 0, 4}},        // the Unix epoch, a Thursday
                    TimeCase{133537247999990000, {2024, 2, 29, 23, 59, 59, 999, 4}},  // leap day, last millisecond
                    TimeCase{134092911530410000, {2025, 12, 4, 3, 5, 53, 41, 4}},
                    TimeCase{159728112000000000, {2107, 2, 28, 12, 0, 0, 0, 1}}));

TEST(Clock, StartsAtAChosenMomentAndKeepsRunning) {
  int64_t start = 0;
  ASSERT_TRUE(host::ParseUtcTime("2026-12-31T23:59:59.500Z", &start));
  host::SetClockStart(start);
  LARGE_INTEGER now{};
  ASSERT_EQ(STATUS_SUCCESS, NtQuerySystemTime(&now));
  EXPECT_GE(now.QuadPart, start);
  EXPECT_LT(now.QuadPart, start + 10000000) << "less than a second should have passed";
  TIME_FIELDS fields{};
  RtlTimeToTimeFields(&now, &fields);
  EXPECT_EQ(2026, fields.Year);
  EXPECT_EQ(23, fields.Hour);
  host::UseRealClock();
  int64_t ignored;
  for (const char* bad : {"2026-12-31 23:59:59Z", "2026-13-01T00:00:00Z", "2026-12-31T23:59:59", "x"}) {
    EXPECT_FALSE(host::ParseUtcTime(bad, &ignored)) << bad;
  }
}

TEST(CountedStrings, InitialisationCountsBytesWithoutTheTerminator) {
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, u"\\??\\C:");
  EXPECT_EQ(12, wide.Length);
  EXPECT_EQ(14, wide.MaximumLength);
  RtlInitUnicodeString(&wide, nullptr);
  EXPECT_EQ(0, wide.Length);
  EXPECT_EQ(0, wide.MaximumLength);
  EXPECT_EQ(nullptr, wide.Buffer);

  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "abc");
  EXPECT_EQ(3, narrow.Length);
  EXPECT_EQ(4, narrow.MaximumLength);
}

TEST(CountedStrings, AnsiToUnicodeAllocatesOrRespectsTheGivenBuffer) {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "log\xe9");
  UNICODE_STRING wide{};
  ASSERT_EQ(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&wide, &narrow, true));
  EXPECT_EQ(std::u16string(u"log\u00e9"), std::u16string(wide.Buffer, wide.Length / 2));
  EXPECT_EQ(u'\0', wide.Buffer[4]);
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(nullptr, wide.Buffer);

  WCHAR small[2];
  UNICODE_STRING fixed{0, sizeof small, small};
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlAnsiStringToUnicodeString(&fixed, &narrow, false));

  host::FaultRule rule;
  rule.call = "RtlAllocateHeap";
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
  EXPECT_EQ(STATUS_NO_MEMORY, RtlAnsiStringToUnicodeString(&wide, &narrow, true));
  host::ClearFaultRules();
}

TEST(CountedStrings, UnicodeToAnsiReplacesWhatTheCodePageLacks) {
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, u"a\u00e9\u4e2d");
  ANSI_STRING narrow{};
  ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&narrow, &wide, true));
  EXPECT_EQ(std::string("a\xe9?"), std::string(narrow.Buffer, narrow.Length));
  RtlFreeAnsiString(&narrow);
}

int Format(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = NtdllVsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

TEST(PrintfBuffers, TerminatorOnlyWhenThereIsRoomAndMinusOneWhenCut) {
  char buffer[8];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(4, Format(buffer, 5, "%s", "abcd"));
  EXPECT_STREQ("abcd", buffer);

  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(5, Format(buffer, 5, "%s", "abcde"));
  EXPECT_EQ(0, memcmp(buffer, "abcdex", 6)) << "an exact fit is written without terminator";

  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(-1, Format(buffer, 5, "%s", "abcdefg"));
  EXPECT_EQ(0, memcmp(buffer, "abcdex", 6));

  WCHAR wide[8] = {};
  EXPECT_EQ(6, NtdllSnwprintf(wide, 8, u"\\??\\%c:", u'C'));
  EXPECT_EQ(std::u16string(u"\\??\\C:"), std::u16string(wide));
  EXPECT_EQ(-1, NtdllSnwprintf(wide, 3, u"%s", u"long"));
}

struct FaultSpecCase {
  const char* text;
  bool valid;
  const char* call;
  uint64_t first;
  uint64_t count;
  bool fails;
  ULONG status;
  uint32_t delayMs;
};

void PrintTo(const FaultSpecCase& spec, std::ostream* out) { *out << spec.text; }

class FaultSpec : public testing::TestWithParam<FaultSpecCase> {};

TEST_P(FaultSpec, ParsesTheCommandLineForm) {
  const FaultSpecCase& want = GetParam();
  host::FaultRule rule;
  std::string error;
  ASSERT_EQ(want.valid, host::ParseFaultRule(want.text, &rule, &error)) << error;
  if (!want.valid) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ(want.call, rule.call);
  EXPECT_EQ(want.first, rule.first);
  EXPECT_EQ(want.count, rule.count);
  EXPECT_EQ(want.fails, rule.fails);
  if (want.fails) {
    EXPECT_EQ(static_cast<NTSTATUS>(want.status), rule.status);
  }
  EXPECT_EQ(want.delayMs, rule.delayMs);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, FaultSpec,
    testing::Values(FaultSpecCase{"NtReadFile#3=0xC0000185", true, "NtReadFile", 3, 1, true, 0xC0000185, 0},
                    FaultSpecCase{"NtReadFile#3+=0xC0000185", true, "NtReadFile", 3, 0, true, 0xC0000185, 0},
                    FaultSpecCase{"NtReadFile#3-5=0xC0000185", true, "NtReadFile", 3, 3, true, 0xC0000185, 0},
                    FaultSpecCase{"NtWriteFile=0xC000007F", true, "NtWriteFile", 1, 0, true, 0xC000007F, 0},
                    FaultSpecCase{"FSCTL_MOVE_FILE#2=delay:500", true, "FSCTL_MOVE_FILE", 2, 1, false, 0, 500},
                    FaultSpecCase{"NtReadFile#0=1", false, "", 0, 0, false, 0, 0},
                    FaultSpecCase{"NtReadFile#5-3=1", false, "", 0, 0, false, 0, 0},
                    FaultSpecCase{"NtReadFile=0x1FFFFFFFF", false, "", 0, 0, false, 0, 0},
                    FaultSpecCase{"=0xC0000001", false, "", 0, 0, false, 0, 0},
                    FaultSpecCase{"NtReadFile", false, "", 0, 0, false, 0, 0},
                    FaultSpecCase{"NtReadFile=delay:soon", false, "", 0, 0, false, 0, 0}));

TEST(FaultInjection, TheNthMatchingCallFailsAndEveryCallIsCounted) {
  host::FaultRule rule;
  ASSERT_TRUE(host::ParseFaultRule("NtSetEvent#2=0xC0000008", &rule, nullptr));
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
  HANDLE event = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, false));
  uint64_t before = host::CallCount("NtSetEvent");
  EXPECT_EQ(STATUS_SUCCESS, NtSetEvent(event, nullptr));
  EXPECT_EQ(STATUS_INVALID_HANDLE, NtSetEvent(event, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, NtSetEvent(event, nullptr));
  EXPECT_EQ(before + 3, host::CallCount("NtSetEvent"));
  auto calls = host::RecentCalls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ("NtSetEvent", calls[calls.size() - 2].call);
  EXPECT_EQ(STATUS_INVALID_HANDLE, calls[calls.size() - 2].status);
  host::ClearFaultRules();
  NtClose(event);
}

}  // namespace
