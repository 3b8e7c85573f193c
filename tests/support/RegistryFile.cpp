#include "support/RegistryFile.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "host/ntdll/registry/RegFile.h"
#include "host/text/Utf.h"

namespace testsupport {

std::string RegText(const std::vector<std::string>& lines) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string MultiStringHex(const std::vector<std::string>& entries) {
  std::string bytes;
  for (const std::string& entry : entries) bytes += entry + '\0';
  bytes += '\0';
  std::string text = "hex(7):";
  char hex[8];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%s%02x,00", i == 0 ? "" : ",", static_cast<unsigned char>(bytes[i]));
    text += hex;
  }
  return text;
}

RegistryFile::RegistryFile(const std::string& bytes) {
  char pattern[] = "/tmp/sx-registry-XXXXXX";
  directory_ = mkdtemp(pattern);
  path_ = directory_ + "/machine.reg";
  std::ofstream(path_, std::ios::binary) << bytes;
}

RegistryFile::~RegistryFile() {
  for (const std::string& name : OtherFiles()) std::remove((directory_ + "/" + name).c_str());
  std::remove(path_.c_str());
  rmdir(directory_.c_str());
}

std::string RegistryFile::Bytes() const {
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> RegistryFile::OtherFiles() const {
  std::vector<std::string> names;
  if (DIR* directory = opendir(directory_.c_str())) {
    while (dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name != "." && name != ".." && name != "machine.reg") names.push_back(name);
    }
    closedir(directory);
  }
  return names;
}

std::shared_ptr<host::RegistryKey> RegistryFile::Read() const {
  auto root = std::make_shared<host::RegistryKey>(u"REGISTRY");
  std::string error;
  if (!host::ReadRegFile(Bytes(), path_, root.get(), nullptr, &error)) {
    ADD_FAILURE() << error;
    return nullptr;
  }
  return root;
}

std::optional<host::RegistryValue> RegistryFile::Value(const std::u16string& key, const std::u16string& name) const {
  std::shared_ptr<host::RegistryKey> found = Read();
  const std::u16string prefix = u"\\REGISTRY\\";
  if (!found || host::FoldRegistryName(key.substr(0, prefix.size())) != prefix) return std::nullopt;
  for (size_t begin = prefix.size(); found && begin <= key.size();) {
    size_t end = std::min(key.find(u'\\', begin), key.size());
    found = found->Subkey(key.substr(begin, end - begin));
    begin = end + 1;
  }
  const host::RegistryValue* value = found ? found->Value(name) : nullptr;
  return value ? std::optional<host::RegistryValue>(*value) : std::nullopt;
}

std::optional<uint32_t> RegistryFile::Dword(const std::u16string& key, const std::u16string& name) const {
  std::optional<host::RegistryValue> value = Value(key, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  return value->data[0] | (value->data[1] << 8) | (value->data[2] << 16) | (uint32_t{value->data[3]} << 24);
}

std::vector<std::string> RegistryFile::BootExecute() const {
  std::vector<std::string> entries;
  std::optional<host::RegistryValue> value = Value(kSessionManagerKey, u"BootExecute");
  if (!value) return entries;
  std::u16string current;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    const auto unit = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    if (unit != 0) {
      current += unit;
    } else if (current.empty()) {
      break;
    } else {
      entries.push_back(host::Utf16ToUtf8(current));
      current.clear();
    }
  }
  return entries;
}

}  // namespace testsupport
