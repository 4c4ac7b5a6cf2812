#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Plugin/file_url.h"
#include "SmartCrop/border.h"
#include "SmartCrop/crop.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/image_io.h"
#include "SmartCrop/masks.h"
#include "SmartCrop/resize.h"
#include "SmartCrop/smart_crop.h"
#include "tests/image_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::gradient;
using testing::reload;
using testing::withDpi;
using vips::VImage;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

FaceObservation face(Rect box, std::optional<Point> eyes = Point{0.5, 0.6}) {
  FaceObservation f;
  f.boundingBox = box;
  if (eyes) f.landmarks = FaceLandmarks{{{*eyes}}, {{*eyes}}};
  return f;
}

FaceDetector finds(std::vector<FaceObservation> faces, int* calls = nullptr,
                   int* seenWidth = nullptr) {
  return [=](const Raster& image, bool skipGroups) {
    EXPECT_TRUE(skipGroups);
    if (calls) ++*calls;
    if (seenWidth) *seenWidth = image.width();
    return faces;
  };
}

// The face of the crop geometry's worked example: on 4000 x 3000 the cut is
// (1395, 962, 810, 811).
const FaceObservation kFace = face({0.4, 0.5, 0.1, 0.15});

Action preset(const std::string& type, std::int64_t maxSize, bool border = false,
              std::int64_t width = 0, const std::string& colour = "white",
              const std::string& custom = "#333333") {
  return Action("", type, maxSize, border, width, colour, custom);
}

void expectNear(const std::vector<double>& actual, const std::vector<double>& expected,
                double tolerance, const std::string& where) {
  ASSERT_GE(actual.size(), expected.size()) << where;
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_NEAR(actual[i], expected[i], tolerance) << where << " band " << i;
}

class ImageJob : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kadro-job-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setDiagnosticStream(&log_);
  }
  void TearDown() override {
    setDiagnosticStream(nullptr);
    fs::remove_all(dir_);
  }
  std::string file(const std::string& name) const { return dir_ / name; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The 4000 x 3000 gradient as a JPEG, made once per test that asks.
  std::string bigJpeg() {
    const std::string path = file("big.jpg");
    if (!fs::exists(path)) gradient(4000, 3000).jpegsave(path.c_str());
    return path;
  }

  fs::path dir_;
  std::ostringstream log_;
};

TEST_F(ImageJob, NoneTakesTheWholePictureWithoutDetection) {
  const VImage source = gradient(600, 400);
  source.pngsave(file("in.png").c_str());
  int calls = 0;
  ASSERT_TRUE(
      processImage(file("in.png"), file("plain.png"), preset("none", 100), finds({kFace}, &calls)));
  const VImage plain = reload(file("plain.png"));
  EXPECT_EQ(plain.width(), 600);
  EXPECT_EQ(plain.height(), 400);
  EXPECT_EQ((plain - source).abs().max(), 0);

  // With a border: the same size, a frame, the picture drawn into 560 x 360.
  ASSERT_TRUE(processImage(file("in.png"), file("framed.png"),
                           preset("none", 100, true, 20, "custom", "#991111"),
                           finds({kFace}, &calls)));
  const VImage framed = reload(file("framed.png"));
  EXPECT_EQ(framed.width(), 600);
  EXPECT_EQ(framed.height(), 400);
  EXPECT_EQ(framed.getpoint(10, 200), (std::vector<double>{0x99, 0x11, 0x11}));
  EXPECT_EQ(framed.getpoint(590, 10), (std::vector<double>{0x99, 0x11, 0x11}));
  expectNear(framed.getpoint(300, 200), source.getpoint(300, 200), 2, "centre");
  EXPECT_EQ(calls, 0);
}

