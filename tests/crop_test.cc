#include "SmartCrop/crop.h"

#include <gtest/gtest.h>

namespace kadro {
namespace {

void expectRect(const Rect& actual, const Rect& expected, double tolerance = 1e-9) {
  EXPECT_NEAR(actual.x, expected.x, tolerance);
  EXPECT_NEAR(actual.y, expected.y, tolerance);
  EXPECT_NEAR(actual.width, expected.width, tolerance);
  EXPECT_NEAR(actual.height, expected.height, tolerance);
}

Raster grey(int width, int height) {
  return Raster(vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + 128);
}

FaceDetector oneFace(Rect box, std::optional<std::vector<Point>> leftEye = std::nullopt,
                     std::optional<std::vector<Point>> rightEye = std::nullopt) {
  return [=](const Raster&, bool) {
    FaceObservation f;
    f.boundingBox = box;
    if (leftEye || rightEye) f.landmarks = FaceLandmarks{leftEye, rightEye};
    return std::vector<FaceObservation>{f};
  };
}

TEST(CropGeometry, WorkedExamples) {
  const Rect box{0.4, 0.5, 0.1, 0.15};
  expectRect(cropRectangle(4000, 3000, box, Point{0.5, 0.6}), {1395, 962.7, 810, 810}, 1e-6);
  expectRect(cropRectangle(4000, 3000, box, std::nullopt), {1262.5, 855, 1075, 1050}, 1e-6);
  const Rect big{0.3, 0.1, 0.5, 0.8};
  expectRect(cropRectangle(600, 400, big, Point{0.5, 0.6}), {130, 0, 400, 400}, 1e-6);
  expectRect(cropRectangle(600, 400, big, std::nullopt), {0, 0, 780, 770}, 1e-6);
}

TEST(CropGeometry, CutsWidenToWholePixelsAndClipToThePicture) {
  const Rect box{0.4, 0.5, 0.1, 0.15};
  const Raster image = grey(4000, 3000);
  auto eyes = cropImage(image, Action(),
                        oneFace(box, {{{0.4, 0.6}, {0.45, 0.6}}}, {{{0.55, 0.6}, {0.6, 0.6}}}));
  ASSERT_TRUE(eyes);
  EXPECT_EQ(eyes->width(), 810);
  EXPECT_EQ(eyes->height(), 811);
  auto grown = cropImage(image, Action(), oneFace(box));
  ASSERT_TRUE(grown);
  EXPECT_EQ(grown->width(), 1076);
  EXPECT_EQ(grown->height(), 1050);
  // Grown larger than the picture both ways: the whole picture.
  auto whole = cropImage(grey(600, 400), Action(), oneFace({0.3, 0.1, 0.5, 0.8}));
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->width(), 600);
  EXPECT_EQ(whole->height(), 400);
}

TEST(CropGeometry, EdgeFacesAreMovedInsideKeepingTheSide) {
  // Near the left edge: moved right to x = 0.
  Rect left = cropRectangle(1000, 800, {0.0, 0.4, 0.1, 0.2}, Point{0.5, 0.6});
  EXPECT_EQ(left.x, 0);
  EXPECT_NEAR(left.width, 3 * 0.6 * 160, 1e-9);
  // Near the bottom of a landscape picture: bottom edge on the picture's.
  Rect bottom = cropRectangle(1000, 600, {0.45, 0.0, 0.1, 0.1}, Point{0.5, 0.6});
  EXPECT_NEAR(bottom.y + bottom.height, 600, 1e-9);
  // A big face in a small portrait picture: as wide as the picture.
  Rect big = cropRectangle(300, 500, {0.1, 0.2, 0.8, 0.6}, Point{0.5, 0.6});
  EXPECT_EQ(big.width, 300);
  EXPECT_EQ(big.x, 0);
}

TEST(CropGeometry, NoEyeGrowthUsesTheOtherDimension) {
  // fw = 400, fh = 450 pixels on a 4000 x 3000 picture.
  Rect r = cropRectangle(4000, 3000, {0.4, 0.4, 0.1, 0.15}, std::nullopt);
  EXPECT_NEAR(r.width, 1075, 1e-9);
  EXPECT_NEAR(r.height, 1050, 1e-9);
}

TEST(CropImage, NoneTypePassesThroughWithoutDetection) {
  bool asked = false;
  FaceDetector spy = [&](const Raster&, bool) {
    asked = true;
    return std::vector<FaceObservation>{};
  };
  const Raster image = grey(640, 480);
  auto out = cropImage(image, Action("x", "none", 400), spy);
  ASSERT_TRUE(out);
  EXPECT_FALSE(asked);
  EXPECT_EQ(out->width(), 640);
  EXPECT_EQ(out->height(), 480);
}

TEST(CropImage, NoFaceOrAGroupIsNotCropped) {
  const Raster image = grey(640, 480);
  FaceDetector none = [](const Raster&, bool) { return std::vector<FaceObservation>{}; };
  FaceDetector two = [](const Raster&, bool skip) {
    return skip ? std::vector<FaceObservation>{} : std::vector<FaceObservation>(2);
  };
  FaceDetector ignoresSkip = [](const Raster&, bool) { return std::vector<FaceObservation>(2); };
  for (const char* type : {"square", "circle", "hex", "octo", "Square", "trapezoid"}) {
    const Action preset("p", type, 400);
    EXPECT_FALSE(cropImage(image, preset, none)) << type;
    EXPECT_FALSE(cropImage(image, preset, two)) << type;
    EXPECT_FALSE(cropImage(image, preset, ignoresSkip)) << type;
  }
}

}  // namespace
}  // namespace kadro
