#include "DisplayTrace.h"

#include <sstream>

namespace winetest {
namespace {

const std::string kMarker = ":err:ntdll:NtDisplayString L\"";

void AppendUtf8(std::string* out, unsigned code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the quoted text that starts at `at`; false when the line does not hold a complete one.
bool DecodeQuoted(const std::string& line, size_t at, std::string* text, bool* cut) {
  for (; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '"') {
      *cut = line.compare(at + 1, std::string::npos, "...") == 0;
      return true;
    }
    if (c != '\\') {
      text->push_back(c);
      continue;
    }
    if (++at >= line.size()) return false;
    switch (line[at]) {
      case 'n':
        text->push_back('\n');
        break;
      case 'r':
        text->push_back('\r');
        break;
      case 't':
        text->push_back('\t');
        break;
      case '\\':
        text->push_back('\\');
        break;
      case '"':
        text->push_back('"');
        break;
      default: {
        unsigned code = 0;
        for (size_t digit = 0; digit < 4; ++digit, ++at) {
          const int value = at < line.size() ? HexDigit(line[at]) : -1;
          if (value < 0) return false;
          code = code * 16 + static_cast<unsigned>(value);
        }
        --at;
        AppendUtf8(text, code);
      }
    }
  }
  return false;
}

}  // namespace

DisplayTrace DecodeDisplayTrace(const std::string& standardError) {
  DisplayTrace trace;
  std::istringstream lines(standardError);
  for (std::string line; std::getline(lines, line);) {
    const size_t marker = line.find(kMarker);
    if (marker == std::string::npos) continue;
    std::string text;
    bool cut = false;
    if (!DecodeQuoted(line, marker + kMarker.size(), &text, &cut)) {
      trace.cut = true;
      continue;
    }
    trace.screen += text;
    trace.cut = trace.cut || cut;
  }
  return trace;
}

}  // namespace winetest
