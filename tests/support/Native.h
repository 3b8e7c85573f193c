// Small conveniences for tests that call the native API directly.
#pragma once

#include <string>

#include "platform/NativeApi.h"

namespace testsupport {

// A relative time-out of `milliseconds`, as the wait calls take it.
inline LARGE_INTEGER RelativeTimeout(LONGLONG milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -milliseconds * 10000;
  return timeout;
}

// Object attributes naming `name` (kept alive by the caller).
struct NamedAttributes {
  explicit NamedAttributes(const std::u16string& text, ULONG flags = OBJ_CASE_INSENSITIVE) : name_(text) {
    RtlInitUnicodeString(&unicode_, name_.c_str());
    attributes_ = OBJECT_ATTRIBUTES{sizeof(OBJECT_ATTRIBUTES), nullptr, &unicode_, flags, nullptr, nullptr};
  }
  NamedAttributes(const NamedAttributes&) = delete;
  OBJECT_ATTRIBUTES* get() { return &attributes_; }

 private:
  std::u16string name_;
  UNICODE_STRING unicode_;
  OBJECT_ATTRIBUTES attributes_;
};

}  // namespace testsupport
