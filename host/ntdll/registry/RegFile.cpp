#include "host/ntdll/registry/RegFile.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "text/Utf.h"

namespace host {
namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
// regedit breaks a hex line once it reaches this many columns, after a comma, and goes on indented by two.
constexpr size_t kHexWrapColumn = 77;

struct HiveName {
  std::u16string_view fileName;  // in the file
  std::u16string_view keyName;   // under \REGISTRY
};
constexpr HiveName kHives[] = {{u"HKEY_LOCAL_MACHINE", u"MACHINE"}, {u"HKEY_USERS", u"USER"}};

}  // namespace

namespace {

// The text of a file in either accepted encoding. False with the 1-based line of the first bad byte.
bool DecodeText(const std::string& bytes, std::u16string* text, size_t* badLine, std::string* why) {
  auto byte = [&bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  *badLine = 1;
  if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
    *why = "UTF-16 big-endian text; save the file as UTF-16LE or UTF-8";
    return false;
  }
  // regedit writes UTF-16LE with a byte-order mark; other tools leave the mark out, and an ASCII character
  // followed by a zero byte says the same.
  const bool marked = bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE;
  if (marked || (bytes.size() >= 2 && byte(0) != 0 && byte(0) < 0x80 && byte(1) == 0)) {
    for (size_t i = marked ? 2 : 0; i + 1 < bytes.size(); i += 2) {
      text->push_back(static_cast<char16_t>(byte(i) | (byte(i + 1) << 8)));
      if (text->back() == u'\n') ++*badLine;
    }
    if (bytes.size() % 2 == 0) return true;
    *why = "the file ends in the middle of a UTF-16 character";
    return false;
  }
  const size_t start = bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF ? 3 : 0;
  size_t badOffset = 0;
  if (!text::DecodeUtf8(std::string_view(bytes).substr(start), text, &badOffset)) {
    *badLine += std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(start + badOffset), '\n');
    *why = "not UTF-8 text; save the file as UTF-16LE or UTF-8";
    return false;
  }
  return true;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == u'\r')) text.remove_suffix(1);
  return text;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Takes 1 to `maxDigits` hex digits from the front of `text`.
bool TakeHex(std::u16string_view* text, size_t maxDigits, ULONG* value) {
  size_t used = 0;
  *value = 0;
  while (used < text->size() && used < maxDigits && HexDigit((*text)[used]) >= 0) {
    *value = (*value << 4) | static_cast<ULONG>(HexDigit((*text)[used]));
    ++used;
  }
  text->remove_prefix(used);
  return used > 0 && (text->empty() || HexDigit(text->front()) < 0);
}

bool TakePrefixNoCase(std::u16string_view* text, std::u16string_view prefix) {
  if (text->size() < prefix.size()) return false;
  if (FoldRegistryName(std::u16string(text->substr(0, prefix.size()))) != FoldRegistryName(std::u16string(prefix))) {
    return false;
  }
  text->remove_prefix(prefix.size());
  return true;
}

class Reader {
 public:
  Reader(const std::string& fileName, RegistryKey* root, std::string* error)
      : fileName_(fileName), root_(root), error_(error) {}

  bool Read(const std::u16string& text) {
    for (size_t start = 0; start <= text.size();) {
      size_t end = text.find(u'\n', start);
      if (end == std::u16string::npos) end = text.size();
      lines_.push_back(std::u16string_view(text).substr(start, end - start));
      start = end + 1;
    }
    if (Trim(lines_[0]) != kHeader) {
      return Fail(
          1, "expected 'Windows Registry Editor Version 5.00' as the first line, found '" + Quote(lines_[0]) + "'");
    }
    for (line_ = 1; line_ < lines_.size(); ++line_) {
      std::u16string_view text = Trim(lines_[line_]);
      if (text.empty() || text.front() == u';') continue;
      const bool isKey = text.front() == u'[';
      if (!isKey && text.front() != u'"' && text.front() != u'@') {
        return Fail("expected a [KEY] line, a \"Name\"=VALUE line or a blank line, found '" + Quote(text) + "'");
      }
      if (!(isKey ? ReadKeyLine(text) : ReadValueLine(text))) return false;
    }
    return true;
  }

  bool changed() const { return changed_; }

 private:
  bool Fail(size_t lineNumber, const std::string& message) {
    *error_ = fileName_ + ", line " + std::to_string(lineNumber) + ": " + message;
    return false;
  }
  bool Fail(const std::string& message) { return Fail(line_ + 1, message); }

