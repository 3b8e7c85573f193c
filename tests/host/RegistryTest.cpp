// NtOpenKey, NtQueryValueKey, NtSetValueKey and NtClose on keys, pinned to the statuses Windows gives, and the
// registry's file: written back only when changed, never left half-written.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host/Faults.h"
#include "host/RegFile.h"
#include "host/Registry.h"
#include "support/Native.h"
#include "support/RegistryFile.h"

using testsupport::RegistryFile;
using testsupport::RegText;

namespace {

constexpr char16_t kSessionManager[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";

const std::string kMachine =
    RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
             "\"BootExecute\"=" + testsupport::MultiStringHex({"autocheck autochk *"}), "\"Dword\"=dword:00000002",
             "@=\"default\"", "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]",
             "\"CrashDumpEnabled\"=dword:00000007"});

UNICODE_STRING Counted(const std::u16string& text) {
  const auto bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  return UNICODE_STRING{bytes, bytes, const_cast<WCHAR*>(text.data())};
}

NTSTATUS OpenKey(HANDLE* key, const std::u16string& name, ACCESS_MASK access = KEY_READ,
                 ULONG attributes = OBJ_CASE_INSENSITIVE, HANDLE root = nullptr) {
  UNICODE_STRING unicode = Counted(name);
  OBJECT_ATTRIBUTES record{sizeof(OBJECT_ATTRIBUTES), root, &unicode, attributes, nullptr, nullptr};
  return NtOpenKey(key, access, &record);
}

NTSTATUS SetValue(HANDLE key, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
  UNICODE_STRING unicode = Counted(name);
  return NtSetValueKey(key, &unicode, 0, type, data.data(), static_cast<ULONG>(data.size()));
}

// The type and data of a value through its partial-information record.
NTSTATUS Query(HANDLE key, const std::u16string& name, ULONG* type = nullptr, std::vector<uint8_t>* data = nullptr) {
  UNICODE_STRING unicode = Counted(name);
  alignas(8) UCHAR buffer[256];
  ULONG length = 0;
  NTSTATUS status = NtQueryValueKey(key, &unicode, KeyValuePartialInformation, buffer, sizeof buffer, &length);
  const auto* record = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  if (status == STATUS_SUCCESS && type != nullptr) *type = record->Type;
  if (status == STATUS_SUCCESS && data != nullptr) data->assign(record->Data, record->Data + record->DataLength);
  return status;
}

class RegistryFixture : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host::LoadRegistryText(kMachine, "machine.reg", &error)) << error;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key_, kSessionManager, KEY_ALL_ACCESS));
  }
  void TearDown() override {
    NtClose(key_);
    host::ClearFaultRules();
    host::ResetRegistry();
  }
  HANDLE key_ = nullptr;
};

struct OpenCase {
  const char16_t* name;
  ULONG attributes;
  NTSTATUS status;
};

void PrintTo(const OpenCase& open, std::ostream* out) {
  *out << host::RegistryTextToUtf8(open.name) << (open.attributes ? " (case-insensitive)" : "");
}

class RegistryOpenKey : public RegistryFixture, public testing::WithParamInterface<OpenCase> {};

TEST_P(RegistryOpenKey, GivesTheStatusWindowsGives) {
  HANDLE key = reinterpret_cast<HANDLE>(0xDEADBEEF);
  EXPECT_EQ(GetParam().status, OpenKey(&key, GetParam().name, KEY_READ, GetParam().attributes));
  EXPECT_EQ(GetParam().status == STATUS_SUCCESS, key != nullptr) << "a failed open clears the handle";
  if (key != nullptr) NtClose(key);
}

constexpr ULONG kAnyCase = OBJ_CASE_INSENSITIVE;

