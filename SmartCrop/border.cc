#include "SmartCrop/border.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "SmartCrop/masks.h"
#include "SmartCrop/resize.h"

namespace kadro {

namespace {

// Paints the preset's shape at width x height in `fill` and lays `picture`
// (8-bit RGB or RGBA, (width - 2b) x (height - 2b), alpha not premultiplied;
// nothing when the border leaves no room) over it at (b, b). `like` gives
// the colour space and profile.
Raster frame(const std::optional<vips::VImage>& picture, int width, int height, int b,
             const Action& preset, const std::vector<double>& fill, const vips::VImage& like) {
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
    return Raster(withColourOf(out.cast(VIPS_FORMAT_UCHAR), like));
  }

  // Painting through a clip of coverage c: the fill leaves c * fill, then the
  // picture (premultiplied P with alpha a) gives c * P + c * fill * (1 - c * a).
  // With k = c * a the colour is (fill * (1 - k) + P) / (1 - k + a) and the
  // alpha c * (1 - k + a); the divisor is never below 1. One pass over the
  // pixels: a chain of libvips operations on floating point images cost
  // more than all the job's other steps together.
  const vips::VImage coverage = mask->coverage().copy_memory();
  // The shrunk picture, 8-bit RGBA, not premultiplied, at (b, b).
  std::optional<vips::VImage> placed;
  if (picture) {
    placed = *picture;
    if (!placed->has_alpha()) placed = placed->bandjoin(255).cast(VIPS_FORMAT_UCHAR);
    placed = placed->copy_memory();
  }
  const int innerWidth = placed ? placed->width() : 0;
  const int innerHeight = placed ? placed->height() : 0;
  vips::VImage result(vips_image_new_memory());
  vips_image_init_fields(result.get_image(), width, height, 4, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                         VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
  if (vips_image_write_prepare(result.get_image()) != 0) throw vips::VError();
  // Rows are addressed once each: libvips' pixel macros check types on
  // every use.
  const auto* cover = static_cast<const unsigned char*>(coverage.data());
  auto* outData = static_cast<unsigned char*>(VIPS_IMAGE_ADDR(result.get_image(), 0, 0));
  const auto* pictureData = placed ? static_cast<const unsigned char*>(placed->data()) : nullptr;
  for (int y = 0; y < height; ++y) {
    unsigned char* out = outData + static_cast<std::size_t>(y) * width * 4;
    const unsigned char* c = cover + static_cast<std::size_t>(y) * width;
    // Row y - b of the picture.
    const unsigned char* pictureRow =
        pictureData && y >= b && y < b + innerHeight
            ? pictureData + static_cast<std::size_t>(y - b) * innerWidth * 4
            : nullptr;
    for (int x = 0; x < width; ++x, out += 4) {
      const unsigned char* p =
          pictureRow && x >= b && x < b + innerWidth ? pictureRow + (x - b) * 4 : nullptr;
      const int alpha = p ? p[3] : 0;
      // What the formula gives for pixels wholly inside or outside the shape
      // and the picture, which are nearly all of them.
      const bool inside = alpha == 255 && c[x] == 255;
      if (inside || (alpha == 0 && (c[x] == 0 || c[x] == 255))) {
        for (int band = 0; band < 3; ++band)
          out[band] = inside ? p[band] : static_cast<unsigned char>(fill[band]);
        out[3] = c[x];
        continue;
      }
      const double ci = c[x] / 255.0;
      const double a = alpha / 255.0;
      const double k = ci * a;
      const double divisor = 1.0 - k + a;
      for (int band = 0; band < 3; ++band) {
        const double premultiplied = p ? p[band] * a : 0.0;
        out[band] = static_cast<unsigned char>(std::clamp(
            std::nearbyint(((1.0 - k) * fill[band] + premultiplied) / divisor), 0.0, 255.0));
      }
      out[3] =
          static_cast<unsigned char>(std::clamp(std::nearbyint(ci * divisor * 255.0), 0.0, 255.0));
    }
  }
  return Raster(withColourOf(result, like));
}

// The preset's border colour, given in sRGB, in the colour space and
// profile of `like`.
std::vector<double> borderFill(const Action& preset, const vips::VImage& like) {
  const Color c = preset.safeColor();
  return samplesFromSrgb(c.red, c.green, c.blue, like);
}

// The border's width within a picture of width x height.
int borderWidthWithin(const Action& preset, int width, int height) {
  return static_cast<int>(std::min<std::int64_t>(preset.borderWidth, std::max(width, height)));
}

}  // namespace

Raster applyBorder(const Raster& image, const Action& preset, AlphaKind alpha) {
  if (preset.borderWidth <= 0) return image;
  const vips::VImage in = asRgb8(image.image());
  const int width = in.width();
  const int height = in.height();
  const int b = borderWidthWithin(preset, width, height);
  std::optional<vips::VImage> picture;
  if (width - 2 * b > 0 && height - 2 * b > 0)
    picture = resizeImage(Raster(in), width - 2 * b, height - 2 * b, alpha).image();
  return frame(picture, width, height, b, preset, borderFill(preset, in), in);
}

Raster shapeOpaqueCut(const Raster& cut, const Action& preset, int width, int height,
                      double naturalWidth) {
  const vips::VImage& in = cut.image();
  const int b =
      preset.borderEnabled && preset.borderWidth > 0 ? borderWidthWithin(preset, width, height) : 0;
  const int innerWidth = width - 2 * b;
  const int innerHeight = height - 2 * b;
  std::optional<vips::VImage> picture;
  if (innerWidth > 0 && innerHeight > 0) {
    vips::VImage colour = resizeImage(cut, innerWidth, innerHeight).image();
    // The shape the natural-size mask would have, drawn at the size it is
    // shown: resampling a mask drawn larger gives the same edge.
    if (const auto mask =
            createMask({static_cast<double>(innerWidth), static_cast<double>(innerHeight)}, preset,
                       innerWidth / naturalWidth))
      colour = colour.bandjoin(mask->coverage());
    picture = withColourOf(colour, in);
  }
  if (b == 0 && picture) return Raster(*picture);
  return frame(picture, width, height, b, preset, borderFill(preset, in), in);
}

}  // namespace kadro
