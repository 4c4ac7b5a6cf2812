#include "SmartCrop/image_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Plugin/file_url.h"
#include "SmartCrop/diagnostics.h"
#include "tests/image_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::gradient;
using testing::reload;
using testing::withDpi;
using vips::VImage;
using vips::VSource;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Drops every chunk of type `type` from PNG bytes.
std::string withoutPngChunk(const std::string& png, const std::string& type) {
  std::string out = png.substr(0, 8);
  for (std::size_t i = 8; i + 12 <= png.size();) {
    const auto* p = reinterpret_cast<const unsigned char*>(png.data() + i);
    const std::size_t length = (std::size_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    if (png.compare(i + 4, 4, type) != 0) out += png.substr(i, length + 12);
    i += length + 12;
  }
  return out;
}

// The JPEG marker codes in front of the scan.
std::vector<int> jpegMarkers(const std::string& jpeg) {
  std::vector<int> markers;
  for (std::size_t i = 2; i + 4 <= jpeg.size();) {
    const int marker = static_cast<unsigned char>(jpeg[i + 1]);
    markers.push_back(marker);
    if (marker == 0xda) break;
    i += 2 +
         ((static_cast<unsigned char>(jpeg[i + 2]) << 8) | static_cast<unsigned char>(jpeg[i + 3]));
  }
  return markers;
}

bool isPng(const std::string& bytes) { return bytes.rfind("\x89PNG\r\n\x1a\n", 0) == 0; }
bool isJpeg(const std::string& bytes) { return bytes.rfind("\xff\xd8", 0) == 0; }

class ImageIo : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kadro-io-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setDiagnosticStream(&log_);
  }
  void TearDown() override {
    setDiagnosticStream(nullptr);
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }
  fs::path file(const std::string& name) const { return dir_ / name; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  std::ostringstream log_;
};

TEST_F(ImageIo, ResolutionIsTheVerticalOneWithFractionsKeptAnd72WhenAbsent) {
  withDpi(gradient(40, 30), 300, 300).pngsave(file("300.png").c_str());
  withDpi(gradient(40, 30), 300, 150).pngsave(file("300x150.png").c_str());
  withDpi(gradient(40, 30), 300, 150).jpegsave(file("300x150.jpg").c_str());
  withDpi(gradient(40, 30), 72.5, 72.5).jpegsave(file("72.5.jpg").c_str());
  writeBytes(file("none.png"), withoutPngChunk(readBytes(file("300.png")), "pHYs"));
  gradient(40, 30).jpegsave(file("none.jpg").c_str(), VImage::option()->set("strip", true));
  writeBytes(file("text.png"), "not a picture");

  // PNG keeps whole pixels per metre: 300 dpi reads back as 299.9994.
  EXPECT_NEAR(fetchImageDPI(file("300.png")), 300, 1e-2);
  EXPECT_NE(fetchImageDPI(file("300.png")), 300);
  EXPECT_NEAR(fetchImageDPI(file("300x150.png")), 150, 0.03);
  EXPECT_NEAR(fetchImageDPI(file("300x150.jpg")), 150, 1e-2);
  EXPECT_NEAR(fetchImageDPI(file("72.5.jpg")), 72.5, 1e-2);
  EXPECT_EQ(fetchImageDPI(file("none.png")), 72);
  EXPECT_NEAR(fetchImageDPI(file("none.jpg")), 72, 1e-9);
  EXPECT_EQ(fetchImageDPI(file("text.png")), 72);
  EXPECT_EQ(fetchImageDPI(file("missing.png")), 72);
  EXPECT_EQ(fetchImageDPI("http://example.com/300.png"), 72);
  EXPECT_NEAR(fetchImageDPI(fileUrlFromPath(file("300x150.png"))), 150, 0.03);
}

TEST_F(ImageIo, EncodingFollowsTheExtensionInAnyLetterCase) {
  const Raster image(gradient(64, 48));
  for (const char* name : {"a.png", "b.PNG", "c.Png"}) {
    ASSERT_TRUE(writeCGImage(image, file(name), 300)) << name;
    EXPECT_TRUE(isPng(readBytes(file(name)))) << name;
  }
  for (const char* name : {"d.jpg", "e.jpeg", "f.tiff", "g", "h.png.bak", "i."}) {
    ASSERT_TRUE(writeCGImage(image, file(name), 300)) << name;
    EXPECT_TRUE(isJpeg(readBytes(file(name)))) << name;
  }
  // A "file:" URL names the same file as its path.
  ASSERT_TRUE(writeCGImage(image, fileUrlFromPath(file("with space.png")), 300));
  EXPECT_TRUE(isPng(readBytes(file("with space.png"))));
}