INSTANTIATE_TEST_SUITE_P(
    RegistryNames, RegistryOpenKey,
    testing::Values(OpenCase{kSessionManager, kAnyCase, STATUS_SUCCESS},
                    // Inside the registry names compare without case, whatever the attributes say...
                    OpenCase{u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset", 0, STATUS_SUCCESS},
                    // ...but the object namespace above it compares exactly unless asked not to.
                    OpenCase{u"\\Registry\\Machine", 0, STATUS_OBJECT_PATH_NOT_FOUND},
                    OpenCase{u"\\Registry", 0, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"\\Registry\\", kAnyCase, STATUS_SUCCESS},
                    OpenCase{u"\\Registry\\Machine\\\\System\\", kAnyCase, STATUS_SUCCESS},
                    OpenCase{u"\\Registry\\Machine\\Missing\\Deeper", kAnyCase, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"\\Foobar", kAnyCase, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"\\Foobar\\Machine", kAnyCase, STATUS_OBJECT_PATH_NOT_FOUND},
                    OpenCase{u"Machine\\System", kAnyCase, STATUS_OBJECT_PATH_SYNTAX_BAD},
                    OpenCase{u"", kAnyCase, STATUS_OBJECT_PATH_SYNTAX_BAD},
                    OpenCase{u"\\", kAnyCase, STATUS_OBJECT_TYPE_MISMATCH}));

class RegistryKeys : public RegistryFixture {};

TEST_F(RegistryKeys, OpenRefusesBadArguments) {
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_ACCESS_DENIED, OpenKey(&key, kSessionManager, 0));
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, NtOpenKey(&key, KEY_READ, nullptr));
  testsupport::NamedAttributes attributes(kSessionManager);
  attributes.get()->Length *= 2;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, NtOpenKey(&key, KEY_READ, attributes.get()));
}

TEST_F(RegistryKeys, OpenBelowARootKeyTakesARelativeName) {
  HANDLE machine = nullptr, key = nullptr, event = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(&machine, u"\\Registry\\Machine"));
  ASSERT_EQ(STATUS_SUCCESS, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, false));
  EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, u"system\\CurrentControlSet", KEY_READ, kAnyCase, machine));
  NtClose(key);
  EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, OpenKey(&key, u"\\System", KEY_READ, kAnyCase, machine));
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, OpenKey(&key, u"System", KEY_READ, kAnyCase, event));
  NtClose(machine);
  NtClose(event);
}

TEST_F(RegistryKeys, EmptyRegistryHasTheHiveRootsAndNothingBelow) {
  host::ResetRegistry();
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&key, kSessionManager));
  EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\Registry\\Machine"));
  NtClose(key);
}

TEST_F(RegistryKeys, ClosedKeyHandleNoLongerNamesTheKey) {
  EXPECT_EQ(STATUS_SUCCESS, NtClose(key_));
  EXPECT_EQ(STATUS_INVALID_HANDLE, NtClose(key_));
  EXPECT_EQ(STATUS_INVALID_HANDLE, Query(key_, u"Dword"));
}

struct QuerySizeCase {
  KEY_VALUE_INFORMATION_CLASS infoClass;
  ULONG length;
  NTSTATUS status;
  ULONG resultLength;
};

void PrintTo(const QuerySizeCase& query, std::ostream* out) {
  *out << "class " << query.infoClass << ", " << query.length << " bytes";
}

class RegistryQueryValueSize : public RegistryFixture, public testing::WithParamInterface<QuerySizeCase> {};

// "Dword": a 10-byte name and 4 bytes of data. A buffer short of the fixed header gets nothing; one that holds the
// header gets it filled, whatever else fits; the result length is always what the whole record needs.
TEST_P(RegistryQueryValueSize, FillsTheHeaderWhenItFitsAndAlwaysGivesTheFullSize) {
  std::u16string name = u"Dword";
  UNICODE_STRING unicode = Counted(name);
  alignas(8) UCHAR buffer[64];
  std::memset(buffer, 0xCC, sizeof buffer);
  ULONG resultLength = 0;
  EXPECT_EQ(GetParam().status,
            NtQueryValueKey(key_, &unicode, GetParam().infoClass, buffer, GetParam().length, &resultLength));
  EXPECT_EQ(GetParam().resultLength, resultLength);
  // Type is the second ULONG of every record; the full record's DataOffset the third.
  const ULONG* fields = reinterpret_cast<const ULONG*>(buffer);
  EXPECT_EQ(GetParam().status == STATUS_BUFFER_TOO_SMALL ? 0xCCCCCCCC : REG_DWORD, fields[1]);
  if (GetParam().infoClass == KeyValueFullInformation && GetParam().status != STATUS_BUFFER_TOO_SMALL) {
    EXPECT_EQ(32u, fields[2]) << "the data starts at the first ULONG boundary after the name: 20 + 10 -> 32";
  }
}