TEST_F(ImageJob, OneFaceIsCutAroundTheEyesAndResized) {
  const std::string big = bigJpeg();
  int seenWidth = 0;
  ASSERT_TRUE(processImage(big, file("400.png"), preset("square", 400),
                           finds({kFace}, nullptr, &seenWidth)));
  // The detector saw a reduced copy.
  EXPECT_LT(seenWidth, 4000);
  EXPECT_GE(seenWidth, 1000);
  const VImage small = reload(file("400.png"));
  ASSERT_EQ(small.width(), 400);
  ASSERT_EQ(small.height(), 400);
  EXPECT_EQ(small.bands(), 3);
  // Corners of the cut (1395, 962, 810, 811), in gradient values.
  auto expected = [](double x, double y) {
    return std::vector<double>{x * 255 / 4000, y * 255 / 3000, 80};
  };
  expectNear(small.getpoint(2, 2), expected(1395 + 2 * 2.025, 962 + 2 * 2.03), 2, "top left");
  expectNear(small.getpoint(397, 397), expected(1395 + 397 * 2.025, 962 + 397 * 2.03), 2,
             "bottom right");

  // A larger maximum takes the cut at full resolution: 810 x 811 -> 810.
  ASSERT_TRUE(processImage(big, file("810.png"), preset("square", 1000), finds({kFace})));
  const VImage full = reload(file("810.png"));
  ASSERT_EQ(full.width(), 810);
  ASSERT_EQ(full.height(), 810);
  expectNear(full.getpoint(1, 1), expected(1396, 963), 2, "top left");
  expectNear(full.getpoint(808, 808), expected(1395 + 808, 962 + 809), 2, "bottom right");

  // The border frames the resized cut.
  ASSERT_TRUE(processImage(big, file("framed.jpg"), preset("square", 400, true, 2, "black"),
                           finds({kFace})));
  const VImage framed = reload(file("framed.jpg"));
  EXPECT_EQ(framed.width(), 400);
  EXPECT_LT(framed.extract_area(0, 0, 400, 1).max(), 30);
  expectNear(framed.getpoint(200, 200), small.getpoint(200, 200), 4, "centre");
}

TEST_F(ImageJob, ShapedPresetsAreMaskedResizedAndFramed) {
  const std::string big = bigJpeg();
  ASSERT_TRUE(processImage(big, file("circle.png"), preset("circle", 600, true, 15, "white"),
                           finds({kFace})));
  const VImage circle = reload(file("circle.png"));
  ASSERT_EQ(circle.width(), 600);
  ASSERT_EQ(circle.height(), 600);
  ASSERT_EQ(circle.bands(), 4);
  EXPECT_EQ(circle.getpoint(0, 0)[3], 0);
  EXPECT_EQ(circle.getpoint(599, 599)[3], 0);
  EXPECT_EQ(circle.getpoint(300, 8), (std::vector<double>{255, 255, 255, 255}));
  EXPECT_EQ(circle.getpoint(300, 300)[3], 255);
  EXPECT_LT(circle.getpoint(300, 300)[0], 200);

  ASSERT_TRUE(processImage(big, file("hex.png"), preset("hex", 144, true, 2, "custom", "#ffcc00"),
                           finds({kFace})));
  const VImage hex = reload(file("hex.png"));
  ASSERT_EQ(hex.width(), 144);
  EXPECT_EQ(hex.getpoint(2, 72)[3], 0);
  EXPECT_EQ(hex.getpoint(72, 72)[3], 255);

  // The same to a JPEG: no alpha; the corners become black.
  ASSERT_TRUE(processImage(big, file("circle.jpg"), preset("circle", 400), finds({kFace})));
  const VImage flat = reload(file("circle.jpg"));
  EXPECT_EQ(flat.bands(), 3);
  EXPECT_LT(flat.extract_area(0, 0, 20, 20).max(), 20);
}