TEST_F(ImageIo, WritesTheResolutionOnBothAxes) {
  const Raster image(gradient(64, 48));
  for (const char* name : {"r.png", "r.jpg"}) {
    ASSERT_TRUE(writeCGImage(image, file(name), 150));
    const VImage back = reload(file(name));
    EXPECT_NEAR(back.xres() * 25.4, 150, 0.03) << name;
    EXPECT_NEAR(back.yres() * 25.4, 150, 0.03) << name;
    EXPECT_NEAR(fetchImageDPI(file(name)), 150, 0.03) << name;
  }
  // JPEG holds whole dots per inch; PNG whole pixels per metre.
  ASSERT_TRUE(writeCGImage(image, file("f.jpg"), 299.9994));
  EXPECT_EQ(fetchImageDPI(file("f.jpg")), 300);
}

TEST_F(ImageIo, KeepsOnlyTheIccProfileOfTheSource) {
  // A source with an ICC profile, EXIF (orientation 6) and XMP.
  VImage source = gradient(64, 48).icc_transform(
      "srgb", VImage::option()->set("input_profile", "srgb")->set("embedded", false));
  source = source.copy();
  source.set(VIPS_META_ORIENTATION, 6);
  const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  vips_image_set_blob_copy(source.get_image(), VIPS_META_XMP_NAME, xmp.data(), xmp.size());
  source.jpegsave(file("source.jpg").c_str());
  const VImage loaded = reload(file("source.jpg"));
  ASSERT_NE(loaded.get_typeof(VIPS_META_EXIF_NAME), 0u);
  ASSERT_NE(loaded.get_typeof(VIPS_META_ICC_NAME), 0u);
  size_t profileLength = 0;
  const void* profile = loaded.get_blob(VIPS_META_ICC_NAME, &profileLength);
  const std::string expected(static_cast<const char*>(profile), profileLength);

  for (const char* name : {"out.png", "out.jpg"}) {
    ASSERT_TRUE(writeCGImage(Raster(loaded), file(name), 96));
    const VImage back = reload(file(name));
    EXPECT_EQ(back.get_typeof(VIPS_META_EXIF_NAME), 0u) << name;
    EXPECT_EQ(back.get_typeof(VIPS_META_XMP_NAME), 0u) << name;
    EXPECT_EQ(back.get_typeof(VIPS_META_ORIENTATION), 0u) << name;
    ASSERT_NE(back.get_typeof(VIPS_META_ICC_NAME), 0u) << name;
    size_t length = 0;
    const void* kept = back.get_blob(VIPS_META_ICC_NAME, &length);
    EXPECT_EQ(std::string(static_cast<const char*>(kept), length), expected) << name;
  }
  // SOI is followed by one JFIF segment and the profile; no EXIF segment.
  const std::vector<int> markers = jpegMarkers(readBytes(file("out.jpg")));
  ASSERT_GE(markers.size(), 2u);
  EXPECT_EQ(markers[0], 0xe0);
  EXPECT_EQ(markers[1], 0xe2);
  EXPECT_EQ(std::count(markers.begin(), markers.end(), 0xe0), 1);
  EXPECT_EQ(std::count(markers.begin(), markers.end(), 0xe1), 0);
}

TEST_F(ImageIo, AlphaStaysInPngAndIsFlattenedOntoBlackInJpeg) {
  const VImage rgba = gradient(32, 32).bandjoin(
      (VImage::xyz(32, 32)[0] < 16).ifthenelse(255, 0).cast(VIPS_FORMAT_UCHAR));
  ASSERT_TRUE(writeCGImage(Raster(rgba), file("a.png"), 72));
  ASSERT_TRUE(writeCGImage(Raster(rgba), file("a.jpg"), 72));
  const VImage png = reload(file("a.png"));
  EXPECT_EQ(png.bands(), 4);
  EXPECT_EQ(png.getpoint(30, 5)[3], 0);
  const VImage jpg = reload(file("a.jpg"));
  EXPECT_EQ(jpg.bands(), 3);
  EXPECT_LT(jpg.extract_area(20, 0, 12, 32).max(), 12);
  EXPECT_GT(jpg.getpoint(8, 16)[2], 60);
}

