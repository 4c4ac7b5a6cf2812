#include "SmartCrop/cgcontext.h"

#include <algorithm>
#include <cmath>

namespace kadro {
namespace {

constexpr double kPi = 3.141592502593994;     // (double)(float)M_PI
constexpr double kTwoPi = 6.283185005187988;  // (double)(float)(2 * M_PI)

}  // namespace

void addPolygonPath(cairo_t* context, int sides, double rotate, const Rect& rect) {
  const double cx = rect.x + rect.width * 0.5;
  const double cy = rect.y + rect.height * 0.5;
  const double r = std::min(rect.width, rect.height) * 0.5;
  const double a0 = rotate * kPi;
  cairo_new_sub_path(context);
  for (int i = 0; i < sides; ++i) {
    const double angle = i * kTwoPi / sides + a0;
    const double x = cx + r * std::sin(angle);
    const double y = cy + r * std::cos(angle);
    if (i == 0)
      cairo_move_to(context, x, y);
    else
      cairo_line_to(context, x, y);
  }
  cairo_close_path(context);
}

void useDrawingSpace(cairo_t* context, double height) {
  cairo_translate(context, 0, height);
  cairo_scale(context, 1, -1);
}

}  // namespace kadro