TEST_F(ImageJob, ReducedDecodingGivesWhatTheNaturalSizeStepsGive) {
  const std::string big = bigJpeg();
  std::string error;
  auto source = ImageSource::open(big, &error);
  ASSERT_TRUE(source) << error;
  const Raster natural = source->decode(1, false);
  // The hexagon's cut comes from the copy decoded at 1/2 for the detector,
  // the large circle's from the full resolution; the square's border has no
  // mask, and the small circle has no border.
  for (const Action& shape :
       {preset("hex", 200, true, 40, "custom", "#ffcc00"), preset("circle", 600, true, 15, "white"),
        preset("square", 300, true, 10, "black"), preset("circle", 150)}) {
    SCOPED_TRACE(shape.type + " " + std::to_string(shape.maxSize));
    // The steps by hand on the picture at its natural size...
    auto cut = cropImage(natural, shape, finds({kFace}));
    ASSERT_TRUE(cut);
    std::optional<Raster> shaped = *cut;
    if (auto mask = createMask({double(cut->width()), double(cut->height())}, shape))
      shaped = applyMask(*cut, *mask);
    ASSERT_TRUE(shaped);
    Raster expected = resizeSquareImage(*shaped, shape.maxSize);
    if (shape.borderEnabled) expected = applyBorder(expected, shape);
    // ... and the job.
    ASSERT_TRUE(processImage(big, file("out.png"), shape, finds({kFace})));
    const VImage job = reload(file("out.png"));
    ASSERT_EQ(job.width(), shape.maxSize);
    ASSERT_EQ(job.height(), shape.maxSize);
    ASSERT_EQ(job.bands(), expected.bands());
    // What shows: colour under transparent pixels is never seen.
    const auto visible = [](const VImage& image) {
      if (image.bands() != 4) return image.cast(VIPS_FORMAT_DOUBLE);
      const VImage colour = image.extract_band(0, VImage::option()->set("n", 3));
      return (colour * image[3] / 255).bandjoin(image[3]);
    };
    const VImage difference = (visible(job) - visible(expected.image())).abs();
    EXPECT_LT(difference.avg(), 1.0);
    // The inner outline sits where the natural-size mask puts it: a mask made
    // with the unscaled line width moves it into the ring's colour.
    const VImage far = (difference.extract_band(0, VImage::option()->set("n", 3)) > 40).bandor();
    EXPECT_LT(far.avg() / 255 * shape.maxSize * shape.maxSize, 4);
    if (job.bands() == 4) {
      EXPECT_LT(difference[3].avg(), 0.5);
      EXPECT_LE(difference[3].max(), 64);
    }
  }
}

TEST_F(ImageJob, WithoutASingleFaceTheWholePictureIsShapedButNeitherResizedNorFramed) {
  const VImage source = gradient(600, 400);
  source.pngsave(file("in.png").c_str());
  const std::vector<std::vector<FaceObservation>> cases = {{}, {kFace, kFace}};
  for (const auto& faces : cases) {
    const std::string what = std::to_string(faces.size()) + " faces";
    ASSERT_TRUE(processImage(file("in.png"), file("square.png"),
                             preset("square", 100, true, 20, "black"), finds(faces)));
    const VImage square = reload(file("square.png"));
    EXPECT_EQ(square.width(), 600) << what;
    EXPECT_EQ(square.height(), 400) << what;
    EXPECT_EQ((square - source).abs().max(), 0) << what;

    // A hexagon of radius 200 centred on 600 x 400, no border.
    ASSERT_TRUE(processImage(file("in.png"), file("hex.png"), preset("hex", 100, true, 20, "black"),
                             finds(faces)));
    const VImage hex = reload(file("hex.png"));
    ASSERT_EQ(hex.width(), 600) << what;
    ASSERT_EQ(hex.height(), 400) << what;
    // Masked with the border's line width, as the preset's mask always is.
    EXPECT_EQ(hex.getpoint(120, 200)[3], 0) << what;
    EXPECT_EQ(hex.getpoint(140, 200)[3], 255) << what;
    EXPECT_EQ(hex.getpoint(460, 200)[3], 255) << what;
    EXPECT_EQ(hex.getpoint(480, 200)[3], 0) << what;
    expectNear(hex.getpoint(300, 200), source.getpoint(300, 200), 0, what);

    // The ellipse touching all four edges.
    ASSERT_TRUE(
        processImage(file("in.png"), file("circle.png"), preset("circle", 100), finds(faces)));
    const VImage circle = reload(file("circle.png"));
    EXPECT_EQ(circle.width(), 600) << what;
    EXPECT_EQ(circle.getpoint(4, 4)[3], 0) << what;
    EXPECT_EQ(circle.getpoint(3, 200)[3], 255) << what;
    EXPECT_EQ(circle.getpoint(300, 3)[3], 255) << what;
    EXPECT_EQ(circle.getpoint(590, 390)[3], 0) << what;
  }
}

