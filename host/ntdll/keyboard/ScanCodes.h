// Key strokes of a US keyboard as the keyboard class device reports them: scan-code set 1 make codes, a make
// record when a key goes down and a break record (same code, KEY_BREAK) when it comes up, KEY_E0 on the keys the
// controller sends with the E0 prefix (arrows, right Ctrl and Alt, keypad Enter, the editing block).
#pragma once

#include <string>
#include <vector>

#include "platform/NativeApi.h"

namespace host {

using KeyRecords = std::vector<KEYBOARD_INPUT_DATA>;

// Modifiers held around a stroke, pressed in this order and released in reverse.
constexpr unsigned kModifierShift = 1;
constexpr unsigned kModifierCtrl = 2;
constexpr unsigned kModifierAlt = 4;

// Appends the press and release of the key that types `character` (printable ASCII) on a US keyboard, inside a
// left Shift press and release when the character needs Shift ('A', '!', '?', ...) or `modifiers` ask for it.
// False when no key types the character.
bool AppendCharacterStroke(char character, unsigned modifiers, KeyRecords* records);

// The same for a key named without regard to case: esc, enter, space, tab, backspace, f1 to f12, left, right, up,
// down, home, end, pgup, pgdn, insert, delete, or one printable character.
bool AppendNamedStroke(const std::string& name, unsigned modifiers, KeyRecords* records);

}  // namespace host
