// Reading sources as a user's files and an attacker's files come: formats
// that are not photos, damaged data, pictures that declare far more pixels
// than their bytes hold, files without a resolution, and wide-gamut colour.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "SmartCrop/diagnostics.h"
#include "SmartCrop/image_io.h"
#include "SmartCrop/smart_crop.h"
#include "tests/image_test_support.h"

extern char** environ;

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::gradient;
using testing::reload;
using vips::VImage;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

Action preset(const std::string& type, bool border = false, std::int64_t width = 0,
              const std::string& custom = "#333333") {
  return Action("", type, 400, border, width, border ? "custom" : "white", custom);
}

// A detector that never finds a face: the job then writes the whole picture.
const FaceDetector kNoFace = [](const Raster&, bool) { return std::vector<FaceObservation>{}; };

// An uncompressed RGB TIFF with no resolution tags, as some scanners and
// converters write them.
std::string tiffWithoutResolution(int width, int height) {
  std::string out("II*\0\x08\0\0\0", 8);
  auto u16 = [&](unsigned v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>(v >> 8);
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xffff);
    u16(v >> 16);
  };
  struct Entry {
    unsigned tag, type;
    std::uint32_t count, value;
  };
  const std::uint32_t pixels = static_cast<std::uint32_t>(width) * height * 3;
  const Entry entries[] = {{256, 3, 1, static_cast<std::uint32_t>(width)},
                           {257, 3, 1, static_cast<std::uint32_t>(height)},
                           {258, 3, 3, 122},
                           {259, 3, 1, 1},
                           {262, 3, 1, 2},
                           {273, 4, 1, 128},
                           {277, 3, 1, 3},
                           {278, 3, 1, static_cast<std::uint32_t>(height)},
                           {279, 4, 1, pixels}};
  u16(9);
  for (const Entry& e : entries) {
    u16(e.tag);
    u16(e.type);
    u32(e.count);
    u32(e.value);
  }
  u32(0);
  u16(8), u16(8), u16(8);  // bits per sample, at 122
  for (std::uint32_t i = 0; i < pixels; ++i) out += static_cast<char>(i % 3 == 1 ? 200 : 60);
  return out;
}

// `jpeg` (written without metadata) with a JFIF header of this density
// unit and these values.
std::string withJfifDensity(const std::string& jpeg, int unit, int x, int y) {
  std::string app0("\xff\xe0\x00\x10JFIF\0\x01\x02", 11);
  app0 += static_cast<char>(unit);
  for (int v : {x, y}) {
    app0 += static_cast<char>(v >> 8);
    app0 += static_cast<char>(v & 0xff);
  }
  app0 += std::string("\0\0", 2);
  return jpeg.substr(0, 2) + app0 + jpeg.substr(2);
}

// An RGB profile with the primaries of ITU-R BT.2020, far wider than sRGB.
std::string wideGamutProfile() {
  cmsCIExyY white;
  cmsWhitePointFromTemp(&white, 6504);
  const cmsCIExyYTRIPLE primaries = {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}};
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(gamma);
  cmsUInt32Number length = 0;
  cmsSaveProfileToMem(profile, nullptr, &length);
  std::string bytes(length, '\0');
  cmsSaveProfileToMem(profile, bytes.data(), &length);
  cmsCloseProfile(profile);
  return bytes;
}

VImage withProfile(VImage image, const std::string& profile) {
  image = image.copy();
  vips_image_set_blob_copy(image.get_image(), VIPS_META_ICC_NAME, profile.data(), profile.size());
  return image;
}

std::string profileOf(const VImage& image) {
  if (image.get_typeof(VIPS_META_ICC_NAME) == 0) return "";
  size_t length = 0;
  const void* data = image.get_blob(VIPS_META_ICC_NAME, &length);
  return std::string(static_cast<const char*>(data), length);
}

// A pixel of `image` as sRGB, read through the image's own profile.
std::vector<double> srgbAt(const VImage& image, int x, int y) {
  return image.extract_area(x, y, 1, 1)
      .icc_transform("srgb", VImage::option()->set("embedded", true))
      .getpoint(0, 0);
}

