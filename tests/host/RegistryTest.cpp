// NtOpenKey, NtQueryValueKey, NtSetValueKey and NtClose on keys, pinned to the statuses Windows gives, and the
// registry's file: loaded, written back only when changed, never left half-written.
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

using testsupport::MultiStringHex;
using testsupport::RegistryFile;
using testsupport::RegText;

namespace {

constexpr char16_t kSessionManager[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
const HANDLE kBogusHandle = reinterpret_cast<HANDLE>(0x7FFC);

const std::string kMachine = RegText(
    {"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
     "\"BootExecute\"=" + MultiStringHex({"autocheck autochk *"}), "\"Dword\"=dword:00000002", "@=\"default\"",
     "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]", "\"CrashDumpEnabled\"=dword:00000007"});

NTSTATUS OpenKey(HANDLE* key, const std::u16string& name, ACCESS_MASK access = KEY_READ,
                 ULONG attributes = OBJ_CASE_INSENSITIVE, HANDLE root = nullptr) {
  UNICODE_STRING unicode{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(name.size() * sizeof(WCHAR)), const_cast<WCHAR*>(name.data())};
  OBJECT_ATTRIBUTES attributesRecord{sizeof(OBJECT_ATTRIBUTES), root, &unicode, attributes, nullptr, nullptr};
  return NtOpenKey(key, access, &attributesRecord);
}

HANDLE OpenKeyOrFail(const std::u16string& name, ACCESS_MASK access = KEY_READ) {
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, name, access));
  return key;
}

// A counted name over `text`, which the caller keeps alive.
UNICODE_STRING Name(const std::u16string& text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(text.size() * sizeof(WCHAR)), const_cast<WCHAR*>(text.data())};
}

NTSTATUS SetValue(HANDLE key, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
  UNICODE_STRING unicode = Name(name);
  return NtSetValueKey(key, &unicode, 0, type, data.data(), static_cast<ULONG>(data.size()));
}

// The partial-information record of a value, or the status when the query fails.
NTSTATUS QueryPartial(HANDLE key, const std::u16string& name, ULONG* type, std::vector<uint8_t>* data) {
  UNICODE_STRING unicode = Name(name);
  alignas(8) UCHAR buffer[512];
  ULONG length = 0;
  NTSTATUS status = NtQueryValueKey(key, &unicode, KeyValuePartialInformation, buffer, sizeof buffer, &length);
  if (status != STATUS_SUCCESS) return status;
  const auto* record = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  *type = record->Type;
  data->assign(record->Data, record->Data + record->DataLength);
  return status;
}

HANDLE MakeEvent() {
  HANDLE event = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, false));
  return event;
}

void FailOnThisThread(const char* call, NTSTATUS status) {
  host::FaultRule rule;
  rule.call = call;
  rule.status = status;
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
}

class RegistryFixture : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host::LoadRegistryText(kMachine, "machine.reg", &error)) << error;
  }
  void TearDown() override {
    host::ClearFaultRules();
    host::ResetRegistry();
  }
};

// ---------------------------------------------------------------------------------------------------------------
// NtOpenKey
// ---------------------------------------------------------------------------------------------------------------

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
  HANDLE key = nullptr;
  EXPECT_EQ(GetParam().status, OpenKey(&key, GetParam().name, KEY_READ, GetParam().attributes));
  EXPECT_EQ(GetParam().status == STATUS_SUCCESS, key != nullptr);
  if (key != nullptr) {
    EXPECT_EQ(STATUS_SUCCESS, NtClose(key));
  }
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
                    OpenCase{u"\\Registry", kAnyCase, STATUS_SUCCESS},
                    OpenCase{u"\\Registry\\", kAnyCase, STATUS_SUCCESS},
                    OpenCase{u"\\Registry\\Machine\\\\System\\", kAnyCase, STATUS_SUCCESS},
                    OpenCase{u"\\Registry\\Machine\\Missing", kAnyCase, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"\\Registry\\Machine\\Missing\\Deeper", kAnyCase, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"\\Foobar", kAnyCase, STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{u"\\Foobar\\Machine", kAnyCase, STATUS_OBJECT_PATH_NOT_FOUND},
                    OpenCase{u"Machine\\System", kAnyCase, STATUS_OBJECT_PATH_SYNTAX_BAD},
                    OpenCase{u"", kAnyCase, STATUS_OBJECT_PATH_SYNTAX_BAD},
                    OpenCase{u"\\", kAnyCase, STATUS_OBJECT_TYPE_MISMATCH}));

