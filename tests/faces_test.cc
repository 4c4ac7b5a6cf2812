#include "SmartCrop/faces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "SmartCrop/blazeface_search.h"
#include "SmartCrop/crop.h"
#include "SmartCrop/diagnostics.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;

// libvips must be started before the first file is read (the loaders
// register then); starting it twice is harmless.
[[maybe_unused]] const bool g_vipsStarted = VIPS_INIT("kadro_tests") == 0;

// Pupils of the astronaut photo (512 x 512), marked by hand: the subject's
// right eye, then the left.
constexpr Point kAstronautRightEye{203, 100.6};
constexpr Point kAstronautLeftEye{246, 103.4};
constexpr Point kAstronautEyes{224.5, 102};
constexpr double kAstronautEyeDistance = 43;

Raster sample(const char* name) {
  LoadResult loaded = loadRaster(std::string(KADRO_SAMPLES_DIR) + "/" + name);
  EXPECT_TRUE(loaded.raster) << loaded.error;
  return *loaded.raster;
}

// Catches the diagnostic lines while it lives.
class CaughtLines {
 public:
  CaughtLines() { setDiagnosticStream(&out_); }
  ~CaughtLines() { setDiagnosticStream(nullptr); }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

const FaceModel& model() {
  static const FaceModel m = loadFaceModel(KADRO_TEST_MODEL);
  return m;
}

// Runs the detector with its diagnostic lines caught.
struct Detection {
  std::vector<FaceObservation> faces;
  std::string lines;
};

Detection detect(const Raster& image, bool skipGroups = false) {
  CaughtLines lines;
  Detection d{detectFaceWith(model(), image, skipGroups), ""};
  d.lines = lines.text();
  return d;
}

// The eye point of a face in pixel space.
Point eyePixel(const FaceObservation& face, const Raster& image) {
  const std::optional<Point> eye = averageEyeHeight(face);
  EXPECT_TRUE(eye);
  return pixelPoint(eye.value_or(Point{}), face.boundingBox, image.width(), image.height());
}

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

FaceObservation withEyes(std::optional<std::vector<Point>> left,
                         std::optional<std::vector<Point>> right) {
  FaceObservation f;
  f.landmarks = FaceLandmarks{std::move(left), std::move(right)};
  return f;
}

TEST(FaceCoordinates, PixelAndNormalisedImageSpaceAreMirroredVertically) {
  // A box 100 px from the top of a 400 px tall picture, 50 px high: its
  // lower edge is 250 px above the bottom.
  const Rect n = normalisedImageRect({60, 100, 80, 50}, 200, 400);
  EXPECT_DOUBLE_EQ(n.x, 0.3);
  EXPECT_DOUBLE_EQ(n.y, 0.625);
  EXPECT_DOUBLE_EQ(n.width, 0.4);
  EXPECT_DOUBLE_EQ(n.height, 0.125);
  const Rect back = pixelRect(n, 200, 400);
  EXPECT_DOUBLE_EQ(back.x, 60);
  EXPECT_DOUBLE_EQ(back.y, 100);
  EXPECT_DOUBLE_EQ(back.width, 80);
  EXPECT_DOUBLE_EQ(back.height, 50);
}

TEST(FaceCoordinates, FacePointsCountUpFromTheBoxsLowerLeftCorner) {
  const Rect box{60, 100, 80, 50};  // pixel space
  const Point p = normalisedFacePoint({80, 110}, box);
  EXPECT_DOUBLE_EQ(p.x, 0.25);
  EXPECT_DOUBLE_EQ(p.y, 0.8);
  const Point back = pixelPoint(p, normalisedImageRect(box, 200, 400), 200, 400);
  EXPECT_NEAR(back.x, 80, 1e-9);
  EXPECT_NEAR(back.y, 110, 1e-9);
  // The crop's own conversion agrees: its eye line is the point's y.
  const Rect crop = cropRectangle(200, 400, normalisedImageRect(box, 200, 400), p);
  EXPECT_NEAR(crop.y + 0.33 * crop.height, 110, 1e-9);
}

TEST(EyePoint, IsTheCentreOfTheBoxAroundBothEyes) {
  const auto both = withEyes(std::vector<Point>{{0.2, 0.6}, {0.4, 0.7}, {0.3, 0.65}},
                             std::vector<Point>{{0.6, 0.62}, {0.8, 0.68}});
  const auto eye = averageEyeHeight(both);
  ASSERT_TRUE(eye);
  EXPECT_NEAR(eye->x, 0.5, 1e-12);
  EXPECT_NEAR(eye->y, 0.65, 1e-12);

  const auto leftOnly = averageEyeHeight(withEyes(std::vector<Point>{{0.2, 0.6}, {0.4, 0.7}}, {}));
  ASSERT_TRUE(leftOnly);
  EXPECT_NEAR(leftOnly->x, 0.3, 1e-12);
  EXPECT_NEAR(leftOnly->y, 0.65, 1e-12);

  EXPECT_FALSE(averageEyeHeight(FaceObservation{}));
  EXPECT_FALSE(averageEyeHeight(withEyes({}, {})));
  EXPECT_FALSE(averageEyeHeight(withEyes(std::vector<Point>{}, std::vector<Point>{})));
  // The running maximum starts at 0, so all-negative coordinates end at 0.
  const auto negative = averageEyeHeight(withEyes(std::vector<Point>{{-0.4, 0.5}}, {}));
  ASSERT_TRUE(negative);
  EXPECT_NEAR(negative->x, -0.2, 1e-12);
}

TEST(FaceMerging, OverlappingBoxesBecomeOneWeightedByScore) {
  const FaceCandidate a{{0, 0, 100, 100}, {20, 30}, {80, 30}, 0.9};
  const FaceCandidate b{{10, 0, 100, 100}, {30, 30}, {90, 30}, 0.3};
  const FaceCandidate far{{500, 0, 100, 100}, {520, 30}, {580, 30}, 0.6};
  const auto merged = mergeCandidates({b, far, a}, 0.3);
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_DOUBLE_EQ(merged[0].score, 0.9);  // the best score, first
  EXPECT_NEAR(merged[0].box.x, 2.5, 1e-9);
  EXPECT_NEAR(merged[0].leftEye.x, 82.5, 1e-9);
  EXPECT_EQ(merged[1].box.x, 500);
  EXPECT_NEAR(overlapRatio(a.box, b.box), 9000.0 / 11000.0, 1e-12);
  EXPECT_EQ(overlapRatio(a.box, far.box), 0);
  EXPECT_EQ(overlapRatio(a.box, {0, 0, 0, 0}), 0);
}

TEST(FaceDetection, FindsTheAstronautWithTheEyesInPlace) {
  const Raster image = sample("astronaut.png");
  const Detection d = detect(image, /*skipGroups=*/true);
  ASSERT_EQ(d.faces.size(), 1u) << d.lines;
  EXPECT_EQ(d.lines.rfind("request results: [<face box=(", 0), 0u) << d.lines;
  EXPECT_NE(d.lines.find("]\nFound 1 faces\n"), std::string::npos) << d.lines;
  EXPECT_EQ(d.lines.find("Skipping"), std::string::npos);

  const FaceObservation& face = d.faces[0];
  EXPECT_GT(face.confidence, 0.5);
  const Rect box = pixelRect(face.boundingBox, image.width(), image.height());
  EXPECT_LT(box.x, kAstronautRightEye.x);
  EXPECT_GT(box.x + box.width, kAstronautLeftEye.x);
  EXPECT_LT(box.y, kAstronautEyes.y);
  EXPECT_GT(box.y + box.height, kAstronautEyes.y + 40);  // the mouth is inside too
  // One point per eye, the eye point between them.
  ASSERT_TRUE(face.landmarks && face.landmarks->leftEye && face.landmarks->rightEye);
  EXPECT_EQ(face.landmarks->leftEye->size(), 1u);
  const Point eye = eyePixel(face, image);
  EXPECT_GT(eye.x, kAstronautRightEye.x);
  EXPECT_LT(eye.x, kAstronautLeftEye.x);
  EXPECT_LT(distance(eye, kAstronautEyes), 0.15 * kAstronautEyeDistance);
  // The subject's left eye is on the picture's right.
  const Point left = pixelPoint(face.landmarks->leftEye->front(), face.boundingBox, 512, 512);
  EXPECT_LT(distance(left, kAstronautLeftEye), 0.25 * kAstronautEyeDistance);
}

TEST(FaceDetection, TheSquareCropPutsTheEyesAThirdBelowTheTop) {
  setFaceModelPath(KADRO_TEST_MODEL);
  const Raster image = sample("astronaut.png");
  CaughtLines lines;
  const std::vector<FaceObservation> faces = detectFace(image, true);
  ASSERT_EQ(faces.size(), 1u) << lines.text();
  const Rect r = cropRectangle(image.width(), image.height(), faces[0].boundingBox,
                               averageEyeHeight(faces[0]));
  // Judged against the hand-marked eyes, not the detected ones.
  EXPECT_NEAR((kAstronautEyes.y - r.y) / r.height, 0.33, 0.03);
  EXPECT_NEAR((kAstronautEyes.x - r.x) / r.width, 0.5, 0.04);
  EXPECT_GT(r.width, 2.5 * kAstronautEyeDistance);
  EXPECT_LT(r.width, 6 * kAstronautEyeDistance);
  const auto cut = cropImage(image, Action());
  ASSERT_TRUE(cut);
  // Widened to whole pixels: at most one more on each side.
  EXPECT_NEAR(cut->width(), r.width, 2);
}

TEST(FaceDetection, FindsTheCameramanInProfile) {
  const Raster image = sample("camera.png");  // one grey band
  const Detection d = detect(image);
  ASSERT_EQ(d.faces.size(), 1u) << d.lines;
  // The near eye is at about (235, 148); the far one hides behind the nose.
  const Point eye = eyePixel(d.faces[0], image);
  EXPECT_NEAR(eye.x, 243, 12);
  EXPECT_NEAR(eye.y, 147, 8);
}

TEST(FaceDetection, LargeAndTurnedPicturesGiveTheSameFace) {
  const Raster image = sample("astronaut.png");
  // Scaled to 4000 pixels.
  const double f = 4000.0 / 512;
  const Raster large(image.image().resize(f));
  Detection d = detect(large);
  ASSERT_EQ(d.faces.size(), 1u) << d.lines;
  EXPECT_LT(distance(eyePixel(d.faces[0], large), {kAstronautEyes.x * f, kAstronautEyes.y * f}),
            0.15 * kAstronautEyeDistance * f);

  // Turned 15 degrees about the centre, on a canvas that holds it all.
  const double a = 15 * M_PI / 180, c = std::cos(a), s = std::sin(a);
  const int side = static_cast<int>(std::ceil(512 * (c + s)));
  const Raster turned(
      image.image().affine({c, -s, s, c}, vips::VImage::option()
                                              ->set("oarea", std::vector<int>{0, 0, side, side})
                                              ->set("idx", -256.0)
                                              ->set("idy", -256.0)
                                              ->set("odx", side / 2.0)
                                              ->set("ody", side / 2.0)));
  const Point u{kAstronautEyes.x - 256, kAstronautEyes.y - 256};
  const Point expected{c * u.x - s * u.y + side / 2.0, s * u.x + c * u.y + side / 2.0};
  d = detect(turned);
  ASSERT_EQ(d.faces.size(), 1u) << d.lines;
  EXPECT_LT(distance(eyePixel(d.faces[0], turned), expected), 0.15 * kAstronautEyeDistance);
}

TEST(FaceDetection, OtherPixelFormatsAreReadAlike) {
  const vips::VImage rgb = sample("astronaut.png").image();
  const Raster withAlpha(rgb.bandjoin_const({255}));
  const Raster deep(
      (rgb.cast(VIPS_FORMAT_USHORT) * 257)
          .cast(VIPS_FORMAT_USHORT)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16)));
  const Raster cmyk(rgb.colourspace(VIPS_INTERPRETATION_CMYK));
  for (const Raster& image : {withAlpha, deep, cmyk}) {
    const Detection d = detect(image);
    ASSERT_EQ(d.faces.size(), 1u) << d.lines;
    EXPECT_LT(distance(eyePixel(d.faces[0], image), kAstronautEyes), 0.15 * kAstronautEyeDistance);
  }
}

