// The border: the preset's colour painted under the whole shape, with the
// picture shrunk by the border width on top of it.
#pragma once

#include "Plugin/action.h"
#include "SmartCrop/raster.h"
#include "SmartCrop/resize.h"

namespace kadro {

// Paints the preset's shape (its mask at the full size; the whole rectangle
// for types without one) in Action::safeColor and draws the picture scaled
// into (b, b, W - 2b, H - 2b) over it, b = borderWidth; outside the shape the
// result is transparent. Same size as the input; b <= 0 returns the input.
// A border at least half as wide as the picture leaves only the colour.
// `alpha` says how the picture is shrunk (resize.h).
Raster applyBorder(const Raster& image, const Action& preset,
                   AlphaKind alpha = AlphaKind::kPremultiplied);

// The finished picture from the cut of an opaque picture (8-bit RGB, no
// alpha), width x height: what applyMask, resizeImage and, when the preset
// has one, applyBorder give in turn, with the colour resampled once, to its
// place inside the border, and the shape drawn at the size it is shown.
// `naturalWidth` is the width of the cut in the picture's own pixels, which
// sets the line width of a bordered polygon's mask.
Raster shapeOpaqueCut(const Raster& cut, const Action& preset, int width, int height,
                      double naturalWidth);

}  // namespace kadro
