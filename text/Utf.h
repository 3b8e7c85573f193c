// UTF-8 and UTF-16 (WCHAR is char16_t), the one conversion the host, its tools, the command lines and the companion
// use.
// Text from outside (NTFS names, .reg files, arguments) may be malformed: the lenient conversions put U+FFFD where
// something cannot be decoded, and the strict one says where decoding failed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

void AppendUtf8(char32_t code, std::string* out);

// Unpaired surrogates (NTFS does not check that names pair them) become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// Each byte that does not belong to a well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Well-formed UTF-8 only (no overlong forms, surrogates or code points past U+10FFFF). False with the offset of the
// first byte that does not start a well-formed sequence in *badOffset; *out then holds what came before it.
bool DecodeUtf8(std::string_view text, std::u16string* out, size_t* badOffset);

}  // namespace text
