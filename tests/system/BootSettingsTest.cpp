// BootExecute's multi-string data, parsed without reading past its length and rebuilt byte for byte, and the
// one-shot clean-up on a registry: exactly the program's entries go, and a list that cannot be read stays.
#include <gtest/gtest.h>

#include <memory>

#include "SystemImage.h"
#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/registry/Registry.h"
#include "native/BootSettings.h"
#include "support/RegistryFile.h"

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
                                         ParseCase{"StopsAtTheFirstEmptyString", Units(u"a\0\0b\0\0", 6), {u"a"}},
                                         ParseCase{"UnterminatedLastStringIsKept", Units(u"a\0bc", 4), {u"a", u"bc"}}),
                         [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(MultiStringBuild, WritesEachStringItsZeroAndOneMoreWhenItFits) {
  const std::vector<std::u16string> strings{u"autocheck autochk *", u"sxboottime \\??\\C:\\x.cfg"};
  WCHAR buffer[64];
  const LONG units = BuildMultiString(strings, buffer, sizeof buffer);
  EXPECT_EQ(std::u16string(u"autocheck autochk *\0sxboottime \\??\\C:\\x.cfg\0\0", 45), std::u16string(buffer, units));
  EXPECT_EQ(strings, ParseMultiString(buffer, static_cast<ULONG>(units) * 2));
  EXPECT_EQ(0, BuildMultiString({std::u16string(63, u'x')}, buffer, sizeof buffer)) << "does not fit";
  EXPECT_EQ(0, buffer[0]);
}

const char16_t kCrashControl[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl";

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// Loads a machine whose BootExecute holds `entries` (ASCII), and CrashControl when `crashControl`.
void LoadMachine(const std::vector<std::u16string>& entries, bool crashControl = true) {
  std::vector<std::string> narrow;
  for (const std::u16string& entry : entries) narrow.push_back(Narrow(entry));
  std::vector<std::string> lines{"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                                 "\"BootExecute\"=" + testsupport::MultiStringHex(narrow)};
  if (crashControl) {
    lines.insert(lines.end(), {"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]",
                               "\"CrashDumpEnabled\"=dword:00000000"});
  }
  std::string error;
  ASSERT_TRUE(host::LoadRegistryText(testsupport::RegText(lines), "machine.reg", &error)) << error;
}

std::vector<uint8_t> Value(const char16_t* key, const char16_t* name) {
  host::RegistryValue value;
  if (!host::QueryRegistryValue(key, name, &value)) return {};
  return value.data;
}

std::vector<uint8_t> BootExecute() { return Value(testsupport::kSessionManagerKey, u"BootExecute"); }

std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string>& strings) {
  std::vector<uint8_t> bytes;
  for (const auto& text : strings) {
    for (char16_t c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
    bytes.insert(bytes.end(), {0, 0});
  }
  if (strings.empty()) bytes.insert(bytes.end(), {0, 0});
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

struct RestoreCase {
  const char* name;
  std::vector<std::u16string> before, after;
  bool crashControl = true;     // the machine has the CrashControl key
  const char* fault = nullptr;  // fails calls on this thread, as FailNextCallOnThisThread takes it
};

class Restore : public testing::TestWithParam<RestoreCase> {
 protected:
  void TearDown() override {
    host::ClearFaultRules();
    host::ResetRegistry();
  }
};

// (That autocheck's entry stays and the backups are written is also checked on whole boots.)
TEST_P(Restore, TakesOutExactlyTheProgramsEntriesAndWritesTheBackups) {
  LoadMachine(GetParam().before, GetParam().crashControl);
  if (GetParam().fault != nullptr) FailNextCallOnThisThread(GetParam().fault);
  RestoreBootSettings(7, 3);
  EXPECT_EQ(MultiStringBytes(GetParam().after), BootExecute());
  const auto dword = [this](uint8_t value) {
    return GetParam().crashControl ? std::vector<uint8_t>{value, 0, 0, 0} : std::vector<uint8_t>{};
  };
  EXPECT_EQ(dword(7), Value(kCrashControl, u"CrashDumpEnabled"));
  EXPECT_EQ(dword(3), Value(kCrashControl, u"LogEvent"));
}

const std::u16string kLongEntry = u"autocheck " + std::u16string(1500, u'x');
const std::u16string kEntry = u"sxboottime \\??\\C:\\x.cfg";

INSTANTIATE_TEST_SUITE_P(
    BootExecute, Restore,
    testing::Values(RestoreCase{"NineUnitsNeverMatch", {u"sxboottim", u"xsxboottime"}, {u"sxboottim"}},
                    RestoreCase{"ListLargerThanTheFirstBufferIsStillEdited",
                                {kLongEntry, kEntry, u"other"},
                                {kLongEntry, u"other"}},
                    RestoreCase{"MissingCrashControlKeyStillEditsBootExecute", {kEntry, u"other"}, {u"other"}, false},
                    RestoreCase{"UnreadableBootExecuteIsNeverRewrittenFromNothing",
                                {u"autocheck autochk *", kEntry},
                                {u"autocheck autochk *", kEntry},
                                true,
                                "NtQueryValueKey#1+=0xC000009A"}),
    [](const testing::TestParamInfo<RestoreCase>& info) { return std::string(info.param.name); });

}  // namespace
