// The process-wide calls around the main sequence: the clock and its calendar fields for time stamps, the text
// conversion the boot screen goes through, and the hard-error mode set around the volume flush.
#include "Harness.h"

namespace {

struct STimeCase {
  LONGLONG time;  // 100 ns units since 1601-01-01 UTC
  CSHORT year, month, day, hour, minute, second, milliseconds, weekday;
};

constexpr STimeCase kTimes[] = {
    {0, 1601, 1, 1, 0, 0, 0, 0, 1},
    {134409023981230000LL, 2026, 12, 4, 23, 59, 58, 123, 5},
    {133536816009990000LL, 2024, 2, 29, 12, 0, 0, 999, 4},
};

void TimeFieldsOfKnownMoments() {
  for (const STimeCase& test : kTimes) {
    LARGE_INTEGER time;
    time.QuadPart = test.time;
    TIME_FIELDS fields{};
    RtlTimeToTimeFields(&time, &fields);
    // Every field is checked, also after a failed one.
    const bool ok = CHECK_EQ(test.year, fields.Year) & CHECK_EQ(test.month, fields.Month) &
                    CHECK_EQ(test.day, fields.Day) & CHECK_EQ(test.hour, fields.Hour) &
                    CHECK_EQ(test.minute, fields.Minute) & CHECK_EQ(test.second, fields.Second) &
                    CHECK_EQ(test.milliseconds, fields.Milliseconds) & CHECK_EQ(test.weekday, fields.Weekday);
    if (!ok) ConformancePrint("     time %I64d\n", test.time);
  }
}

void AnsiTextBecomesCountedUnicode() {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "Complete\n");
  UNICODE_STRING wide{};
  if (CHECK_STATUS(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&wide, &narrow, true))) {
    CHECK_EQ(18, wide.Length);
    CHECK_EQ(20, wide.MaximumLength);
    CHECK_WIDE_TEXT(u"Complete\n", wide.Buffer);
    RtlFreeUnicodeString(&wide);
  }
}

void HardErrorModeIsSet() {
  for (ULONG mode : {0u, 1u}) {
    CHECK_STATUS(STATUS_SUCCESS,
                 NtSetInformationProcess(NtCurrentProcess(), ProcessDefaultHardErrorMode, &mode, sizeof mode));
  }
}

}  // namespace

void ProcessChecks(const SConformanceEnvironment&) {
  TimeFieldsOfKnownMoments();
  AnsiTextBecomesCountedUnicode();
  HardErrorModeIsSet();
}
