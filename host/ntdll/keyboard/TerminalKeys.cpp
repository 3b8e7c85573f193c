#include "host/ntdll/keyboard/TerminalKeys.h"

#include <cstdlib>

namespace host {
namespace {

constexpr unsigned char kEscape = 0x1B;

struct SequenceKey {
  int code;  // the number before '~', or the final letter
  const char* name;
};

// "CSI n ~": the editing block and the function keys, as xterm and the Linux console number them.
constexpr SequenceKey kTildeKeys[] = {{1, "home"}, {2, "insert"}, {3, "delete"}, {4, "end"},  {5, "pgup"},
                                      {6, "pgdn"}, {7, "home"},   {8, "end"},    {11, "f1"},  {12, "f2"},
                                      {13, "f3"},  {14, "f4"},    {15, "f5"},    {17, "f6"},  {18, "f7"},
                                      {19, "f8"},  {20, "f9"},    {21, "f10"},   {23, "f11"}, {24, "f12"}};

// A final letter after CSI or SS3 ("ESC [ A" and "ESC O A" are both the up arrow).
constexpr SequenceKey kLetterKeys[] = {{'A', "up"},   {'B', "down"}, {'C', "right"},  {'D', "left"},
                                       {'H', "home"}, {'F', "end"},  {'P', "f1"},     {'Q', "f2"},
                                       {'R', "f3"},   {'S', "f4"},   {'M', "kpenter"}};

template <size_t N>
const char* KeyNameOf(const SequenceKey (&keys)[N], int code) {
  for (const SequenceKey& key : keys) {
    if (key.code == code) return key.name;
  }
  return nullptr;
}

// xterm's modifier parameter is 1 plus a sum of Shift 1, Alt 2 and Ctrl 4.
unsigned ModifiersOfParameter(int parameter) {
  unsigned bits = parameter > 1 ? static_cast<unsigned>(parameter - 1) : 0;
  return ((bits & 1) ? kModifierShift : 0) | ((bits & 2) ? kModifierAlt : 0) | ((bits & 4) ? kModifierCtrl : 0);
}

}  // namespace

void TerminalKeyDecoder::Feed(unsigned char byte, KeyRecords* records) {
  switch (state_) {
    case State::Ground:
      break;
    case State::Escape:
      if (byte == '[') {
        state_ = State::Csi;
        parameters_.clear();
        return;
      }
      if (byte == 'O') {
        state_ = State::Ss3;
        return;
      }
      // Escape followed by anything else was a press of Escape; the byte is a key of its own.
      state_ = State::Ground;
      AppendNamedStroke("esc", 0, records);
      break;
    case State::Csi:
      if (byte == '[' && parameters_.empty()) {
        state_ = State::CsiBracket;  // the Linux console's F1 to F5: ESC [ [ A to E
      } else if (byte >= 0x20 && byte <= 0x3F) {
        parameters_.push_back(static_cast<char>(byte));
      } else {
        state_ = State::Ground;
        if (byte >= 0x40 && byte <= 0x7E) FinishCsi(byte, records);
      }
      return;
    case State::CsiBracket:
      state_ = State::Ground;
      if (byte >= 'A' && byte <= 'E') AppendNamedStroke("f" + std::to_string(byte - 'A' + 1), 0, records);
      return;
    case State::Ss3:
      state_ = State::Ground;
      if (const char* name = KeyNameOf(kLetterKeys, byte)) AppendNamedStroke(name, 0, records);
      return;
  }

  if (byte == kEscape) {
    state_ = State::Escape;
  } else if (byte == '\r' || byte == '\n') {
    AppendNamedStroke("enter", 0, records);
  } else if (byte == '\t') {
    AppendNamedStroke("tab", 0, records);
  } else if (byte == 0x7F || byte == 0x08) {
    AppendNamedStroke("backspace", 0, records);
  } else if (byte >= 0x01 && byte <= 0x1A) {
    AppendCharacterStroke(static_cast<char>('a' + byte - 1), kModifierCtrl, records);
  } else if (byte >= 0x20 && byte <= 0x7E) {
    AppendCharacterStroke(static_cast<char>(byte), 0, records);
  }
}

void TerminalKeyDecoder::Flush(KeyRecords* records) {
  if (state_ == State::Escape) AppendNamedStroke("esc", 0, records);
  state_ = State::Ground;
}

void TerminalKeyDecoder::FinishCsi(unsigned char final, KeyRecords* records) {
  // Parameters are "n" or "n;m": the key number (for '~') and xterm's modifier.
  int number = std::atoi(parameters_.c_str());
  size_t semicolon = parameters_.find(';');
  unsigned modifiers =
      semicolon == std::string::npos ? 0 : ModifiersOfParameter(std::atoi(&parameters_[semicolon + 1]));
  const char* name = final == '~' ? KeyNameOf(kTildeKeys, number) : KeyNameOf(kLetterKeys, final);
  if (name != nullptr) AppendNamedStroke(name, modifiers, records);
}

}  // namespace host
