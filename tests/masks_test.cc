#include "SmartCrop/masks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kadro {
namespace {

// The sample S under a point in drawing space (origin lower-left, y up).
int sampleAt(const ImageMask& mask, double x, double y) {
  const int px = static_cast<int>(std::floor(x));
  const int py = static_cast<int>(std::floor(mask.height() - y));
  return static_cast<int>(mask.samples().getpoint(px, py)[0]);
}

// Each side of the polygon through `vertices` (drawing space): a little
// inside its midpoint is kept, a little outside removed.
void expectOutline(const ImageMask& mask, const std::vector<Point>& vertices, double offset = 2) {
  const Point c{mask.width() * 0.5, mask.height() * 0.5};
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    const Point a = vertices[i];
    const Point b = vertices[(i + 1) % vertices.size()];
    const Point m{(a.x + b.x) / 2, (a.y + b.y) / 2};
    const double len = std::hypot(m.x - c.x, m.y - c.y);
    const Point in{(c.x - m.x) / len, (c.y - m.y) / len};
    EXPECT_EQ(sampleAt(mask, m.x + offset * in.x, m.y + offset * in.y), 0) << "side " << i;
    const double ox = m.x - offset * in.x;
    const double oy = m.y - offset * in.y;
    if (ox >= 0 && ox < mask.width() && oy > 0 && oy <= mask.height()) {
      EXPECT_EQ(sampleAt(mask, ox, oy), 255) << "side " << i;
    }
  }
}

std::vector<Point> regularPolygon(int sides, Point centre, double radius) {
  std::vector<Point> v;
  for (int i = 0; i < sides; ++i) {
    const double a = i * 2 * M_PI / sides;
    v.push_back({centre.x + radius * std::sin(a), centre.y + radius * std::cos(a)});
  }
  return v;
}

Action preset(const std::string& type, bool border = false, std::int64_t width = 15) {
  Action a("", type, 400);
  a.borderEnabled = border;
  a.borderWidth = width;
  return a;
}

TEST(CircleMask, RemovesCornersKeepsCentreAndSoftensTheEdge) {
  auto mask = createMask({400, 400}, preset("circle"));
  ASSERT_TRUE(mask);
  EXPECT_EQ(mask->width(), 400);
  EXPECT_EQ(mask->height(), 400);
  const vips::VImage s = mask->samples();
  EXPECT_EQ(s.getpoint(0, 0)[0], 255);
  EXPECT_EQ(s.getpoint(399, 399)[0], 255);
  EXPECT_EQ(s.getpoint(200, 200)[0], 0);
  EXPECT_EQ(s.getpoint(3, 200)[0], 0);
  // Partly covered pixels form a thin ring along the circle of radius 200.
  const vips::VImage partial = (s > 0) & (s < 255);
  const double count = partial.avg() / 255 * 400 * 400;
  EXPECT_GT(count, 1000);
  EXPECT_LT(count, 2 * 2 * M_PI * 200);
  const vips::VImage xy = vips::VImage::xyz(400, 400) + 0.5 - 200;
  const vips::VImage distance = (xy[0] * xy[0] + xy[1] * xy[1]).pow(0.5);
  EXPECT_GT(partial.ifthenelse(distance, 1000).min(), 198.5);
  EXPECT_LT(partial.ifthenelse(distance, 0).max(), 200.8);
}

TEST(CircleMask, NonSquareIsTheEllipseTouchingAllFourEdges) {
  auto mask = createMask({600, 400}, preset("circle"));
  ASSERT_TRUE(mask);
  const vips::VImage s = mask->samples();
  EXPECT_EQ(s.getpoint(300, 2)[0], 0);
  EXPECT_EQ(s.getpoint(300, 397)[0], 0);
  EXPECT_EQ(s.getpoint(2, 200)[0], 0);
  EXPECT_EQ(s.getpoint(597, 200)[0], 0);
  EXPECT_EQ(s.getpoint(20, 20)[0], 255);
  EXPECT_EQ(s.getpoint(579, 379)[0], 255);
}

TEST(CircleMask, IgnoresTheBorderAndTruncatesTheSize) {
  auto plain = createMask({300, 200}, preset("circle"));
  auto framed = createMask({300, 200}, preset("circle", true, 40));
  ASSERT_TRUE(plain && framed);
  auto fractional = createMask({300.9, 200.5}, preset("circle"));
  ASSERT_TRUE(fractional);
  EXPECT_EQ(fractional->width(), 300);
  EXPECT_EQ(fractional->height(), 200);
  EXPECT_EQ((plain->samples() - framed->samples()).abs().max(), 0);
}

