// The .reg text form: what is written (regedit's own form, byte for byte), that every written file reads back as
// the same tree, the encodings accepted, and the line and expectation named for each kind of malformed line.
#include <gtest/gtest.h>

#include <cstring>

#include "host/ntdll/faults/Faults.h"
#include "host/ntdll/registry/RegFile.h"
#include "host/ntdll/registry/Registry.h"
#include "support/RegistryFile.h"

using host::ReadRegFile;
using host::RegistryKey;
using host::WriteRegFile;
using testsupport::RegText;

namespace {

std::shared_ptr<RegistryKey> Read(const std::string& bytes) {
  auto root = std::make_shared<RegistryKey>(u"REGISTRY");
  std::string error;
  EXPECT_TRUE(ReadRegFile(bytes, "machine.reg", root.get(), nullptr, &error)) << error;
  return root;
}

// UTF-16LE with a byte-order mark, from ASCII or UTF-8 text.
std::string Utf16(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0xC0) c = static_cast<unsigned char>(((c & 0x1F) << 6) | (text[++i] & 0x3F));  // two-byte forms only
    bytes += static_cast<char>(c);
    bytes += '\0';
  }
  return bytes;
}

// Written bytes back to text, for files whose characters are all ASCII.
std::string AsciiOf(const std::string& written) {
  std::string text;
  for (size_t i = 2; i + 1 < written.size(); i += 2) {
    EXPECT_EQ('\0', written[i + 1]);
    text += written[i];
  }
  return text;
}

TEST(RegFileWrite, WritesRegeditsOwnForm) {
  auto root = Read(RegText({
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
      "\"BootExecute\"=" + testsupport::MultiStringHex({"autocheck autochk *"}),
      "@=\"default\"",
      "\"Path\"=\"C:\\\\Windows \\\"quoted\\\"\"",
      "\"Count\"=dword:0000002A",
      "\"Empty\"=hex:",
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\b]",
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\A]",
  }));
  const std::string written = WriteRegFile(*root);
  ASSERT_EQ("\xFF\xFE", written.substr(0, 2));
  EXPECT_EQ(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\A]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\b]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]\r\n"
      "\"BootExecute\"=hex(7):61,00,75,00,74,00,6f,00,63,00,68,00,65,00,63,00,6b,00,20,\\\r\n"
      "  00,61,00,75,00,74,00,6f,00,63,00,68,00,6b,00,20,00,2a,00,00,00,00,00\r\n"
      "@=\"default\"\r\n"
      "\"Path\"=\"C:\\\\Windows \\\"quoted\\\"\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Empty\"=hex:\r\n\r\n",
      AsciiOf(written));
}

// Each of these reads, is written, and reads back as the same tree; writing that again gives the same bytes. (Text,
// multi-strings and the other common types make the same trip through whole boots.)
class RegFileRoundTrip : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RegFileRoundTrip, WrittenFileReadsBackAsTheSameTree) {
  auto original = Read(RegText(GetParam()));
  const std::string written = WriteRegFile(*original);
  auto reread = Read(written);
  EXPECT_EQ(*original, *reread) << AsciiOf(written);
  EXPECT_EQ(written, WriteRegFile(*reread));
}

INSTANTIATE_TEST_SUITE_P(
    RegFileValues, RegFileRoundTrip,
    testing::Values(std::vector<std::string>{"[HKEY_LOCAL_MACHINE\\K]", "\"short\"=hex(4):01,02,03",
                                             "\"qword\"=hex(b):01,02,03,04,05,06,07,08",
                                             "\"none\"=hex(0):", "\"big\"=hex(ffffffff):ff"},
                    std::vector<std::string>{
                        "[HKEY_LOCAL_MACHINE\\K]",
                        "\"" + std::string(90, 'n') + "\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f"}));

// The same file in every accepted encoding and layout reads as one tree.
class RegFileEncoding : public testing::TestWithParam<std::string> {};

const std::string kNonAscii =
    RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\Ä]", "\"n\"=dword:00000002", "\"m\"=hex(7):61,00,00,00,00,00"});

TEST_P(RegFileEncoding, ReadsAsTheSameTree) { EXPECT_EQ(*Read(kNonAscii), *Read(GetParam())); }

INSTANTIATE_TEST_SUITE_P(
    RegFileForms, RegFileEncoding,
    testing::Values(
        Utf16(kNonAscii), "\xEF\xBB\xBF" + kNonAscii,
        // LF line ends, no blank line, lower-case root, blanks around '=' and the bytes, a comment, a continuation.
        "Windows Registry Editor Version 5.00\n; made by hand\n[hkey_local_machine\\SYSTEM\\Ä]  \n"
        "  \"n\" = DWORD:2\n\"m\"=HEX(7): 61 ,00,\\\n\t00,00 , 00,00\n"));

