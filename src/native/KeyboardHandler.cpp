#include "native/KeyboardHandler.h"

#include "log/Logger.h"
#include "native/ProcessEntry.h"

namespace {

struct SScanCode {
  USHORT Code;
  UCHAR Unshifted;
  UCHAR Shifted;
};

// Scan code set 1 of a US keyboard, for the keys that give a character; ended by code 0.
constexpr SScanCode kScanCodes[] = {
    {0x1E, 'a', 'A'}, {0x30, 'b', 'B'},  {0x2E, 'c', 'C'}, {0x20, 'd', 'D'},   {0x12, 'e', 'E'},   {0x21, 'f', 'F'},
    {0x22, 'g', 'G'}, {0x23, 'h', 'H'},  {0x17, 'i', 'I'}, {0x24, 'j', 'J'},   {0x25, 'k', 'K'},   {0x26, 'l', 'L'},
    {0x32, 'm', 'M'}, {0x31, 'n', 'N'},  {0x18, 'o', 'O'}, {0x19, 'p', 'P'},   {0x10, 'q', 'Q'},   {0x13, 'r', 'R'},
    {0x1F, 's', 'S'}, {0x14, 't', 'T'},  {0x16, 'u', 'U'}, {0x2F, 'v', 'V'},   {0x11, 'w', 'W'},   {0x2D, 'x', 'X'},
    {0x15, 'y', 'Y'}, {0x2C, 'z', 'Z'},  {0x02, '1', '!'}, {0x03, '2', '@'},   {0x04, '3', '#'},   {0x05, '4', '$'},
    {0x06, '5', '%'}, {0x07, '6', '^'},  {0x08, '7', '&'}, {0x09, '8', '*'},   {0x0A, '9', '('},   {0x0B, '0', ')'},
    {0x29, '`', '~'}, {0x0C, '-', '_'},  {0x0D, '=', '+'}, {0x1A, '[', '{'},   {0x1B, ']', '}'},   {0x2B, '\\', '|'},
    {0x27, ';', ':'}, {0x28, '\'', '"'}, {0x33, ',', '<'}, {0x34, '.', '>'},   {0x35, '/', '?'},   {0x4A, '-', '-'},
    {0x4E, '+', '+'}, {0x37, '*', '*'},  {0x39, ' ', ' '}, {0x1C, '\r', '\r'}, {0x0E, '\b', '\b'}, {0, 0, 0},
};

constexpr int kKeyboardDevices = 20;
constexpr ACCESS_MASK kKeyboardDeviceAccess = GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES;

ULONG g_modifiers = 0;

CKeyboardHandler* g_keyboardHandler = nullptr;

void DestroyKeyboardHandler() {
  delete g_keyboardHandler;
  g_keyboardHandler = nullptr;
}

CKeyboardHandler* CreateKeyboardHandler() {
  g_keyboardHandler = new CKeyboardHandler();
  RegisterExitHandler(&DestroyKeyboardHandler);
  return g_keyboardHandler;
}

// Sets `bit` on a press and clears it on a release.
void Hold(ULONG bit, bool keyDown) { g_modifiers = keyDown ? g_modifiers | bit : g_modifiers & ~bit; }

}  // namespace

void TranslateKeyboardInput(const KEYBOARD_INPUT_DATA& input, SKeyEvent& event) {
  event.MakeCode = input.MakeCode;
  event.KeyDown = (input.Flags & KEY_BREAK) == 0;
  if (input.Flags & KEY_E1) {
    // Pause/Break: nothing to track.
  } else if (input.Flags & KEY_E0) {
    if (input.MakeCode == 0x1D) Hold(kModifierRightCtrl, event.KeyDown);
    if (input.MakeCode == 0x38) Hold(kModifierRightAlt, event.KeyDown);
  } else {
    switch (input.MakeCode) {
      case 0x1D:
        Hold(kModifierLeftCtrl, event.KeyDown);
        break;
      case 0x2A:
      case 0x36:
        Hold(kModifierShift, event.KeyDown);
        break;
      case 0x38:
        Hold(kModifierLeftAlt, event.KeyDown);
        break;
      case 0x45:
        if (event.KeyDown) g_modifiers ^= kModifierNumLock;
        break;
      default:
        break;
    }
  }
  event.Modifiers = g_modifiers | ((input.Flags & KEY_E0) ? kModifierExtendedKey : 0);
  // The prefix is not looked at: keypad Enter and keypad slash give the characters of Enter and slash.
  event.Character = 0;
  for (const SScanCode* entry = kScanCodes; entry->Code != 0; ++entry) {
    if (entry->Code == input.MakeCode) {
      event.Character = (event.Modifiers & kModifierShift) ? entry->Shifted : entry->Unshifted;
      break;
    }
  }
}