TEST(FaceDetection, TwoFacesSideBySideAreAGroupAndNotCropped) {
  const vips::VImage one = sample("astronaut.png").image();
  const Raster pair(one.join(one, VIPS_DIRECTION_HORIZONTAL));
  Detection d = detect(pair, /*skipGroups=*/false);
  ASSERT_EQ(d.faces.size(), 2u) << d.lines;
  EXPECT_NE(d.lines.find("Found 2 faces"), std::string::npos);
  EXPECT_EQ(d.lines.find("Skipping groups"), std::string::npos);
  std::vector<double> eyeX;
  for (const FaceObservation& f : d.faces) eyeX.push_back(eyePixel(f, pair).x);
  std::sort(eyeX.begin(), eyeX.end());
  EXPECT_NEAR(eyeX[0], kAstronautEyes.x, 8);
  EXPECT_NEAR(eyeX[1], kAstronautEyes.x + 512, 8);

  // The second person's head tilted: a face beside a sure one must hold
  // up to looks turned both ways from its own level, not from the picture's.
  const vips::VImage tilted =
      one.rotate(25, vips::VImage::option()->set("background", std::vector<double>{128}))
          .extract_area(60, 60, 512, 512);
  EXPECT_EQ(detect(Raster(one.join(tilted, VIPS_DIRECTION_HORIZONTAL).copy_memory())).faces.size(),
            2u);

  d = detect(pair, /*skipGroups=*/true);
  EXPECT_TRUE(d.faces.empty());
  EXPECT_NE(d.lines.find("Found 2 faces\nSkipping groups\n"), std::string::npos) << d.lines;
  setFaceModelPath(KADRO_TEST_MODEL);
  CaughtLines lines;
  EXPECT_FALSE(cropImage(pair, Action()));
}

