#include "SmartCrop/raster.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "SmartCrop/image_io.h"

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

std::vector<double> samplesFromSrgb(double red, double green, double blue,
                                    const vips::VImage& like) {
  std::vector<double> samples = {red, green, blue};
  if (like.get_typeof(VIPS_META_ICC_NAME) != 0) {
    size_t length = 0;
    const void* data = like.get_blob(VIPS_META_ICC_NAME, &length);
    using Profile = std::unique_ptr<void, decltype(&cmsCloseProfile)>;
    using Transform = std::unique_ptr<void, decltype(&cmsDeleteTransform)>;
    const Profile target(cmsOpenProfileFromMem(data, static_cast<cmsUInt32Number>(length)),
                         &cmsCloseProfile);
    if (target && cmsGetColorSpace(target.get()) == cmsSigRgbData) {
      const Profile srgb(cmsCreate_sRGBProfile(), &cmsCloseProfile);
      const Transform transform(
          cmsCreateTransform(srgb.get(), TYPE_RGB_DBL, target.get(), TYPE_RGB_DBL,
                             INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE),
          &cmsDeleteTransform);
      if (transform) {
        const double in[3] = {red, green, blue};
        double out[3] = {red, green, blue};
        cmsDoTransform(transform.get(), in, out, 1);
        samples.assign(out, out + 3);
      }
    }
  }
  for (double& s : samples) s = std::round(std::clamp(s, 0.0, 1.0) * 255);
  return samples;
}

vips::VImage asRgb8(const vips::VImage& image) {
  const int colourBands = image.bands() - (image.has_alpha() ? 1 : 0);
  if (colourBands == 3 && image.format() == VIPS_FORMAT_UCHAR) return image;
  const VipsInterpretation kind = image.interpretation();
  const bool hasProfile = image.get_typeof(VIPS_META_ICC_NAME) != 0;
  if (colourBands == 3 && image.format() == VIPS_FORMAT_USHORT &&
      (kind == VIPS_INTERPRETATION_RGB16 || kind == VIPS_INTERPRETATION_sRGB)) {
    // Deeper samples of the same colours: only the depth changes, and the
    // profile that gives them their meaning (a wide gamut, often) stays.
    return withColourOf((image / 257.0).rint().cast(VIPS_FORMAT_UCHAR), image)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  }
  if (hasProfile && colourBands != 3) {
    // A grey or CMYK picture whose profile says what its numbers mean:
    // converted through that profile.
    try {
      vips::VImage out = image.icc_transform("srgb", vips::VImage::option()
                                                         ->set("embedded", true)
                                                         ->set("depth", 8)
                                                         ->set("intent", VIPS_INTENT_RELATIVE));
      out = out.cast(VIPS_FORMAT_UCHAR).copy();
      out.remove(VIPS_META_ICC_NAME);
      return out;
    } catch (const vips::VError&) {
      vips_error_clear();  // a profile that does not fit: converted as if there were none
    }
  }
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
    result.error = readFailureLine(path, e);
  }
  return result;
}

}  // namespace kadro
