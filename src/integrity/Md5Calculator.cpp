#include "integrity/Md5Calculator.h"

#include <cstring>

#include "log/Logger.h"

namespace {

inline ULONG RotateLeft(ULONG x, int n) { return (x << n) | (x >> (32 - n)); }

// One MD5 step: a = b + ((a + f(b, c, d) + x + t) <<< s).
#define SX_MD5_STEP(f, a, b, c, d, x, s, t) \
  (a) += f((b), (c), (d)) + (x) + (t);      \
  (a) = RotateLeft((a), (s)) + (b)

#define SX_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define SX_MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define SX_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define SX_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

}  // namespace

CMd5Calculator::CMd5Calculator()
    : state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476}, count_{0, 0}, buffer_{}, digest_{} {}

void CMd5Calculator::Transform(const UCHAR* block) {
  // The words of a block are little-endian whatever the machine; the byte form compiles to plain loads on x86.
  ULONG x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = static_cast<ULONG>(block[i * 4]) | static_cast<ULONG>(block[i * 4 + 1]) << 8 |
           static_cast<ULONG>(block[i * 4 + 2]) << 16 | static_cast<ULONG>(block[i * 4 + 3]) << 24;
  }
  ULONG a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  SX_MD5_STEP(SX_MD5_F, a, b, c, d, x[0], 7, 0xD76AA478);
  SX_MD5_STEP(SX_MD5_F, d, a, b, c, x[1], 12, 0xE8C7B756);
  SX_MD5_STEP(SX_MD5_F, c, d, a, b, x[2], 17, 0x242070DB);
  SX_MD5_STEP(SX_MD5_F, b, c, d, a, x[3], 22, 0xC1BDCEEE);
  SX_MD5_STEP(SX_MD5_F, a, b, c, d, x[4], 7, 0xF57C0FAF);
  SX_MD5_STEP(SX_MD5_F, d, a, b, c, x[5], 12, 0x4787C62A);
  SX_MD5_STEP(SX_MD5_F, c, d, a, b, x[6], 17, 0xA8304613);
  SX_MD5_STEP(SX_MD5_F, b, c, d, a, x[7], 22, 0xFD469501);
  SX_MD5_STEP(SX_MD5_F, a, b, c, d, x[8], 7, 0x698098D8);
  SX_MD5_STEP(SX_MD5_F, d, a, b, c, x[9], 12, 0x8B44F7AF);
  SX_MD5_STEP(SX_MD5_F, c, d, a, b, x[10], 17, 0xFFFF5BB1);
  SX_MD5_STEP(SX_MD5_F, b, c, d, a, x[11], 22, 0x895CD7BE);
  SX_MD5_STEP(SX_MD5_F, a, b, c, d, x[12], 7, 0x6B901122);
  SX_MD5_STEP(SX_MD5_F, d, a, b, c, x[13], 12, 0xFD987193);
  SX_MD5_STEP(SX_MD5_F, c, d, a, b, x[14], 17, 0xA679438E);
  SX_MD5_STEP(SX_MD5_F, b, c, d, a, x[15], 22, 0x49B40821);

  SX_MD5_STEP(SX_MD5_G, a, b, c, d, x[1], 5, 0xF61E2562);
  SX_MD5_STEP(SX_MD5_G, d, a, b, c, x[6], 9, 0xC040B340);
  SX_MD5_STEP(SX_MD5_G, c, d, a, b, x[11], 14, 0x265E5A51);
  SX_MD5_STEP(SX_MD5_G, b, c, d, a, x[0], 20, 0xE9B6C7AA);
  SX_MD5_STEP(SX_MD5_G, a, b, c, d, x[5], 5, 0xD62F105D);
  SX_MD5_STEP(SX_MD5_G, d, a, b, c, x[10], 9, 0x02441453);
  SX_MD5_STEP(SX_MD5_G, c, d, a, b, x[15], 14, 0xD8A1E681);
  SX_MD5_STEP(SX_MD5_G, b, c, d, a, x[4], 20, 0xE7D3FBC8);
  SX_MD5_STEP(SX_MD5_G, a, b, c, d, x[9], 5, 0x21E1CDE6);
  SX_MD5_STEP(SX_MD5_G, d, a, b, c, x[14], 9, 0xC33707D6);
  SX_MD5_STEP(SX_MD5_G, c, d, a, b, x[3], 14, 0xF4D50D87);
  SX_MD5_STEP(SX_MD5_G, b, c, d, a, x[8], 20, 0x455A14ED);
  SX_MD5_STEP(SX_MD5_G, a, b, c, d, x[13], 5, 0xA9E3E905);
  SX_MD5_STEP(SX_MD5_G, d, a, b, c, x[2], 9, 0xFCEFA3F8);
  SX_MD5_STEP(SX_MD5_G, c, d, a, b, x[7], 14, 0x676F02D9);
  SX_MD5_STEP(SX_MD5_G, b, c, d, a, x[12], 20, 0x8D2A4C8A);

  SX_MD5_STEP(SX_MD5_H, a, b, c, d, x[5], 4, 0xFFFA3942);
  SX_MD5_STEP(SX_MD5_H, d, a, b, c, x[8], 11, 0x8771F681);
  SX_MD5_STEP(SX_MD5_H, c, d, a, b, x[11], 16, 0x6D9D6122);
  SX_MD5_STEP(SX_MD5_H, b, c, d, a, x[14], 23, 0xFDE5380C);
  SX_MD5_STEP(SX_MD5_H, a, b, c, d, x[1], 4, 0xA4BEEA44);
  SX_MD5_STEP(SX_MD5_H, d, a, b, c, x[4], 11, 0x4BDECFA9);
  SX_MD5_STEP(SX_MD5_H, c, d, a, b, x[7], 16, 0xF6BB4B60);
  SX_MD5_STEP(SX_MD5_H, b, c, d, a, x[10], 23, 0xBEBFBC70);
  SX_MD5_STEP(SX_MD5_H, a, b, c, d, x[13], 4, 0x289B7EC6);
  SX_MD5_STEP(SX_MD5_H, d, a, b, c, x[0], 11, 0xEAA127FA);
  SX_MD5_STEP(SX_MD5_H, c, d, a, b, x[3], 16, 0xD4EF3085);
  SX_MD5_STEP(SX_MD5_H, b, c, d, a, x[6], 23, 0x04881D05);
  SX_MD5_STEP(SX_MD5_H, a, b, c, d, x[9], 4, 0xD9D4D039);
  SX_MD5_STEP(SX_MD5_H, d, a, b, c, x[12], 11, 0xE6DB99E5);
  SX_MD5_STEP(SX_MD5_H, c, d, a, b, x[15], 16, 0x1FA27CF8);
  SX_MD5_STEP(SX_MD5_H, b, c, d, a, x[2], 23, 0xC4AC5665);

  SX_MD5_STEP(SX_MD5_I, a, b, c, d, x[0], 6, 0xF4292244);
  SX_MD5_STEP(SX_MD5_I, d, a, b, c, x[7], 10, 0x432AFF97);
  SX_MD5_STEP(SX_MD5_I, c, d, a, b, x[14], 15, 0xAB9423A7);
  SX_MD5_STEP(SX_MD5_I, b, c, d, a, x[5], 21, 0xFC93A039);
  SX_MD5_STEP(SX_MD5_I, a, b, c, d, x[12], 6, 0x655B59C3);
  SX_MD5_STEP(SX_MD5_I, d, a, b, c, x[3], 10, 0x8F0CCC92);
  SX_MD5_STEP(SX_MD5_I, c, d, a, b, x[10], 15, 0xFFEFF47D);
  SX_MD5_STEP(SX_MD5_I, b, c, d, a, x[1], 21, 0x85845DD1);
  SX_MD5_STEP(SX_MD5_I, a, b, c, d, x[8], 6, 0x6FA87E4F);
  SX_MD5_STEP(SX_MD5_I, d, a, b, c, x[15], 10, 0xFE2CE6E0);
  SX_MD5_STEP(SX_MD5_I, c, d, a, b, x[6], 15, 0xA3014314);
  SX_MD5_STEP(SX_MD5_I, b, c, d, a, x[13], 21, 0x4E0811A1);
  SX_MD5_STEP(SX_MD5_I, a, b, c, d, x[4], 6, 0xF7537E82);
  SX_MD5_STEP(SX_MD5_I, d, a, b, c, x[11], 10, 0xBD3AF235);
  SX_MD5_STEP(SX_MD5_I, c, d, a, b, x[2], 15, 0x2AD7D2BB);
  SX_MD5_STEP(SX_MD5_I, b, c, d, a, x[9], 21, 0xEB86D391);

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void CMd5Calculator::Update(const void* data, ULONG length) {
  if (finalised_) return;
  const auto* input = static_cast<const UCHAR*>(data);
  ULONG index = (count_[0] >> 3) & 0x3F;
  const ULONG bits = length << 3;
  count_[0] += bits;
  if (count_[0] < bits) ++count_[1];
  count_[1] += length >> 29;

  ULONG used = 0;
  const ULONG room = 64 - index;
  if (length >= room) {
    std::memcpy(&buffer_[index], input, room);
    Transform(buffer_);
    for (used = room; used + 63 < length; used += 64) Transform(&input[used]);
    index = 0;
  }
  if (length > used) std::memcpy(&buffer_[index], &input[used], length - used);
}

void CMd5Calculator::Finalize() {
  if (finalised_) return;
  UCHAR bits[8];
  for (int i = 0; i < 8; ++i) bits[i] = static_cast<UCHAR>(count_[i / 4] >> ((i % 4) * 8));
  static const UCHAR kPadding[64] = {0x80};
  const ULONG index = (count_[0] >> 3) & 0x3F;
  Update(kPadding, index < 56 ? 56 - index : 120 - index);
  Update(bits, 8);
  for (int i = 0; i < 16; ++i) digest_[i] = static_cast<UCHAR>(state_[i / 4] >> ((i % 4) * 8));
  finalised_ = true;
}

std::string CMd5Calculator::GetHexDigest() const {
  SX_LOG_FUNCTION("CMd5Calculator::GetHexDigest");
  if (!finalised_) {
    SX_LOG(1, "Digest was not finalized\n");
    return {};
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[i * 2] = kDigits[digest_[i] >> 4];
    text[i * 2 + 1] = kDigits[digest_[i] & 0xF];
  }
  return text;
}
