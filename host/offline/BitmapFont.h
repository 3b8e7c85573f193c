// A 5x7 bitmap font of printable ASCII, for the few words the host's pictures carry (a map's title and legend).
// Each character takes one cell of kAdvance x kLineHeight pixels at scale 1 (g, p, q and y reach two rows below
// the other letters); a character outside printable ASCII (a UTF-8 sequence counts as one) is drawn as '?'.
#pragma once

#include <string>

#include "host/offline/Raster.h"

namespace host {

class BitmapFont {
 public:
  static constexpr int kGlyphWidth = 5;
  static constexpr int kGlyphHeight = 7;
  static constexpr int kAdvance = 6;      // a column of space between characters
  static constexpr int kLineHeight = 10;  // descenders and a row of space

  static int TextWidth(const std::string& text, int scale);
  // Draws `text` with its top-left corner at (x, y), each font pixel a scale x scale square.
  static void Draw(Raster* raster, int x, int y, const std::string& text, Rgb colour, int scale);
  // `text` cut to at most `width` pixels: at its end, or at its start when `keepEnd` (for paths, whose end names
  // the file), with "..." where it was cut.
  static std::string Fit(const std::string& text, int width, int scale, bool keepEnd);
};

}  // namespace host