enum class Root { MachineKey, Event, Bogus };

struct RelativeOpenCase {
  Root root;
  const char16_t* name;
  NTSTATUS status;
};

void PrintTo(const RelativeOpenCase& open, std::ostream* out) {
  *out << static_cast<int>(open.root) << " " << host::RegistryTextToUtf8(open.name);
}

class RegistryOpenRelativeKey : public RegistryFixture, public testing::WithParamInterface<RelativeOpenCase> {};

TEST_P(RegistryOpenRelativeKey, NamesTheKeyBelowTheRootDirectory) {
  HANDLE root = GetParam().root == Root::MachineKey ? OpenKeyOrFail(u"\\Registry\\Machine")
                : GetParam().root == Root::Event    ? MakeEvent()
                                                    : kBogusHandle;
  HANDLE key = nullptr;
  EXPECT_EQ(GetParam().status, OpenKey(&key, GetParam().name, KEY_READ, kAnyCase, root));
  if (key != nullptr) NtClose(key);
  if (root != kBogusHandle) NtClose(root);
}

INSTANTIATE_TEST_SUITE_P(RegistryRoots, RegistryOpenRelativeKey,
                         testing::Values(RelativeOpenCase{Root::MachineKey, u"system\\CurrentControlSet",
                                                          STATUS_SUCCESS},
                                         RelativeOpenCase{Root::MachineKey, u"", STATUS_SUCCESS},
                                         RelativeOpenCase{Root::MachineKey, u"Missing", STATUS_OBJECT_NAME_NOT_FOUND},
                                         RelativeOpenCase{Root::MachineKey, u"\\System", STATUS_OBJECT_PATH_SYNTAX_BAD},
                                         RelativeOpenCase{Root::Event, u"System", STATUS_OBJECT_TYPE_MISMATCH},
                                         RelativeOpenCase{Root::Bogus, u"System", STATUS_INVALID_HANDLE}));

class RegistryKeys : public RegistryFixture {};

TEST_F(RegistryKeys, FailedOpenClearsTheHandle) {
  HANDLE key = reinterpret_cast<HANDLE>(0xDEADBEEF);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&key, u"\\Registry\\Machine\\Missing"));
  EXPECT_EQ(nullptr, key);
}

TEST_F(RegistryKeys, MissingAttributesOrHandlePointerIsAnAccessViolation) {
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, NtOpenKey(&key, KEY_READ, nullptr));
  testsupport::NamedAttributes attributes(kSessionManager);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, NtOpenKey(nullptr, KEY_READ, attributes.get()));
}

TEST_F(RegistryKeys, AttributesOfAnotherLengthAreAnInvalidParameter) {
  testsupport::NamedAttributes attributes(kSessionManager);
  attributes.get()->Length *= 2;
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, NtOpenKey(&key, KEY_READ, attributes.get()));
}

TEST_F(RegistryKeys, NoAccessAtAllIsDenied) {
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_ACCESS_DENIED, OpenKey(&key, kSessionManager, 0));
  EXPECT_EQ(nullptr, key);
}

TEST_F(RegistryKeys, EmptyRegistryHasTheHiveRootsAndNothingBelow) {
  host::ResetRegistry();
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&key, kSessionManager));
  EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\Registry\\Machine"));
  NtClose(key);
}

TEST_F(RegistryKeys, ClosedKeyHandleNoLongerNamesTheKey) {
  HANDLE key = OpenKeyOrFail(kSessionManager);
  EXPECT_EQ(STATUS_SUCCESS, NtClose(key));
  EXPECT_EQ(STATUS_INVALID_HANDLE, NtClose(key));
  ULONG type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(STATUS_INVALID_HANDLE, QueryPartial(key, u"Dword", &type, &data));
}

