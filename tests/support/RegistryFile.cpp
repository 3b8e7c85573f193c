#include "support/RegistryFile.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "host/ntdll/registry/RegFile.h"
#include "text/Utf.h"
#include "support/CommandRunner.h"

namespace testsupport {

namespace fs = std::filesystem;

std::string RegText(const std::vector<std::string>& lines) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string MultiStringHex(const std::vector<std::string>& entries) {
  std::string bytes;
  for (const std::string& entry : entries) bytes += entry + '\0';
  std::string text = "hex(7):";
  constexpr char kDigits[] = "0123456789abcdef";
  for (const unsigned char byte : bytes + '\0') text += std::string{kDigits[byte >> 4], kDigits[byte & 15]} + ",00,";
  return text.substr(0, text.size() - 1);
}

RegistryFile::RegistryFile(const std::string& bytes) {
  char pattern[] = "/tmp/sx-registry-XXXXXX";
  directory_ = mkdtemp(pattern);
  path_ = directory_ + "/machine.reg";
  std::ofstream(path_, std::ios::binary) << bytes;
}

RegistryFile::~RegistryFile() { fs::remove_all(directory_); }

std::string RegistryFile::Bytes() const { return FileBytes(path_); }

std::vector<std::string> RegistryFile::OtherFiles() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory_)) {
    if (entry.path() != path_) names.push_back(entry.path().filename());
  }
  return names;
}

std::shared_ptr<host::RegistryKey> RegistryFile::Read() const {
  auto root = std::make_shared<host::RegistryKey>(u"REGISTRY");
  std::string error;
  if (host::ReadRegFile(Bytes(), path_, root.get(), nullptr, &error)) return root;
  ADD_FAILURE() << error;
  return nullptr;
}

std::optional<host::RegistryValue> RegistryFile::Value(const std::u16string& key, const std::u16string& name) const {
  // The key's path below \Registry\, one name at a time.
  std::shared_ptr<host::RegistryKey> found = Read();
  for (size_t begin = key.find(u'\\', 1) + 1, end; found && begin != 0; begin = end + 1) {
    end = key.find(u'\\', begin);
    found = found->Subkey(key.substr(begin, end - begin));
  }
  const host::RegistryValue* value = found ? found->Value(name) : nullptr;
  return value ? std::optional<host::RegistryValue>(*value) : std::nullopt;
}

std::optional<uint32_t> RegistryFile::Dword(const std::u16string& key, const std::u16string& name) const {
  std::optional<host::RegistryValue> v = Value(key, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | (uint32_t{v->data[3]} << 24);
}

std::vector<std::string> RegistryFile::BootExecute() const {
  std::vector<std::string> entries;
  std::optional<host::RegistryValue> value = Value(kSessionManagerKey, u"BootExecute");
  std::u16string current;
  for (size_t i = 0; value && i + 1 < value->data.size(); i += 2) {
    const auto unit = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    if (unit == 0 && current.empty()) break;
    if (unit == 0) entries.push_back(text::Utf16ToUtf8(current));
    current = unit == 0 ? u"" : current + unit;
  }
  return entries;
}

}  // namespace testsupport
