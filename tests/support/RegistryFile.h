// .reg files for tests, each in its own temporary directory that goes with the object:
//
//   testsupport::RegistryFile machine(testsupport::RegText({
//       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager]",
//       "\"BootExecute\"=" + testsupport::MultiStringHex({"autocheck autochk *", "sxboottime \\??\\C:\\x.cfg"})}));
//   RunSpindraxel({"boot", "--registry", machine.Path(), ...});
//   EXPECT_EQ(machine.BootExecute(), (std::vector<std::string>{"autocheck autochk *"}));
//   EXPECT_EQ(machine.Dword(kCrashControl, u"CrashDumpEnabled"), 2u);
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/ntdll/registry/RegistryKey.h"

namespace testsupport {

// The native path of the key that holds BootExecute.
constexpr char16_t kSessionManagerKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";

// A .reg file's text (UTF-8, CRLF): the header line, a blank line, then `lines`.
std::string RegText(const std::vector<std::string>& lines);
// REG_MULTI_SZ data as a .reg value: hex(7): and the UTF-16LE bytes of each (ASCII) entry and its zero, then one
// more zero.
std::string MultiStringHex(const std::vector<std::string>& entries);

class RegistryFile {
 public:
  // A file named machine.reg holding `bytes` exactly.
  explicit RegistryFile(const std::string& bytes);
  ~RegistryFile();
  RegistryFile(const RegistryFile&) = delete;
  RegistryFile& operator=(const RegistryFile&) = delete;

  const std::string& Path() const { return path_; }
  // The file's bytes as they are now.
  std::string Bytes() const;
  // Everything else in the file's directory (such as a temporary file left behind).
  std::vector<std::string> OtherFiles() const;

  // The file as it is now, read as \REGISTRY; null, with a test failure naming the problem, when it does not read.
  std::shared_ptr<host::RegistryKey> Read() const;
  // A value of the key at native path `key` (u"\\Registry\\Machine\\..."), as the file now holds it.
  std::optional<host::RegistryValue> Value(const std::u16string& key, const std::u16string& name) const;
  std::optional<uint32_t> Dword(const std::u16string& key, const std::u16string& name) const;
  // The entries of BootExecute (UTF-8); empty when the value is missing.
  std::vector<std::string> BootExecute() const;

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace testsupport