// ---------------------------------------------------------------------------------------------------------------
// NtQueryValueKey
// ---------------------------------------------------------------------------------------------------------------

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
  HANDLE key = OpenKeyOrFail(kSessionManager);
  std::u16string name = u"Dword";
  UNICODE_STRING unicode = Name(name);
  alignas(8) UCHAR buffer[64];
  std::memset(buffer, 0xCC, sizeof buffer);
  ULONG resultLength = 0;
  EXPECT_EQ(GetParam().status,
            NtQueryValueKey(key, &unicode, GetParam().infoClass, buffer, GetParam().length, &resultLength));
  EXPECT_EQ(GetParam().resultLength, resultLength);
  if (GetParam().status == STATUS_BUFFER_TOO_SMALL) {
    EXPECT_EQ(0xCC, buffer[0]) << "nothing written";
  } else if (GetParam().infoClass == KeyValuePartialInformation) {
    const auto* record = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(REG_DWORD, record->Type);
    EXPECT_EQ(4u, record->DataLength);
  } else if (GetParam().infoClass == KeyValueBasicInformation) {
    const auto* record = reinterpret_cast<const KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(REG_DWORD, record->Type);
    EXPECT_EQ(10u, record->NameLength);
  } else {
    const auto* record = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(REG_DWORD, record->Type);
    EXPECT_EQ(4u, record->DataLength);
    EXPECT_EQ(10u, record->NameLength);
    EXPECT_EQ(32u, record->DataOffset);
  }
  NtClose(key);
}

INSTANTIATE_TEST_SUITE_P(
    RegistryBuffers, RegistryQueryValueSize,
    testing::Values(QuerySizeCase{KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 16},
                    QuerySizeCase{KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 16},
                    QuerySizeCase{KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 16},
                    QuerySizeCase{KeyValuePartialInformation, 15, STATUS_BUFFER_OVERFLOW, 16},
                    QuerySizeCase{KeyValuePartialInformation, 16, STATUS_SUCCESS, 16},
                    QuerySizeCase{KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 22},
                    QuerySizeCase{KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW, 22},
                    QuerySizeCase{KeyValueBasicInformation, 22, STATUS_SUCCESS, 22},
                    // The data starts at the first ULONG boundary after the name: 20 + 10 rounds up to 32.
                    QuerySizeCase{KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 36},
                    QuerySizeCase{KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 36},
                    QuerySizeCase{KeyValueFullInformation, 35, STATUS_BUFFER_OVERFLOW, 36},
                    QuerySizeCase{KeyValueFullInformation, 36, STATUS_SUCCESS, 36}));

class RegistryValues : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    key_ = OpenKeyOrFail(kSessionManager, KEY_ALL_ACCESS);
  }
  void TearDown() override {
    NtClose(key_);
    RegistryFixture::TearDown();
  }
  HANDLE key_ = nullptr;
};

TEST_F(RegistryValues, PartialInformationHoldsTheDataAfterTwelveBytes) {
  ULONG type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(STATUS_SUCCESS, QueryPartial(key_, u"BootExecute", &type, &data));
  EXPECT_EQ(REG_MULTI_SZ, type);
  const std::u16string expected(u"autocheck autochk *\0\0", 21);
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(expected.data()),
                                 reinterpret_cast<const uint8_t*>(expected.data() + expected.size())),
            data);
}

TEST_F(RegistryValues, FullInformationHoldsTheNameAndTheDataAtItsOffset) {
  std::u16string name = u"bootexecute";
  UNICODE_STRING unicode = Name(name);
  alignas(8) UCHAR buffer[128];
  ULONG length = 0;
  ASSERT_EQ(STATUS_SUCCESS, NtQueryValueKey(key_, &unicode, KeyValueFullInformation, buffer, sizeof buffer, &length));
  const auto* record = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
  EXPECT_EQ(u"BootExecute", std::u16string(record->Name, record->NameLength / sizeof(WCHAR))) << "as first spelt";
  EXPECT_EQ(44u, record->DataOffset) << "20 + 22 rounded up to a ULONG";
  EXPECT_EQ(44u + 42u, length);
  EXPECT_EQ(0, std::memcmp(buffer + record->DataOffset, u"autocheck autochk *", 38));
}

TEST_F(RegistryValues, MissingValueIsObjectNameNotFound) {
  ULONG type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, QueryPartial(key_, u"Missing", &type, &data));
}

TEST_F(RegistryValues, EmptyNameIsTheDefaultValue) {
  ULONG type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(STATUS_SUCCESS, QueryPartial(key_, u"", &type, &data));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(16u, data.size()) << "\"default\" and its terminator";
}

TEST_F(RegistryValues, UnknownInformationClassIsAnInvalidParameter) {
  std::u16string name = u"Dword";
  UNICODE_STRING unicode = Name(name);
  UCHAR buffer[64];
  ULONG length = 0;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, NtQueryValueKey(key_, &unicode, static_cast<KEY_VALUE_INFORMATION_CLASS>(9),
                                                      buffer, sizeof buffer, &length));
}

