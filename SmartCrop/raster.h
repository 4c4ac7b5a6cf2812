// An immutable decoded picture: a reference-counted libvips image with whole
// pixel width and height, a colour space and optionally alpha. Every pipeline
// step takes one and returns a new one; copies share the pixels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <vips/vips8>

#include "SmartCrop/geometry.h"

namespace kadro {

class Raster {
 public:
  explicit Raster(vips::VImage image) : image_(std::move(image)) {}

  int width() const { return image_.width(); }
  int height() const { return image_.height(); }
  int bands() const { return image_.bands(); }
  bool hasAlpha() const { return image_.has_alpha(); }
  VipsInterpretation colorSpace() const { return image_.interpretation(); }
  const vips::VImage& image() const { return image_; }

  // The value of an opaque alpha sample: 65535 for 16-bit pictures, else 255.
  double maxAlpha() const {
    const VipsInterpretation i = colorSpace();
    return i == VIPS_INTERPRETATION_RGB16 || i == VIPS_INTERPRETATION_GREY16 ? 65535 : 255;
  }

  // Cuts the pixels inside `rect` (pixel space: origin top-left, y down).
  // The rectangle is widened to whole pixels (left and top edges down, right
  // and bottom edges up) and intersected with the raster; nothing when the
  // intersection is empty.
  std::optional<Raster> cut(const Rect& rect) const;

 private:
  vips::VImage image_;
};

// `pixels` with the colour space and ICC profile of `like`. Arithmetic on
// several images takes its header from whichever comes first, so steps that
// mix a picture with masks or constants put the picture's colour back.
vips::VImage withColourOf(const vips::VImage& pixels, const vips::VImage& like);

// The picture as 8-bit RGB, alpha kept: what the drawing steps paint on.
// 8-bit RGB passes unchanged; grey, 16-bit, CMYK and other colour spaces are
// converted to sRGB, and a converted picture drops its old ICC profile.
vips::VImage asRgb8(const vips::VImage& image);

// An sRGB colour (components 0 to 1) as 8-bit samples in the colour space
// of `like`: through its ICC profile when it has an RGB one, else as is.
std::vector<double> samplesFromSrgb(double red, double green, double blue,
                                    const vips::VImage& like);

// `rect` (pixel space) widened to whole pixels, the left and top edges down
// and the right and bottom edges up, and intersected with a picture of
// width x height pixels: what Raster::cut takes. Nothing when empty.
std::optional<Rect> wholePixelRect(const Rect& rect, int width, int height);

// Pictures above this many pixels are refused before decoding: a 250 MP RGBA
// picture already takes a gigabyte, and decompression bombs claim far more.
inline constexpr std::int64_t kMaxPixels = 250'000'000;

struct LoadResult {
  std::optional<Raster> raster;
  std::string error;  // why there is no raster
};

// Loads an image file at its natural size, with its EXIF orientation applied
// (the pixels come out upright). Damaged, truncated and oversized files give
// no raster and an error text that names the file.
LoadResult loadRaster(const std::string& path);

}  // namespace kadro