  static std::string Quote(std::u16string_view text) {
    constexpr size_t kShown = 60;
    return text.size() <= kShown ? text::Utf16ToUtf8(text) : text::Utf16ToUtf8(text.substr(0, kShown)) + "...";
  }

  bool ReadKeyLine(std::u16string_view text) {
    if (text.back() != u']') return Fail("expected ']' at the end of the key line '" + Quote(text) + "'");
    std::u16string_view path = text.substr(1, text.size() - 2);
    if (!path.empty() && path.front() == u'-') {
      return Fail("deleting a key ([-KEY]) is not supported; a registry file holds the whole registry");
    }
    std::vector<std::u16string> names;
    for (size_t start = 0;;) {
      size_t end = path.find(u'\\', start);
      names.emplace_back(path.substr(start, end == std::u16string_view::npos ? path.npos : end - start));
      if (names.back().empty()) return Fail("expected key names between the backslashes of '" + Quote(path) + "'");
      if (end == std::u16string_view::npos) break;
      start = end + 1;
    }
    const HiveName* hive = nullptr;
    for (const HiveName& candidate : kHives) {
      if (FoldRegistryName(names[0]) == candidate.fileName) hive = &candidate;
    }
    if (hive == nullptr) {
      return Fail("expected a key under HKEY_LOCAL_MACHINE or HKEY_USERS, found '" + Quote(names[0]) + "'");
    }
    bool created = false;
    key_ = root_->OpenOrCreateSubkey(std::u16string(hive->keyName), &created);
    changed_ |= created;
    for (size_t i = 1; i < names.size(); ++i) {
      key_ = key_->OpenOrCreateSubkey(names[i], &created);
      changed_ |= created;
    }
    return true;
  }

  // A quoted string at the front of `text`, with its escapes undone; `text` is left after the closing quote.
  bool TakeQuoted(std::u16string_view* text, std::u16string* out) {
    text->remove_prefix(1);
    while (!text->empty()) {
      char16_t c = text->front();
      text->remove_prefix(1);
      if (c == u'"') return true;
      if (c == u'\\') {
        if (text->empty() || (text->front() != u'\\' && text->front() != u'"')) {
          return Fail("expected \\\\ or \\\" after a backslash inside quotes (a backslash is written \\\\)");
        }
        c = text->front();
        text->remove_prefix(1);
      }
      out->push_back(c);
    }
    return Fail("expected a closing '\"'");
  }

  bool ReadValueLine(std::u16string_view text) {
    if (!key_) return Fail("expected a [KEY] line before the first value");
    std::u16string name;
    if (text.front() == u'@') {
      text.remove_prefix(1);
    } else if (!TakeQuoted(&text, &name)) {
      return false;
    }
    text = Trim(text);
    if (text.empty() || text.front() != u'=') return Fail("expected '=' after the value name");
    text = Trim(text.substr(1));

    ULONG type = 0;
    std::vector<uint8_t> data;
    if (!text.empty() && text.front() == u'"') {
      std::u16string string;
      if (!TakeQuoted(&text, &string)) return false;
      if (!Trim(text).empty()) return Fail("expected nothing after the closing '\"', found '" + Quote(text) + "'");
      type = REG_SZ;
      for (char16_t c : string + u'\0') {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
      }
    } else if (TakePrefixNoCase(&text, u"dword:")) {
      ULONG value = 0;
      if (!TakeHex(&text, 8, &value) || !text.empty()) return Fail("expected dword: and 1 to 8 hex digits");
      type = REG_DWORD;
      for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<uint8_t>(value >> shift));
    } else if (TakePrefixNoCase(&text, u"hex:")) {
      type = REG_BINARY;
      if (!TakeHexBytes(text, &data)) return false;
    } else if (TakePrefixNoCase(&text, u"hex(")) {
      if (!TakeHex(&text, 8, &type) || !TakePrefixNoCase(&text, u"):")) {
        return Fail("expected hex(N): with N the value type in hex, such as hex(7):");
      }
      if (!TakeHexBytes(text, &data)) return false;
    } else if (text == u"-") {
      return Fail("deleting a value (\"Name\"=-) is not supported; a registry file holds the whole registry");
    } else {
      return Fail("expected \"text\", dword:, hex: or hex(N): after '=', found '" + Quote(text) + "'");
    }
    changed_ |= key_->SetValue(name, type, std::move(data));
    return true;
  }

  // Bytes such as "61,00,62,\" with continuation lines; line_ is left on the last line used.
  bool TakeHexBytes(std::u16string_view text, std::vector<uint8_t>* data) {
    for (;;) {
      text = Trim(text);
      if (text.empty()) return true;
      if (text.front() == u'\\') {
        if (!Trim(text.substr(1)).empty()) return Fail("expected the line to end after the continuing '\\'");
        if (++line_ == lines_.size()) return Fail(line_, "the file ends inside a value continued with '\\'");
        text = lines_[line_];
        continue;
      }
      ULONG value = 0;
      if (!TakeHex(&text, 2, &value)) {
        return Fail("expected bytes as two hex digits separated by commas, found '" + Quote(text) + "'");
      }
      data->push_back(static_cast<uint8_t>(value));
      text = Trim(text);
      if (!text.empty() && text.front() == u',') {
        text.remove_prefix(1);
      } else if (!text.empty() && text.front() != u'\\') {
        return Fail("expected ',' between bytes, found '" + Quote(text) + "'");
      }
    }
  }

  const std::string& fileName_;
  RegistryKey* root_;
  std::string* error_;
  std::vector<std::u16string_view> lines_;
  size_t line_ = 0;  // 0-based index into lines_
  std::shared_ptr<RegistryKey> key_;
  bool changed_ = false;
};

