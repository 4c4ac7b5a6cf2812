// Path helpers on a cairo context, shared by the masks and the icons.
#pragma once

#include <cairo.h>

#include "SmartCrop/geometry.h"

namespace kadro {

// Adds a closed regular polygon to the current path. Coordinates are in
// drawing space (origin lower-left, y up): the caller's transform flips
// cairo's y-down space. Vertex i lies at angle i * 2pi / sides + rotate * pi
// from straight up, clockwise as seen, on the circle of radius
// min(width, height) / 2 around the rectangle's centre. pi and 2pi are the
// single-precision values, so the vertices land where the stored icons and
// masks always had them. Zero sides adds an empty closed subpath.
void addPolygonPath(cairo_t* context, int sides, double rotate, const Rect& rect);

// Flips `context` so that drawing space (origin lower-left, y up) maps onto a
// surface `height` pixels high.
void useDrawingSpace(cairo_t* context, double height);

}  // namespace kadro