class ImageRead : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kadro-read-" + std::to_string(::getpid()) + "-" +
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
  std::size_t entryCount() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  // Runs the job in place on each file and expects it to refuse: false, the
  // bytes as they were, nothing left beside them, a line naming the file.
  void expectRefusedInPlace(const std::vector<std::string>& names, const std::string& cause) {
    for (const std::string& name : names) {
      for (const char* type : {"none", "square", "circle"}) {
        const std::string before = readBytes(file(name));
        const std::size_t count = entryCount();
        log_.str("");
        EXPECT_FALSE(processImage(file(name), file(name), preset(type, true, 8), kNoFace))
            << name << ' ' << type;
        EXPECT_EQ(readBytes(file(name)), before) << name << ' ' << type;
        EXPECT_EQ(entryCount(), count) << name << ' ' << type;
        EXPECT_NE(log_.str().find(file(name)), std::string::npos) << log_.str();
        EXPECT_NE(log_.str().find(cause), std::string::npos) << log_.str();
      }
    }
  }

  fs::path dir_;
  std::ostringstream log_;
};

TEST_F(ImageRead, OnlyPhotoFormatsAreDecodedWhateverTheName) {
  // 120 bytes that would render to 15000 x 15000 and replace the "photo".
  writeBytes(file("drawing.jpg"),
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"15000\" height=\"15000\">"
             "<rect width=\"100%\" height=\"100%\" fill=\"red\"/></svg>");
  expectRefusedInPlace({"drawing.jpg"}, "SVG");
  // A libvips matrix file is plain text that names its own size.
  writeBytes(file("matrix.png"), "3 2 1 0\n1 2 3\n4 5 6\n");
  expectRefusedInPlace({"matrix.png"}, "MATRIX");
  writeBytes(file("notes.jpg"), "shopping list");
  expectRefusedInPlace({"notes.jpg"}, "not a JPEG, PNG, TIFF, WebP or GIF picture");
  writeBytes(file("empty.png"), "");
  expectRefusedInPlace({"empty.png"}, "empty file");
  // HEIF comes from a libvips module that kadro never loads, so it is
  // refused in every host alike; here the module may be loaded.
  if (vips_type_find("VipsOperation", "heifsave")) {
    gradient(64, 64).heifsave(file("phone.jpg").c_str());
    expectRefusedInPlace({"phone.jpg"}, "HEIF is not read");
  }

  // What a photo editor exports is read, under any name.
  const VImage picture = gradient(60, 40);
  picture.webpsave(file("a.webp").c_str(), VImage::option()->set("lossless", true));
  picture.gifsave(file("b.gif").c_str());
  picture.tiffsave(file("c.jpg").c_str());
  for (const char* name : {"a.webp", "b.gif", "c.jpg"}) {
    EXPECT_TRUE(processImage(file(name), file(std::string(name) + ".png"), preset("none"), kNoFace))
        << name << log_.str();
    EXPECT_EQ(reload(file(std::string(name) + ".png")).width(), 60) << name;
  }
}

TEST_F(ImageRead, DamagedSourcesAreNeverTheBaseOfARewrite) {
  gradient(300, 200).jpegsave(file("whole.jpg").c_str());
  const std::string jpeg = readBytes(file("whole.jpg"));
  // The scan cut short and the end marker put back: libjpeg fills the rest
  // with grey and only warns.
  writeBytes(file("corrupt.jpg"), jpeg.substr(0, jpeg.size() / 2) + "\xff\xd9");
  writeBytes(file("truncated.jpg"), jpeg.substr(0, jpeg.size() * 2 / 3));
  expectRefusedInPlace({"corrupt.jpg", "truncated.jpg"}, "cannot");

  gradient(300, 200).pngsave(file("whole.png").c_str());
  std::string png = readBytes(file("whole.png"));
  png[png.find("IDAT") + 200] ^= 0x55;
  writeBytes(file("flipped.png"), png);
  writeBytes(file("short.png"), png.substr(0, png.size() / 2));
  expectRefusedInPlace({"flipped.png", "short.png"}, "cannot");

  // The other formats a photo editor exports, cut short.
  for (const char* name : {"cut.webp", "cut.tif", "cut.gif"}) {
    gradient(300, 200).write_to_file(file(std::string("whole-") + name).c_str());
    const std::string whole = readBytes(file(std::string("whole-") + name));
    writeBytes(file(name), whole.substr(0, whole.size() / 2));
  }
  expectRefusedInPlace({"cut.webp", "cut.tif", "cut.gif"}, "cannot");

  // Missing and unreadable sources say why.
  log_.str("");
  EXPECT_FALSE(processImage(file("gone.jpg"), file("out.jpg"), preset("none"), kNoFace));
  EXPECT_NE(log_.str().find("gone.jpg: cannot read image (no such file or folder)"),
            std::string::npos)
      << log_.str();
  fs::create_directory(file("folder.jpg"));
  log_.str("");
  EXPECT_FALSE(processImage(file("folder.jpg"), file("out.jpg"), preset("none"), kNoFace));
  EXPECT_NE(log_.str().find("folder.jpg: cannot read image (not a regular file"), std::string::npos)
      << log_.str();
  EXPECT_FALSE(fs::exists(file("out.jpg")));
}

