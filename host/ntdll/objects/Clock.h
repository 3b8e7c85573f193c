// The host's system clock in native units (100 ns since 1601-01-01 UTC), with an optional fixed starting point so
// that tests can run at a chosen moment (just before midnight, a leap day) while time still passes.
#pragma once

#include <cstdint>
#include <string>

namespace host {

int64_t SystemTimeNow();

// From now on the clock reads `systemTime`, advancing in real time.
void SetClockStart(int64_t systemTime);
// Back to the real time.
void UseRealClock();

// "YYYY-MM-DDTHH:MM:SS[.mmm]Z" to native units; false when the text is not such a time.
bool ParseUtcTime(const std::string& text, int64_t* systemTime);

}  // namespace host
