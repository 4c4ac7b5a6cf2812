// Draws the bundle's logo, a 256 x 256 PNG: a face inside crop corners, the
// eye line a third of the way down, on a rounded tile. Run by the build.
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <initializer_list>

namespace {

constexpr int kSide = 256;

void roundedSquare(cairo_t* cr, double x, double y, double side, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + side - radius, y + radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, x + side - radius, y + side - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, x + radius, y + side - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

void draw(cairo_t* cr) {
  // The tile.
  roundedSquare(cr, 8, 8, kSide - 16, 44);
  cairo_pattern_t* tile = cairo_pattern_create_linear(0, 0, 0, kSide);
  cairo_pattern_add_color_stop_rgb(tile, 0, 0.16, 0.20, 0.30);
  cairo_pattern_add_color_stop_rgb(tile, 1, 0.07, 0.09, 0.14);
  cairo_set_source(cr, tile);
  cairo_fill(cr);
  cairo_pattern_destroy(tile);

  // Head and shoulders.
  cairo_set_source_rgb(cr, 0.95, 0.78, 0.62);
  cairo_save(cr);
  cairo_translate(cr, 128, 108);
  cairo_scale(cr, 44, 52);
  cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
  cairo_restore(cr);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0.30, 0.55, 0.85);
  cairo_move_to(cr, 52, 232);
  cairo_curve_to(cr, 56, 188, 90, 170, 128, 170);
  cairo_curve_to(cr, 166, 170, 200, 188, 204, 232);
  cairo_close_path(cr);
  cairo_fill(cr);

  // Eyes on the line a third of the way down the crop square (40..216).
  const double eyeLine = 40 + 176 * 0.33;
  cairo_set_source_rgb(cr, 0.12, 0.12, 0.16);
  for (double x : {111.0, 145.0}) {
    cairo_arc(cr, x, eyeLine, 6, 0, 2 * M_PI);
    cairo_fill(cr);
  }

  // The crop corners.
  cairo_set_source_rgb(cr, 1.0, 0.80, 0.0);
  cairo_set_line_width(cr, 10);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  constexpr double kLo = 40, kHi = 216, kArm = 44;
  const double corners[4][2] = {{kLo, kLo}, {kHi, kLo}, {kHi, kHi}, {kLo, kHi}};
  for (const auto& c : corners) {
    const double dx = c[0] == kLo ? kArm : -kArm;
    const double dy = c[1] == kLo ? kArm : -kArm;
    cairo_move_to(cr, c[0] + dx, c[1]);
    cairo_line_to(cr, c[0], c[1]);
    cairo_line_to(cr, c[0], c[1] + dy);
  }
  cairo_stroke(cr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSide, kSide);
  cairo_t* cr = cairo_create(surface);
  draw(cr);
  cairo_status_t status = cairo_status(cr);
  cairo_destroy(cr);
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png(surface, argv[1]);
  cairo_surface_destroy(surface);
  cairo_debug_reset_static_data();
  if (status != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], argv[1],
                 cairo_status_to_string(status));
    return 1;
  }
  return 0;
}