// The reduced copy for the detector must keep a pixel across the short side:
// a JPEG decoded at 1/8 would have no rows, a PNG shrunk by 8 none either.
TEST_F(ImageJob, ThinPicturesGetADetectionCopyWithRowsAndColumns) {
  const VImage strip =
      (VImage::black(9000, 2, VImage::option()->set("bands", 3)) + 90).cast(VIPS_FORMAT_UCHAR);
  strip.jpegsave(file("wide.jpg").c_str());
  strip.pngsave(file("wide.png").c_str());
  strip.rot(VIPS_ANGLE_D90).jpegsave(file("tall.jpg").c_str());
  for (const std::string name : {"wide.jpg", "wide.png", "tall.jpg"}) {
    int seenWidth = 0;
    int calls = 0;
    ASSERT_TRUE(processImage(file(name), file("out.png"), preset("square", 100),
                             finds({}, &calls, &seenWidth)))
        << name << ": " << log_.str();
    EXPECT_EQ(calls, 1) << name;
    EXPECT_GT(seenWidth, 0) << name;
    const VImage out = reload(file("out.png"));
    EXPECT_EQ(out.width() * out.height(), 18000) << name;
  }
}

TEST_F(ImageJob, CropsPngSourcesAndUprightPictures) {
  gradient(1200, 900).pngsave(file("in.png").c_str());
  // Face box on the right half: the cut is taken from full resolution.
  const FaceObservation right = face({0.6, 0.3, 0.2, 0.3});
  ASSERT_TRUE(processImage(file("in.png"), file("out.png"), preset("square", 200), finds({right})));
  const VImage out = reload(file("out.png"));
  ASSERT_EQ(out.width(), 200);
  EXPECT_GT(out.getpoint(5, 100)[0], 255 * 0.5);

  // Stored turned (orientation 6); the face box is in upright coordinates.
  const VImage upright = gradient(900, 1200);
  VImage stored = upright.rot(VIPS_ANGLE_D270).copy();
  stored.set(VIPS_META_ORIENTATION, 6);
  stored.jpegsave(file("turned.jpg").c_str(), VImage::option()->set("Q", 95));
  ASSERT_TRUE(processImage(file("turned.jpg"), file("turned.png"), preset("square", 100),
                           finds({face({0.1, 0.6, 0.3, 0.2})})));
  const VImage crop = reload(file("turned.png"));
  ASSERT_EQ(crop.width(), 100);
  // Upper left of the upright picture: low red, low green.
  EXPECT_LT(crop.getpoint(50, 50)[0], 0.5 * 255);
  EXPECT_LT(crop.getpoint(50, 50)[1], 0.5 * 255);
  EXPECT_GT(crop.getpoint(99, 50)[0], crop.getpoint(0, 50)[0]);
  EXPECT_GT(crop.getpoint(50, 99)[1], crop.getpoint(50, 0)[1]);
  EXPECT_EQ(reload(file("turned.png")).get_typeof(VIPS_META_ORIENTATION), 0u);
}

TEST_F(ImageJob, CropsTheSamplePhoto) {
  const std::string astronaut = std::string(KADRO_SAMPLES_DIR) + "/astronaut.png";
  ASSERT_TRUE(fs::exists(astronaut));
  // Her face, roughly: x 0.33 to 0.55, y 0.55 to 0.85 of the picture (from
  // the bottom), eyes at 0.6 of the box height.
  ASSERT_TRUE(processImage(astronaut, file("circle.png"), preset("circle", 150, true, 5, "black"),
                           finds({face({0.33, 0.55, 0.22, 0.3})})));
  const VImage out = reload(file("circle.png"));
  EXPECT_EQ(out.width(), 150);
  EXPECT_EQ(out.height(), 150);
  EXPECT_EQ(out.getpoint(0, 0)[3], 0);
  EXPECT_EQ(out.getpoint(75, 2), (std::vector<double>{0, 0, 0, 255}));
  // Skin in the middle: more red than blue.
  const auto centre = out.getpoint(75, 75);
  EXPECT_GT(centre[0], centre[2] + 30);
}

