// ntdll's printf family as the log, the boot screen and the path builders use it: Microsoft's conversions and
// what happens at the end of the buffer (a terminator only when there is room, -1 when the text does not fit).
#include "Harness.h"

namespace {

constexpr char kFill = '#';

int Vsnprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = NtdllVsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

void NarrowConversions(const SConformanceEnvironment& env) {
  char text[128];
  const WCHAR wide[] = u"\\??\\C:";
  NtdllSnprintf(text, sizeof text, "%s|%d|%u|%x|%X|%c|%%", "ab", -5, 7u, 0xC0000034u, 0xABu, 'z');
  CHECK_TEXT("ab|-5|7|c0000034|AB|z|%", text);
  NtdllSnprintf(text, sizeof text, "%S|%ws|%hs|%c", wide, wide, "narrow", 'n');
  CHECK_TEXT("\\??\\C:|\\??\\C:|narrow|n", text);
  // Wine 8's narrow printf shows a wide character (%C) as '?' now and then, depending on the call's stack.
  NtdllSnprintf(text, sizeof text, "Volume %C:", static_cast<int>(u'Q'));
  if (!env.underWine_) CHECK_TEXT("Volume Q:", text);
  NtdllSnprintf(text, sizeof text, "%I64d|%I64u|%I64x", static_cast<LONGLONG>(-5000000000LL),
                static_cast<ULONGLONG>(18446744073709551615ULL), static_cast<ULONGLONG>(0x123456789AULL));
  CHECK_TEXT("-5000000000|18446744073709551615|123456789a", text);
  NtdllSnprintf(text, sizeof text, "[%4d-%02d-%02d] [%02d:%02d:%02d.%03d]", 2026, 3, 7, 9, 5, 0, 42);
  CHECK_TEXT("[2026-03-07] [09:05:00.042]", text);
  NtdllSnprintf(text, sizeof text, "%s #%d L%d |%5s|%-5s|%.2s|%08x", "Fn", 12, 1, "ab", "ab", "abc", 0x1Fu);
  CHECK_TEXT("Fn #12 L1 |   ab|ab   |ab|0000001f", text);
  NtdllSnprintf(text, sizeof text, "MftZone: <%I64d, %I64d)", static_cast<LONGLONG>(0), static_cast<LONGLONG>(4096));
  CHECK_TEXT("MftZone: <0, 4096)", text);
}

void WideConversions() {
  WCHAR text[64];
  NtdllSnwprintf(text, 63, u"\\??\\%c:", u'D');
  CHECK_WIDE_TEXT(u"\\??\\D:", text);
  NtdllSnwprintf(text, 63, u"\\Device\\KeyboardClass%u", 19u);
  CHECK_WIDE_TEXT(u"\\Device\\KeyboardClass19", text);
  NtdllSnwprintf(text, 63, u"%4d_%02d_%02d__%02d_%02d_%02d", 987, 12, 31, 23, 5, 9);
  CHECK_WIDE_TEXT(u" 987_12_31__23_05_09", text);
  NtdllSnwprintf(text, 63, u"%s|%ws|%S|%hs", u"wide", u"wide", "narrow", "narrow");
  CHECK_WIDE_TEXT(u"wide|wide|narrow|narrow", text);
}

// The end of the buffer, for each of the three calls: room to spare, an exact fit and one character short.
void TruncationAtTheEndOfTheBuffer() {
  char text[16];
  memset(text, kFill, sizeof text);
  CHECK_EQ(5, NtdllSnprintf(text, 6, "%s", "abcde"));
  CHECK_TEXT("abcde", text);

  memset(text, kFill, sizeof text);
  CHECK_EQ(5, NtdllSnprintf(text, 5, "%s", "abcde"));
  CHECK_EQ(0, memcmp(text, "abcde#", 6));  // no terminator

  memset(text, kFill, sizeof text);
  CHECK_EQ(static_cast<ULONG>(-1), static_cast<ULONG>(NtdllSnprintf(text, 4, "%s", "abcde")));
  CHECK_EQ(0, memcmp(text, "abcd#", 5));

  memset(text, kFill, sizeof text);
  CHECK_EQ(static_cast<ULONG>(-1), static_cast<ULONG>(NtdllSnprintf(text, 0, "%s", "abcde")));
  CHECK_EQ(kFill, text[0]);

  memset(text, kFill, sizeof text);
  CHECK_EQ(5, Vsnprintf(text, 5, "%d", 12345));
  CHECK_EQ(0, memcmp(text, "12345#", 6));
  memset(text, kFill, sizeof text);
  CHECK_EQ(static_cast<ULONG>(-1), static_cast<ULONG>(Vsnprintf(text, 3, "x%dy", 12345)));
  CHECK_EQ(0, memcmp(text, "x12#", 4));

  WCHAR wide[8];
  for (WCHAR& unit : wide) unit = u'#';
  CHECK_EQ(3, NtdllSnwprintf(wide, 3, u"%u", 123u));
  CHECK_EQ(u'#', wide[3]);
  CHECK_EQ(static_cast<ULONG>(-1), static_cast<ULONG>(NtdllSnwprintf(wide, 2, u"%u", 456u)));
  CHECK_EQ(u'4', wide[0]);
  CHECK_EQ(u'5', wide[1]);
  CHECK_EQ(u'3', wide[2]);  // untouched since the call before
}

}  // namespace

void FormatChecks(const SConformanceEnvironment& env) {
  NarrowConversions(env);
  WideConversions();
  TruncationAtTheEndOfTheBuffer();
}
