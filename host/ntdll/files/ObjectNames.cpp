#include "host/ntdll/files/ObjectNames.h"

#include "host/ntdll/objects/Objects.h"

namespace host {
namespace {

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t a = text[i], b = prefix[i];
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - u'a' + u'A');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

NTSTATUS ParseName(const OBJECT_ATTRIBUTES* attributes, ParsedName* parsed) {
  if (attributes == nullptr || attributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
  // Opens relative to a directory handle are not something the system does.
  if (attributes->RootDirectory != nullptr) return STATUS_NOT_IMPLEMENTED;
  std::u16string name = ObjectNameOf(attributes);
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;

  std::u16string rest;
  for (const std::u16string prefix : {u"\\??\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    if (StartsWithNoCase(name, prefix)) {
      rest = name.substr(prefix.size());
      break;
    }
  }
  if (rest.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  if (rest.size() < 2 || rest[1] != u':') return STATUS_OBJECT_NAME_NOT_FOUND;
  parsed->drive = FindDrive(rest[0]);
  if (!parsed->drive) return rest.size() == 2 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
  if (rest.size() == 2) {
    parsed->isVolume = true;
    return STATUS_SUCCESS;
  }
  if (rest[2] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  std::u16string path = rest.substr(3);
  if (!path.empty() && path.back() == u'\\') {
    parsed->trailingBackslash = true;
    path.pop_back();
  }
  parsed->path = path;
  return STATUS_SUCCESS;
}

}  // namespace host
