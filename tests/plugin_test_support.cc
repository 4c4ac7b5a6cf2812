#include "tests/plugin_test_support.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <vips/vips8>

namespace kadro::testing {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kadro-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::filesystem::path samplePortrait() {
  return std::filesystem::path(KADRO_SAMPLES_DIR) / "astronaut.png";
}

void writePlainPicture(const std::filesystem::path& path, int width, int height) {
  vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3))
      .linear(1.0, 128.0)
      .cast(VIPS_FORMAT_UCHAR)
      .write_to_file(path.c_str());
}

std::string readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace kadro::testing