INSTANTIATE_TEST_SUITE_P(RegistryBuffers, RegistryQueryValueSize,
                         testing::Values(QuerySizeCase{KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 16},
                                         QuerySizeCase{KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 16},
                                         QuerySizeCase{KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 16},
                                         QuerySizeCase{KeyValuePartialInformation, 15, STATUS_BUFFER_OVERFLOW, 16},
                                         QuerySizeCase{KeyValuePartialInformation, 16, STATUS_SUCCESS, 16},
                                         QuerySizeCase{KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 22},
                                         QuerySizeCase{KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW, 22},
                                         QuerySizeCase{KeyValueBasicInformation, 22, STATUS_SUCCESS, 22},
                                         QuerySizeCase{KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 36},
                                         QuerySizeCase{KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 36},
                                         QuerySizeCase{KeyValueFullInformation, 35, STATUS_BUFFER_OVERFLOW, 36},
                                         QuerySizeCase{KeyValueFullInformation, 36, STATUS_SUCCESS, 36}));

class RegistryValues : public RegistryFixture {};

TEST_F(RegistryValues, QueryFindsValuesWithoutCaseAndTheDefaultUnderTheEmptyName) {
  ULONG type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(STATUS_SUCCESS, Query(key_, u"bootexecute", &type, &data));
  EXPECT_EQ(REG_MULTI_SZ, type);
  EXPECT_EQ(0, std::memcmp(data.data(), u"autocheck autochk *\0", data.size()));
  ASSERT_EQ(STATUS_SUCCESS, Query(key_, u"", &type, &data));
  EXPECT_EQ(0, std::memcmp(data.data(), u"default", data.size()));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(key_, u"Missing"));
  std::u16string name = u"Dword";
  UNICODE_STRING unicode = Counted(name);
  ULONG length = 0;
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            NtQueryValueKey(key_, &unicode, static_cast<KEY_VALUE_INFORMATION_CLASS>(9), data.data(), 0, &length));
}

TEST_F(RegistryValues, FullInformationHoldsTheNameAsFirstSpeltAndTheDataAtItsOffset) {
  std::u16string name = u"bootexecute";
  UNICODE_STRING unicode = Counted(name);
  alignas(8) UCHAR buffer[128];
  ULONG length = 0;
  ASSERT_EQ(STATUS_SUCCESS, NtQueryValueKey(key_, &unicode, KeyValueFullInformation, buffer, sizeof buffer, &length));
  const auto* record = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
  EXPECT_EQ(u"BootExecute", std::u16string(record->Name, record->NameLength / sizeof(WCHAR)));
  EXPECT_EQ(44u, record->DataOffset);
  EXPECT_EQ(44u + 42u, length);
  EXPECT_EQ(0, std::memcmp(buffer + record->DataOffset, u"autocheck autochk *", 38));
}

TEST_F(RegistryValues, EachCallNeedsItsRightOnTheHandle) {
  HANDLE setOnly = nullptr, readOnly = nullptr, generic = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(&setOnly, kSessionManager, KEY_SET_VALUE));
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(&readOnly, kSessionManager, KEY_READ));
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(&generic, kSessionManager, GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(STATUS_ACCESS_DENIED, Query(setOnly, u"Dword"));
  EXPECT_EQ(STATUS_ACCESS_DENIED, SetValue(readOnly, u"Dword", REG_DWORD, {9, 0, 0, 0}));
  EXPECT_EQ(STATUS_SUCCESS, Query(generic, u"Dword"));
  EXPECT_EQ(STATUS_SUCCESS, SetValue(generic, u"Dword", REG_DWORD, {9, 0, 0, 0}));
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, Query(NtCurrentThread(), u"Dword"));
  for (HANDLE handle : {setOnly, readOnly, generic}) NtClose(handle);
}

TEST_F(RegistryValues, SetStoresExactlyTheGivenBytesAndCountsOnlyRealChanges) {
  EXPECT_EQ(STATUS_SUCCESS, SetValue(key_, u"DWORD", REG_DWORD, {2, 0, 0, 0}));
  EXPECT_FALSE(host::RegistryChanged()) << "the value already held that";
  EXPECT_EQ(STATUS_SUCCESS, SetValue(key_, u"DWORD", REG_DWORD, {1, 2, 3}));
  EXPECT_TRUE(host::RegistryChanged());
  host::RegistryValue value;
  ASSERT_TRUE(host::QueryRegistryValue(kSessionManager, u"dword", &value));
  EXPECT_EQ(u"Dword", value.name) << "a replaced value keeps its first spelling";
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), value.data);
}

