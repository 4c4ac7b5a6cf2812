#include "host/image.h"

#include <cstring>

namespace ph {
namespace {

struct SurfaceCloser {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceCloser>;

int pixelCount(double points) {
  if (!(points >= 1)) return 0;  // also NaN
  if (points > 1 << 20) return 1 << 20;
  return static_cast<int>(points);
}

// A surface over the image's own pixels, for writing them out. cairo only
// reads the buffer then; the cast does not let it write.
SurfacePtr surfaceOf(const Image& image) {
  return SurfacePtr(cairo_image_surface_create_for_data(
      const_cast<std::uint8_t*>(image.pixels().data()), CAIRO_FORMAT_ARGB32, image.pixelWidth(),
      image.pixelHeight(), image.stride()));
}

}  // namespace

Image::Image(double width, double height, int pixelWidth, int pixelHeight, int stride,
             std::vector<std::uint8_t> pixels)
    : width_(width),
      height_(height),
      pixelWidth_(pixelWidth),
      pixelHeight_(pixelHeight),
      stride_(stride),
      pixels_(std::move(pixels)) {}

std::shared_ptr<Image> Image::fromSurface(cairo_surface_t* surface, double width, double height) {
  if (!surface || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE ||
      cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32)
    return nullptr;
  cairo_surface_flush(surface);
  const int w = cairo_image_surface_get_width(surface);
  const int h = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const std::uint8_t* data = cairo_image_surface_get_data(surface);
  std::vector<std::uint8_t> pixels;
  if (data && h > 0) pixels.assign(data, data + static_cast<std::size_t>(stride) * h);
  return std::shared_ptr<Image>(new Image(width, height, w, h, stride, std::move(pixels)));
}

std::shared_ptr<Image> Image::empty(double width, double height) {
  const int w = pixelCount(width);
  const int h = pixelCount(height);
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, w);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(stride) * h, 0);
  return std::shared_ptr<Image>(new Image(width, height, w, h, stride, std::move(pixels)));
}

std::shared_ptr<Image> Image::loadPng(const std::string& path) {
  SurfacePtr png(cairo_image_surface_create_from_png(path.c_str()));
  if (cairo_surface_status(png.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  const int w = cairo_image_surface_get_width(png.get());
  const int h = cairo_image_surface_get_height(png.get());
  if (cairo_image_surface_get_format(png.get()) == CAIRO_FORMAT_ARGB32)
    return fromSurface(png.get(), w, h);
  // Opaque or grey PNGs come back in other formats: redraw them as ARGB32.
  SurfacePtr argb(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
  cairo_t* cr = cairo_create(argb.get());
  cairo_set_source_surface(cr, png.get(), 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  return fromSurface(argb.get(), w, h);
}

std::optional<Image::Pixel> Image::pixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= pixelWidth_ || y >= pixelHeight_) return std::nullopt;
  std::uint32_t word;
  std::memcpy(&word, pixels_.data() + static_cast<std::size_t>(y) * stride_ + 4 * x, 4);
  return Pixel{static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 8),
               static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 24)};
}

bool Image::savePng(const std::string& path) const {
  if (pixelWidth_ == 0 || pixelHeight_ == 0) return false;
  return cairo_surface_write_to_png(surfaceOf(*this).get(), path.c_str()) == CAIRO_STATUS_SUCCESS;
}

std::string Image::pngData() const {
  if (pixelWidth_ == 0 || pixelHeight_ == 0) return {};
  std::string png;
  const auto append = [](void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
  };
  if (cairo_surface_write_to_png_stream(surfaceOf(*this).get(), append, &png) !=
      CAIRO_STATUS_SUCCESS)
    return {};
  return png;
}

}  // namespace ph