TEST(FaceDetection, APictureWithoutAFaceIsNotCropped) {
  // The astronaut's suit and helmet below the face, and a flat grey picture.
  const Raster suit(sample("astronaut.png").image().extract_area(0, 250, 512, 262));
  const Raster grey(vips::VImage::black(300, 200, vips::VImage::option()->set("bands", 3)) + 128);
  // Strips shrink to a pixel across, not to nothing.
  const Raster strip(vips::VImage::black(1, 3000) + 200);
  const Raster dot(vips::VImage::black(1, 1));
  for (const Raster& image : {suit, grey, strip, dot}) {
    const Detection d = detect(image);
    EXPECT_TRUE(d.faces.empty()) << d.lines;
    EXPECT_EQ(d.lines, "request results: []\nFound 0 faces\n");
  }
  setFaceModelPath(KADRO_TEST_MODEL);
  CaughtLines lines;
  EXPECT_FALSE(cropImage(suit, Action()));
}

TEST(FaceDetection, OnlyAFarSmallerFaceBesideTheMainOneIsNoGroup) {
  // A poster-sized copy in the corner of a large portrait: 0.15 of the main
  // face's width, found on its own, left out beside the main face.
  const vips::VImage big = sample("astronaut.png").image().resize(2000.0 / 512).copy_memory();
  const vips::VImage poster = big.reduce(1 / 0.15, 1 / 0.15).copy_memory();
  const Raster both(big.insert(poster, 20, 20).copy_memory());
  const Detection d = detect(both);
  ASSERT_EQ(d.faces.size(), 1u) << d.lines;
  EXPECT_GT(pixelRect(d.faces[0].boundingBox, 2000, 2000).width, 300);
  const Raster alone(poster.embed(0, 0, 600, 600));
  EXPECT_EQ(detect(alone).faces.size(), 1u);
  // Two fifths as wide is still someone in the picture.
  const Raster nearer(big.insert(big.reduce(2.5, 2.5), 20, 20).copy_memory());
  EXPECT_EQ(detect(nearer).faces.size(), 2u);
}