TEST_F(ImageRead, ResolutionIs72WhereTheFileGivesNone) {
  writeBytes(file("scan.tif"), tiffWithoutResolution(40, 30));
  gradient(40, 30).webpsave(file("web.webp").c_str());
  gradient(40, 30).gifsave(file("anim.gif").c_str());
  const std::string jpeg = [&] {
    gradient(40, 30).jpegsave(file("plain.jpg").c_str(), VImage::option()->set("strip", true));
    return readBytes(file("plain.jpg"));
  }();
  // Unit 0: the density is only the pixels' aspect ratio.
  writeBytes(file("aspect.jpg"), withJfifDensity(jpeg, 0, 3, 2));
  writeBytes(file("square.jpg"), withJfifDensity(jpeg, 0, 48, 48));
  for (const char* name : {"scan.tif", "web.webp", "anim.gif", "aspect.jpg", "square.jpg"}) {
    EXPECT_EQ(fetchImageDPI(file(name)), 72) << name;
    const std::string out = file(std::string(name) + ".png");
    ASSERT_TRUE(processImage(file(name), out, preset("none"), kNoFace)) << name << log_.str();
    EXPECT_NEAR(fetchImageDPI(out), 72, 0.03) << name;
  }
  // Per centimetre and per inch are resolutions.
  writeBytes(file("cm.jpg"), withJfifDensity(jpeg, 2, 118, 118));
  EXPECT_NEAR(fetchImageDPI(file("cm.jpg")), 299.72, 1e-6);
  writeBytes(file("inch.jpg"), withJfifDensity(jpeg, 1, 300, 240));
  EXPECT_EQ(fetchImageDPI(file("inch.jpg")), 240);
  // A TIFF that states one keeps it.
  gradient(40, 30)
      .copy(VImage::option()->set("xres", 150 / 25.4)->set("yres", 150 / 25.4))
      .tiffsave(file("150.tif").c_str());
  EXPECT_NEAR(fetchImageDPI(file("150.tif")), 150, 1e-3);
}

