#pragma once

#include <cstdarg>
#include <string>

namespace host {

// Widths and precisions are clamped to this many characters, so a hostile format cannot demand gigabytes.
constexpr int kMsFormatMaxField = 1 << 20;

// Expands like ntdll's printf family (Microsoft conversions: 32-bit %ld, %I64d, %S as the "other" string width,
// WCHAR = char16_t); returns the whole expansion (no truncation here). The caller's va_list is not consumed.
//
// Where Microsoft differs from glibc, or the outcome is otherwise worth knowing:
// - An unknown conversion character is written alone; the '%' and any flags, width or size before it are dropped
//   (so "%5y" gives "y" and "%5%" gives "%"). A format ending in a lone '%' writes nothing more.
// - The '0' flag pads strings and characters with zeros too ("%05s" of "ab" gives "000ab").
// - %n consumes its pointer and stores nothing.
// - 'L' is ignored: long double is double on Windows, so floating conversions always read a double.
std::string MsFormatNarrow(const char* format, va_list args);       // narrow destination
std::u16string MsFormatWide(const char16_t* format, va_list args);  // wide destination (WCHAR = char16_t)

}  // namespace host
