// The keyboard at boot time: there is no console input yet, so the first keyboard class device that opens is read
// directly, one KEYBOARD_INPUT_DATA record at a time, and make codes are turned into characters. Only the main
// thread uses it, between the steps of its wait loop.
#pragma once

#include "platform/NativeApi.h"

// Modifier bits of SKeyEvent::Modifiers, kept across reads.
constexpr ULONG kModifierRightAlt = 0x01;
constexpr ULONG kModifierLeftAlt = 0x02;
constexpr ULONG kModifierRightCtrl = 0x04;
constexpr ULONG kModifierLeftCtrl = 0x08;
constexpr ULONG kModifierShift = 0x10;  // either Shift key
constexpr ULONG kModifierNumLock = 0x20;
constexpr ULONG kModifierExtendedKey = 0x100;  // this record had KEY_E0; never part of the kept state

struct SKeyEvent {
  USHORT MakeCode;
  ULONG Modifiers;
  UCHAR Character;  // 0 for a key without one (Escape, function keys, arrows, modifiers, ...)
  bool KeyDown;
};

// Updates the process-wide modifier state with `input` and describes the key in `event`.
void TranslateKeyboardInput(const KEYBOARD_INPUT_DATA& input, SKeyEvent& event);

class CKeyboardHandler {
 public:
  // The process-wide handler, made on first use with no device; closed from the exit-handler list.
  static CKeyboardHandler& Instance();

  CKeyboardHandler() = default;
  ~CKeyboardHandler();
  CKeyboardHandler(const CKeyboardHandler&) = delete;
  CKeyboardHandler& operator=(const CKeyboardHandler&) = delete;

  // Opens \Device\KeyboardClass0 to 19, the first that opens with its event, logging each refusal.
  void Initialize();
  bool HasDevice() const { return device_ != nullptr; }

  // Waits up to `timeoutMs` (0xFFFFFFFF: without limit) for one key event: the character of a press (1 to 255),
  // 0 for a press of a key without a character, -1 for a release, a time-out (the read is cancelled), a failure or
  // a handler without a device.
  LONG ReadKey(ULONG timeoutMs);

 private:
  HANDLE device_ = nullptr;
  HANDLE event_ = nullptr;
  LARGE_INTEGER readOffset_{};
};