// The astronaut's face, its box and eyes, where a picture made from the
// sample photo put it.
struct Placed {
  Raster picture;
  Point eyes;          // hand-marked eye point, moved with the photo
  double eyeDistance;  // in the picture's pixels
};

// The sample photo scaled by `scale` and laid at (x, y) on a field of soft
// noise `width` x `height`: nothing there looks like a face.
Placed pasted(double scale, int width, int height, int x, int y) {
  const vips::VImage photo = sample("astronaut.png").image();
  const vips::VImage noise =
      vips::VImage::gaussnoise(width / 16 + 1, height / 16 + 1,
                               vips::VImage::option()->set("sigma", 30.0)->set("seed", 7))
          .resize(16)
          .extract_area(0, 0, width, height);
  const vips::VImage field =
      vips::VImage::bandjoin({noise + 120, noise * 0.8 + 110, noise + 90})
          .cast(VIPS_FORMAT_UCHAR)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  const vips::VImage small = scale == 1 ? photo : photo.resize(scale);
  return {Raster(field.insert(small, x, y).copy_memory()),
          {x + kAstronautEyes.x * scale, y + kAstronautEyes.y * scale},
          kAstronautEyeDistance * scale};
}

TEST(FaceSearch, AFaceFoundAtOneScaleIsFoundAtEveryScaleItCounts) {
  // From a face filling a third of a small picture to one 7 % of a large
  // picture's long side, where the fine pass must find it.
  struct Case {
    double scale;
    int width, height, x, y;
  };
  for (const Case& c :
       {Case{0.6, 320, 320, 10, 5}, Case{1.0, 900, 700, 300, 100}, Case{2.0, 1400, 1100, 200, 40},
        Case{0.9, 1700, 1300, 900, 500}, Case{1.2, 2000, 1500, 200, 700}}) {
    const Placed p = pasted(c.scale, c.width, c.height, c.x, c.y);
    const Detection d = detect(p.picture, /*skipGroups=*/true);
    ASSERT_EQ(d.faces.size(), 1u) << "scale " << c.scale << " in " << c.width << "\n" << d.lines;
    EXPECT_LT(distance(eyePixel(d.faces[0], p.picture), p.eyes), 0.15 * p.eyeDistance)
        << "scale " << c.scale;
    EXPECT_GT(d.faces[0].confidence, 0.8);
  }
}

