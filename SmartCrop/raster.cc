#include "SmartCrop/raster.h"

#include <algorithm>
#include <cmath>

namespace kadro {

std::optional<Rect> wholePixelRect(const Rect& rect, int width, int height) {
  const double left = std::max(0.0, std::floor(rect.x));
  const double top = std::max(0.0, std::floor(rect.y));
  const double right = std::min<double>(width, std::ceil(rect.x + rect.width));
  const double bottom = std::min<double>(height, std::ceil(rect.y + rect.height));
  if (!(right > left) || !(bottom > top)) return std::nullopt;
  return Rect{left, top, right - left, bottom - top};
}

std::optional<Raster> Raster::cut(const Rect& rect) const {
  const std::optional<Rect> whole = wholePixelRect(rect, width(), height());
  if (!whole) return std::nullopt;
  const int x = static_cast<int>(whole->x);
  const int y = static_cast<int>(whole->y);
  const int w = static_cast<int>(whole->width);
  const int h = static_cast<int>(whole->height);
  if (x == 0 && y == 0 && w == width() && h == height()) return *this;
  return Raster(image_.extract_area(x, y, w, h));
}

vips::VImage withColourOf(const vips::VImage& pixels, const vips::VImage& like) {
  vips::VImage out =
      pixels.copy(vips::VImage::option()->set("interpretation", like.interpretation()));
  out.remove(VIPS_META_ICC_NAME);
  if (like.get_typeof(VIPS_META_ICC_NAME) != 0) {
    size_t length = 0;
    const void* profile = like.get_blob(VIPS_META_ICC_NAME, &length);
    vips_image_set_blob_copy(out.get_image(), VIPS_META_ICC_NAME, profile, length);
  }
  return out;
}

vips::VImage asRgb8(const vips::VImage& image) {
  const int colourBands = image.bands() - (image.has_alpha() ? 1 : 0);
  if (colourBands == 3 && image.format() == VIPS_FORMAT_UCHAR) return image;
  vips::VImage in = image;
  if (colourBands == 1 && image.interpretation() == VIPS_INTERPRETATION_MULTIBAND)
    in = in.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
  vips::VImage out = in.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR).copy();
  out.remove(VIPS_META_ICC_NAME);
  return out;
}

LoadResult loadRaster(const std::string& path) {
  LoadResult result;
  try {
    // The header alone tells the size, so oversized pictures are refused
    // before any pixel is decoded.
    vips::VImage header = vips::VImage::new_from_file(path.c_str());
    const std::int64_t pixels = static_cast<std::int64_t>(header.width()) * header.height();
    if (pixels > kMaxPixels) {
      result.error = path + ": picture too large (" + std::to_string(header.width()) + " x " +
                     std::to_string(header.height()) + " pixels)";
      return result;
    }
    vips::VImage image =
        vips::VImage::new_from_file(path.c_str(), vips::VImage::option()
                                                      ->set("access", VIPS_ACCESS_RANDOM)
                                                      ->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
    result.raster = Raster(image.autorot());
  } catch (const vips::VError& e) {
    std::string message = e.what();
    while (!message.empty() && message.back() == '\n') message.pop_back();
    result.error = path + ": cannot read image (" + message + ")";
    vips_error_clear();
  }
  return result;
}

}  // namespace kadro
