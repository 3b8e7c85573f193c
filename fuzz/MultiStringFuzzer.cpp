// BootExecute data as the registry could hold it, any bytes at all: the parser must stay inside the data, and
// whatever it yields must rebuild into data that parses to the same strings.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "native/BootSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that a read past the length is caught.
  std::unique_ptr<WCHAR[]> units(new WCHAR[size / 2 + 1]);
  std::memcpy(units.get(), data, size);
  std::vector<std::u16string> strings = ParseMultiString(units.get(), static_cast<ULONG>(size));
  for (const auto& text : strings) {
    if (text.empty() || text.find(u'\0') != std::u16string::npos) std::abort();
  }
  const ULONG room = static_cast<ULONG>(size + 8);
  std::unique_ptr<WCHAR[]> rebuilt(new WCHAR[room / 2]);
  const LONG written = BuildMultiString(strings, rebuilt.get(), room);
  if (written < 2) std::abort();  // parsed data always fits again, with room for two terminators
  if (ParseMultiString(rebuilt.get(), static_cast<ULONG>(written) * 2) != strings) std::abort();
  return 0;
}