TEST(FaceSearch, AFaceOfThreeToFivePercentOfALargePictureIsFound) {
  // Nothing else in the picture is sure, so the search looks closer; the
  // faces are 60 to 100 px wide in 2000 px.
  for (const double scale : {0.6, 0.8, 1.0}) {
    const Placed p = pasted(scale, 2000, 1400, 1300, 900);
    const Detection d = detect(p.picture, /*skipGroups=*/true);
    ASSERT_EQ(d.faces.size(), 1u) << "scale " << scale << "\n" << d.lines;
    EXPECT_LT(distance(eyePixel(d.faces[0], p.picture), p.eyes), 0.15 * p.eyeDistance)
        << "scale " << scale;
  }
}

TEST(FaceSearch, AFaintGrainySecondPersonBesideASmallFaceLeavesThePicture) {
  // Two people, each face about 4 % of the long side; the second washed out
  // and grainy, as on an old print. Cropping around the clear one would be
  // a wrong crop.
  const vips::VImage photo = sample("astronaut.png").image().resize(0.8);
  const vips::VImage grain = vips::VImage::gaussnoise(
      photo.width(), photo.height(),
      vips::VImage::option()->set("sigma", 18.0)->set("mean", 0.0)->set("seed", 3));
  const vips::VImage washed =
      (photo.cast(VIPS_FORMAT_FLOAT) * 0.4 + 120 + vips::VImage::bandjoin({grain, grain, grain}))
          .cast(VIPS_FORMAT_UCHAR)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  const Placed field = pasted(0.8, 2000, 1400, 500, 500);
  const Raster both(field.picture.image().insert(washed, 900, 520).copy_memory());
  Detection d = detect(both, /*skipGroups=*/false);
  EXPECT_GE(d.faces.size(), 2u) << d.lines;
  d = detect(both, /*skipGroups=*/true);
  EXPECT_TRUE(d.faces.empty()) << d.lines;
}