TEST_F(ImageJob, CropsTheSamplePhotoWithTheRealDetector) {
  const std::string astronaut = std::string(KADRO_SAMPLES_DIR) + "/astronaut.png";
  setFaceModelPath(KADRO_TEST_MODEL);
  std::string error;
  auto source = ImageSource::open(astronaut, &error);
  ASSERT_TRUE(source) << error;
  if (detectFace(source->decode(1, false), true).size() != 1)
    GTEST_SKIP() << "the face detector finds no single face here yet";
  ASSERT_TRUE(processImage(astronaut, file("square.jpg"), preset("square", 200)));
  const VImage out = reload(file("square.jpg"));
  EXPECT_EQ(out.width(), 200);
  EXPECT_EQ(out.height(), 200);
}

TEST_F(ImageJob, CarriesTheVerticalResolutionOver) {
  withDpi(gradient(300, 200), 300, 300).pngsave(file("300.png").c_str());
  withDpi(gradient(300, 200), 300, 150).jpegsave(file("300x150.jpg").c_str());
  gradient(300, 200).jpegsave(file("none.jpg").c_str(), VImage::option()->set("strip", true));
  struct Case {
    const char* from;
    const char* to;
    double dpi;
  };
  for (const Case& c : {Case{"300.png", "a.png", 300}, Case{"300.png", "a.jpg", 300},
                        Case{"300x150.jpg", "b.png", 150}, Case{"300x150.jpg", "b.jpg", 150},
                        Case{"none.jpg", "c.png", 72}, Case{"none.jpg", "c.jpg", 72}}) {
    ASSERT_TRUE(processImage(file(c.from), file(c.to), preset("square", 100), finds({})));
    const VImage out = reload(file(c.to));
    EXPECT_NEAR(out.xres() * 25.4, c.dpi, 0.03) << c.from << " -> " << c.to;
    EXPECT_NEAR(out.yres() * 25.4, c.dpi, 0.03) << c.from << " -> " << c.to;
  }
}

TEST_F(ImageJob, OutputKeepsTheSourcesProfileAndNothingElse) {
  VImage tagged = gradient(800, 600).icc_transform(
      "srgb", VImage::option()->set("input_profile", "srgb")->set("embedded", false));
  tagged = tagged.copy();
  tagged.set(VIPS_META_ORIENTATION, 3);
  const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  vips_image_set_blob_copy(tagged.get_image(), VIPS_META_XMP_NAME, xmp.data(), xmp.size());
  tagged.jpegsave(file("tagged.jpg").c_str());
  size_t length = 0;
  const VImage loaded = reload(file("tagged.jpg"));
  ASSERT_NE(loaded.get_typeof(VIPS_META_ICC_NAME), 0u);
  const auto* data = static_cast<const char*>(loaded.get_blob(VIPS_META_ICC_NAME, &length));
  const std::string profile(data, length);

  for (const char* out : {"square.jpg", "circle.png", "whole.png"}) {
    const bool whole = std::string(out) == "whole.png";
    ASSERT_TRUE(processImage(
        file("tagged.jpg"), file(out),
        preset(whole           ? "circle"
               : out[0] == 's' ? "square"
                               : "circle",
               200, true, 6, "black"),
        finds(whole ? std::vector<FaceObservation>{} : std::vector<FaceObservation>{kFace})));
    const VImage back = reload(file(out));
    ASSERT_NE(back.get_typeof(VIPS_META_ICC_NAME), 0u) << out;
    const auto* kept = static_cast<const char*>(back.get_blob(VIPS_META_ICC_NAME, &length));
    EXPECT_EQ(std::string(kept, length), profile) << out;
    EXPECT_EQ(back.get_typeof(VIPS_META_EXIF_NAME), 0u) << out;
    EXPECT_EQ(back.get_typeof(VIPS_META_XMP_NAME), 0u) << out;
    EXPECT_EQ(back.get_typeof(VIPS_META_ORIENTATION), 0u) << out;
    EXPECT_EQ(back.interpretation(), VIPS_INTERPRETATION_sRGB) << out;
  }

  // CMYK is converted to sRGB and drops its CMYK profile.
  gradient(800, 600).colourspace(VIPS_INTERPRETATION_CMYK).jpegsave(file("cmyk.jpg").c_str());
  ASSERT_TRUE(
      processImage(file("cmyk.jpg"), file("cmyk.png"), preset("square", 200), finds({kFace})));
  const VImage rgb = reload(file("cmyk.png"));
  EXPECT_EQ(rgb.bands(), 3);
  EXPECT_EQ(rgb.interpretation(), VIPS_INTERPRETATION_sRGB);
  EXPECT_EQ(rgb.get_typeof(VIPS_META_ICC_NAME), 0u);
}

