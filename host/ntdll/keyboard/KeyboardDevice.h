// The keyboard class device as its sources (a key script, the terminal) feed it. While a keyboard is attached,
// \Device\KeyboardClass0 exists; its records queue in the device, as in the class driver's buffer, until reads
// take them. RemoveKeyboard (host/Keyboard.h) detaches it.
#pragma once

#include <functional>

#include "host/ntdll/keyboard/ScanCodes.h"

namespace host {

// The class driver's buffer holds this many records; records arriving when it is full are dropped, as the
// driver drops them.
constexpr size_t kKeyboardBufferRecords = 100;

// \Device\KeyboardClass0 appears with an empty buffer, fed by a source that `stopSource` stops (it is called, with
// no lock held, when the keyboard is removed or replaced; once it returns the source delivers nothing more). A
// keyboard attached before is removed first.
void AttachKeyboard(std::function<void()> stopSource);

// Queues `records` (whole strokes) at once and completes pending reads with them. Nothing happens when no
// keyboard is attached.
void DeliverKeyRecords(const KeyRecords& records);

}  // namespace host
