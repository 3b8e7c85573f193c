// The machine's keyboard, for the command line and the tests. \Device\KeyboardClass0 exists only while a source is
// installed (a key script, or the terminal on standard input); without one NtCreateFile answers
// STATUS_OBJECT_NAME_NOT_FOUND, as on a machine with no keyboard. Each key gives its press and release records
// (see host/ScanCodes.h), which wait in the device's buffer until a read takes them.
//
// In-process tests install a script and remove it again:
//   host::KeyScript script;
//   ASSERT_TRUE(host::ParseKeyScript("100:a,250:shift+b", &script, &error)) << error;
//   host::SetKeyboardScript(script);   // times count from now
//   ...
//   host::RemoveKeyboard();
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/ntdll/keyboard/ScanCodes.h"

namespace host {

// One key of a script: its records, queued together `at` after the script's origin.
struct ScriptedKey {
  std::chrono::milliseconds at{0};
  std::string text;  // the item as written
  KeyRecords records;
};
using KeyScript = std::vector<ScriptedKey>;

// Parses "T:KEY,T:KEY,...", T in milliseconds and KEY a printable character ('A' and '!' come with Shift), a key
// name (esc, enter, space, tab, backspace, f1 to f12, left, right, up, down, home, end, pgup, pgdn, insert,
// delete, kpenter; any case), or either after shift+, ctrl+ or alt+ ("shift+a": Shift down, A down, A up, Shift
// up). A comma right after the colon or a '+' is the key ','. Blanks around items are ignored; an empty text is a
// keyboard nobody types on. False with a one-line error that quotes the bad item.
bool ParseKeyScript(const std::string& text, KeyScript* script, std::string* error);

// Makes `script` the keyboard, replacing any other source: the device exists from now on, and each key's records
// are queued at `origin` plus its time, in time order, whether or not anything reads them (keys already due are
// queued at once).
void SetKeyboardScript(const KeyScript& script,
                       std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now());

// When this process started, on the monotonic clock: the command line counts script times from it, so that
// setting the system clock cannot move a key.
std::chrono::steady_clock::time_point ProcessStartTime();

// Makes the terminal on standard input the keyboard, replacing any other source. The terminal goes to raw mode (no
// echo, no line editing, Ctrl+Z disabled; Ctrl+C still interrupts) and each key typed becomes its strokes. Its
// settings come back when the keyboard is removed, when the process ends through ExitHostProcess or exit(), and
// on any signal that ends it. False with a reason, and no keyboard, when standard input is not a terminal that
// this process has in the foreground.
bool UseTerminalKeyboard(std::string* error);

// Stops the source and removes the device: pending reads complete as cancelled, waiting records are dropped, and
// reads on handles still open fail with STATUS_DEVICE_NOT_CONNECTED. A terminal gets its settings back.
void RemoveKeyboard();

// Puts a terminal in raw mode back as it was; does nothing otherwise. Safe to call from a signal handler.
void RestoreTerminal();

}  // namespace host
