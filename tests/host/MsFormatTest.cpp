#include "host/MsFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::string N(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = host::MsFormatNarrow(format, args);
  va_end(args);
  return result;
}

std::u16string W(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string result = host::MsFormatWide(format, args);
  va_end(args);
  return result;
}

template <typename S>
struct Case {
  S got, want;
};
template <typename S>
void PrintTo(const Case<S>& c, std::ostream* os) {
  *os << testing::PrintToString(c.want);
}

const char* const kNoText = nullptr;
const char16_t* const kNoWide = nullptr;
const void* const kPtr = reinterpret_cast<const void*>(uintptr_t{0xABCDEF0123});

const std::vector<Case<std::string>> kIntegers = {
    {N("%d %i %u %x %X %o", -7, 42, 7u, 0xabcu, 0xabcu, 8u), "-7 42 7 abc ABC 10"},
    {N("%x %x %x", 0xC0000008u, -1, INT_MIN), "c0000008 ffffffff 80000000"},
    {N("%#x %#X %#x %#o %#o %#.0o %#.3o", 255u, 255u, 0u, 8u, 0u, 0u, 8u), "0xff 0XFF 0 010 0 0 010"},
    {N("%.0d|%.0x|%.3d|%5.3d|%-5.3d|%+.0d", 0, 0u, 7, -7, 7, 0), "||007| -007|007  |+"},
    {N("%05d %-05d| %08.3x %#06x %05s", -42, -42, 0x1fu, 0x1fu, "ab"), "-0042 -42  |      01f 0x001f 000ab"},
    {N("%+d %+d % d % d %+ d %+u % x", 5, -5, 5, -5, 5, 5u, 5u), "+5 -5  5 -5 +5 5 5"},
    {N("%*d|%-*d|%*d|%.*d|%*.*d", -4, 7, 4, 7, 4, 7, -1, 7, 4, 2, 7), "7   |7   |   7|7|  07"},
    {N("%hd %hu %hhd %hhu %hx", 65535, 65535, 255, 261, 0x12345), "-1 65535 -1 5 2345"},
    {N("%ld %li %lu %lx %d", -1, -1, -1, -1, 9), "-1 -1 4294967295 ffffffff 9"},
    {N("%I32d %I32x %Ld", -1, -1, -1), "-1 ffffffff -1"},
    {N("%lld %I64d %I64u", LLONG_MIN, -5000000000LL, UINT64_MAX),
     "-9223372036854775808 -5000000000 18446744073709551615"},
    {N("%Id %Ix %zu %jd %td", -5000000000LL, 0x123456789aULL, SIZE_MAX, INTMAX_MIN, PTRDIFF_MIN),
     "-5000000000 123456789a 18446744073709551615 -9223372036854775808 -9223372036854775808"},
    {N("[%4d-%02d-%02d] [%02d:%02d:%02d.%03d]", 2024, 3, 7, 9, 5, 0, 42), "[2024-03-07] [09:05:00.042]"},
    {N("%4d_%02d_%02d__%02d_%02d_%02d", 987, 12, 31, 23, 59, 59), " 987_12_31__23_59_59"},
};

const std::vector<Case<std::string>> kTextAndOthers = {
    {N("%s|%hs|%hS|%5s|%-5s|%.3s|", "ab", "ab", "ab", "ab", "ab", "abcdef"), "ab|ab|ab|   ab|ab   |abc|"},
    {N("%S|%ls|%ws|%.2S|%-5S|", u"wide", u"wide", u"wide", u"wide", u"w"), "wide|wide|wide|wi|w    |"},
    {N("%S", u"Gr\u00fc\u00dfe \u20ac \U0001F600"), "Gr??e ? ??"},
    {N("%s|%S|%.3s|%8s", kNoText, kNoWide, kNoText, kNoText), "(null)|(null)|(nu|  (null)"},
    {N("%c%hc%C%lc%wc|%3c|%-3c|%03c", 'a', 'b', u'C', u'd', u'e', 'x', 'y', 'z'), "abCde|  x|y  |00z"},
    {N("%C%lc%c", u'\u00e9', 0x20ac, '\xe9'), "??\xe9"},
    {N("%p|%p|%20p|%-17p|", kPtr, nullptr, kPtr, kPtr),
     "000000ABCDEF0123|0000000000000000|    000000ABCDEF0123|000000ABCDEF0123 |"},
    {N("%f|%.2f|%8.3f|%-8.1f|%+.1e|%E|%g|%G|%a|%08.2f|%.*f", 1.5, 1.005, 3.14159, 2.25, 12345.0, 12345.678, 1e-4, 1e-10,
       1.0, -1.5, -1, 0.5),
     "1.500000|1.00|   3.142|2.2     |+1.2e+04|1.234568E+04|0.0001|1E-10|0x1p+0|-0001.50|0.500000"},
    // Unknown conversions keep only their character: the '%', flags, width and size before it are dropped.
    {N("100%% %5%|%y|%-5y|%ly|%Iy|%I6d|%d", 3), "100% %|y|y|y|Iy|I6d|3"},
};

