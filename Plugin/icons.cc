#include "Plugin/icons.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "Plugin/action.h"
#include "SmartCrop/cgcontext.h"

namespace kadro {
namespace {

constexpr double kSwatchMinimumLine = 2;
constexpr double kShapeMinimumLine = 5;
// Icons are small; anything beyond this is a caller's mistake, not an icon.
constexpr double kMaximumSide = 16384;

constexpr Color kRed{1, 0, 0, 1};

void setColor(cairo_t* cr, const Color& c) {
  cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
}

// Makes the icon surface, draws on it in drawing space (origin lower-left,
// y up) and wraps its pixels in an image of the requested size.
std::shared_ptr<ph::Image> drawIcon(Size size, const std::function<void(cairo_t*)>& draw) {
  if (!(size.width >= 1 && size.height >= 1 && size.width <= kMaximumSide &&
        size.height <= kMaximumSide))
    return nullptr;
  const int w = static_cast<int>(size.width);
  const int h = static_cast<int>(size.height);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  cairo_t* cr = cairo_create(surface);
  useDrawingSpace(cr, h);
  draw(cr);
  const bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  auto image = drawn ? ph::Image::fromSurface(surface, size.width, size.height) : nullptr;
  cairo_surface_destroy(surface);
  return image;
}

// Fills the current path with `fill`, then strokes it with `outline`.
void fillAndStroke(cairo_t* cr, const Color& fill, const Color& outline, double lineWidth) {
  setColor(cr, fill);
  cairo_fill_preserve(cr);
  setColor(cr, outline);
  cairo_set_line_width(cr, lineWidth);
  cairo_stroke(cr);
}

}  // namespace

double iconLineWidth(double width, double minimum) { return std::max(width / 20, minimum); }

std::shared_ptr<ph::Image> createSwatch(const Color& color, Size size) {
  return drawIcon(size, [&](cairo_t* cr) {
    cairo_rectangle(cr, 0, 0, size.width, size.height);
    fillAndStroke(cr, color, Color::black(), iconLineWidth(size.width, kSwatchMinimumLine));
  });
}

std::shared_ptr<ph::Image> createCircleIcon(const Color& color, Size size) {
  return drawIcon(size, [&](cairo_t* cr) {
    cairo_save(cr);
    cairo_translate(cr, size.width / 2, size.height / 2);
    cairo_scale(cr, size.width / 2, size.height / 2);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr);  // the path stays; the stroke must not be scaled
    fillAndStroke(cr, color, Color::black(), iconLineWidth(size.width, kShapeMinimumLine));
  });
}

std::shared_ptr<ph::Image> createPolygonIcon(int sides, double rotate, std::optional<Color> color,
                                             Size size) {
  return drawIcon(size, [&](cairo_t* cr) {
    addPolygonPath(cr, sides, rotate, Rect{0, 0, size.width, size.height});
    fillAndStroke(cr, color.value_or(Color::grey()), Color::black(),
                  iconLineWidth(size.width, kShapeMinimumLine));
  });
}

std::shared_ptr<ph::Image> createErrorSwatch(Size size) {
  return drawIcon(size, [&](cairo_t* cr) {
    const double line = iconLineWidth(size.width, kSwatchMinimumLine);
    cairo_rectangle(cr, 0, 0, size.width, size.height);
    fillAndStroke(cr, Color::grey(), kRed, line);
    cairo_move_to(cr, 0, 0);
    cairo_line_to(cr, size.width, size.height);
    cairo_move_to(cr, 0, size.height);
    cairo_line_to(cr, size.width, 0);
    cairo_stroke(cr);  // still red, same width
  });
}

std::shared_ptr<ph::Image> Action::preview(Size size) const {
  const Color color = safeColor();
  if (type == "square") return createSwatch(color, size);
  if (type == "hex") return createPolygonIcon(6, 0, color, size);
  if (type == "octo") return createPolygonIcon(8, 0.125, color, size);  // a flat top
  if (type == "circle") return createCircleIcon(color, size);
  if (type == "none") return createSwatch(color, size);
  return nullptr;
}

}  // namespace kadro