CKeyboardHandler& CKeyboardHandler::Instance() {
  static CKeyboardHandler* instance = CreateKeyboardHandler();
  return *instance;
}

CKeyboardHandler::~CKeyboardHandler() {
  if (event_ != nullptr) NtClose(event_);
  if (device_ != nullptr) NtClose(device_);
}

void CKeyboardHandler::Initialize() {
  for (int number = 0; number < kKeyboardDevices; ++number) {
    WCHAR name[32] = {};
    NtdllSnwprintf(name, 31, u"\\Device\\KeyboardClass%u", number);
    if (device_ == nullptr) {
      SX_LOG_FUNCTION("CKeyboardHandler::OpenKeyboard");
      UNICODE_STRING deviceName;
      RtlInitUnicodeString(&deviceName, name);
      OBJECT_ATTRIBUTES attributes{sizeof attributes, nullptr, &deviceName, 0, nullptr, nullptr};
      IO_STATUS_BLOCK ioStatus{};
      NTSTATUS status = NtCreateFile(&device_, kKeyboardDeviceAccess, &attributes, &ioStatus, nullptr,
                                     FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, 0);
      if (!NT_SUCCESS(status)) {
        device_ = nullptr;
        SX_LOG(1, "\nCan't open the keyboard %ws: 0x%x", name, status);
        continue;
      }
      UNICODE_STRING eventName;
      RtlInitUnicodeString(&eventName, u"\\keyboardEvent");
      OBJECT_ATTRIBUTES eventAttributes{sizeof eventAttributes, nullptr, &eventName, 0, nullptr, nullptr};
      status = NtCreateEvent(&event_, FILE_ALL_ACCESS, &eventAttributes, SynchronizationEvent, false);
      if (!NT_SUCCESS(status)) {
        if (event_ != nullptr) NtClose(event_);
        NtClose(device_);
        event_ = nullptr;
        device_ = nullptr;
        SX_LOG(1, "\nCan't create keyboard event: 0x%x", status);
        continue;
      }
    }
    SX_LOG_FUNCTION("CKeyboardHandler::Initialize");
    SX_LOG(1, "Keyboard device %ws initialized", name);
    return;
  }
}

LONG CKeyboardHandler::ReadKey(ULONG timeoutMs) {
  if (device_ == nullptr) return -1;
  LARGE_INTEGER interval;
  interval.QuadPart = timeoutMs == 0xFFFFFFFF ? static_cast<LONGLONG>(0x8000000000000001ull)
                                              : -static_cast<LONGLONG>(timeoutMs) * 10000;
  KEYBOARD_INPUT_DATA input{};
  IO_STATUS_BLOCK ioStatus{};
  readOffset_.QuadPart = 0;
  NTSTATUS status =
      NtReadFile(device_, event_, nullptr, nullptr, &ioStatus, &input, sizeof input, &readOffset_, nullptr);
  if (status == STATUS_PENDING) {
    NTSTATUS wait = NtWaitForSingleObject(event_, false, &interval);
    if (wait == STATUS_TIMEOUT) {
      // The cancel completes the read before it returns, so `input` and `ioStatus` are free again afterwards; a
      // key that arrives later waits in the device for the next read.
      IO_STATUS_BLOCK cancelStatus{};
      NtCancelIoFile(device_, &cancelStatus);
      return -1;
    }
    if (!NT_SUCCESS(wait)) return -1;
    status = ioStatus.Status;
  }
  if (!NT_SUCCESS(status)) return -1;
  SKeyEvent event;
  TranslateKeyboardInput(input, event);
  return event.KeyDown ? event.Character : -1;
}