TEST(RegFileRead, KeysNamedAgainMergeAndValuesNamedAgainAreReplacedKeepingTheirFirstSpelling) {
  auto root = Read(RegText({"[HKEY_LOCAL_MACHINE\\SYSTEM\\Setup]", "\"Value\"=dword:00000001",
                            "[HKEY_LOCAL_MACHINE\\system\\SETUP]", "\"VALUE\"=dword:00000002", "\"Other\"=\"x\""}));
  auto setup = root->Subkey(u"MACHINE")->Subkey(u"SYSTEM")->Subkey(u"setup");
  ASSERT_TRUE(setup);
  EXPECT_EQ(u"Setup", setup->Name());
  ASSERT_EQ(2u, setup->Values().size());
  EXPECT_EQ(u"Value", setup->Values()[0].name);
  EXPECT_EQ((std::vector<uint8_t>{2, 0, 0, 0}), setup->Values()[0].data);
}

struct MalformedCase {
  const char* what;
  std::string text;
  int line;
  const char* expected;  // the start of what follows "machine.reg, line N: "
};

void PrintTo(const MalformedCase& malformed, std::ostream* out) { *out << malformed.what; }

class RegFileMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(RegFileMalformed, IsRefusedNamingTheFileTheLineAndWhatWasExpected) {
  RegistryKey root(u"REGISTRY");
  std::string error;
  EXPECT_FALSE(ReadRegFile(GetParam().text, "machine.reg", &root, nullptr, &error));
  const std::string prefix = "machine.reg, line " + std::to_string(GetParam().line) + ": ";
  EXPECT_EQ(prefix + GetParam().expected, error.substr(0, prefix.size() + std::strlen(GetParam().expected)));
}

const std::string kKey = "[HKEY_LOCAL_MACHINE\\K]";

INSTANTIATE_TEST_SUITE_P(
    RegFileLines, RegFileMalformed,
    testing::Values(MalformedCase{"empty", "", 1, "expected 'Windows Registry Editor Version 5.00' as the first line"},
                    MalformedCase{"other root", RegText({"[HKEY_CLASSES_ROOT\\.txt]"}), 3,
                                  "expected a key under HKEY_LOCAL_MACHINE or HKEY_USERS, found 'HKEY_CLASSES_ROOT'"},
                    MalformedCase{"bare backslash", RegText({kKey, "\"a\"=\"C:\\Windows\""}), 4,
                                  "expected \\\\ or \\\" after a backslash"},
                    MalformedCase{"bad continuation", RegText({kKey, "\"a\"=hex(7):61,00,\\", "  00,zz"}), 5,
                                  "expected bytes as two hex digits separated by commas, found 'zz'"},
                    MalformedCase{"stray line", RegText({kKey, "a=1"}), 4,
                                  "expected a [KEY] line, a \"Name\"=VALUE line"}));

// The save writes a temporary file beside the old one and renames it over it only after the flush: a flush that
// fails leaves the old file untouched and nothing beside it.
TEST(RegistrySave, FailedFlushKeepsTheOldFileAndTheNextSaveReplacesItWhole) {
  const std::string old = RegText({"[HKEY_LOCAL_MACHINE\\K]", "\"v\"=dword:00000001"});
  testsupport::RegistryFile file(old), import(RegText({"[HKEY_LOCAL_MACHINE\\K]", "\"v\"=dword:00000002"}));
  std::string error;
  ASSERT_TRUE(host::LoadRegistry(file.Path(), &error)) << error;
  ASSERT_TRUE(host::ImportRegistry(import.Path(), &error)) << error;
  host::FaultRule rule;
  ASSERT_TRUE(host::ParseFaultRule("NtFlushKey=0xC000009A", &rule, nullptr));
  rule.thread = std::this_thread::get_id();
  host::AddFaultRule(rule);
  EXPECT_FALSE(host::SaveRegistry(&error));
  host::ClearFaultRules();
  EXPECT_EQ(file.Path() + ": the flush failed with status 0xC000009A", error);
  EXPECT_EQ(old, file.Bytes());
  EXPECT_EQ(std::vector<std::string>{}, file.OtherFiles());
  ASSERT_TRUE(host::SaveRegistry(&error)) << error;
  host::ResetRegistry();
  EXPECT_EQ(2u, file.Dword(u"\\Registry\\Machine\\K", u"v"));
  EXPECT_EQ(std::vector<std::string>{}, file.OtherFiles());
}

}  // namespace
