#include "host/ntdll/runtime/MsFormat.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace host {
namespace {

// Only the distinctions the conversions care about: 'l' and 'w' select wide strings, 'I32' and 'L' are the default.
enum class Size { kDefault, kChar, kShort, kLong, kWide, k64 };

struct Field {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;  // none
  Size size = Size::kDefault;
};

// Code units below 0x80 survive narrowing; anything else has no faithful single-byte form, so it becomes '?'.
template <typename To, typename From>
To ConvertUnit(From c) {
  if constexpr (std::is_same_v<To, From>) {
    return c;
  } else if constexpr (std::is_same_v<To, char>) {
    return c < 0x80 ? static_cast<char>(c) : '?';
  } else {
    return static_cast<char16_t>(static_cast<unsigned char>(c));
  }
}

// A private copy lets the helpers share one cursor over the arguments without handing va_list around.
class Args {
 public:
  explicit Args(va_list args) { va_copy(ap_, args); }
  ~Args() { va_end(ap_); }
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  template <typename T>
  T Next() {
    return va_arg(ap_, T);
  }

 private:
  va_list ap_;
};

template <typename CharT>
class Formatter {
 public:
  Formatter(const CharT* format, va_list args) : p_(format), args_(args) {}

  std::basic_string<CharT> Run() {
    while (*p_ != 0) {
      if (*p_ == '%') {
        ++p_;
        Directive();
      } else {
        out_ += *p_++;
      }
    }
    return std::move(out_);
  }

 private:
  using String = std::basic_string<CharT>;
  static constexpr bool kWideDest = std::is_same_v<CharT, char16_t>;

  void Directive() {
    Field s;
    while (ParseFlag(s)) ++p_;
    if (*p_ == '*') {
      ++p_;
      long long width = args_.Next<int>();  // wide enough to negate INT_MIN
      if (width < 0) {
        s.left = true;
        width = -width;
      }
      s.width = static_cast<int>(std::min<long long>(width, kMsFormatMaxField));
    } else {
      s.width = ParseNumber();
    }
    if (*p_ == '.') {
      ++p_;
      if (*p_ == '*') {
        ++p_;
        const int precision = args_.Next<int>();
        s.precision = precision < 0 ? -1 : std::min(precision, kMsFormatMaxField);
      } else {
        s.precision = ParseNumber();
      }
    }
    ParseSize(s);

    const CharT c = *p_;
    if (c == 0) return;
    ++p_;
    switch (c) {
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        Integer(s, static_cast<char>(c));
        break;
      case 'p':
        Pointer(s);
        break;
      case 's':
      case 'S':
        if (IsWideArg(s.size, c == 'S')) {
          Text(s, args_.Next<const char16_t*>());
        } else {
          Text(s, args_.Next<const char*>());
        }
        break;
      case 'c':
      case 'C': {
        const int v = args_.Next<int>();
        const CharT ch = IsWideArg(s.size, c == 'C') ? ConvertUnit<CharT>(static_cast<char16_t>(v))
                                                     : ConvertUnit<CharT>(static_cast<char>(v));
        Emit(s, {}, String(1, ch));
        break;
      }
      case 'n':
        args_.Next<void*>();  // writing through caller-supplied pointers is an exploit vector, so it is skipped
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        Float(s, static_cast<char>(c));
        break;
      default:
        out_ += c;  // covers "%%"; the directive before the character is dropped, as msvcrt does
        break;
    }
  }

  bool ParseFlag(Field& s) {
    static constexpr CharT kFlags[] = {'-', '+', ' ', '#', '0'};
    const CharT* const found = std::char_traits<CharT>::find(kFlags, 5, *p_);
    if (found == nullptr) return false;
    bool* const flags[] = {&s.left, &s.plus, &s.space, &s.alt, &s.zero};
    *flags[found - kFlags] = true;
    return true;
  }

  int ParseNumber() {
    int n = 0;
    for (; *p_ >= '0' && *p_ <= '9'; ++p_) n = std::min(n * 10 + (*p_ - '0'), kMsFormatMaxField);
    return n;
  }

  void ParseSize(Field& s) {
    switch (*p_) {
      case 'h':
        s.size = Size::kShort;
        if (*++p_ == 'h') {
          ++p_;
          s.size = Size::kChar;
        }
        break;
      case 'l':
        s.size = Size::kLong;
        if (*++p_ == 'l') {
          ++p_;
          s.size = Size::k64;
        }
        break;
      case 'w':
        ++p_;
        s.size = Size::kWide;
        break;
      case 'z':
      case 'j':
      case 't':
        ++p_;
        s.size = Size::k64;
        break;
      case 'L':
        ++p_;
        break;
      case 'I':  // short-circuiting keeps every read within the terminating zero
        if (p_[1] == '6' && p_[2] == '4') {
          p_ += 3;
          s.size = Size::k64;
        } else if (p_[1] == '3' && p_[2] == '2') {
          p_ += 3;
        } else if (std::char_traits<CharT>::find(kIntConversions, 6, p_[1]) != nullptr) {
          ++p_;
          s.size = Size::k64;  // pointer-sized
        }
        // Otherwise 'I' is left to be written out as an unknown conversion, as msvcrt does.
        break;
      default:
        break;
    }
  }

