// NtQuerySystemTime and RtlTimeToTimeFields over the host clock.
#include "host/ntdll/objects/Clock.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "host/ntdll/faults/Faults.h"
#include "platform/NativeApi.h"

namespace host {
namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134774;

std::atomic<int64_t> g_clockOffset{0};

int64_t RealSystemTime() {
  auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100;
  return ticks + kDaysFrom1601To1970 * kTicksPerDay;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian; Howard Hinnant's algorithms).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2);
}

}  // namespace

int64_t SystemTimeNow() { return RealSystemTime() + g_clockOffset.load(); }

void SetClockStart(int64_t systemTime) { g_clockOffset.store(systemTime - RealSystemTime()); }

void UseRealClock() { g_clockOffset.store(0); }

bool ParseUtcTime(const std::string& text, int64_t* systemTime) {
  int year, month, day, hour, minute, second, millisecond = 0, consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second, &consumed) !=
      6) {
    return false;
  }
  std::string rest = text.substr(consumed);
  if (!rest.empty() && rest[0] == '.') {
    int digits = 0;
    if (std::sscanf(rest.c_str(), ".%3d%n", &millisecond, &digits) != 1 || digits != 4) return false;
    rest = rest.substr(digits);
  }
  if (rest != "Z" || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  int64_t days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
  *systemTime = days * kTicksPerDay + ((hour * 60 + minute) * 60 + second) * kTicksPerSecond + millisecond * 10000;
  return days >= 0;
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI NtQuerySystemTime(LARGE_INTEGER* SystemTime) {
  return host::TraceCall("NtQuerySystemTime", [&]() -> NTSTATUS {
    if (SystemTime == nullptr) return STATUS_ACCESS_VIOLATION;
    SystemTime->QuadPart = host::SystemTimeNow();
    return STATUS_SUCCESS;
  });
}

void NTAPI RtlTimeToTimeFields(LARGE_INTEGER* Time, TIME_FIELDS* TimeFields) {
  using namespace host;
  int64_t ticks = Time->QuadPart;
  int64_t days = ticks / kTicksPerDay;
  int64_t rest = ticks % kTicksPerDay;
  int64_t year;
  unsigned month, day;
  CivilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
  TimeFields->Year = static_cast<CSHORT>(year);
  TimeFields->Month = static_cast<CSHORT>(month);
  TimeFields->Day = static_cast<CSHORT>(day);
  TimeFields->Hour = static_cast<CSHORT>(rest / (kTicksPerSecond * 3600));
  TimeFields->Minute = static_cast<CSHORT>(rest / (kTicksPerSecond * 60) % 60);
  TimeFields->Second = static_cast<CSHORT>(rest / kTicksPerSecond % 60);
  TimeFields->Milliseconds = static_cast<CSHORT>(rest % kTicksPerSecond / 10000);
  // 1601-01-01 was a Monday; 0 is Sunday.
  TimeFields->Weekday = static_cast<CSHORT>((days + 1) % 7);
}

}  // extern "C"