TEST_F(RegistryValues, EachCallNeedsItsRightOnTheHandle) {
  HANDLE setOnly = OpenKeyOrFail(kSessionManager, KEY_SET_VALUE);
  HANDLE readOnly = OpenKeyOrFail(kSessionManager, KEY_READ);
  ULONG type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(STATUS_ACCESS_DENIED, QueryPartial(setOnly, u"Dword", &type, &data));
  EXPECT_EQ(STATUS_ACCESS_DENIED, SetValue(readOnly, u"Dword", REG_DWORD, {9, 0, 0, 0}));
  EXPECT_FALSE(host::RegistryChanged());
  NtClose(setOnly);
  NtClose(readOnly);
}

TEST_F(RegistryValues, GenericReadAndWriteGrantQueryAndSet) {
  HANDLE key = OpenKeyOrFail(kSessionManager, GENERIC_READ | GENERIC_WRITE);
  ULONG type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(STATUS_SUCCESS, QueryPartial(key, u"Dword", &type, &data));
  EXPECT_EQ(STATUS_SUCCESS, SetValue(key, u"Dword", REG_DWORD, {9, 0, 0, 0}));
  NtClose(key);
}

TEST_F(RegistryValues, SetCreatesAValueHoldingExactlyTheGivenBytes) {
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_, u"Odd", REG_DWORD, {1, 2, 3}));
  ULONG type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(STATUS_SUCCESS, QueryPartial(key_, u"odd", &type, &data));
  EXPECT_EQ(REG_DWORD, type);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), data);
  EXPECT_TRUE(host::RegistryChanged());
}

TEST_F(RegistryValues, SetReplacesAValueWhichKeepsItsFirstSpelling) {
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_, u"BOOTEXECUTE", REG_MULTI_SZ, {0, 0, 0, 0}));
  host::RegistryValue value;
  ASSERT_TRUE(host::QueryRegistryValue(kSessionManager, u"BootExecute", &value));
  EXPECT_EQ(u"BootExecute", value.name);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), value.data);
}

TEST_F(RegistryValues, SettingTheValueAlreadyHeldIsNoChange) {
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_, u"Dword", REG_DWORD, {2, 0, 0, 0}));
  EXPECT_FALSE(host::RegistryChanged());
}

TEST_F(RegistryValues, HandlesOfOtherKindsAreRefused) {
  HANDLE event = MakeEvent();
  ULONG type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, QueryPartial(event, u"Dword", &type, &data));
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, SetValue(event, u"Dword", REG_DWORD, {1, 0, 0, 0}));
  EXPECT_EQ(STATUS_INVALID_HANDLE, QueryPartial(kBogusHandle, u"Dword", &type, &data));
  EXPECT_EQ(STATUS_INVALID_HANDLE, SetValue(kBogusHandle, u"Dword", REG_DWORD, {1, 0, 0, 0}));
  NtClose(event);
}

// Every registry call passes through fault injection; an injected failure changes nothing.
class RegistryCallFault : public RegistryValues, public testing::WithParamInterface<const char*> {};

TEST_P(RegistryCallFault, ReturnsTheInjectedStatusAndChangesNothing) {
  FailOnThisThread(GetParam(), STATUS_INSUFFICIENT_RESOURCES);
  HANDLE key = nullptr;
  ULONG type = 0;
  std::vector<uint8_t> data;
  const std::string call = GetParam();
  NTSTATUS status = call == "NtOpenKey"         ? OpenKey(&key, kSessionManager)
                    : call == "NtQueryValueKey" ? QueryPartial(key_, u"Dword", &type, &data)
                                                : SetValue(key_, u"Dword", REG_DWORD, {9, 0, 0, 0});
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
  EXPECT_EQ(nullptr, key);
  EXPECT_FALSE(host::RegistryChanged());
}

INSTANTIATE_TEST_SUITE_P(RegistryCalls, RegistryCallFault,
                         testing::Values("NtOpenKey", "NtQueryValueKey", "NtSetValueKey"));

// ---------------------------------------------------------------------------------------------------------------
// The registry's file
// ---------------------------------------------------------------------------------------------------------------

class RegistryFileSave : public testing::Test {
 protected:
  void TearDown() override {
    host::ClearFaultRules();
    host::ResetRegistry();
  }
  void Load(const RegistryFile& file) {
    std::string error;
    ASSERT_TRUE(host::LoadRegistry(file.Path(), &error)) << error;
  }
  void SetDword(const std::u16string& name, ULONG value) {
    HANDLE key = OpenKeyOrFail(kSessionManager, KEY_SET_VALUE);
    EXPECT_EQ(STATUS_SUCCESS,
              SetValue(key, name, REG_DWORD,
                       {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}));
    NtClose(key);
  }
};