  // 'h' forces a narrow argument and 'l'/'w' a wide one; otherwise s/c match the destination and S/C take the other.
  static bool IsWideArg(Size size, bool upper) {
    if (size == Size::kShort || size == Size::kChar) return false;
    if (size == Size::kLong || size == Size::kWide) return true;
    return upper != kWideDest;
  }

  int64_t NextSigned(Size size) {
    switch (size) {
      case Size::k64:
        return args_.Next<long long>();
      case Size::kShort:
        return static_cast<short>(args_.Next<int>());
      case Size::kChar:
        return static_cast<signed char>(args_.Next<int>());
      default:
        return args_.Next<int>();  // long is 32-bit on Windows
    }
  }

  uint64_t NextUnsigned(Size size) {
    switch (size) {
      case Size::k64:
        return args_.Next<unsigned long long>();
      case Size::kShort:
        return static_cast<unsigned short>(args_.Next<unsigned>());
      case Size::kChar:
        return static_cast<unsigned char>(args_.Next<unsigned>());
      default:
        return args_.Next<unsigned>();
    }
  }

  void Integer(Field s, char conv) {
    const bool is_signed = conv == 'd' || conv == 'i';
    bool negative = false;
    uint64_t value;
    if (is_signed) {
      const int64_t v = NextSigned(s.size);
      negative = v < 0;
      value = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    } else {
      value = NextUnsigned(s.size);
    }

    String prefix;
    if (negative) {
      prefix = String(1, '-');
    } else if (is_signed && (s.plus || s.space)) {
      prefix = String(1, s.plus ? '+' : ' ');
    } else if (s.alt && value != 0 && (conv == 'x' || conv == 'X')) {
      prefix = {'0', static_cast<CharT>(conv)};
    }
    const unsigned base = conv == 'o' ? 8 : (conv == 'x' || conv == 'X') ? 16 : 10;
    EmitDigits(s, prefix, value, base, conv == 'x');
  }

  void Pointer(Field s) {
    s.precision = 16;  // all 64 bits, as x64 Windows prints them
    EmitDigits(s, {}, reinterpret_cast<uintptr_t>(args_.Next<const void*>()), 16, false);
  }

  void EmitDigits(Field s, const String& prefix, uint64_t value, unsigned base, bool lower) {
    const char* const digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    String body;
    for (; value != 0; value /= base) body += static_cast<CharT>(digits[value % base]);
    if (s.precision < 0) {
      s.precision = 1;
    } else {
      s.zero = false;  // an explicit precision decides the zeros
    }
    if (body.size() < static_cast<size_t>(s.precision)) body.append(s.precision - body.size(), '0');
    std::reverse(body.begin(), body.end());
    if (s.alt && base == 8 && (body.empty() || body[0] != '0')) body.insert(body.begin(), '0');
    Emit(s, prefix, body);
  }

  // Precision bounds the read as well as the output, so unterminated buffers are safe with "%.Ns".
  template <typename From>
  void Text(const Field& s, const From* text) {
    static constexpr From kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (text == nullptr) text = kNull;
    const size_t limit = s.precision < 0 ? SIZE_MAX : static_cast<size_t>(s.precision);
    String body;
    for (size_t i = 0; i < limit && text[i] != 0; ++i) body += ConvertUnit<CharT>(text[i]);
    Emit(s, {}, body);
  }

  void Float(const Field& s, char conv) {
    // Doubles need nothing Microsoft-specific, so the host's snprintf does the work, flags and width included.
    std::string pattern = "%";
    if (s.left) pattern += '-';
    if (s.plus) pattern += '+';
    if (s.space) pattern += ' ';
    if (s.alt) pattern += '#';
    if (s.zero) pattern += '0';
    pattern += "*.*";
    pattern += conv;
    const double value = args_.Next<double>();
    const int length = std::snprintf(nullptr, 0, pattern.c_str(), s.width, s.precision, value);
    if (length <= 0) return;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), pattern.c_str(), s.width, s.precision, value);
    for (int i = 0; i < length; ++i) out_ += ConvertUnit<CharT>(text[i]);
  }

  // Layout: spaces, sign or 0x, zeros, body -- or body then spaces when left-justified.
  void Emit(const Field& s, const String& prefix, const String& body) {
    const size_t length = prefix.size() + body.size();
    const size_t width = static_cast<size_t>(s.width);
    const size_t pad = width > length ? width - length : 0;
    if (!s.left && !s.zero) out_.append(pad, ' ');
    out_ += prefix;
    if (!s.left && s.zero) out_.append(pad, '0');
    out_ += body;
    if (s.left) out_.append(pad, ' ');
  }

  static constexpr CharT kIntConversions[] = {'d', 'i', 'o', 'u', 'x', 'X'};

  const CharT* p_;
  Args args_;
  String out_;
};

}  // namespace

std::string MsFormatNarrow(const char* format, va_list args) {
  return format == nullptr ? std::string() : Formatter<char>(format, args).Run();
}

std::u16string MsFormatWide(const char16_t* format, va_list args) {
  return format == nullptr ? std::u16string() : Formatter<char16_t>(format, args).Run();
}

}  // namespace host
