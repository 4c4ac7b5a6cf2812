// An image the host can show: icons, list option images, action images.
// Immutable once made; its size in points may differ from its pixel size.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ph {

class Image {
 public:
  // One pixel, premultiplied by its alpha.
  struct Pixel {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    std::uint8_t alpha = 0;
    friend bool operator==(const Pixel&, const Pixel&) = default;
  };

  // A copy of an ARGB32 image surface's pixels, shown at `width` x `height`
  // points; nullptr for a surface of another format or in an error state.
  static std::shared_ptr<Image> fromSurface(cairo_surface_t* surface, double width, double height);

  // A fully transparent image of `width` x `height` points, one pixel per
  // point (truncated); no pixels at all below one point.
  static std::shared_ptr<Image> empty(double width, double height);

  // Reads a PNG file, one point per pixel; nullptr when it cannot be read.
  static std::shared_ptr<Image> loadPng(const std::string& path);

  double width() const { return width_; }
  double height() const { return height_; }
  int pixelWidth() const { return pixelWidth_; }
  int pixelHeight() const { return pixelHeight_; }

  // Rows of cairo ARGB32 pixels (premultiplied, native-endian 32-bit words),
  // top row first, `stride` bytes apart.
  const std::vector<std::uint8_t>& pixels() const { return pixels_; }
  int stride() const { return stride_; }

  // The pixel at (x, y), origin top-left; nothing outside the image.
  std::optional<Pixel> pixelAt(int x, int y) const;

  // Writes the pixels as PNG; false when the file cannot be written.
  bool savePng(const std::string& path) const;

  // The pixels as the bytes of a PNG file; empty for an image without pixels.
  std::string pngData() const;

 private:
  Image(double width, double height, int pixelWidth, int pixelHeight, int stride,
        std::vector<std::uint8_t> pixels);

  double width_;
  double height_;
  int pixelWidth_;
  int pixelHeight_;
  int stride_;
  std::vector<std::uint8_t> pixels_;
};

}  // namespace ph
