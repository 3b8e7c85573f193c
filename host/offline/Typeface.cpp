#include "host/offline/Typeface.h"

#include <unistd.h>

#include <utility>
#include <vector>

#include <gd.h>

#include "text/Utf.h"

namespace host {
namespace {

constexpr char kDebianFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr char kFamily[] = "DejaVu Sans";
constexpr char kEllipsis[] = "\u2026";

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Well-formed UTF-8 without control characters, which gd would take as line breaks or draw as nothing.
std::string Cleaned(const std::string& text) {
  std::string cleaned;
  for (char c : text::Utf16ToUtf8(text::Utf8ToUtf16(text))) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      text::AppendUtf8(0xFFFD, &cleaned);
    } else {
      cleaned += c;
    }
  }
  return cleaned;
}

// gd reads "&#NNN;", "&#xHHH;" and named entities in its strings; an ampersand written as "&#38;" is drawn as one.
std::string ForGd(const std::string& text) {
  std::string escaped;
  for (char c : Cleaned(text)) escaped += c == '&' ? std::string("&#38;") : std::string(1, c);
  return escaped;
}

// Pixel sizes with no guess at the screen's resolution, the font named by file so that a caller's
// gdFTUseFontConfig(1) does not turn the file name into a pattern.
gdFTStringExtra Extra(int flags) {
  gdFTStringExtra extra{};
  extra.flags = gdFTEX_RESOLUTION | flags;
  extra.hdpi = extra.vdpi = 72;
  return extra;
}

// The file fontconfig picks for the family: itself where another distribution keeps it, or the nearest installed
// face. Empty when fontconfig has none or gd was built without it.
std::string FontconfigFile() {
  gdFTStringExtra extra = Extra(gdFTEX_FONTCONFIG | gdFTEX_RETURNFONTPATHNAME);
  int box[8];
  if (gdImageStringFTEx(nullptr, box, 0, kFamily, 12, 0.0, 0, 0, "x", &extra) != nullptr) return "";
  std::string file = extra.fontpath != nullptr ? extra.fontpath : "";
  gdFree(extra.fontpath);
  return file;
}

}  // namespace

std::optional<Typeface> Typeface::Find(int pixels, std::string* error) {
  auto load = [pixels](const std::string& file) -> std::optional<Typeface> {
    Typeface font(file, pixels);
    int tall[8], capital[8];
    // Accented capitals and the bar reach highest, g lowest: a line holds any of them.
    if (file.empty() || font.Measure("\u00c5g|", tall) != nullptr || font.Measure("H", capital) != nullptr) {
      return std::nullopt;
    }
    font.ascent_ = -tall[7];
    font.capHeight_ = -capital[5];
    font.lineHeight_ = font.ascent_ + tall[1] + pixels / 4;
    return font;
  };
  std::optional<Typeface> font = load(access(kDebianFont, R_OK) == 0 ? kDebianFont : "");
  if (!font) font = load(FontconfigFile());
  if (!font) *error = "no font for the map's text: install fonts-dejavu-core";
  return font;
}

const char* Typeface::Measure(const std::string& text, int box[8]) const {
  gdFTStringExtra extra = Extra(gdFTEX_FONTPATHNAME);
  return gdImageStringFTEx(nullptr, box, 0, file_.c_str(), pixels_, 0.0, 0, 0, ForGd(text).c_str(), &extra);
}

int Typeface::Width(const std::string& text) const {
  int box[8] = {};
  if (text.empty() || Measure(text, box) != nullptr) return 0;
  return box[2] + 1;
}

std::string Typeface::Fit(const std::string& text, int width, bool keepEnd) const {
  const std::string cleaned = Cleaned(text);
  if (Width(cleaned) <= width) return cleaned;
  // Cut between characters only, so that no UTF-8 sequence is split.
  std::vector<size_t> starts;
  for (size_t at = 0; at < cleaned.size(); ++at) {
    if (!IsContinuationByte(cleaned[at])) starts.push_back(at);
  }
  auto keeping = [&](size_t count) {
    if (count == 0) return std::string(kEllipsis);
    return keepEnd ? kEllipsis + cleaned.substr(starts[starts.size() - count])
                   : cleaned.substr(0, starts[count]) + kEllipsis;
  };
  // The most characters that fit beside the ellipsis; keeping more never makes the text narrower.
  size_t fits = 0, tooMany = starts.size();
  while (tooMany - fits > 1) {
    const size_t count = (fits + tooMany) / 2;
    if (Width(keeping(count)) <= width) {
      fits = count;
    } else {
      tooMany = count;
    }
  }
  return keeping(fits);
}

void Typeface::Draw(Picture* picture, int x, int top, const std::string& text, Rgb colour) const {
  // Find has loaded this font, so gd has nothing left to refuse.
  gdFTStringExtra extra = Extra(gdFTEX_FONTPATHNAME);
  int box[8];
  gdImageStringFTEx(picture->Image(), box, gdTrueColor(colour.r, colour.g, colour.b), file_.c_str(), pixels_, 0.0, x,
                    top + ascent_, ForGd(text).c_str(), &extra);
}

}  // namespace host