std::u16string Quoted(const std::u16string& text) {
  std::u16string out = u"\"";
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  return out + u"\"";
}

// REG_SZ data that reads back identically from "text": whole UTF-16 units, one terminator at the end and no
// control characters (a line break would end the line).
bool IsPlainString(const RegistryValue& value) {
  const std::vector<uint8_t>& data = value.data;
  if (value.type != REG_SZ || data.size() < 2 || data.size() % 2 != 0) return false;
  if (data[data.size() - 2] != 0 || data.back() != 0) return false;
  for (size_t i = 0; i + 2 < data.size(); i += 2) {
    if (data[i + 1] == 0 && data[i] < 0x20) return false;
  }
  return true;
}

void WriteValue(const RegistryValue& value, std::u16string* out) {
  std::u16string line = value.name.empty() ? u"@=" : Quoted(value.name) + u"=";
  if (IsPlainString(value)) {
    std::u16string text;
    for (size_t i = 0; i + 2 < value.data.size(); i += 2) {
      text += static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
    }
    *out += line + Quoted(text) + u"\r\n";
    return;
  }
  char ascii[24];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const ULONG dword = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (ULONG{value.data[3]} << 24);
    std::snprintf(ascii, sizeof ascii, "dword:%08x", dword);
  } else if (value.type == REG_BINARY) {
    std::snprintf(ascii, sizeof ascii, "hex:");
  } else {
    std::snprintf(ascii, sizeof ascii, "hex(%x):", value.type);
  }
  line.append(ascii, ascii + std::char_traits<char>::length(ascii));
  if (value.type != REG_DWORD || value.data.size() != 4) {
    size_t column = line.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
      std::snprintf(ascii, sizeof ascii, "%02x", value.data[i]);
      line.append(ascii, ascii + 2);
      if (i + 1 == value.data.size()) break;
      line += u',';
      column += 3;
      if (column >= kHexWrapColumn) {
        line += u"\\\r\n  ";
        column = 2;
      }
    }
  }
  *out += line + u"\r\n";
}

void WriteKey(const RegistryKey& key, const std::u16string& path, bool withHeader, std::u16string* out) {
  if (withHeader) {
    *out += u"[" + path + u"]\r\n";
    for (const RegistryValue& value : key.Values()) WriteValue(value, out);
    *out += u"\r\n";
  }
  for (const auto& entry : key.Subkeys()) WriteKey(*entry.second, path + u"\\" + entry.second->Name(), true, out);
}

}  // namespace

bool ReadRegFile(const std::string& bytes, const std::string& fileName, RegistryKey* registryRoot, bool* changed,
                 std::string* error) {
  std::u16string text;
  size_t badLine = 0;
  std::string why;
  if (!DecodeText(bytes, &text, &badLine, &why)) {
    *error = fileName + ", line " + std::to_string(badLine) + ": " + why;
    return false;
  }
  Reader reader(fileName, registryRoot, error);
  bool read = reader.Read(text);
  if (changed != nullptr) *changed = reader.changed();
  return read;
}

std::string WriteRegFile(const RegistryKey& registryRoot) {
  std::u16string text = std::u16string(kHeader) + u"\r\n\r\n";
  for (const HiveName& hive : kHives) {
    if (auto key = registryRoot.Subkey(std::u16string(hive.keyName))) {
      // A hive root always exists; it is written only when it holds values of its own.
      WriteKey(*key, std::u16string(hive.fileName), !key->Values().empty(), &text);
    }
  }
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

}  // namespace host
