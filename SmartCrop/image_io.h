// Image files: opening a source and decoding it at a reduced scale, reading
// its resolution, and writing PNG or JPEG so that a failure never leaves a
// half-written destination.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "SmartCrop/raster.h"

namespace kadro {

// The path named by a "file:" URL text, or the text itself when it is a
// plain path; nothing for other URLs and for empty text.
std::optional<std::string> localPath(std::string_view urlOrPath);

// A source file whose header has been read. Each decode reads the file
// afresh (libvips' cache of opened files would hand back a file's old
// content once it has been rewritten in place).
class ImageSource {
 public:
  // Reads the header. Pictures over kMaxPixels are refused before anything
  // is decoded; the error names the file.
  static std::optional<ImageSource> open(const std::string& path, std::string* error);

  // The natural size, upright (EXIF orientation applied).
  int width() const { return width_; }
  int height() const { return height_; }
  // Vertical resolution in dots per inch, as fetchImageDPI reads it.
  double dpi() const { return dpi_; }
  // JPEG decodes at 1/2, 1/4 and 1/8 nearly for free; other formats only
  // at full size.
  bool shrinksOnLoad() const { return shrinksOnLoad_; }

  // The picture reduced by `shrink` (1, 2, 4 or 8; JPEG only beyond 1),
  // upright, as 8-bit RGB with its alpha and ICC profile (grey and CMYK
  // converted to sRGB). `streamed` decodes as the consumer asks for rows,
  // holding no full-size buffer; otherwise the pixels stay in memory for
  // repeated reads. Decoding errors surface when the pixels are read.
  Raster decode(int shrink, bool streamed) const;

 private:
  ImageSource() = default;
  std::string path_;
  int width_ = 0;
  int height_ = 0;
  int orientation_ = 1;
  double dpi_ = 72;
  bool shrinksOnLoad_ = false;
};

// The vertical resolution of the first image in the file, in dots per inch
// (fractions kept); 72 when the file cannot be read or gives none.
double fetchImageDPI(const std::string& url);

// Writes `image` as PNG when the destination's extension is "png" in any
// letter case, else as JPEG (flattened onto black when it has alpha), with
// `dpi` on both axes, the raster's ICC profile and no other metadata. The
// file is written beside the destination, synced, and renamed over it only
// when complete: any failure leaves the destination as it was and returns
// false. Prints "writing image failed!" when the file cannot be created, and
// other failures as a line naming the file, or stores them in `error`.
bool writeCGImage(const Raster& image, const std::string& to, double dpi,
                  std::string* error = nullptr);

}  // namespace kadro
