// The crop: a square around the one face, with the eye line 0.33 of the side
// below its top edge and the eyes centred across.
#pragma once

#include <optional>

#include "Plugin/action.h"
#include "SmartCrop/faces.h"
#include "SmartCrop/geometry.h"
#include "SmartCrop/raster.h"

namespace kadro {

// The crop rectangle in pixel space (origin top-left, y down) for a picture of
// width x height pixels, a face box in normalised image space and an optional
// eye point in normalised face space, after it has been moved (never resized)
// to lie inside the picture where it fits. Pure.
Rect cropRectangle(int width, int height, const Rect& faceBox, const std::optional<Point>& eye);

// The cut-out around the single face, or nothing (no face, several faces, or
// an empty cut). Type "none" returns the input itself without detection.
std::optional<Raster> cropImage(const Raster& image, const Action& preset,
                                const FaceDetector& detect = detectFace);

}  // namespace kadro
