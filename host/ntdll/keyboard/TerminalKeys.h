// What a terminal in raw mode sends for each key, turned back into the key's strokes: printable characters,
// Enter, Tab, Backspace, Escape, Ctrl with a letter, and the escape sequences of xterm-like terminals and the
// Linux console for the arrows, the editing block and F1 to F12 (with their Shift, Alt and Ctrl variants).
#pragma once

#include <string>

#include "host/ntdll/keyboard/ScanCodes.h"

namespace host {

class TerminalKeyDecoder {
 public:
  // Takes the next byte read from the terminal and appends the records of any stroke it completes. Bytes that
  // stand for no key (other control bytes, non-ASCII, unknown sequences) are dropped.
  void Feed(unsigned char byte, KeyRecords* records);
  // The terminal went quiet: an Escape still waiting for the rest of a sequence was the Escape key itself.
  void Flush(KeyRecords* records);
  // True while a sequence is half read: the caller calls Flush when no byte follows within a short while.
  bool Waiting() const { return state_ != State::Ground; }

 private:
  enum class State { Ground, Escape, Csi, CsiBracket, Ss3 };
  void FinishCsi(unsigned char final, KeyRecords* records);

  State state_ = State::Ground;
  std::string parameters_;
};

}  // namespace host
