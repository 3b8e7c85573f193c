// ntdll's printf family with the conversions the log, the boot screen and the path builders use, and what happens
// at the end of the buffer: a terminator only when there is room, -1 when the text does not fit.
#include "Harness.h"

namespace {

int Vsnprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = NtdllVsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

void ConversionsTheSystemUses(const SConformanceEnvironment& env) {
  char text[128];
  NtdllSnprintf(text, sizeof text, "%s %s#%d L%d |%x|%X|%S|%ws", "[2026-03-07]", "Fn", 12, 1, 0xC0000034u, 0xABu,
                u"\\??\\C:", u"w");
  CHECK_TEXT("[2026-03-07] Fn#12 L1 |c0000034|AB|\\??\\C:|w", text);
  NtdllSnprintf(text, sizeof text, "[%4d-%02d-%02d] [%02d:%02d:%02d.%03d]", 2026, 3, 7, 9, 5, 0, 42);
  CHECK_TEXT("[2026-03-07] [09:05:00.042]", text);
  NtdllSnprintf(text, sizeof text, "<%I64d, %I64u)", static_cast<LONGLONG>(-5000000000LL),
                static_cast<ULONGLONG>(18446744073709551615ULL));
  CHECK_TEXT("<-5000000000, 18446744073709551615)", text);
  // Wine 8's narrow printf shows a wide character (%C) as '?' now and then, depending on the call's stack.
  NtdllSnprintf(text, sizeof text, "Volume %C:", static_cast<int>(u'Q'));
  if (!env.underWine_) CHECK_TEXT("Volume Q:", text);

  WCHAR wide[64];
  NtdllSnwprintf(wide, 63, u"\\??\\%c:|KeyboardClass%u|%4d_%02d", u'D', 19u, 987, 5);
  CHECK_WIDE_TEXT(u"\\??\\D:|KeyboardClass19| 987_05", wide);
}

void TruncationAtTheEndOfTheBuffer() {
  char text[16];
  memset(text, '#', sizeof text);
  CHECK_EQ(5, Vsnprintf(text, 5, "%d", 12345));
  CHECK_EQ(0, memcmp(text, "12345#", 6));  // an exact fit gets no terminator
  memset(text, '#', sizeof text);
  CHECK_EQ(static_cast<ULONG>(-1), static_cast<ULONG>(Vsnprintf(text, 3, "x%dy", 12345)));
  CHECK_EQ(0, memcmp(text, "x12#", 4));

  WCHAR wide[8];
  for (WCHAR& unit : wide) unit = u'#';
  CHECK_EQ(6, NtdllSnwprintf(wide, 7, u"\\??\\%c:", u'C'));
  CHECK_WIDE_TEXT(u"\\??\\C:", wide);
  CHECK_EQ(static_cast<ULONG>(-1), static_cast<ULONG>(NtdllSnwprintf(wide, 2, u"%u", 456u)));
  CHECK_EQ(u'4', wide[0]);
  CHECK_EQ(u'5', wide[1]);
  CHECK_EQ(u'?', wide[2]);  // untouched by the cut call
}

}  // namespace

void FormatChecks(const SConformanceEnvironment& env) {
  ConversionsTheSystemUses(env);
  TruncationAtTheEndOfTheBuffer();
}