TEST_F(ImageJob, EncodesByTheDestinationsExtension) {
  gradient(64, 48).pngsave(file("in.png").c_str());
  for (const char* name : {"x.PNG", "x.jpeg", "x.tiff", "x"}) {
    ASSERT_TRUE(processImage(file("in.png"), file(name), preset("circle", 100), finds({})));
    const bool png = readBytes(file(name)).rfind("\x89PNG", 0) == 0;
    EXPECT_EQ(png, std::string(name) == "x.PNG") << name;
  }
}

TEST_F(ImageJob, RewritesInPlaceKeepingTheOldResolution) {
  withDpi(gradient(1200, 900), 300, 300).pngsave(file("photo.png").c_str());
  const std::string url = fileUrlFromPath(file("photo.png"));
  ASSERT_TRUE(processImage(url, url, preset("square", 200), finds({face({0.4, 0.3, 0.2, 0.3})})));
  const VImage out = reload(file("photo.png"));
  EXPECT_EQ(out.width(), 200);
  EXPECT_EQ(out.height(), 200);
  EXPECT_NEAR(out.yres() * 25.4, 300, 0.03);
  EXPECT_EQ(entries(), std::vector<std::string>{"photo.png"});

  // Again on the result: read afresh, not from an old cached decode.
  ASSERT_TRUE(processImage(url, url, preset("square", 100), finds({face({0.4, 0.3, 0.2, 0.3})})));
  EXPECT_EQ(reload(file("photo.png")).width(), 100);
}

TEST_F(ImageJob, FailuresLeaveTheDestinationByteForByte) {
  gradient(600, 400).jpegsave(file("whole.jpg").c_str());
  const std::string jpeg = readBytes(file("whole.jpg"));
  writeBytes(file("cut.jpg"), jpeg.substr(0, jpeg.size() * 2 / 3));
  gradient(600, 400).pngsave(file("whole.png").c_str());
  const std::string png = readBytes(file("whole.png"));
  writeBytes(file("cut.png"), png.substr(0, png.size() / 2));
  writeBytes(file("text.png"), "no picture at all");
  gradient(16, 16).jpegsave(file("bomb.jpg").c_str(), VImage::option()->set("strip", true));
  std::string bomb = readBytes(file("bomb.jpg"));
  bomb.replace(bomb.find("\xff\xc0") + 5, 4, std::string("\x60\x00\x60\x00", 4));  // 24576²
  writeBytes(file("bomb.jpg"), bomb);
  writeBytes(file("dest.png"), "precious");

  for (const char* from : {"missing.png", "text.png", "cut.jpg", "cut.png", "bomb.jpg"})
    for (const char* type : {"none", "square", "circle"}) {
      log_.str("");
      EXPECT_FALSE(processImage(file(from), file("dest.png"), preset(type, 400),
                                finds({face({0.4, 0.3, 0.2, 0.3})})))
          << from << " " << type;
      EXPECT_EQ(readBytes(file("dest.png")), "precious") << from << " " << type;
      EXPECT_NE(log_.str().find(from), std::string::npos) << from << " " << type << log_.str();
    }
  log_.str("");
  EXPECT_FALSE(processImage(file("bomb.jpg"), file("x.png"), preset("square", 400), finds({})));
  EXPECT_NE(log_.str().find("too large"), std::string::npos) << log_.str();

  // In place on a damaged file: it stays as it was.
  const std::string damaged = readBytes(file("cut.jpg"));
  EXPECT_FALSE(processImage(file("cut.jpg"), file("cut.jpg"), preset("square", 400),
                            finds({face({0.4, 0.3, 0.2, 0.3})})));
  EXPECT_EQ(readBytes(file("cut.jpg")), damaged);

  // No folder to write into.
  log_.str("");
  EXPECT_FALSE(
      processImage(file("whole.jpg"), file("missing/dest.png"), preset("square", 400), finds({})));
  EXPECT_EQ(log_.str(), "writing image failed!\n" + file("missing/dest.png") + ": the folder " +
                            file("missing") + " does not exist\n");
  EXPECT_EQ(entries(), (std::vector<std::string>{"bomb.jpg", "cut.jpg", "cut.png", "dest.png",
                                                 "text.png", "whole.jpg", "whole.png"}));
}

