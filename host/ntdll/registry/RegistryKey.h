// One key of the host registry: its name as it was first spelled, its values in the order they were made, and its
// subkeys. Names of keys and of values compare without regard to ASCII case, as the registry compares them on
// Windows; subkeys are kept in that folded order, which is the order regedit lists them in. A key holds no lock:
// the registry that owns the tree serialises every access (host/Registry.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace host {

struct RegistryValue {
  std::u16string name;  // empty for the key's default value
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;  // exactly the bytes that were set
};

bool operator==(const RegistryValue& left, const RegistryValue& right);

// The form in which registry names are compared and ordered.
std::u16string FoldRegistryName(const std::u16string& name);

class RegistryKey {
 public:
  explicit RegistryKey(std::u16string name) : name_(std::move(name)) {}

  const std::u16string& Name() const { return name_; }

  // The subkey called `name` (any case), or null.
  std::shared_ptr<RegistryKey> Subkey(const std::u16string& name) const;
  // The subkey called `name`, made with that spelling when there is none; *created says which.
  std::shared_ptr<RegistryKey> OpenOrCreateSubkey(const std::u16string& name, bool* created);
  // Subkeys by folded name.
  const std::map<std::u16string, std::shared_ptr<RegistryKey>>& Subkeys() const { return subkeys_; }

  // The value called `name` (any case), or null.
  const RegistryValue* Value(const std::u16string& name) const;
  // Creates or replaces a value; a replaced value keeps its first spelling and its place. Returns whether
  // anything changed, so that setting a value to what it already holds leaves the registry unchanged.
  bool SetValue(const std::u16string& name, ULONG type, std::vector<uint8_t> data);
  const std::vector<RegistryValue>& Values() const { return values_; }

 private:
  std::u16string name_;
  std::vector<RegistryValue> values_;
  std::map<std::u16string, std::shared_ptr<RegistryKey>> subkeys_;
};

// Same names, same values in the same order, same subkeys, all the way down.
bool operator==(const RegistryKey& left, const RegistryKey& right);
inline bool operator!=(const RegistryKey& left, const RegistryKey& right) { return !(left == right); }

}  // namespace host
