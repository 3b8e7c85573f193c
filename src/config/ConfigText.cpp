#include "config/ConfigText.h"

#include "platform/NativeApi.h"

void SplitKeyValue(const std::string& line, std::string* key, std::string* value) {
  key->clear();
  value->clear();
  size_t equals = line.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == line.size()) return;
  *key = line.substr(0, equals);
  *value = line.substr(equals + 1);
}

int ReadInteger(const std::string& value) { return atoi(value.c_str()); }

std::u16string WidenValue(const std::string& value) {
  // RtlInitAnsiString would silently shorten a longer text; a path cut short must not be taken for the real one.
  if (value.size() > 32766) return {};
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, value.c_str());
  UNICODE_STRING wide{};
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&wide, &narrow, true))) return {};
  std::u16string text(wide.Buffer, wide.Length / sizeof(WCHAR));
  RtlFreeUnicodeString(&wide);
  return text;
}