// The kadro program's crop command, run as a child process with a store of
// its own. Arguments are quoted for the shell.
class CropCommand : public ImageJob {
 protected:
  int run(const std::vector<std::string>& arguments) {
    std::string command = "XDG_CONFIG_HOME=";
    command += quoted(file("config"));
    command += ' ';
    command += quoted(KADRO_STAGE_DIR "/bin/kadro");
    command += " crop";
    for (const std::string& a : arguments) {
      command += ' ';
      command += quoted(a);
    }
    command += " >";
    command += quoted(file("out.log"));
    command += " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string log() const { return readBytes(file("out.log")); }

 private:
  static std::string quoted(const std::string& text) {
    std::string out = "'";
    out += text;
    out += '\'';
    return out;
  }
};

TEST_F(CropCommand, RunsTheJobWithAStoredPresetOrTheOptions) {
  gradient(300, 200).pngsave(file("in.png").c_str());
  // The default preset, Circle, on a picture without a face: shaped in full.
  ASSERT_EQ(run({file("in.png"), file("circle.png")}), 0) << log();
  const VImage circle = reload(file("circle.png"));
  EXPECT_EQ(circle.width(), 300);
  EXPECT_EQ(circle.getpoint(0, 0)[3], 0);
  ASSERT_EQ(run({"--preset", "Square", file("in.png"), file("square.png")}), 0) << log();
  EXPECT_EQ(reload(file("square.png")).bands(), 3);
  ASSERT_EQ(run({"--type", "hex", "--border-width", "4", "--border-color", "#ffcc00",
                 file("in.png"), file("hex.png")}),
            0)
      << log();
  EXPECT_EQ(reload(file("hex.png")).getpoint(10, 100)[3], 0);
}

TEST_F(CropCommand, NamesTheBadOptionOrFileInItsErrors) {
  EXPECT_EQ(run({"--preset", "Nothing", "a.png", "b.png"}), 2);
  EXPECT_NE(log().find("Nothing"), std::string::npos) << log();
  EXPECT_EQ(run({"--max-size", "big", "a.png", "b.png"}), 2);
  EXPECT_NE(log().find("--max-size"), std::string::npos) << log();
  EXPECT_EQ(run({"--border-color", "pink", "a.png", "b.png"}), 2);
  EXPECT_NE(log().find("--border-color"), std::string::npos) << log();
  EXPECT_EQ(run({"--type", "square", "only-one.png"}), 2);
  writeBytes(file("b.png"), "kept");
  EXPECT_EQ(run({file("missing.png"), file("b.png")}), 1);
  EXPECT_NE(log().find("missing.png"), std::string::npos) << log();
  EXPECT_EQ(readBytes(file("b.png")), "kept");
}

}  // namespace
}  // namespace kadro

