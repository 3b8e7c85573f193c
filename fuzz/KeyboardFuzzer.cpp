// Any stream of keyboard records: translation never reads outside its table, never invents modifier bits, and a
// character only ever comes from a key in the table.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "native/KeyboardHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr ULONG kKnownBits = kModifierRightAlt | kModifierLeftAlt | kModifierRightCtrl | kModifierLeftCtrl |
                               kModifierShift | kModifierNumLock | kModifierExtendedKey;
  for (size_t at = 0; at + sizeof(KEYBOARD_INPUT_DATA) <= size; at += sizeof(KEYBOARD_INPUT_DATA)) {
    KEYBOARD_INPUT_DATA input;
    std::memcpy(&input, data + at, sizeof input);
    SKeyEvent event{};
    TranslateKeyboardInput(input, event);
    if ((event.Modifiers & ~kKnownBits) != 0) std::abort();
    if (event.MakeCode != input.MakeCode || event.KeyDown != ((input.Flags & KEY_BREAK) == 0)) std::abort();
    if (event.Character != 0 && (input.MakeCode == 0 || input.MakeCode > 0x4E)) std::abort();
  }
  return 0;
}
