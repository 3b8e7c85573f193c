// An RGB picture in memory, drawn by the host's tools and written as a PNG file with libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
  bool operator!=(const Rgb& other) const { return !(*this == other); }
};

class Raster {
 public:
  Raster() = default;
  Raster(int width, int height, Rgb background);

  int Width() const { return width_; }
  int Height() const { return height_; }
  // What lies outside the picture is left out: callers may draw across its edges.
  void Fill(int x, int y, int width, int height, Rgb colour);
  void Set(int x, int y, Rgb colour) { Fill(x, y, 1, 1, colour); }
  Rgb At(int x, int y) const;

  // An 8-bit RGB PNG. False with one line in *error when the file cannot be written.
  bool WritePng(const std::string& path, std::string* error) const;

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> pixels_;  // rows top to bottom, three bytes per pixel
};

}  // namespace host
