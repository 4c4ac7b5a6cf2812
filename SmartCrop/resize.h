// Scaling a cut-out to the preset's size.
#pragma once

#include <cstdint>

#include "SmartCrop/raster.h"

namespace kadro {

// Scales the picture to side x side, side = min(width, height, maxSize):
// never enlarged, and a non-square picture is stretched, not cut. maxSize 0
// or negative returns the input.
Raster resizeSquareImage(const Raster& image, std::int64_t maxSize);

// Scales width and height separately to exactly width x height with
// lanczos3. Alpha is premultiplied around the resampling, so that the
// colour under transparent pixels does not bleed into shaped edges. A size
// that is not positive returns the input.
Raster resizeImage(const Raster& image, int width, int height);

}  // namespace kadro