TEST(FaceSearch, AFaceFoundUprightIsFoundTurnedTwentyDegreesEitherWay) {
  const Placed p = pasted(1.0, 900, 700, 200, 100);
  for (const double degrees : {-20.0, 20.0}) {
    const Raster turned(
        p.picture.image().similarity(vips::VImage::option()->set("angle", degrees)));
    const Detection d = detect(turned);
    ASSERT_EQ(d.faces.size(), 1u) << degrees << "\n" << d.lines;
  }
}

TEST(FaceSearch, AOneBandPictureMarkedAsColourIsReadAsGrey) {
  // One band that claims to be sRGB: copied into all three, not joined twice.
  const vips::VImage grey = sample("astronaut.png").image().colourspace(VIPS_INTERPRETATION_B_W);
  const Raster odd(
      grey.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)));
  const Detection d = detect(odd);
  ASSERT_EQ(d.faces.size(), 1u) << d.lines;
  EXPECT_LT(distance(eyePixel(d.faces[0], odd), kAstronautEyes), 0.15 * kAstronautEyeDistance);
}

TEST(FaceSearch, TheNetworkRunsOnAnyInputOfWholeStrides) {
  const FaceModel& m = model();
  ASSERT_TRUE(m.model);
  const vips::VImage photo = sample("astronaut.png").image();
  // 512 x 384: the photo at full size, its lower part cut off; the face must
  // come out where it is, as on a 256 x 256 square of the same scale.
  const vips::VImage wide = photo.extract_area(0, 0, 512, 384);
  bool found = false;
  for (const BlazeFaceDetection& d : m.model->detect(wide, 0.75)) {
    found = found || (distance(d.keypoints[kRightEye], kAstronautRightEye) < 8 &&
                      distance(d.keypoints[kLeftEye], kAstronautLeftEye) < 8);
  }
  EXPECT_TRUE(found);
  // Sides that are not whole strides, and other pixel formats, give nothing.
  EXPECT_TRUE(m.model->detect(photo.extract_area(0, 0, 500, 384), 0.5).empty());
  EXPECT_TRUE(m.model->detect(photo.extract_band(0).extract_area(0, 0, 256, 256), 0.5).empty());
  // The same network still answers at the trained size afterwards.
  EXPECT_FALSE(m.model->detect(photo.resize(0.5), 0.75).empty());
}

TEST(FaceSearch, PassesThatCannotChangeTheAnswerAreSkipped) {
  const FaceModel& m = model();
  ASSERT_TRUE(m.model);
  // A face a third of the picture wide: no face that counts beside it can
  // be below the coarse pass's reach, so the coarse pass and one quick look
  // decide.
  const vips::VImage portrait = sample("astronaut.png").image().extract_area(100, 0, 300, 300);
  SearchCost cost;
  EXPECT_EQ(searchFaces(*m.model, portrait, SearchOptions{}, &cost).size(), 1u);
  EXPECT_EQ(cost.networkRuns, 2);
  // Two such faces: when the crop only needs to know it is a group, no
  // closer pass runs; when every face is wanted, it does.
  const vips::VImage one = sample("astronaut.png").image();
  const vips::VImage pair = one.join(one, VIPS_DIRECTION_HORIZONTAL).resize(0.5);
  SearchOptions crop;
  crop.countAll = false;
  SearchCost forCrop, forAll;
  EXPECT_EQ(searchFaces(*m.model, pair, crop, &forCrop).size(), 2u);
  EXPECT_EQ(searchFaces(*m.model, pair, SearchOptions{}, &forAll).size(), 2u);
  EXPECT_EQ(forCrop.fine, 0);
  EXPECT_LT(forCrop.networkRuns, forAll.networkRuns);
}

