// A true-colour picture drawn by the host's tools: a libgd image with a single owner, written as a PNG by libgd.
// A picture that could not be made is empty and keeps the reason, which writing it reports, so that a caller
// checks one result for both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct gdImageStruct;

namespace host {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
  bool operator!=(const Rgb& other) const { return !(*this == other); }
};

class Picture {
 public:
  Picture() = default;
  Picture(int width, int height, Rgb background);
  static Picture Unavailable(std::string reason);

  bool Empty() const { return !image_; }
  int Width() const;
  int Height() const;
  // What lies outside the picture is left out: callers may draw across its edges.
  void Fill(int x, int y, int width, int height, Rgb colour);
  gdImageStruct* Image() const { return image_.get(); }

  // An 8-bit RGB PNG, replacing the file. False with one line in *error when the picture is empty or the file
  // cannot be written.
  bool WritePng(const std::string& path, std::string* error) const;

 private:
  struct Destroy {
    void operator()(gdImageStruct* image) const;
  };
  std::unique_ptr<gdImageStruct, Destroy> image_;
  std::string reason_ = "no picture was drawn";
};

}  // namespace host