TEST(PolygonMask, HexagonWithoutBorderHasItsVerticesOnTheInscribedCircle) {
  auto mask = createMask({400, 400}, preset("hex"));
  ASSERT_TRUE(mask);
  const std::vector<Point> vertices = {{200, 400}, {373.2, 300}, {373.2, 100},
                                       {200, 0},   {26.8, 100},  {26.8, 300}};
  expectOutline(*mask, vertices);
  const vips::VImage s = mask->samples();
  // Vertical sides: bands of about 0.067 of the side removed left and right.
  for (int y : {0, 100, 200, 300, 399}) {
    EXPECT_EQ(s.extract_area(0, y, 26, 1).min(), 255) << y;
    EXPECT_EQ(s.extract_area(374, y, 26, 1).min(), 255) << y;
  }
  EXPECT_EQ(s.extract_area(28, 120, 344, 160).max(), 0);
  const double edge = s.getpoint(26, 200)[0];
  EXPECT_GT(edge, 0);
  EXPECT_LT(edge, 255);
  // The top and bottom vertices touch the raster's edges.
  EXPECT_LT(s.getpoint(200, 0)[0], 255);
  EXPECT_LT(s.getpoint(199, 399)[0], 255);
  EXPECT_EQ(s.getpoint(150, 0)[0], 255);
}

TEST(PolygonMask, OctagonHasAVertexEvery45Degrees) {
  auto mask = createMask({400, 400}, preset("octo"));
  ASSERT_TRUE(mask);
  expectOutline(*mask, regularPolygon(8, {200, 200}, 200));
  const vips::VImage s = mask->samples();
  EXPECT_LT(s.getpoint(0, 199)[0], 255);
  EXPECT_LT(s.getpoint(399, 200)[0], 255);
  EXPECT_EQ(s.getpoint(20, 20)[0], 255);
}

TEST(PolygonMask, BorderShrinksTheOutlineAndRoundsItsCorners) {
  // borderWidth 17: the outline sits in the rectangle shrunk by 10 and is
  // stroked 17 wide, so each vertex becomes an arc 190 + 8.5 from the centre.
  auto mask = createMask({400, 400}, preset("hex", true, 17));
  ASSERT_TRUE(mask);
  const double reach = 400 / 2.0 - 17 / 1.7 + 17 / 2.0;
  expectOutline(*mask, regularPolygon(6, {200, 200}, 190), 8.5 + 2);
  for (int i = 0; i < 6; ++i) {
    const double a = i * M_PI / 3;
    EXPECT_EQ(sampleAt(*mask, 200 + (reach - 2) * std::sin(a), 200 + (reach - 2) * std::cos(a)), 0)
        << "vertex " << i;
    // A mitred corner would still reach this far; the round one does not.
    EXPECT_GT(sampleAt(*mask, 200 + (reach + 1) * std::sin(a), 200 + (reach + 1) * std::cos(a)),
              200)
        << "vertex " << i;
  }
  // Disabled, the same width changes nothing: the sharp hexagon again.
  auto off = createMask({400, 400}, preset("hex", false, 17));
  auto plain = createMask({400, 400}, preset("hex"));
  ASSERT_TRUE(off && plain);
  EXPECT_EQ((off->samples() - plain->samples()).abs().max(), 0);
  EXPECT_GT((mask->samples() - plain->samples()).abs().max(), 0);
}

TEST(CreateMask, OnlyShapedTypesHaveMasksAndEmptySizesHaveNone) {
  for (const char* type : {"none", "square", "Circle", "hexagon", ""})
    EXPECT_FALSE(createMask({400, 400}, preset(type))) << type;
  EXPECT_FALSE(createMask({0, 400}, preset("circle")));
  EXPECT_FALSE(createMask({400, 0.5}, preset("hex")));
  EXPECT_FALSE(createMask({-5, 400}, preset("octo")));
}

TEST(ApplyMask, MultipliesAlphaAndKeepsColours) {
  const vips::VImage rgb = vips::VImage::black(400, 400, vips::VImage::option()->set("bands", 3)) +
                           std::vector<double>{10, 20, 30};
  const Raster opaque(
      rgb.cast(VIPS_FORMAT_UCHAR)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)));
  auto mask = createMask({400, 400}, preset("circle"));
  ASSERT_TRUE(mask);
  auto masked = applyMask(opaque, *mask);
  ASSERT_TRUE(masked);
  EXPECT_EQ(masked->bands(), 4);
  EXPECT_TRUE(masked->hasAlpha());
  EXPECT_EQ(masked->image().getpoint(0, 0), (std::vector<double>{10, 20, 30, 0}));
  EXPECT_EQ(masked->image().getpoint(200, 200), (std::vector<double>{10, 20, 30, 255}));

  // Half-transparent input: the mask scales the alpha it already has.
  const Raster half(opaque.image().bandjoin_const({128}));
  auto twice = applyMask(half, *mask);
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->image().getpoint(200, 200)[3], 128);
  EXPECT_EQ(twice->image().getpoint(0, 0)[3], 0);
  const auto edge = mask->coverage().getpoint(0, 200)[0];
  EXPECT_NEAR(twice->image().getpoint(0, 200)[3], std::round(128 * edge / 255), 0.5);

  EXPECT_FALSE(applyMask(Raster(rgb.extract_area(0, 0, 300, 400)), *mask));
}

}  // namespace
}  // namespace kadro
