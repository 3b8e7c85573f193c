// What the host platform adds beyond the checks the conformance program makes on both platforms: a clock started
// at a chosen moment, allocation failures and code-page replacements in the text conversions, and the fault rules
// the --fault option and the tests use. (That the Nth matching call fails and every call is counted, every test
// that fails a call by its number or counts moves depends on.)
#include <gtest/gtest.h>

#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/objects/Clock.h"
#include "platform/NativeApi.h"

namespace {

TEST(Clock, StartsAtAChosenMomentAndRefusesOtherForms) {
  int64_t start = 0;
  ASSERT_TRUE(host::ParseUtcTime("2026-12-31T23:59:59.500Z", &start));
  host::SetClockStart(start);
  LARGE_INTEGER now{};
  ASSERT_EQ(STATUS_SUCCESS, NtQuerySystemTime(&now));
  host::UseRealClock();
  EXPECT_GE(now.QuadPart, start);
  TIME_FIELDS fields{};
  RtlTimeToTimeFields(&now, &fields);
  EXPECT_EQ(2026, fields.Year);
  for (const char* bad : {"2026-12-31 23:59:59Z", "2026-13-01T00:00:00Z", "2026-12-31T23:59:59", "x"}) {
    EXPECT_FALSE(host::ParseUtcTime(bad, &start)) << bad;
  }
}

TEST(CountedStrings, ConversionsReportNoRoomAndReplaceWhatTheCodePageLacks) {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "log\xe9");
  WCHAR small[2];
  UNICODE_STRING fixed{0, sizeof small, small};
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlAnsiStringToUnicodeString(&fixed, &narrow, false));
  host::FaultRule rule;
  rule.call = "RtlAllocateHeap";
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
  UNICODE_STRING wide{};
  EXPECT_EQ(STATUS_NO_MEMORY, RtlAnsiStringToUnicodeString(&wide, &narrow, true));
  host::ClearFaultRules();

  RtlInitUnicodeString(&wide, u"a\u00e9\u4e2d");
  ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&narrow, &wide, true));
  EXPECT_EQ(std::string("a\xe9?"), std::string(narrow.Buffer, narrow.Length));
  RtlFreeAnsiString(&narrow);
}

struct FaultRuleCase {
  const char* text;
  bool valid;
  uint64_t first, count;
  uint32_t delayMs;  // 0: the rule fails the call with 0xC0000185
};
void PrintTo(const FaultRuleCase& given, std::ostream* out) { *out << given.text; }

class FaultRuleText : public testing::TestWithParam<FaultRuleCase> {};

TEST_P(FaultRuleText, ParsesTheCommandLineForm) {
  const FaultRuleCase& want = GetParam();
  host::FaultRule rule;
  std::string error;
  ASSERT_EQ(want.valid, host::ParseFaultRule(want.text, &rule, &error)) << error;
  if (!want.valid) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ("NtReadFile", rule.call);
  EXPECT_EQ(want.first, rule.first);
  EXPECT_EQ(want.count, rule.count);
  EXPECT_EQ(want.delayMs == 0, rule.fails);
  EXPECT_EQ(want.delayMs, rule.delayMs);
  EXPECT_EQ(rule.fails ? static_cast<NTSTATUS>(0xC0000185) : rule.status, rule.status);
}

INSTANTIATE_TEST_SUITE_P(Forms, FaultRuleText,
                         testing::Values(FaultRuleCase{"NtReadFile#3-5=0xC0000185", true, 3, 3, 0},
                                         FaultRuleCase{"NtReadFile=0xC0000185", true, 1, 0, 0},
                                         FaultRuleCase{"NtReadFile#2=delay:500", true, 2, 1, 500},
                                         FaultRuleCase{"NtReadFile#5-3=1", false, 0, 0, 0}));

}  // namespace
