#include "host/ntdll/keyboard/ScanCodes.h"

#include <cstring>

namespace host {
namespace {

struct ScanKey {
  USHORT code;
  USHORT flags;  // KEY_E0 for the keys sent with the E0 prefix
};

// The four character rows of a US keyboard, each row's keys in scan-code order, and what Shift makes of them.
constexpr const char kUnshiftedRows[] = "1234567890-=qwertyuiop[]asdfghjkl;'`\\zxcvbnm,./";
constexpr const char kShiftedRows[] = "!@#$%^&*()_+QWERTYUIOP{}ASDFGHJKL:\"~|ZXCVBNM<>?";
static_assert(sizeof kUnshiftedRows == sizeof kShiftedRows, "one shifted character per key");

constexpr USHORT CodeOfRowIndex(size_t index) {
  if (index < 12) return static_cast<USHORT>(0x02 + index);       // 1 ... =
  if (index < 24) return static_cast<USHORT>(0x10 + index - 12);  // q ... ]
  if (index < 36) return static_cast<USHORT>(0x1E + index - 24);  // a ... `
  return static_cast<USHORT>(0x2B + index - 36);                  // \ ... /
}

constexpr ScanKey kLeftShift{0x2A, 0};
constexpr ScanKey kLeftCtrl{0x1D, 0};
constexpr ScanKey kLeftAlt{0x38, 0};

struct NamedKey {
  const char* name;
  ScanKey key;
};

constexpr NamedKey kNamedKeys[] = {
    {"esc", {0x01, 0}},       {"enter", {0x1C, 0}},       {"space", {0x39, 0}},       {"tab", {0x0F, 0}},
    {"backspace", {0x0E, 0}}, {"f1", {0x3B, 0}},          {"f2", {0x3C, 0}},          {"f3", {0x3D, 0}},
    {"f4", {0x3E, 0}},        {"f5", {0x3F, 0}},          {"f6", {0x40, 0}},          {"f7", {0x41, 0}},
    {"f8", {0x42, 0}},        {"f9", {0x43, 0}},          {"f10", {0x44, 0}},         {"f11", {0x57, 0}},
    {"f12", {0x58, 0}},       {"up", {0x48, KEY_E0}},     {"left", {0x4B, KEY_E0}},   {"right", {0x4D, KEY_E0}},
    {"down", {0x50, KEY_E0}}, {"home", {0x47, KEY_E0}},   {"end", {0x4F, KEY_E0}},    {"pgup", {0x49, KEY_E0}},
    {"pgdn", {0x51, KEY_E0}}, {"insert", {0x52, KEY_E0}}, {"delete", {0x53, KEY_E0}}, {"kpenter", {0x1C, KEY_E0}},
};

void AppendRecord(ScanKey key, bool release, KeyRecords* records) {
  KEYBOARD_INPUT_DATA record{};
  record.MakeCode = key.code;
  record.Flags = static_cast<USHORT>(key.flags | (release ? KEY_BREAK : KEY_MAKE));
  records->push_back(record);
}

void AppendStroke(ScanKey key, unsigned modifiers, KeyRecords* records) {
  const ScanKey held[] = {kLeftShift, kLeftCtrl, kLeftAlt};
  const unsigned bits[] = {kModifierShift, kModifierCtrl, kModifierAlt};
  for (int i = 0; i < 3; ++i) {
    if (modifiers & bits[i]) AppendRecord(held[i], false, records);
  }
  AppendRecord(key, false, records);
  AppendRecord(key, true, records);
  for (int i = 2; i >= 0; --i) {
    if (modifiers & bits[i]) AppendRecord(held[i], true, records);
  }
}

}  // namespace

bool AppendCharacterStroke(char character, unsigned modifiers, KeyRecords* records) {
  if (character == ' ') {
    AppendStroke({0x39, 0}, modifiers, records);
    return true;
  }
  if (character == '\0') return false;
  if (const char* found = std::strchr(kUnshiftedRows, character)) {
    AppendStroke({CodeOfRowIndex(found - kUnshiftedRows), 0}, modifiers, records);
    return true;
  }
  if (const char* found = std::strchr(kShiftedRows, character)) {
    AppendStroke({CodeOfRowIndex(found - kShiftedRows), 0}, modifiers | kModifierShift, records);
    return true;
  }
  return false;
}

bool AppendNamedStroke(const std::string& name, unsigned modifiers, KeyRecords* records) {
  if (name.size() == 1) return AppendCharacterStroke(name[0], modifiers, records);
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const NamedKey& named : kNamedKeys) {
    if (lower == named.name) {
      AppendStroke(named.key, modifiers, records);
      return true;
    }
  }
  return false;
}

}  // namespace host