const std::vector<Case<std::u16string>> kWideCases = {
    {W(u"\\??\\%c:", 'C'), u"\\??\\C:"},
    {W(u"%s|%ls|%ws|%.2s|%-5s|", u"w\u20ac", u"w", u"w", u"wide", u"w"), u"w\u20ac|w|w|wi|w    |"},
    {W(u"%S|%hs|%.1S|%4hs", "ab\xe9", "ab", "ab", "ab"), u"ab\u00e9|ab|a|  ab"},
    {W(u"%c%lc%wc%C%hc", u'\u20ac', u'b', u'c', 'D', '\xe9'), u"\u20acbcD\u00e9"},
    {W(u"%s|%S|%.2hs", kNoWide, kNoText, kNoText), u"(null)|(null)|(n"},
    {W(u"\u00e9t\u00e9 %5d|%-#6x|%I64d|%p", -42, 255u, -5000000000LL, kPtr),
     u"\u00e9t\u00e9   -42|0xff  |-5000000000|000000ABCDEF0123"},
    {W(u"%.2f|%y|%", 1.5), u"1.50|y|"},
};

class Narrow : public testing::TestWithParam<Case<std::string>> {};
TEST_P(Narrow, Expands) { EXPECT_EQ(GetParam().got, GetParam().want); }
INSTANTIATE_TEST_SUITE_P(Integers, Narrow, testing::ValuesIn(kIntegers));
INSTANTIATE_TEST_SUITE_P(TextAndOthers, Narrow, testing::ValuesIn(kTextAndOthers));

class Wide : public testing::TestWithParam<Case<std::u16string>> {};
TEST_P(Wide, Expands) { EXPECT_EQ(GetParam().got, GetParam().want); }
INSTANTIATE_TEST_SUITE_P(All, Wide, testing::ValuesIn(kWideCases));

TEST(MsFormat, PercentNConsumesItsPointerButStoresNothing) {
  int stored = 7;
  EXPECT_EQ(N("a%nb%d", &stored, 5), "ab5");
  EXPECT_EQ(stored, 7);
}

TEST(MsFormat, HugeWidthsAndPrecisionsAreClamped) {
  const size_t max = host::kMsFormatMaxField;
  EXPECT_EQ(N("%2000000000d", 1).size(), max);
  EXPECT_EQ(N("%.99999999999999999999d", 1).size(), max);
  const std::string left = N("%*d|", INT_MIN, 1);
  EXPECT_EQ(left.size(), max + 1);
  EXPECT_EQ(left.substr(0, 2), "1 ");
  EXPECT_EQ(N("%.*s", INT_MAX, "ab"), "ab");
  EXPECT_EQ(N("%99999999999.99999999999f", 1.0).size(), max + 2);
  EXPECT_EQ(W(u"%99999999999s", u"x").size(), max);
}

// Run under AddressSanitizer these catch reads beyond the format's zero or a precision-bounded string.
TEST(MsFormat, StaysWithinItsInputs) {
  const std::vector<char> narrow{'a', 'b', 'c'};
  const std::vector<char16_t> wide{u'a', u'b', u'c'};
  EXPECT_EQ(N("%.3s|%.2S", narrow.data(), wide.data()), "abc|ab");
  EXPECT_EQ(W(u"%.3s|%.2S", wide.data(), narrow.data()), u"abc|ab");

  const std::pair<const char*, const char*> truncated[] = {{"x%", "x"},   {"%-0", ""},  {"%5.", ""}, {"%.*", ""},
                                                           {"%*", ""},    {"%hh", ""},  {"%l", ""},  {"%I", "I"},
                                                           {"%I6", "I6"}, {"%I3", "I3"}};
  for (const auto& [format, want] : truncated) {
    const std::vector<char> exact(format, format + std::strlen(format) + 1);
    EXPECT_EQ(N(exact.data(), 1, 2), want) << format;
  }
}

// ntdll's wrappers may expand once to measure and again to write, from the same va_list.
std::string ExpandTwice(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string first = host::MsFormatNarrow(format, args);
  std::string second = host::MsFormatNarrow(format, args);
  va_end(args);
  return first + "/" + second;
}

TEST(MsFormat, LeavesTheCallersArgumentsUnconsumed) { EXPECT_EQ(ExpandTwice("%s %d", "n", 4), "n 4/n 4"); }

}  // namespace
