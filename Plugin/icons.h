// Small images that show a preset's shape and border colour in the host's
// action menu, the preset list and the editor's pop-up menus.
#pragma once

#include <memory>
#include <optional>

#include "Plugin/color.h"
#include "SmartCrop/geometry.h"
#include "host/image.h"

namespace kadro {

// Width of the outlines: width / 20, but at least `minimum` (2 for swatches,
// 5 for the circle and polygon icons). Only the width counts.
double iconLineWidth(double width, double minimum);

// Each function returns an image of `size` points, one pixel per point
// (sizes truncated), or nullptr when no surface of that size can be made.
// Outlines run along the image's edges, so half of each stroke is visible.
// Pixels are premultiplied ARGB; cairo has no colour spaces, so colour
// components are stored as given.

// The whole image filled with `color`, framed in black.
std::shared_ptr<ph::Image> createSwatch(const Color& color, Size size);

// The inscribed ellipse filled with `color`, outlined in black.
std::shared_ptr<ph::Image> createCircleIcon(const Color& color, Size size);

// The polygon of addPolygonPath (vertex 0 straight up at rotation 0, the
// rotation in units of pi) filled with `color`, grey without one, outlined in
// black.
std::shared_ptr<ph::Image> createPolygonIcon(int sides, double rotate, std::optional<Color> color,
                                             Size size);

// For a colour that cannot be read: grey, with a red frame and a red cross
// from corner to corner.
std::shared_ptr<ph::Image> createErrorSwatch(Size size);

}  // namespace kadro
