// Pictures the pipeline's tests make and read back.
#pragma once

#include <filesystem>
#include <vips/vips8>

namespace kadro::testing {

// Reads a written file back, past libvips' cache of files by name.
vips::VImage reload(const std::filesystem::path& path);

// Red grows to the right and green downwards, so a pixel tells where in the
// source it came from.
vips::VImage gradient(int width, int height);

// `image` with a resolution of x by y dots per inch.
vips::VImage withDpi(const vips::VImage& image, double x, double y);

}  // namespace kadro::testing
