#include "tests/image_test_support.h"

namespace kadro::testing {

using vips::VImage;

VImage reload(const std::filesystem::path& path) {
  return VImage::new_from_source(vips::VSource::new_from_file(path.c_str()), "",
                                 VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL))
      .copy_memory();
}

VImage gradient(int width, int height) {
  const VImage xy = VImage::xyz(width, height);
  return (xy[0] * 255.0 / width)
      .bandjoin(xy[1] * 255.0 / height)
      .bandjoin(VImage::black(width, height) + 80)
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

VImage withDpi(const VImage& image, double x, double y) {
  return image.copy(VImage::option()->set("xres", x / 25.4)->set("yres", y / 25.4));
}

}  // namespace kadro::testing
