// The typeface of the host's pictures: DejaVu Sans at one pixel size, laid out and drawn by FreeType through libgd.
// Text is UTF-8 of any script the font covers (Latin, Greek, Cyrillic; a character it lacks shows as its missing
// glyph); bytes that are not UTF-8 and control characters are drawn as U+FFFD, and gd's own markup ("&#233;") is
// drawn as typed.
//
//   std::optional<host::Typeface> font = host::Typeface::Find(15, &error);
//   font->Draw(&picture, x, top, font->Fit(name, room, true), Rgb{0, 0, 0});
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "host/offline/Picture.h"

namespace host {

class Typeface {
 public:
  // Debian's DejaVu Sans, else what fontconfig offers for the name; nullopt with one line in *error naming the
  // package to install when neither can be loaded.
  static std::optional<Typeface> Find(int pixels, std::string* error);

  int Ascent() const { return ascent_; }        // from a line's top to its baseline
  int CapHeight() const { return capHeight_; }  // of "H" above the baseline
  int LineHeight() const { return lineHeight_; }

  // From the pen's start to the right edge of the ink.
  int Width(const std::string& text) const;
  // `text`, cleaned as it would be drawn, cut to at most `width` pixels with "…" where it was cut: at its end, or
  // at its start when `keepEnd` (for paths, whose end names the file).
  std::string Fit(const std::string& text, int width, bool keepEnd) const;
  // Draws `text` on the line whose top is `top`.
  void Draw(Picture* picture, int x, int top, const std::string& text, Rgb colour) const;

 private:
  Typeface(std::string file, int pixels) : file_(std::move(file)), pixels_(pixels) {}
  // The ink box of `text` drawn at the origin (gd's order: lower left, lower right, upper right, upper left), or
  // gd's complaint.
  const char* Measure(const std::string& text, int box[8]) const;

  std::string file_;
  int pixels_ = 0;
  int ascent_ = 0;
  int capHeight_ = 0;
  int lineHeight_ = 0;
};

}  // namespace host