namespace kadro {
namespace {

// inspect's "crop" is the rectangle the job cuts, whichever decode the cut
// comes from: on a picture white right of x = 1501 and below y = 1099, where
// the edges fall in the job's output tells which natural pixels it took.
TEST_F(ImageJob, InspectReportsTheRectangleTheJobCuts) {
  const VImage xy = VImage::xyz(4000, 3000);
  const VImage pattern = (((xy[0] >= 1501) | (xy[1] >= 1099)) > 0).cast(VIPS_FORMAT_UCHAR);
  const std::string big = file("edges.jpg");
  pattern.bandjoin({pattern, pattern})
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
      .jpegsave(big.c_str(), VImage::option()->set("Q", 95));
  auto anyFaces = [](std::vector<FaceObservation> faces) -> FaceDetector {
    return [=](const Raster&, bool) { return faces; };
  };
  // Large faces make cuts that reduced decodes can serve; the small one
  // is cut at full resolution.
  const std::vector<FaceObservation> faces = {face({0.3003, 0.41, 0.2, 0.27}),
                                              face({0.3501, 0.55, 0.1, 0.15}),
                                              face({0.3701, 0.6, 0.03, 0.04})};
  for (const FaceObservation& f : faces) {
    for (std::int64_t maxSize : {60, 150, 400, 5000}) {
      SCOPED_TRACE("face width " + std::to_string(f.boundingBox.width) + ", max size " +
                   std::to_string(maxSize));
      std::string error;
      const auto seen = inspectImage(big, maxSize, anyFaces({f}), &error);
      ASSERT_TRUE(seen) << error;
      ASSERT_TRUE(seen->crop);
      const Rect crop = *seen->crop;
      // Whole pixels around the crop geometry's rectangle, within the
      // picture, widened by less than a reduction's block.
      const Rect exact = *wholePixelRect(
          cropRectangle(4000, 3000, f.boundingBox, averageEyeHeight(f)), 4000, 3000);
      EXPECT_LE(crop.x, exact.x);
      EXPECT_GT(crop.x, exact.x - 8);
      EXPECT_LE(crop.y, exact.y);
      EXPECT_GT(crop.y, exact.y - 8);
      EXPECT_GE(crop.x + crop.width, exact.x + exact.width);
      EXPECT_LT(crop.x + crop.width, exact.x + exact.width + 8);
      EXPECT_LE(crop.x + crop.width, 4000);
      EXPECT_LE(crop.y + crop.height, 3000);

      const std::string out = file("out.png");
      ASSERT_TRUE(processImage(big, out, preset("square", maxSize), anyFaces({f})));
      const VImage result = reload(out)[0].cast(VIPS_FORMAT_DOUBLE) / 255;
      const int side = result.width();
      ASSERT_EQ(side, std::min<int>(maxSize, std::min(crop.width, crop.height)));
      // Resampling keeps the share of white along a row or column, so the
      // edge sits where the cut puts it, to a fraction of an output pixel.
      const double scaleX = side / crop.width;
      const double scaleY = side / crop.height;
      // A row half way between the top and the horizontal edge crosses only
      // the vertical one; likewise a column left of the vertical edge.
      const int row = static_cast<int>((1099 - crop.y) * scaleY / 2);
      ASSERT_GE(row, 2);
      ASSERT_GT(crop.x + crop.width, 1501);
      const double whiteAcross = result.extract_area(0, row, side, 1).avg() * side;
      EXPECT_NEAR(whiteAcross, (crop.x + crop.width - 1501) * scaleX, 0.3);
      const int column = static_cast<int>((1501 - crop.x) * scaleX / 2);
      ASSERT_GE(column, 2);
      ASSERT_GT(crop.y + crop.height, 1099);
      const double whiteDown = result.extract_area(column, 0, 1, side).avg() * side;
      EXPECT_NEAR(whiteDown, (crop.y + crop.height - 1099) * scaleY, 0.3);
    }
  }
}

}  // namespace
}  // namespace kadro
