#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "SmartCrop/border.h"
#include "SmartCrop/masks.h"
#include "SmartCrop/resize.h"
#include "tests/image_test_support.h"

namespace kadro {
namespace {

using vips::VImage;

VImage solid(int width, int height, std::vector<double> rgb) {
  return (VImage::black(width, height, VImage::option()->set("bands", 3)) + rgb)
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

// Red on the left half, blue on the right.
Raster halves(int width, int height) {
  return Raster(solid(width / 2, height, {255, 0, 0})
                    .insert(solid(width - width / 2, height, {0, 0, 255}), width / 2, 0,
                            VImage::option()->set("expand", true)));
}

std::vector<double> pixel(const Raster& r, int x, int y) { return r.image().getpoint(x, y); }

double maxDifference(const Raster& a, const Raster& b) {
  return (a.image().cast(VIPS_FORMAT_INT) - b.image().cast(VIPS_FORMAT_INT)).abs().max();
}

// Per pixel, the largest difference over the colour bands.
VImage maxBandDifference(const Raster& a, const Raster& b) {
  const auto colour = [](const Raster& r) {
    return r.image().extract_band(0, VImage::option()->set("n", 3)).cast(VIPS_FORMAT_INT);
  };
  const VImage d = (colour(a) - colour(b)).abs();
  const VImage m = (d[0] > d[1]).ifthenelse(d[0], d[1]);
  return (m > d[2]).ifthenelse(m, d[2]);
}

Action bordered(const std::string& type, std::int64_t width, const std::string& colour,
                const std::string& custom = "#333333") {
  return Action("", type, 400, true, width, colour, custom);
}

TEST(ResizeSquareImage, ScalesDownToTheSmallerOfSideAndMaxSize) {
  const Raster big = halves(1000, 1000);
  const Raster out = resizeSquareImage(big, 400);
  EXPECT_EQ(out.width(), 400);
  EXPECT_EQ(out.height(), 400);
  EXPECT_EQ(pixel(out, 100, 200), (std::vector<double>{255, 0, 0}));
  EXPECT_EQ(pixel(out, 300, 200), (std::vector<double>{0, 0, 255}));

  // Never enlarged: 300 stays 300, and its pixels are the input's.
  const Raster small = halves(300, 300);
  const Raster same = resizeSquareImage(small, 400);
  EXPECT_EQ(same.width(), 300);
  EXPECT_EQ(same.height(), 300);
  EXPECT_EQ(maxDifference(same, small), 0);

  // 811 rows are squeezed into 810.
  const Raster tall = resizeSquareImage(halves(810, 811), 1000);
  EXPECT_EQ(tall.width(), 810);
  EXPECT_EQ(tall.height(), 810);
}

TEST(ResizeSquareImage, StretchesNonSquarePicturesAndGivesExactSides) {
  // 1000 x 500 with max 400: both sides become 400, the halves still meet in
  // the middle.
  const Raster out = resizeSquareImage(halves(1000, 500), 400);
  EXPECT_EQ(out.width(), 400);
  EXPECT_EQ(out.height(), 400);
  EXPECT_EQ(pixel(out, 190, 200)[0], 255);
  EXPECT_EQ(pixel(out, 210, 200)[2], 255);
  for (int w : {333, 997, 1234, 4001})
    for (int side : {101, 333, 400}) {
      const Raster r = resizeSquareImage(Raster(solid(w, w + 7, {1, 2, 3})), side);
      EXPECT_EQ(r.width(), std::min(side, w)) << w << " " << side;
      EXPECT_EQ(r.height(), std::min(side, w)) << w << " " << side;
    }
}

TEST(ResizeSquareImage, MaxSizeZeroOrNegativeReturnsTheInput) {
  const Raster in = halves(640, 480);
  for (std::int64_t max : {0, -1, -400}) {
    const Raster out = resizeSquareImage(in, max);
    EXPECT_EQ(out.width(), 640);
    EXPECT_EQ(out.height(), 480);
    EXPECT_EQ(maxDifference(out, in), 0);
  }
}

TEST(ResizeSquareImage, TransparentColourDoesNotBleedIntoShapedEdges) {
  // Red inside a circle over green that the mask makes transparent.
  const Raster green(solid(1000, 1000, {0, 255, 0}));
  auto mask = createMask({1000, 1000}, Action("", "circle", 400));
  ASSERT_TRUE(mask);
  const VImage inside = mask->coverage() > 0;
  const Raster picture(
      inside.ifthenelse(std::vector<double>{255, 0, 0}, green.image())
          .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)));
  auto shaped = applyMask(picture, *mask);
  ASSERT_TRUE(shaped);
  const Raster out = resizeSquareImage(*shaped, 400);
  ASSERT_EQ(out.bands(), 4);
  const VImage alpha = out.image()[3];
  const VImage edge = (alpha > 8) & (alpha < 247);
  ASSERT_GT(edge.avg(), 0);
  // Where the edge is partly transparent, the colour is still red.
  EXPECT_LE(edge.ifthenelse(out.image()[1], 0).max(), 2);
  EXPECT_GE(edge.ifthenelse(out.image()[0], 255).min(), 250);
}

// An opaque picture cut to a shape: resampling colour and alpha apart gives
// the alpha of premultiplied resampling (up to the lanczos ringing that 8-bit
// passes clip at the shape's edge), the same colour inside, and the
// picture's own colour at the rim; and the border drawn either way agrees.
TEST(ResizeSquareImage, ShapeOfOpaquePictureResamplesLikePremultiplied) {
  const auto absolute = [](const VImage& a, const VImage& b) {
    return (a.cast(VIPS_FORMAT_INT) - b).abs();
  };
  for (const char* type : {"circle", "hex"}) {
    SCOPED_TRACE(type);
    const Action preset = bordered(type, 12, "custom", "#20a0f0");
    auto mask = createMask({900, 910}, preset);
    ASSERT_TRUE(mask);
    auto shaped = applyMask(Raster(testing::gradient(900, 910)), *mask);
    ASSERT_TRUE(shaped);
    const Raster general = resizeSquareImage(*shaped, 300);
    const Raster apart = resizeSquareImage(*shaped, 300, AlphaKind::kShapeOfOpaque);
    ASSERT_EQ(apart.width(), 300);
    ASSERT_EQ(apart.height(), 300);
    ASSERT_EQ(apart.bands(), 4);
    EXPECT_EQ(apart.colorSpace(), general.colorSpace());
    const VImage alphaDifference = absolute(apart.image()[3], general.image()[3]);
    EXPECT_LE(alphaDifference.max(), 16);
    EXPECT_LT(alphaDifference.avg(), 0.3);
    const VImage opaque = general.image()[3] == 255;
    EXPECT_LE(opaque.ifthenelse(maxBandDifference(apart, general), 0).max(), 1);

    const Raster framedGeneral = applyBorder(general, preset);
    const Raster framedApart = applyBorder(apart, preset, AlphaKind::kShapeOfOpaque);
    ASSERT_EQ(framedApart.bands(), 4);
    EXPECT_LT(absolute(framedApart.image()[3], framedGeneral.image()[3]).avg(), 0.3);
    EXPECT_LT(maxBandDifference(framedApart, framedGeneral).avg(), 0.3);

    // One colour throughout: every visible pixel keeps it, the rim too.
    auto plain = applyMask(Raster(solid(900, 910, {200, 100, 50})), *mask);
    ASSERT_TRUE(plain);
    const Raster small = resizeSquareImage(*plain, 300, AlphaKind::kShapeOfOpaque);
    const VImage visible = small.image()[3] > 0;
    const VImage off = absolute(small.image().extract_band(0, VImage::option()->set("n", 3)),
                                solid(300, 300, {200, 100, 50}));
    EXPECT_LE(visible.ifthenelse(off, 0).max(), 1);
  }
}

TEST(ApplyBorder, SquareGetsAFrameAndThePictureShrinksInside) {
  const Raster in(solid(400, 400, {255, 255, 255}));
  const Raster out = applyBorder(in, bordered("square", 20, "black"));
  EXPECT_EQ(out.width(), 400);
  EXPECT_EQ(out.height(), 400);
  EXPECT_FALSE(out.hasAlpha());
  for (auto [x, y] : std::vector<std::pair<int, int>>{
           {0, 0}, {19, 200}, {380, 200}, {200, 19}, {200, 380}, {399, 399}})
    EXPECT_EQ(pixel(out, x, y), (std::vector<double>{0, 0, 0})) << x << "," << y;
  for (auto [x, y] : std::vector<std::pair<int, int>>{{20, 20}, {200, 200}, {379, 379}})
    EXPECT_EQ(pixel(out, x, y), (std::vector<double>{255, 255, 255})) << x << "," << y;
}

TEST(ApplyBorder, NoneScalesWidthAndHeightSeparately) {
  // 600 x 400 with 20: the picture is drawn into 560 x 360, so the halves
  // still meet at x = 300.
  const Raster out = applyBorder(halves(600, 400), bordered("none", 20, "custom", "#ffcc00"));
  EXPECT_EQ(out.width(), 600);
  EXPECT_EQ(out.height(), 400);
  EXPECT_EQ(pixel(out, 10, 200), (std::vector<double>{255, 204, 0}));
  EXPECT_EQ(pixel(out, 590, 390), (std::vector<double>{255, 204, 0}));
  EXPECT_EQ(pixel(out, 21, 200), (std::vector<double>{255, 0, 0}));
  EXPECT_EQ(pixel(out, 297, 200), (std::vector<double>{255, 0, 0}));
  EXPECT_EQ(pixel(out, 303, 200), (std::vector<double>{0, 0, 255}));
  EXPECT_EQ(pixel(out, 578, 21), (std::vector<double>{0, 0, 255}));
}

TEST(ApplyBorder, CircleIsARingAroundTheShrunkPicture) {
  const Action preset = bordered("circle", 15, "white");
  auto mask = createMask({600, 600}, preset);
  ASSERT_TRUE(mask);
  auto shaped = applyMask(Raster(solid(600, 600, {0, 0, 200})), *mask);
  ASSERT_TRUE(shaped);
  const Raster out = applyBorder(*shaped, preset);
  ASSERT_EQ(out.bands(), 4);
  auto at = [&](double radius, double degrees) {
    const double a = degrees * M_PI / 180;
    return pixel(out, static_cast<int>(300 + radius * std::cos(a)),
                 static_cast<int>(300 + radius * std::sin(a)));
  };
  for (double deg = 0; deg < 360; deg += 30) {
    EXPECT_EQ(at(292, deg), (std::vector<double>{255, 255, 255, 255})) << deg;
    EXPECT_EQ(at(270, deg), (std::vector<double>{0, 0, 200, 255})) << deg;
  }
  EXPECT_EQ(pixel(out, 0, 0)[3], 0);
  EXPECT_EQ(pixel(out, 599, 599)[3], 0);
  EXPECT_EQ(pixel(out, 60, 60)[3], 0);
}

TEST(ApplyBorder, PolygonRingFollowsTheRoundedOutline) {
  const Action preset = bordered("hex", 20, "black");
  auto mask = createMask({400, 400}, preset);
  ASSERT_TRUE(mask);
  auto shaped = applyMask(Raster(solid(400, 400, {255, 255, 255})), *mask);
  ASSERT_TRUE(shaped);
  const Raster out = applyBorder(*shaped, preset);
  // Across the middle row: transparent band, black ring, the white picture.
  EXPECT_EQ(pixel(out, 10, 200)[3], 0);
  EXPECT_EQ(pixel(out, 35, 200), (std::vector<double>{0, 0, 0, 255}));
  EXPECT_EQ(pixel(out, 200, 200), (std::vector<double>{255, 255, 255, 255}));
  EXPECT_EQ(pixel(out, 364, 200), (std::vector<double>{0, 0, 0, 255}));
  EXPECT_EQ(pixel(out, 390, 200)[3], 0);
}

TEST(ApplyBorder, WidthZeroOrNegativeReturnsTheInputAndHugeWidthsLeaveOnlyColour) {
  const Raster in = halves(300, 200);
  for (std::int64_t w : {0, -3}) {
    const Raster out = applyBorder(in, bordered("square", w, "black"));
    EXPECT_EQ(maxDifference(out, in), 0);
    EXPECT_EQ(out.bands(), 3);
  }
  const Raster wide = applyBorder(in, bordered("square", 100, "white"));
  EXPECT_EQ(wide.image().min(), 255);
  const Raster circle = applyBorder(in, bordered("circle", 1'000'000, "black"));
  EXPECT_EQ(pixel(circle, 150, 100), (std::vector<double>{0, 0, 0, 255}));
  EXPECT_EQ(pixel(circle, 0, 0)[3], 0);
}

TEST(ResizeAndBorder, KeepTheColourSpaceAndProfile) {
  VImage tagged = solid(500, 500, {10, 20, 30}).copy();
  const unsigned char profile[] = {1, 2, 3, 4, 5};
  vips_image_set_blob_copy(tagged.get_image(), VIPS_META_ICC_NAME, profile, sizeof profile);
  auto hasProfile = [&](const Raster& r) {
    if (r.image().get_typeof(VIPS_META_ICC_NAME) == 0) return false;
    size_t length = 0;
    r.image().get_blob(VIPS_META_ICC_NAME, &length);
    return length == sizeof profile;
  };
  const Raster resized = resizeSquareImage(Raster(tagged), 400);
  EXPECT_TRUE(hasProfile(resized));
  EXPECT_EQ(resized.colorSpace(), VIPS_INTERPRETATION_sRGB);
  auto mask = createMask({400, 400}, bordered("octo", 10, "black"));
  ASSERT_TRUE(mask);
  auto shaped = applyMask(resized, *mask);
  ASSERT_TRUE(shaped);
  const Raster framed = applyBorder(*shaped, bordered("octo", 10, "black"));
  EXPECT_TRUE(hasProfile(framed));
  EXPECT_EQ(framed.colorSpace(), VIPS_INTERPRETATION_sRGB);
  EXPECT_TRUE(hasProfile(applyBorder(resized, bordered("square", 10, "black"))));
  // A grey picture is drawn in sRGB.
  const Raster grey(VImage::black(100, 100) + 90);
  const Raster greyFramed = applyBorder(grey, bordered("square", 10, "black"));
  EXPECT_EQ(greyFramed.bands(), 3);
  EXPECT_EQ(pixel(greyFramed, 50, 50), (std::vector<double>{90, 90, 90}));
}

}  // namespace
}  // namespace kadro
