#include "text/Utf.h"

namespace text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

void AppendUtf16(char32_t code, std::u16string* out) {
  if (code < 0x10000) {
    out->push_back(static_cast<char16_t>(code));
    return;
  }
  code -= 0x10000;
  out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
  out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

// The code point of the well-formed sequence at text[*index], advancing past it; false (index unchanged) when the
// bytes there are not one.
bool NextCodePoint(std::string_view text, size_t* index, char32_t* code) {
  auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const size_t i = *index;
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    *code = lead;
    ++*index;
    return true;
  }
  const size_t extra = lead >= 0xC2 && lead < 0xE0   ? 1
                       : lead >= 0xE0 && lead < 0xF0 ? 2
                       : lead >= 0xF0 && lead < 0xF5 ? 3
                                                     : 0;
  if (extra == 0 || i + extra >= text.size()) return false;
  char32_t value = lead & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  const char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
  if (value < smallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return false;
  *code = value;
  *index += extra + 1;
  return true;
}

}  // namespace

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      unit = kReplacement;
    }
    AppendUtf8(unit, &out);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t code;
    if (!NextCodePoint(text, &i, &code)) {
      code = kReplacement;
      ++i;
    }
    AppendUtf16(code, &out);
  }
  return out;
}

bool DecodeUtf8(std::string_view text, std::u16string* out, size_t* badOffset) {
  for (size_t i = 0; i < text.size();) {
    char32_t code;
    if (!NextCodePoint(text, &i, &code)) {
      *badOffset = i;
      return false;
    }
    AppendUtf16(code, out);
  }
  return true;
}

}  // namespace text
