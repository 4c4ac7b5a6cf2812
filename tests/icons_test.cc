#include "Plugin/icons.h"

#include <gtest/gtest.h>

#include "Plugin/action.h"

namespace ph {
inline void PrintTo(const Image::Pixel& p, std::ostream* out) {
  *out << "(" << int(p.red) << "," << int(p.green) << "," << int(p.blue) << "," << int(p.alpha)
       << ")";
}
}  // namespace ph

namespace kadro {
namespace {

using Pixel = ph::Image::Pixel;

constexpr Pixel kBlack{0, 0, 0, 255};
constexpr Pixel kClear{0, 0, 0, 0};
constexpr Pixel kGrey{204, 204, 204, 255};
constexpr Pixel kRed{255, 0, 0, 255};
constexpr Pixel kWhite{255, 255, 255, 255};

Pixel at(const std::shared_ptr<ph::Image>& image, int x, int y) {
  return image->pixelAt(x, y).value_or(Pixel{1, 2, 3, 4});
}

TEST(IconLineWidth, IsATwentiethOfTheWidthWithAMinimum) {
  EXPECT_DOUBLE_EQ(iconLineWidth(32, 2), 2);
  EXPECT_DOUBLE_EQ(iconLineWidth(128, 2), 6.4);
  EXPECT_DOUBLE_EQ(iconLineWidth(128, 5), 6.4);
  EXPECT_DOUBLE_EQ(iconLineWidth(64, 5), 5);
}

TEST(Swatch, ShowsHalfTheStrokeAsAFrame) {
  const auto big = createSwatch(Color::white(), {128, 128});
  ASSERT_TRUE(big);
  EXPECT_EQ(big->pixelWidth(), 128);
  EXPECT_EQ(big->pixelHeight(), 128);
  // Line width 6.4: 3.2 pixels of black on each edge.
  for (int x : {0, 1, 2}) EXPECT_EQ(at(big, x, 64), kBlack) << x;
  // A fifth of pixel 3 is frame.
  EXPECT_EQ(at(big, 3, 64).alpha, 255);
  EXPECT_NEAR(at(big, 3, 64).red, 204, 2);
  EXPECT_EQ(at(big, 4, 64), kWhite);
  EXPECT_EQ(at(big, 64, 64), kWhite);
  EXPECT_EQ(at(big, 64, 125), kBlack);
  EXPECT_EQ(at(big, 127, 127), kBlack);

  // 32 / 20 is below the minimum of 2: one pixel of frame.
  const auto small = createSwatch(Color::white(), {32, 32});
  ASSERT_TRUE(small);
  EXPECT_EQ(at(small, 0, 16), kBlack);
  EXPECT_EQ(at(small, 1, 16), kWhite);
}

TEST(Swatch, LineWidthFollowsTheWidthOnly) {
  // 100 wide: line 5 also along the short edges, so 2.5 pixels show there.
  const auto wide = createSwatch(Color::white(), {100, 20});
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->pixelHeight(), 20);
  EXPECT_EQ(at(wide, 50, 1), kBlack);
  EXPECT_NE(at(wide, 50, 2), kWhite);
  EXPECT_EQ(at(wide, 50, 3), kWhite);
}

TEST(Swatch, SizeIsKeptInPointsAndTruncatedInPixels) {
  const auto icon = createSwatch(Color::black(), {32.7, 16.2});
  ASSERT_TRUE(icon);
  EXPECT_DOUBLE_EQ(icon->width(), 32.7);
  EXPECT_DOUBLE_EQ(icon->height(), 16.2);
  EXPECT_EQ(icon->pixelWidth(), 32);
  EXPECT_EQ(icon->pixelHeight(), 16);
  EXPECT_FALSE(createSwatch(Color::black(), {0, 32}));
  EXPECT_FALSE(createSwatch(Color::black(), {32, 0.5}));
  EXPECT_FALSE(createCircleIcon(Color::black(), {-4, 32}));
}

TEST(CircleIcon, IsTheInscribedEllipseWithAtLeastFivePixelsOfLine) {
  const auto icon = createCircleIcon(Color::white(), {128, 128});
  ASSERT_TRUE(icon);
  EXPECT_EQ(at(icon, 0, 0), kClear);
  EXPECT_EQ(at(icon, 127, 127), kClear);
  EXPECT_EQ(at(icon, 64, 64), kWhite);
  EXPECT_EQ(at(icon, 64, 1), kBlack);  // 3.2 pixels of the 6.4 line inside the edge
  EXPECT_EQ(at(icon, 1, 64), kBlack);
  EXPECT_EQ(at(icon, 64, 5), kWhite);

  // 64 / 20 = 3.2 is below 5: 2.5 pixels show.
  const auto small = createCircleIcon(Color::white(), {64, 64});
  ASSERT_TRUE(small);
  EXPECT_EQ(at(small, 32, 1), kBlack);
  EXPECT_EQ(at(small, 32, 3), kWhite);
}

TEST(PolygonIcon, HexagonHasAVertexAtTheTop) {
  const auto hex = createPolygonIcon(6, 0, Color::white(), {128, 128});
  ASSERT_TRUE(hex);
  EXPECT_EQ(at(hex, 64, 0), kBlack);
  EXPECT_EQ(at(hex, 45, 3), kClear);  // beside the vertex, outside the slanted edges
  EXPECT_EQ(at(hex, 83, 3), kClear);
  EXPECT_EQ(at(hex, 64, 64), kWhite);
  EXPECT_EQ(at(hex, 2, 64), kClear);  // the flat sides lie 8.6 pixels in
}

TEST(PolygonIcon, OctagonTurnedByAnEighthHasAFlatTop) {
  const auto octo = createPolygonIcon(8, 0.125, Color::white(), {128, 128});
  ASSERT_TRUE(octo);
  EXPECT_EQ(at(octo, 64, 0), kClear);  // no vertex there
  // The top edge runs level 4.9 pixels down, from x 39.5 to 88.5.
  for (int x : {45, 64, 83}) EXPECT_EQ(at(octo, x, 5), kBlack) << x;
  EXPECT_EQ(at(octo, 64, 12), kWhite);
}

TEST(PolygonIcon, IsDrawnWithTheOriginAtTheBottom) {
  // A pentagon's vertex is up, its flat side down.
  const auto icon = createPolygonIcon(5, 0, Color::white(), {128, 128});
  ASSERT_TRUE(icon);
  EXPECT_EQ(at(icon, 64, 0), kBlack);
  EXPECT_EQ(at(icon, 64, 127), kClear);
}

TEST(PolygonIcon, IsGreyWithoutAColour) {
  const auto icon = createPolygonIcon(6, 0, std::nullopt, {128, 128});
  ASSERT_TRUE(icon);
  EXPECT_EQ(at(icon, 64, 64), kGrey);
  EXPECT_EQ(at(icon, 64, 1), kBlack);
}

TEST(ErrorSwatch, IsGreyWithARedFrameAndCross) {
  const auto icon = createErrorSwatch({128, 128});
  ASSERT_TRUE(icon);
  EXPECT_EQ(at(icon, 1, 64), kRed);
  EXPECT_EQ(at(icon, 64, 126), kRed);
  EXPECT_EQ(at(icon, 64, 64), kRed);  // both diagonals cross here
  EXPECT_EQ(at(icon, 30, 30), kRed);
  EXPECT_EQ(at(icon, 97, 30), kRed);
  EXPECT_EQ(at(icon, 64, 30), kGrey);
  EXPECT_EQ(at(icon, 30, 64), kGrey);
}

TEST(Preview, PicksTheIconByTypeInTheBorderColour) {
  Action hex("Hexagon", "hex", 400, true, 10, "black", "#333333");
  const auto hexIcon = hex.preview({128, 128});
  ASSERT_TRUE(hexIcon);
  EXPECT_EQ(at(hexIcon, 64, 64), kBlack);
  EXPECT_EQ(at(hexIcon, 64, 0), kBlack);
  EXPECT_EQ(at(hexIcon, 45, 3), kClear);

  // Border off: grey, whatever the border colour says.
  Action octo("Octagon", "octo", 400, false, 10, "black", "#333333");
  const auto octoIcon = octo.preview({128, 128});
  ASSERT_TRUE(octoIcon);
  EXPECT_EQ(at(octoIcon, 64, 64), kGrey);
  EXPECT_EQ(at(octoIcon, 64, 0), kClear);
  EXPECT_EQ(at(octoIcon, 64, 5), kBlack);

  Action circle("Circle", "circle", 600, true, 15, "custom", "#ff0000");
  const auto circleIcon = circle.preview({32, 32});
  ASSERT_TRUE(circleIcon);
  EXPECT_EQ(at(circleIcon, 16, 16), kRed);
  EXPECT_EQ(at(circleIcon, 0, 0), kClear);

  for (const char* type : {"square", "none"}) {
    Action a("A", type, 400, true, 10, "white", "#333333");
    const auto icon = a.preview({32, 32});
    ASSERT_TRUE(icon) << type;
    EXPECT_EQ(at(icon, 0, 0), kBlack) << type;  // a swatch reaches the corners
    EXPECT_EQ(at(icon, 16, 16), kWhite) << type;
  }
}

TEST(Preview, NothingForAnUnknownType) {
  for (const char* type : {"Square", "triangle", "", "hex "}) {
    Action a("A", type, 400);
    EXPECT_FALSE(a.preview({32, 32})) << type;
  }
}

}  // namespace
}  // namespace kadro
