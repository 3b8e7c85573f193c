#include "host/offline/Picture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <gd.h>

namespace host {

void Picture::Destroy::operator()(gdImageStruct* image) const { gdImageDestroy(image); }

Picture::Picture(int width, int height, Rgb background) : image_(gdImageCreateTrueColor(width, height)) {
  if (!image_) {
    reason_ = "cannot make a picture of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
    return;
  }
  Fill(0, 0, width, height, background);
}

Picture Picture::Unavailable(std::string reason) {
  Picture picture;
  picture.reason_ = std::move(reason);
  return picture;
}

int Picture::Width() const { return image_ ? gdImageSX(image_.get()) : 0; }
int Picture::Height() const { return image_ ? gdImageSY(image_.get()) : 0; }

void Picture::Fill(int x, int y, int width, int height, Rgb colour) {
  // gd clips the rectangle itself; its corners are inclusive.
  if (image_ && width > 0 && height > 0) {
    gdImageFilledRectangle(image_.get(), x, y, x + width - 1, y + height - 1,
                           gdTrueColor(colour.r, colour.g, colour.b));
  }
}

bool Picture::WritePng(const std::string& path, std::string* error) const {
  if (!image_) {
    *error = reason_;
    return false;
  }
  // Encoded in memory first, so that a picture gd cannot encode leaves no file behind.
  int size = 0;
  std::unique_ptr<void, void (*)(void*)> png(gdImagePngPtr(image_.get(), &size), gdFree);
  if (!png) {
    *error = "cannot encode the picture for " + path + " as PNG";
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  // fclose reports what the last buffered write could not do (a full disk, say).
  const bool written = std::fwrite(png.get(), 1, static_cast<size_t>(size), file) == static_cast<size_t>(size);
  const int writeErrno = errno;
  if (std::fclose(file) != 0 || !written) {
    *error = "cannot write " + path + ": " + std::strerror(written ? errno : writeErrno);
    return false;
  }
  return true;
}

}  // namespace host