TEST(FaceSearch, InputsOfOtherShapesBetweenTwoRunsChangeNothing) {
  // Square close looks and whole passes of other shapes take turns; each
  // answer must be what the input alone gives.
  const FaceModel& m = model();
  ASSERT_TRUE(m.model);
  const vips::VImage photo = sample("astronaut.png").image();
  const vips::VImage square = photo.resize(0.25).copy_memory();  // 128 x 128
  const vips::VImage wide = photo.extract_area(0, 0, 512, 384).copy_memory();
  const vips::VImage big = photo.resize(0.5).copy_memory();  // 256 x 256
  auto same = [](const std::vector<BlazeFaceDetection>& a,
                 const std::vector<BlazeFaceDetection>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (std::abs(a[i].score - b[i].score) > 1e-5 || distance(a[i].centre, b[i].centre) > 1e-3)
        return false;
    return true;
  };
  const auto firstSquare = m.model->detect(square, 0.5);
  const auto firstWide = m.model->detect(wide, 0.5);
  const auto firstBig = m.model->detect(big, 0.5);
  ASSERT_FALSE(firstSquare.empty());
  ASSERT_FALSE(firstWide.empty());
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(same(m.model->detect(big, 0.5), firstBig));
    EXPECT_TRUE(same(m.model->detect(wide, 0.5), firstWide));
    EXPECT_TRUE(same(m.model->detect(square, 0.5), firstSquare));
  }
}

TEST(FaceSearch, ThreadsDetectingAtOnceGetWhatEachGetsAlone) {
  // Passes of the same shape and of many shapes, more than the detector
  // keeps networks for, run at once from three threads: no network may
  // serve two passes at once, nor keep anything from one pass to the next.
  const FaceModel& m = model();
  ASSERT_TRUE(m.model);
  const vips::VImage photo = sample("astronaut.png").image();
  std::vector<vips::VImage> inputs;
  for (int side = 64; side <= 256; side += 32)
    inputs.push_back(photo.resize(side / 512.0).copy_memory());
  for (int h = 96; h <= 512; h += 96)
    inputs.push_back(photo.extract_area(0, 0, 512, h).copy_memory());
  std::vector<std::vector<BlazeFaceDetection>> alone;
  for (const vips::VImage& in : inputs) alone.push_back(m.model->detect(in, 0.5));
  auto same = [](const std::vector<BlazeFaceDetection>& a,
                 const std::vector<BlazeFaceDetection>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (a[i].score != b[i].score || a[i].centre.x != b[i].centre.x ||
          a[i].centre.y != b[i].centre.y || a[i].size.width != b[i].size.width)
        return false;
    return true;
  };
  std::vector<int> differing(3, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2; ++round)
        for (std::size_t k = 0; k < inputs.size(); ++k) {
          const std::size_t i = (k + t * 3) % inputs.size();
          if (!same(m.model->detect(inputs[i], 0.5), alone[i])) ++differing[t];
        }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(differing, std::vector<int>(3, 0));
  EXPECT_FALSE(alone.back().empty());
}

FaceCandidate candidate(Rect box, double score, bool sure) {
  const Point right{box.x + 0.3 * box.width, box.y + 0.4 * box.height};
  const Point left{box.x + 0.7 * box.width, box.y + 0.4 * box.height};
  return {box, right, left, score, sure};
}

TEST(FaceDecision, AnUnsureSecondFaceMakesAGroupButNeverAPortrait) {
  const SearchOptions options;
  const FaceCandidate main = candidate({100, 100, 200, 200}, 0.95, true);
  const FaceCandidate maybe = candidate({600, 120, 150, 150}, 0.7, false);
  // Beside a sure face, the doubt leaves the picture uncropped.
  std::vector<FaceCandidate> faces = decideFaces({maybe, main}, options);
  ASSERT_EQ(faces.size(), 2u);
  EXPECT_TRUE(faces[0].sure);  // sure faces first
  EXPECT_FALSE(faces[1].sure);
  // Alone it is no face at all: a picture is never cropped around a doubt.
  EXPECT_TRUE(decideFaces({maybe}, options).empty());
  EXPECT_TRUE(decideFaces({maybe, candidate({900, 100, 160, 160}, 0.75, false)}, options).empty());
  // A doubt that is part of the sure face (the model half-seeing it, its
  // eyes inside the face) is that face.
  const FaceCandidate half = candidate({220, 110, 200, 200}, 0.7, false);
  EXPECT_EQ(decideFaces({main, half}, options).size(), 1u);
}