// Every registry call passes through fault injection; an injected failure changes nothing.
class RegistryCallFault : public RegistryFixture, public testing::WithParamInterface<const char*> {};

TEST_P(RegistryCallFault, ReturnsTheInjectedStatusAndChangesNothing) {
  host::FaultRule rule;
  rule.call = GetParam();
  rule.status = STATUS_INSUFFICIENT_RESOURCES;
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
  HANDLE key = nullptr;
  const std::string call = GetParam();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, call == "NtOpenKey"         ? OpenKey(&key, kSessionManager)
                                           : call == "NtQueryValueKey" ? Query(key_, u"Dword")
                                                                       : SetValue(key_, u"Dword", REG_DWORD, {9}));
  EXPECT_EQ(nullptr, key);
  EXPECT_FALSE(host::RegistryChanged());
}

INSTANTIATE_TEST_SUITE_P(RegistryCalls, RegistryCallFault,
                         testing::Values("NtOpenKey", "NtQueryValueKey", "NtSetValueKey"));

class RegistryFileSave : public RegistryFixture {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host::LoadRegistry(file_.Path(), &error)) << error;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key_, kSessionManager, KEY_ALL_ACCESS));
  }
  RegistryFile file_{kMachine};  // UTF-8: any write turns it into UTF-16
};

TEST_F(RegistryFileSave, UnchangedRegistryLeavesTheFileAsItWas) {
  EXPECT_EQ(STATUS_SUCCESS, SetValue(key_, u"Dword", REG_DWORD, {2, 0, 0, 0}));
  std::string error;
  EXPECT_TRUE(host::SaveRegistry(&error)) << error;
  EXPECT_EQ(kMachine, file_.Bytes());
}

TEST_F(RegistryFileSave, ChangedRegistryReplacesTheFileWithEveryValue) {
  EXPECT_EQ(STATUS_SUCCESS, SetValue(key_, u"Added", REG_DWORD, {5, 0, 0, 0}));
  std::string error;
  ASSERT_TRUE(host::SaveRegistry(&error)) << error;
  auto expected = std::make_shared<host::RegistryKey>(u"REGISTRY");
  const std::string added =
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\r\n"
      "\"Added\"=dword:00000005\r\n";
  ASSERT_TRUE(host::ReadRegFile(kMachine + added, "", expected.get(), nullptr, &error)) << error;
  EXPECT_EQ(*expected, *file_.Read());
  EXPECT_TRUE(file_.OtherFiles().empty());
  EXPECT_FALSE(host::RegistryChanged());
}

TEST_F(RegistryFileSave, FailedFlushKeepsTheOldFileAndTheChangeForALaterSave) {
  EXPECT_EQ(STATUS_SUCCESS, SetValue(key_, u"Added", REG_DWORD, {5, 0, 0, 0}));
  host::FaultRule rule;
  ASSERT_TRUE(host::ParseFaultRule("NtFlushKey=0xC000007F", &rule, nullptr));
  host::AddFaultRule(rule);
  std::string error;
  EXPECT_FALSE(host::SaveRegistry(&error));
  EXPECT_NE(std::string::npos, error.find("0xC000007F")) << error;
  EXPECT_EQ(kMachine, file_.Bytes());
  EXPECT_TRUE(file_.OtherFiles().empty()) << "the temporary file is removed";
  host::ClearFaultRules();
  EXPECT_TRUE(host::SaveRegistry(&error)) << error;
  EXPECT_EQ(5u, file_.Dword(kSessionManager, u"Added"));
}

TEST_F(RegistryFileSave, MalformedFileOrImportChangesNothing) {
  RegistryFile bad(RegText({"[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]", "\"x\"=dword:1", "junk"}));
  std::string error;
  EXPECT_FALSE(host::LoadRegistry(bad.Path(), &error));
  const std::string expected = bad.Path() + ", line 5: expected a [KEY] line";
  EXPECT_EQ(expected, error.substr(0, expected.size()));
  EXPECT_FALSE(host::ImportRegistry(bad.Path(), &error));
  EXPECT_FALSE(host::RegistryChanged());
  char resolved[PATH_MAX];
  ASSERT_NE(nullptr, realpath(file_.Path().c_str(), resolved));
  EXPECT_EQ(std::string(resolved), host::RegistryFile());
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&key, u"\\Registry\\Machine\\Software\\New"));
}

}  // namespace