TEST_F(ImageRead, WideGamutPicturesKeepTheirColoursAndTheBorderIsConverted) {
  const std::string profile = wideGamutProfile();
  // A saturated green and an orange in the wide space, at 16 bits.
  const VImage colours =
      (VImage::black(100, 100, VImage::option()->set("bands", 3)) +
       std::vector<double>{0, 60000, 0})
          .insert(VImage::black(50, 100, VImage::option()->set("bands", 3)) +
                      std::vector<double>{50000, 30000, 10000},
                  50, 0)
          .cast(VIPS_FORMAT_USHORT)
          .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16));
  withProfile(colours, profile).pngsave(file("deep.png").c_str());
  withProfile(colours, profile).tiffsave(file("deep.tif").c_str());
  for (const char* name : {"deep.png", "deep.tif"}) {
    for (const char* out : {"out.png", "out.jpg"}) {
      ASSERT_TRUE(processImage(file(name), file(out), preset("none"), kNoFace)) << log_.str();
      const VImage written = reload(file(out));
      EXPECT_EQ(profileOf(written), profile) << name << " -> " << out;
      const std::vector<double> green = written.getpoint(20, 50);
      EXPECT_NEAR(green[0], 0, 2) << name << " -> " << out;
      EXPECT_NEAR(green[1], 60000 / 257.0, 2) << name << " -> " << out;
      EXPECT_NEAR(green[2], 0, 2) << name << " -> " << out;
      EXPECT_NEAR(written.getpoint(80, 50)[0], 50000 / 257.0, 2) << name << " -> " << out;
    }
  }

  // The border colour is sRGB #cc6633 whatever space the picture is in: read
  // back through the written profile it is that colour, not the more
  // saturated one its numbers mean in the wide space.
  ASSERT_TRUE(processImage(file("deep.png"), file("framed.png"),
                           preset("none", true, 10, "#cc6633"), kNoFace));
  const VImage framed = reload(file("framed.png"));
  EXPECT_EQ(profileOf(framed), profile);
  const std::vector<double> border = srgbAt(framed, 3, 50);
  EXPECT_NEAR(border[0], 0xcc, 3);
  EXPECT_NEAR(border[1], 0x66, 3);
  EXPECT_NEAR(border[2], 0x33, 3);
  // Without a profile the colour's numbers are painted as they are.
  gradient(100, 100).pngsave(file("plain.png").c_str());
  ASSERT_TRUE(processImage(file("plain.png"), file("plain-framed.png"),
                           preset("none", true, 10, "#cc6633"), kNoFace));
  EXPECT_EQ(reload(file("plain-framed.png")).getpoint(3, 50),
            (std::vector<double>{0xcc, 0x66, 0x33}));
}

TEST_F(ImageRead, GreyPicturesAreReadThroughTheirProfile) {
  // A linear grey profile: half the light reads as 188 in sRGB, not 128.
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsHPROFILE grey = cmsCreateGrayProfile(cmsD50_xyY(), linear);
  cmsFreeToneCurve(linear);
  cmsUInt32Number length = 0;
  cmsSaveProfileToMem(grey, nullptr, &length);
  std::string profile(length, '\0');
  cmsSaveProfileToMem(grey, profile.data(), &length);
  cmsCloseProfile(grey);

  const VImage half =
      (VImage::black(40, 30) + 32768)
          .cast(VIPS_FORMAT_USHORT)
          .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_GREY16));
  withProfile(half, profile).pngsave(file("linear.png").c_str());
  ASSERT_TRUE(processImage(file("linear.png"), file("out.png"), preset("none"), kNoFace))
      << log_.str();
  const std::vector<double> pixel = reload(file("out.png")).getpoint(10, 10);
  ASSERT_EQ(pixel.size(), 3u);
  for (double v : pixel) EXPECT_NEAR(v, 188, 3);
}

// Peak resident memory of `kadro ARGS...`, in megabytes, and its exit status.
std::pair<double, int> peakMegabytes(const std::vector<std::string>& arguments) {
  std::vector<std::string> words = {KADRO_STAGE_DIR "/bin/kadro"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {-1, -1};
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) return {-1, -1};
  return {usage.ru_maxrss / 1024.0, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(ImageRead, PicturesThatDeclareManyPixelsCostWhatTheWorkNeeds) {
  // 180 megapixels of CMYK in 8.4 MB: decoded whole it took 600 MB, and
  // 2.3 GB at 250 megapixels.
  VImage::black(30000, 6000, VImage::option()->set("bands", 4))
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_CMYK))
      .jpegsave(file("bomb.jpg").c_str(), VImage::option()->set("Q", 10));
  // Generous bounds: what matters is that memory follows the reduced size.
  const auto [inspectPeak, inspectStatus] = peakMegabytes({"inspect", file("bomb.jpg")});
  EXPECT_EQ(inspectStatus, 0);
  EXPECT_LT(inspectPeak, 300) << "kadro inspect";
  const auto [cropPeak, cropStatus] =
      peakMegabytes({"crop", "--type", "square", file("bomb.jpg"), file("out.jpg")});
  EXPECT_EQ(cropStatus, 0);
  // The job streams the whole picture to the output when it finds no face;
  // held in memory it would take 720 MB as CMYK and 540 MB as RGB.
  EXPECT_LT(cropPeak, 500) << "kadro crop";
}

}  // namespace
}  // namespace kadro
