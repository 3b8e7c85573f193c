#include "host/ntdll/registry/RegistryKey.h"

namespace host {

bool operator==(const RegistryValue& left, const RegistryValue& right) {
  return left.name == right.name && left.type == right.type && left.data == right.data;
}

std::u16string FoldRegistryName(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& c : folded) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return folded;
}

std::shared_ptr<RegistryKey> RegistryKey::Subkey(const std::u16string& name) const {
  auto found = subkeys_.find(FoldRegistryName(name));
  return found == subkeys_.end() ? nullptr : found->second;
}

std::shared_ptr<RegistryKey> RegistryKey::OpenOrCreateSubkey(const std::u16string& name, bool* created) {
  std::shared_ptr<RegistryKey>& slot = subkeys_[FoldRegistryName(name)];
  *created = slot == nullptr;
  if (*created) slot = std::make_shared<RegistryKey>(name);
  return slot;
}

const RegistryValue* RegistryKey::Value(const std::u16string& name) const {
  const std::u16string folded = FoldRegistryName(name);
  for (const RegistryValue& value : values_) {
    if (FoldRegistryName(value.name) == folded) return &value;
  }
  return nullptr;
}

bool RegistryKey::SetValue(const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
  auto* existing = const_cast<RegistryValue*>(Value(name));
  if (existing == nullptr) {
    values_.push_back(RegistryValue{name, type, std::move(data)});
    return true;
  }
  if (existing->type == type && existing->data == data) return false;
  existing->type = type;
  existing->data = std::move(data);
  return true;
}

bool operator==(const RegistryKey& left, const RegistryKey& right) {
  if (left.Name() != right.Name() || left.Values() != right.Values()) return false;
  if (left.Subkeys().size() != right.Subkeys().size()) return false;
  for (auto l = left.Subkeys().begin(), r = right.Subkeys().begin(); l != left.Subkeys().end(); ++l, ++r) {
    if (l->first != r->first || *l->second != *r->second) return false;
  }
  return true;
}

}  // namespace host
