#include "SmartCrop/resize.h"

#include <algorithm>

namespace kadro {

Raster resizeImage(const Raster& image, int width, int height, AlphaKind alpha) {
  if (width <= 0 || height <= 0) return image;
  if (width == image.width() && height == image.height()) return image;
  const vips::VImage& in = image.image();
  const double hscale = static_cast<double>(width) / in.width();
  const double vscale = static_cast<double>(height) / in.height();
  auto options = [&] {
    return vips::VImage::option()->set("vscale", vscale)->set("kernel", VIPS_KERNEL_LANCZOS3);
  };
  vips::VImage out;
  if (in.has_alpha() && alpha == AlphaKind::kShapeOfOpaque && in.format() == VIPS_FORMAT_UCHAR) {
    const int colourBands = in.bands() - 1;
    out = in.extract_band(0, vips::VImage::option()->set("n", colourBands))
              .resize(hscale, options())
              .bandjoin(in.extract_band(colourBands).resize(hscale, options()));
  } else if (in.has_alpha()) {
    const double maxAlpha = image.maxAlpha();
    out = in.premultiply(vips::VImage::option()->set("max_alpha", maxAlpha))
              .resize(hscale, options())
              .unpremultiply(vips::VImage::option()->set("max_alpha", maxAlpha))
              .rint()
              .cast(in.format());
  } else {
    out = in.resize(hscale, options());
  }
  // The scales are chosen to land on whole pixels; should rounding slip by
  // one, trim or repeat the last row or column.
  if (out.width() != width || out.height() != height)
    out = out.embed(0, 0, width, height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
  return Raster(withColourOf(out, in));
}

Raster resizeSquareImage(const Raster& image, std::int64_t maxSize, AlphaKind alpha) {
  if (maxSize <= 0) return image;
  const std::int64_t side = std::min<std::int64_t>({image.width(), image.height(), maxSize});
  return resizeImage(image, static_cast<int>(side), static_cast<int>(side), alpha);
}

}  // namespace kadro
