#include "SmartCrop/masks.h"

#include <cairo.h>

#include <cmath>
#include <memory>

#include "SmartCrop/cgcontext.h"

namespace kadro {
namespace {

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using ContextPtr = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

// Draws a mask of `size` (truncated to whole pixels). An A8 surface starts
// at coverage 0, which is the all-white mask; `draw` paints in black, the
// parts that are kept, in drawing space.
template <typename Draw>
std::optional<ImageMask> drawMask(Size size, Draw draw) {
  const int width = static_cast<int>(size.width);
  const int height = static_cast<int>(size.height);
  if (width <= 0 || height <= 0) return std::nullopt;
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_A8, width, height),
                     cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  {
    ContextPtr context(cairo_create(surface.get()), cairo_destroy);
    useDrawingSpace(context.get(), height);
    cairo_set_source_rgba(context.get(), 0, 0, 0, 1);
    draw(context.get());
    if (cairo_status(context.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  }
  cairo_surface_flush(surface.get());
  // vips only references memory it is given, and cairo pads rows to four
  // bytes: copy the padded rows and cut the padding off.
  const int stride = cairo_image_surface_get_stride(surface.get());
  VipsImage* copy = vips_image_new_from_memory_copy(cairo_image_surface_get_data(surface.get()),
                                                    static_cast<size_t>(stride) * height, stride,
                                                    height, 1, VIPS_FORMAT_UCHAR);
  if (!copy) {
    vips_error_clear();
    return std::nullopt;
  }
  vips::VImage coverage(copy);
  if (stride != width) coverage = coverage.extract_area(0, 0, width, height);
  return ImageMask(
      coverage.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W)));
}

}  // namespace

vips::VImage ImageMask::samples() const { return (255 - coverage_).cast(VIPS_FORMAT_UCHAR); }

std::optional<ImageMask> createMask(Size size, const Action& preset) {
  return createMask(size, preset, 1.0);
}

std::optional<ImageMask> createMask(Size size, const Action& preset, double scale) {
  const Rect whole{0, 0, size.width, size.height};
  const double lineWidth =
      preset.borderEnabled ? static_cast<double>(preset.borderWidth) * scale : 0.0;
  if (preset.type == "hex") return polygonMask(6, 0, size, whole, lineWidth);
  if (preset.type == "octo") return polygonMask(8, 0, size, whole, lineWidth);
  if (preset.type == "circle") return circleMask(size, whole);
  return std::nullopt;
}

std::optional<ImageMask> circleMask(Size size, const Rect& mask) {
  return drawMask(size, [&](cairo_t* context) {
    if (!(mask.width > 0) || !(mask.height > 0)) return;
    cairo_save(context);
    cairo_translate(context, mask.x + mask.width * 0.5, mask.y + mask.height * 0.5);
    cairo_scale(context, mask.width * 0.5, mask.height * 0.5);
    cairo_arc(context, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(context);
    cairo_fill(context);
  });
}

std::optional<ImageMask> polygonMask(int sides, double rotate, Size size, const Rect& mask,
                                     double lineWidth) {
  return drawMask(size, [&](cairo_t* context) {
    cairo_set_line_width(context, std::max(lineWidth, 0.0));
    cairo_set_line_join(context, CAIRO_LINE_JOIN_ROUND);
    // 1.7 rather than 2 keeps the rounded corners just inside the raster.
    const double inset = lineWidth / 1.7;
    addPolygonPath(
        context, sides, rotate,
        {mask.x + inset, mask.y + inset, mask.width - 2 * inset, mask.height - 2 * inset});
    cairo_fill_preserve(context);
    if (lineWidth > 0)
      cairo_stroke(context);
    else
      cairo_new_path(context);
  });
}

std::optional<Raster> applyMask(const Raster& image, const ImageMask& mask) {
  if (image.width() != mask.width() || image.height() != mask.height()) return std::nullopt;
  const vips::VImage& in = image.image();
  const double maxAlpha = image.maxAlpha();
  if (!in.has_alpha()) {
    vips::VImage alpha = mask.coverage();
    if (maxAlpha != 255) alpha = (alpha * (maxAlpha / 255)).cast(in.format());
    return Raster(in.bandjoin(alpha.cast(in.format())));
  }
  const int colourBands = in.bands() - 1;
  const vips::VImage alpha =
      (in.extract_band(colourBands) * mask.coverage() / 255.0).rint().cast(in.format());
  return Raster(in.extract_band(0, vips::VImage::option()->set("n", colourBands)).bandjoin(alpha));
}

}  // namespace kadro