TEST(FaceDecision, FacesFarNarrowerThanTheWidestSureFaceAreLeftOut) {
  const SearchOptions options;  // a third of the widest sure face's width
  const FaceCandidate main = candidate({100, 100, 400, 400}, 0.95, true);
  // A poster or a passer-by far behind the subject: under a third as wide,
  // sure or not.
  EXPECT_EQ(decideFaces({main, candidate({700, 50, 90, 90}, 0.97, true)}, options).size(), 1u);
  EXPECT_EQ(decideFaces({main, candidate({700, 50, 125, 125}, 0.97, true)}, options).size(), 1u);
  EXPECT_EQ(decideFaces({main, candidate({700, 50, 125, 125}, 0.7, false)}, options).size(), 1u);
  // A third as wide and more is someone else in the picture.
  EXPECT_EQ(decideFaces({main, candidate({700, 50, 140, 140}, 0.9, true)}, options).size(), 2u);
  EXPECT_EQ(decideFaces({main, candidate({700, 50, 140, 140}, 0.65, false)}, options).size(), 2u);
  // An unsure face does not set the measure: beside a wide doubt, a small
  // sure face still stands, and the picture is a group.
  const FaceCandidate wideDoubt = candidate({600, 100, 500, 500}, 0.7, false);
  const FaceCandidate small = candidate({100, 100, 100, 100}, 0.9, true);
  EXPECT_EQ(decideFaces({wideDoubt, small}, options).size(), 2u);
}

TEST(FaceModelLoading, AMissingOrDamagedModelGivesTheErrorLineAndNoFaces) {
  const fs::path dir = fs::temp_directory_path() / "kadro_faces_test";
  fs::create_directories(dir);
  {
    // Half of the real model, and a text file.
    std::ifstream in(KADRO_TEST_MODEL, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(dir / "half.onnx", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    std::ofstream(dir / "text.onnx") << "not a model\n";
  }
  const Raster image = sample("astronaut.png");
  for (const fs::path& path : {dir / "missing.onnx", dir / "half.onnx", dir / "text.onnx", dir}) {
    const FaceModel broken = loadFaceModel(path.string());
    EXPECT_FALSE(broken.model) << path;
    EXPECT_NE(broken.error.find(path.string()), std::string::npos) << broken.error;
    CaughtLines lines;
    EXPECT_TRUE(detectFaceWith(broken, image, false).empty());
    EXPECT_EQ(lines.text(), "! error in face detection " + broken.error + "\n");
  }
  fs::remove_all(dir);
}

TEST(FaceModelLoading, TheProcessModelComesFromTheChosenPathOnce) {
  // In a fresh process of its own: the model is loaded once per process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setFaceModelPath("/nonexistent/model.onnx");
        const Raster image = sample("astronaut.png");
        CaughtLines lines;
        const bool firstEmpty = detectFace(image, false).empty();
        // Too late to change: the process keeps the model it tried first.
        setFaceModelPath(KADRO_TEST_MODEL);
        const bool secondEmpty = detectFace(image, false).empty();
        const std::string line =
            "! error in face detection no face model at /nonexistent/model.onnx\n";
        std::exit(firstEmpty && secondEmpty && lines.text() == line + line ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(FaceModelLoading, ConcurrentFirstUseLoadsOneModelForAll) {
  setFaceModelPath(KADRO_TEST_MODEL);
  const Raster image = sample("astronaut.png");
  CaughtLines lines;
  std::vector<std::size_t> counts(3);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < counts.size(); ++i)
    threads.emplace_back([&, i] { counts[i] = detectFace(image, true).size(); });
  for (std::thread& t : threads) t.join();
  for (std::size_t n : counts) EXPECT_EQ(n, 1u);
}

}  // namespace
}  // namespace kadro
