// BootExecute's multi-string data: parsed without reading past its length, rebuilt byte for byte.
#include <gtest/gtest.h>

#include <memory>

#include "native/BootSettings.h"

namespace {

std::u16string Units(const char16_t* text, size_t units) { return std::u16string(text, units); }

struct ParseCase {
  const char* name;
  std::u16string data;  // exactly the units given to the parser
  std::vector<std::u16string> strings;
};

class MultiStringParse : public testing::TestWithParam<ParseCase> {};

TEST_P(MultiStringParse, YieldsTheStringsUpToTheEmptyOne) {
  const ParseCase& c = GetParam();
  // A copy on the heap of exactly this size, so that a read past the length is caught by the sanitizers.
  std::unique_ptr<WCHAR[]> data(new WCHAR[c.data.size() + 1]);
  std::copy(c.data.begin(), c.data.end(), data.get());
  EXPECT_EQ(c.strings, ParseMultiString(data.get(), static_cast<ULONG>(c.data.size() * sizeof(WCHAR))));
}

INSTANTIATE_TEST_SUITE_P(Data, MultiStringParse,
                         testing::Values(ParseCase{"TwoEntries",
                                                   Units(u"autocheck autochk *\0sxboottime x\0\0", 34),
                                                   {u"autocheck autochk *", u"sxboottime x"}},
                                         ParseCase{"EmptyList", Units(u"\0\0", 2), {}}, ParseCase{"NoData", u"", {}},
                                         ParseCase{"StopsAtTheFirstEmptyString", Units(u"a\0\0b\0\0", 6), {u"a"}},
                                         ParseCase{"MissingFinalZero", Units(u"a\0b\0", 4), {u"a", u"b"}},
                                         ParseCase{"UnterminatedLastStringIsKept", Units(u"a\0bc", 4), {u"a", u"bc"}},
                                         ParseCase{"OddByteCountDropsTheHalfUnit", Units(u"ab", 2), {u"ab"}}),
                         [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(MultiStringBuild, WritesEachStringItsZeroAndOneMore) {
  WCHAR buffer[64];
  EXPECT_EQ(21, BuildMultiString({u"autocheck autochk *"}, buffer, sizeof buffer));
  EXPECT_EQ(std::u16string(u"autocheck autochk *\0\0", 21), std::u16string(buffer, 21));
  EXPECT_EQ(2, BuildMultiString({}, buffer, sizeof buffer));
  EXPECT_EQ(std::u16string(u"\0\0", 2), std::u16string(buffer, 2));
  EXPECT_EQ(0, BuildMultiString({std::u16string(63, u'x')}, buffer, sizeof buffer)) << "does not fit";
  EXPECT_EQ(0, buffer[0]);
}

TEST(MultiStringBuild, RoundTripsWhatItParses) {
  const std::vector<std::u16string> strings{u"autocheck autochk *", u"x", u"sxboottime \\??\\C:\\x.cfg"};
  WCHAR buffer[128];
  LONG units = BuildMultiString(strings, buffer, sizeof buffer);
  EXPECT_EQ(strings, ParseMultiString(buffer, static_cast<ULONG>(units) * 2));
}

}  // namespace