TEST_F(ImageIo, ReplacesAnExistingFileKeepingItsPermissions) {
  writeBytes(file("old.png"), "old content");
  fs::permissions(file("old.png"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(writeCGImage(Raster(gradient(20, 20)), file("old.png"), 72));
  EXPECT_TRUE(isPng(readBytes(file("old.png"))));
  EXPECT_EQ(fs::status(file("old.png")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(entries(), std::vector<std::string>{"old.png"});

  // Run as root, the replaced file's owner is kept too.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file("old.png").c_str(), 65534, 65534), 0);
    ASSERT_TRUE(writeCGImage(Raster(gradient(20, 20)), file("old.png"), 72));
    struct stat info;
    ASSERT_EQ(::stat(file("old.png").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
  }

  // A name as long as the file system allows still has room beside it.
  const std::string longName = std::string(251, 'n') + ".jpg";
  ASSERT_TRUE(writeCGImage(Raster(gradient(20, 20)), file(longName), 72));
  EXPECT_TRUE(isJpeg(readBytes(file(longName))));
  fs::remove(file(longName));

  // Through a symbolic link the file it names is replaced; the link stays.
  writeBytes(file("target.jpg"), "old");
  fs::create_symlink(file("target.jpg"), file("link.jpg"));
  ASSERT_TRUE(writeCGImage(Raster(gradient(20, 20)), file("link.jpg"), 72));
  EXPECT_TRUE(fs::is_symlink(file("link.jpg")));
  EXPECT_TRUE(isJpeg(readBytes(file("target.jpg"))));
}

TEST_F(ImageIo, AFailedWriteLeavesTheDestinationAsItWas) {
  // A destination that cannot be created.
  EXPECT_FALSE(writeCGImage(Raster(gradient(20, 20)), file("no/such/folder/x.png"), 72));
  EXPECT_EQ(log_.str(), "writing image failed!\n" + file("no/such/folder/x.png").string() +
                            ": the folder " + file("no/such/folder").string() +
                            " does not exist\n");
  fs::create_directory(file("folder.png"));
  EXPECT_FALSE(writeCGImage(Raster(gradient(20, 20)), file("folder.png"), 72));
  EXPECT_TRUE(fs::is_directory(file("folder.png")));
  EXPECT_FALSE(writeCGImage(Raster(gradient(20, 20)), "http://example.com/x.png", 72));

  // A read-only folder (and, as root, a read-only file system).
  const std::string before = readBytes("/proc/version");
  EXPECT_FALSE(writeCGImage(Raster(gradient(20, 20)), "/proc/version", 72));
  EXPECT_EQ(readBytes("/proc/version"), before);
  fs::create_directory(file("locked"));
  writeBytes(file("locked/x.jpg"), "precious");
  fs::permissions(file("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(file("locked").c_str(), W_OK) != 0) {
    EXPECT_FALSE(writeCGImage(Raster(gradient(20, 20)), file("locked/x.jpg"), 72));
    EXPECT_EQ(readBytes(file("locked/x.jpg")), "precious");
  }
  fs::permissions(file("locked"), fs::perms::owner_all);

  // Pixels that fail while they are encoded: a truncated source, read lazily.
  gradient(300, 200).jpegsave(file("whole.jpg").c_str());
  const std::string jpeg = readBytes(file("whole.jpg"));
  writeBytes(file("cut.jpg"), jpeg.substr(0, jpeg.size() / 2));
  std::string error;
  auto source = ImageSource::open(file("cut.jpg"), &error);
  ASSERT_TRUE(source) << error;
  writeBytes(file("dest.png"), "precious");
  for (const char* name : {"dest.png", "new.jpg"})
    EXPECT_FALSE(writeCGImage(source->decode(1, /*streamed=*/true), file(name), 72)) << name;
  EXPECT_EQ(readBytes(file("dest.png")), "precious");
  EXPECT_EQ(entries(),
            (std::vector<std::string>{"cut.jpg", "dest.png", "folder.png", "locked", "whole.jpg"}));
}

TEST_F(ImageIo, SourcesOverTheSizeLimitAreRefusedFromTheirHeader) {
  // A small JPEG whose frame header claims 60000 x 60000 pixels.
  gradient(16, 16).jpegsave(file("small.jpg").c_str(), VImage::option()->set("strip", true));
  std::string bomb = readBytes(file("small.jpg"));
  const std::size_t sof = bomb.find("\xff\xc0");
  ASSERT_NE(sof, std::string::npos);
  bomb.replace(sof + 5, 4, "\xea\x60\xea\x60");
  writeBytes(file("bomb.jpg"), bomb);
  std::string error;
  EXPECT_FALSE(ImageSource::open(file("bomb.jpg"), &error));
  EXPECT_NE(error.find("bomb.jpg"), std::string::npos) << error;
  EXPECT_NE(error.find("too large"), std::string::npos) << error;

  writeBytes(file("text.jpg"), "plain text");
  EXPECT_FALSE(ImageSource::open(file("text.jpg"), &error));
  EXPECT_NE(error.find("text.jpg: cannot read image"), std::string::npos) << error;
  EXPECT_FALSE(ImageSource::open(file("missing.jpg"), &error));
}

TEST_F(ImageIo, DecodesUprightReducedAndInRgb) {
  // Stored 80 x 60 with orientation 6: upright it is 60 x 80, and the stored
  // top-left corner (marked white) is at the top right.
  VImage stored = gradient(80, 60).insert(
      (VImage::black(8, 8, VImage::option()->set("bands", 3)) + 255).cast(VIPS_FORMAT_UCHAR), 0, 0);
  stored.set(VIPS_META_ORIENTATION, 6);
  stored.jpegsave(file("turned.jpg").c_str(), VImage::option()->set("Q", 95));
  std::string error;
  auto turned = ImageSource::open(file("turned.jpg"), &error);
  ASSERT_TRUE(turned) << error;
  EXPECT_EQ(turned->width(), 60);
  EXPECT_EQ(turned->height(), 80);
  for (bool streamed : {true, false}) {
    const Raster upright = turned->decode(1, streamed);
    EXPECT_EQ(upright.width(), 60);
    EXPECT_EQ(upright.height(), 80);
    EXPECT_GT(upright.image().getpoint(56, 3)[2], 200);
    EXPECT_LT(upright.image().getpoint(3, 3)[2], 120);
  }

  gradient(1000, 800).jpegsave(file("big.jpg").c_str());
  auto big = ImageSource::open(file("big.jpg"), &error);
  ASSERT_TRUE(big && big->shrinksOnLoad());
  const Raster quarter = big->decode(4, /*streamed=*/false);
  EXPECT_EQ(quarter.width(), 250);
  EXPECT_EQ(quarter.height(), 200);

  // Grey, CMYK and 16-bit pictures come out as 8-bit RGB.
  (VImage::black(40, 30) + 100).cast(VIPS_FORMAT_UCHAR).pngsave(file("grey.png").c_str());
  gradient(40, 30).colourspace(VIPS_INTERPRETATION_CMYK).jpegsave(file("cmyk.jpg").c_str());
  gradient(40, 30).colourspace(VIPS_INTERPRETATION_RGB16).pngsave(file("deep.png").c_str());
  for (const char* name : {"grey.png", "cmyk.jpg", "deep.png"}) {
    auto source = ImageSource::open(file(name), &error);
    ASSERT_TRUE(source) << error;
    EXPECT_FALSE(source->shrinksOnLoad() && std::string(name) != "cmyk.jpg");
    const Raster rgb = source->decode(1, /*streamed=*/false);
    EXPECT_EQ(rgb.bands(), 3) << name;
    EXPECT_EQ(rgb.image().format(), VIPS_FORMAT_UCHAR) << name;
  }
  auto grey = ImageSource::open(file("grey.png"), &error);
  EXPECT_EQ(grey->decode(1, false).image().getpoint(5, 5), (std::vector<double>{100, 100, 100}));
}

TEST(LocalPath, AcceptsFileUrlsAndPlainPaths) {
  EXPECT_EQ(localPath("file:///tmp/a%20b.png"), "/tmp/a b.png");
  EXPECT_EQ(localPath("/tmp/a b.png"), "/tmp/a b.png");
  EXPECT_EQ(localPath("relative.jpg"), "relative.jpg");
  EXPECT_FALSE(localPath("https://example.com/a.png"));
  EXPECT_FALSE(localPath(""));
}

}  // namespace
}  // namespace kadro
