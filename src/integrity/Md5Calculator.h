// CMd5Calculator: the MD5 digest (RFC 1321) of a byte stream fed in pieces, as lower-case hexadecimal text. A plain
// value with no heap storage; each hash takes a fresh object.
#pragma once

#include <string>

#include "platform/NativeApi.h"

class CMd5Calculator {
 public:
  CMd5Calculator();

  // Absorbs `length` bytes; whole 64-byte blocks are transformed straight from `data`. Ignored once finalised.
  void Update(const void* data, ULONG length);
  // Pads, appends the bit count and keeps the digest. Further Update and Finalize calls change nothing.
  void Finalize();
  // The 32 hexadecimal digits of the digest; empty (after a log line) before Finalize.
  std::string GetHexDigest() const;

 private:
  void Transform(const UCHAR* block);

  ULONG state_[4];
  ULONG count_[2];  // bits absorbed, low word first
  UCHAR buffer_[64];
  UCHAR digest_[16];
  bool finalised_ = false;
};
