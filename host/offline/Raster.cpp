#include "host/offline/Raster.h"

#include <algorithm>

#include <png.h>

namespace host {

Raster::Raster(int width, int height, Rgb background)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height * 3) {
  Fill(0, 0, width, height, background);
}

void Raster::Fill(int x, int y, int width, int height, Rgb colour) {
  const int left = std::max(x, 0), right = std::min(x + width, width_);
  const int top = std::max(y, 0), bottom = std::min(y + height, height_);
  for (int row = top; row < bottom; ++row) {
    uint8_t* pixel = pixels_.data() + (static_cast<size_t>(row) * width_ + left) * 3;
    for (int column = left; column < right; ++column, pixel += 3) {
      pixel[0] = colour.r;
      pixel[1] = colour.g;
      pixel[2] = colour.b;
    }
  }
}

Rgb Raster::At(int x, int y) const {
  const uint8_t* pixel = pixels_.data() + (static_cast<size_t>(y) * width_ + x) * 3;
  return Rgb{pixel[0], pixel[1], pixel[2]};
}

bool Raster::WritePng(const std::string& path, std::string* error) const {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width_);
  image.height = static_cast<png_uint_32>(height_);
  image.format = PNG_FORMAT_RGB;
  if (png_image_write_to_file(&image, path.c_str(), 0, pixels_.data(), 0, nullptr) == 0) {
    *error = "cannot write " + path + ": " + image.message;
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace host
