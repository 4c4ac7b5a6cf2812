// Shape masks: which pixels of a raster belong to the preset's circle,
// hexagon or octagon, with anti-aliased edges. Drawn with cairo.
#pragma once

#include <optional>
#include <vips/vips8>

#include "Plugin/action.h"
#include "SmartCrop/geometry.h"
#include "SmartCrop/raster.h"

namespace kadro {

// One byte per pixel. A sample S (0 to 255) lets the pixel under it through
// with opacity 1 - S / 255: black keeps, white removes. The mask holds the
// opacity (cairo's coverage) itself, since that is what applying it needs.
class ImageMask {
 public:
  // `coverage`: one uchar band, 255 where the pixel is kept.
  explicit ImageMask(vips::VImage coverage) : coverage_(std::move(coverage)) {}

  int width() const { return coverage_.width(); }
  int height() const { return coverage_.height(); }

  // How much of each pixel is let through, 0 to 255: one uchar band.
  const vips::VImage& coverage() const { return coverage_; }

  // The samples S as one uchar band (pixel space, origin top-left).
  vips::VImage samples() const;

 private:
  vips::VImage coverage_;
};

// The preset's mask at `size`: a hexagon for "hex", an octagon for "octo"
// (line width borderWidth when borderEnabled, else 0), the inscribed ellipse
// for "circle"; nothing for every other type.
std::optional<ImageMask> createMask(Size size, const Action& preset);

// The same for a picture held at `scale` times its natural resolution: the
// line width shrinks with it, so the shape matches the natural-size mask.
std::optional<ImageMask> createMask(Size size, const Action& preset, double scale);

// The ellipse inscribed in `mask` (drawing space) on a raster of `size`,
// truncated to whole pixels. Nothing when no surface can be made.
std::optional<ImageMask> circleMask(Size size, const Rect& mask);

// The regular polygon of `sides` vertices (rotation in units of pi) in `mask`
// shrunk by lineWidth / 1.7 on every side, filled and stroked lineWidth wide
// with round joins, so a border rounds the corners.
std::optional<ImageMask> polygonMask(int sides, double rotate, Size size, const Rect& mask,
                                     double lineWidth);

// The raster with its alpha multiplied by the mask's coverage (an opaque
// raster gains an alpha band); colours are left as they are. Nothing when
// the sizes differ.
std::optional<Raster> applyMask(const Raster& image, const ImageMask& mask);

}  // namespace kadro
