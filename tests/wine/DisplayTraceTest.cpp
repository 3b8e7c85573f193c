// Recovering the boot screen from Wine's trace: the escapes Wine writes, the other lines it writes, and a text
// too long to be shown whole.
#include "DisplayTrace.h"

#include <gtest/gtest.h>

namespace {

TEST(DisplayTrace, DecodesEveryEscapeAndSkipsOtherLines) {
  const std::string trace =
      "0104:err:ntdll:NtDisplayString L\"Zenmoria Spindraxel\\n\"\n"
      "0108:err:ntdll:NtQueryInformationFile something else\n"
      "0104:err:ntdll:NtDisplayString L\"a\\\\b\\\"c\\r\\t\\00e9\\0001\"\n";
  winetest::DisplayTrace decoded = winetest::DecodeDisplayTrace(trace);
  EXPECT_EQ("Zenmoria Spindraxel\na\\b\"c\r\t\xC3\xA9\x01", decoded.screen);
  EXPECT_FALSE(decoded.cut);
}

TEST(DisplayTrace, MarksTextsNotShownWhole) {
  for (const std::string trace :
       {"0104:err:ntdll:NtDisplayString L\"abc\"...\n", "0104:err:ntdll:NtDisplayString L\"abc\n",
        "0104:err:ntdll:NtDisplayString L\"\\00e\"\n"}) {
    EXPECT_TRUE(winetest::DecodeDisplayTrace(trace).cut) << trace;
  }
}

}  // namespace
