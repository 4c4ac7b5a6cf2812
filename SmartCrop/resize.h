// Scaling a cut-out to the preset's size.
#pragma once

#include <cstdint>

#include "SmartCrop/raster.h"

namespace kadro {

// What the colour of a picture's transparent pixels is worth to resampling.
enum class AlphaKind {
  // Anything: alpha is premultiplied around the resampling, so that colour
  // under transparent pixels does not bleed into shaped edges.
  kPremultiplied,
  // An opaque picture cut to a shape: every pixel keeps the picture's own
  // colour, so colour and alpha are resampled apart, in 8 bits, which is
  // several times faster and gives the rim the picture's colour.
  kShapeOfOpaque,
};

// Scales the picture to side x side, side = min(width, height, maxSize):
// never enlarged, and a non-square picture is stretched, not cut. maxSize 0
// or negative returns the input.
Raster resizeSquareImage(const Raster& image, std::int64_t maxSize,
                         AlphaKind alpha = AlphaKind::kPremultiplied);

// Scales width and height separately to exactly width x height with
// lanczos3, alpha handled as `alpha` says. A size that is not positive
// returns the input.
Raster resizeImage(const Raster& image, int width, int height,
                   AlphaKind alpha = AlphaKind::kPremultiplied);

}  // namespace kadro
