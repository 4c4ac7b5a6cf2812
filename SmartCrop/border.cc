#include "SmartCrop/border.h"

#include <algorithm>
#include <vector>

#include "SmartCrop/masks.h"
#include "SmartCrop/resize.h"

namespace kadro {

Raster applyBorder(const Raster& image, const Action& preset) {
  if (preset.borderWidth <= 0) return image;
  const vips::VImage in = asRgb8(image.image());
  const int width = in.width();
  const int height = in.height();
  const int b =
      static_cast<int>(std::min<std::int64_t>(preset.borderWidth, std::max(width, height)));
  const Color colour = preset.safeColor();
  // The colour is given in sRGB; the picture may carry another profile.
  const std::vector<double> fill = samplesFromSrgb(colour.red, colour.green, colour.blue, in);

  std::optional<vips::VImage> picture;
  if (width - 2 * b > 0 && height - 2 * b > 0)
    picture = resizeImage(Raster(in), width - 2 * b, height - 2 * b).image();
  const auto mask = createMask({static_cast<double>(width), static_cast<double>(height)}, preset);
  auto canvasOptions = [&] {
    return vips::VImage::option()->set("extend", VIPS_EXTEND_BACKGROUND)->set("background", fill);
  };

  if (!mask) {
    // The whole rectangle is painted, so the result is opaque.
    vips::VImage out;
    if (!picture) {
      out = vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + fill;
    } else {
      vips::VImage p = *picture;
      if (p.has_alpha()) p = p.flatten(vips::VImage::option()->set("background", fill)).rint();
      out = p.embed(b, b, width, height, canvasOptions());
    }
    return Raster(withColourOf(out.cast(VIPS_FORMAT_UCHAR), in));
  }

  // Painting through a clip of coverage c: the fill leaves c * fill, then the
  // picture (premultiplied P with alpha a) gives c * P + c * fill * (1 - c * a).
  // With k = c * a the colour is (fill * (1 - k) + P) / (1 - k + a) and the
  // alpha c * (1 - k + a); the divisor is never below 1.
  const vips::VImage c = mask->coverage().cast(VIPS_FORMAT_FLOAT) / 255.0;
  vips::VImage a = vips::VImage::black(width, height).cast(VIPS_FORMAT_FLOAT);
  vips::VImage premultiplied =
      vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3))
          .cast(VIPS_FORMAT_FLOAT);
  if (picture) {
    const vips::VImage p = *picture;
    const vips::VImage pa = p.has_alpha() ? p.extract_band(3).cast(VIPS_FORMAT_FLOAT) / 255.0
                                          : vips::VImage::black(p.width(), p.height()) + 1.0;
    auto place = [&](const vips::VImage& small) {
      return small.embed(b, b, width, height,
                         vips::VImage::option()->set("extend", VIPS_EXTEND_BLACK));
    };
    a = place(pa);
    premultiplied = place(p.extract_band(0, vips::VImage::option()->set("n", 3)) * pa);
  }
  const vips::VImage k = c * a;
  const vips::VImage divisor = 1.0 - k + a;
  const vips::VImage rgb = ((1.0 - k) * fill + premultiplied) / divisor;
  const vips::VImage alpha = c * divisor * 255.0;
  return Raster(withColourOf(rgb.bandjoin(alpha).rint().cast(VIPS_FORMAT_UCHAR), in));
}

}  // namespace kadro