TEST_F(RegistryFileSave, UnchangedRegistryLeavesTheFileAsItWas) {
  RegistryFile file(kMachine);  // UTF-8: any write would turn it into UTF-16
  Load(file);
  SetDword(u"Dword", 2);
  std::string error;
  EXPECT_TRUE(host::SaveRegistry(&error)) << error;
  EXPECT_EQ(kMachine, file.Bytes());
}

TEST_F(RegistryFileSave, ChangedRegistryReplacesTheFileWithEveryValue) {
  RegistryFile file(kMachine);
  Load(file);
  SetDword(u"Added", 5);
  std::string error;
  ASSERT_TRUE(host::SaveRegistry(&error)) << error;
  EXPECT_EQ("\xFF\xFE", file.Bytes().substr(0, 2));
  EXPECT_EQ(5u, file.Dword(kSessionManager, u"Added"));
  EXPECT_EQ(2u, file.Dword(kSessionManager, u"Dword"));
  EXPECT_EQ(7u,
            file.Dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CrashControl", u"CrashDumpEnabled"));
  EXPECT_EQ((std::vector<std::string>{"autocheck autochk *"}), file.BootExecute());
  EXPECT_TRUE(file.OtherFiles().empty());
  EXPECT_FALSE(host::RegistryChanged());
}

TEST_F(RegistryFileSave, FailedFlushKeepsTheOldFileAndTheChangeForALaterSave) {
  RegistryFile file(kMachine);
  Load(file);
  SetDword(u"Added", 5);
  FailOnThisThread("NtFlushKey", STATUS_DISK_FULL);
  std::string error;
  EXPECT_FALSE(host::SaveRegistry(&error));
  EXPECT_NE(std::string::npos, error.find("0xC000007F")) << error;
  EXPECT_EQ(kMachine, file.Bytes());
  EXPECT_TRUE(file.OtherFiles().empty()) << "the temporary file is removed";
  host::ClearFaultRules();
  EXPECT_TRUE(host::SaveRegistry(&error)) << error;
  EXPECT_EQ(5u, file.Dword(kSessionManager, u"Added"));
}

TEST_F(RegistryFileSave, MissingFileIsNamedInTheError) {
  std::string error;
  EXPECT_FALSE(host::LoadRegistry("/nonexistent/machine.reg", &error));
  EXPECT_EQ("/nonexistent/machine.reg: No such file or directory", error);
}

TEST_F(RegistryFileSave, MalformedFileLeavesTheRegistryAsItWas) {
  RegistryFile good(kMachine);
  RegistryFile bad(kMachine + "junk\r\n");
  Load(good);
  std::string error;
  EXPECT_FALSE(host::LoadRegistry(bad.Path(), &error));
  EXPECT_EQ(bad.Path() + ", line 9: ", error.substr(0, bad.Path().size() + 10));
  char resolved[PATH_MAX];
  ASSERT_NE(nullptr, realpath(good.Path().c_str(), resolved));
  EXPECT_EQ(resolved, host::RegistryFile());
  NtClose(OpenKeyOrFail(kSessionManager));
}

TEST_F(RegistryFileSave, ImportMergesIntoTheRegistryAndIsAChange) {
  RegistryFile file(kMachine);
  RegistryFile import(RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
                               "\"Dword\"=dword:00000003", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]"}));
  Load(file);
  std::string error;
  ASSERT_TRUE(host::ImportRegistry(import.Path(), &error)) << error;
  EXPECT_TRUE(host::RegistryChanged());
  ASSERT_TRUE(host::SaveRegistry(&error)) << error;
  EXPECT_EQ(3u, file.Dword(kSessionManager, u"Dword"));
  EXPECT_EQ((std::vector<std::string>{"autocheck autochk *"}), file.BootExecute());
  NtClose(OpenKeyOrFail(u"\\Registry\\Machine\\Software\\New"));
}

TEST_F(RegistryFileSave, MalformedImportChangesNothing) {
  RegistryFile file(kMachine);
  RegistryFile import(RegText({"[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]", "\"x\"=dword:1", "junk"}));
  Load(file);
  std::string error;
  EXPECT_FALSE(host::ImportRegistry(import.Path(), &error));
  EXPECT_FALSE(host::RegistryChanged());
  HANDLE key = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&key, u"\\Registry\\Machine\\Software\\New"));
}

}  // namespace
