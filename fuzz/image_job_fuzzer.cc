// The image job on arbitrary file bytes. The input's first 16 bytes choose
// the preset, the destination and the faces the detector reports; the rest
// is the picture file. A stand-in detector places its face from those bytes,
// which keeps executions fast. Built with KADRO_FUZZ_REAL_DETECTOR (the
// face_job target) the job asks the real detector instead, which is many
// times slower.
//
// A finished job wrote a picture that reads back; a failed one left the
// source as it was and wrote no other file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>
#include <vips/vips8>

#include "SmartCrop/faces.h"
#include "SmartCrop/smart_crop.h"
#include "fuzz/fuzz_support.h"

namespace {

using kadro::fuzz::ByteReader;

constexpr std::size_t kChoiceBytes = 16;
// Larger pictures only cost time: the job's pixel limit has tests of its own.
constexpr std::int64_t kMaxFuzzPixels = 1 << 22;

// A coordinate in normalised space, mostly inside 0 to 1 but reaching past
// both edges, as a detector's box may near the picture's border.
double coordinate(std::uint8_t b) { return -0.5 + b * (2.0 / 255); }
double extent(std::uint8_t b) { return b * (1.5 / 255); }

kadro::Action presetFrom(ByteReader& in) {
  static const char* const kTypes[] = {"none", "square", "circle", "hex",
                                       "octo", "",       "Circle", "triangle"};
  static const char* const kColours[] = {"white", "black", "custom", "red"};
  static const char* const kCustom[] = {
      "#333333",  "#ffcc00", "#FFF",   "#-00001",
      "#+7fffff", "#zzzzzz", "333333", "#\xc3\xa9\xc3\xa9\xc3\xa9"};
  kadro::Action preset;
  preset.type = kTypes[in.choice(std::size(kTypes))];
  preset.maxSize = in.length();
  const std::uint8_t border = in.byte();
  preset.borderEnabled = border & 1;
  preset.borderColor = kColours[(border >> 1) % std::size(kColours)];
  preset.borderColorCustom = kCustom[(border >> 3) % std::size(kCustom)];
  preset.borderWidth = in.length();
  return preset;
}

std::vector<kadro::FaceObservation> facesFrom(ByteReader& in) {
  const std::uint8_t shape = in.byte();
  kadro::FaceObservation face;
  face.confidence = 0.9;
  face.boundingBox = {coordinate(in.byte()), coordinate(in.byte()), extent(in.byte()),
                      extent(in.byte())};
  const std::uint8_t eyes = in.byte();
  if (eyes & 3) {
    kadro::FaceLandmarks landmarks;
    const kadro::Point left{coordinate(in.byte()), coordinate(in.byte())};
    const kadro::Point right{coordinate(in.byte()), coordinate(in.byte())};
    if (eyes & 1) landmarks.leftEye = std::vector<kadro::Point>{left};
    if (eyes & 2) landmarks.rightEye = std::vector<kadro::Point>{right, left};
    if (eyes & 4) landmarks.leftEye = std::vector<kadro::Point>{};  // placed, but no points
    face.landmarks = landmarks;
  }
  // Mostly one face, the case that crops; sometimes none or a group.
  const std::size_t count = shape < 0xD0 ? 1 : shape < 0xE8 ? 0 : 2;
  return std::vector<kadro::FaceObservation>(count, face);
}

// The declared size, read the way any header is; nothing when libvips
// cannot read one.
std::optional<std::int64_t> declaredPixels(const std::string& path) {
  try {
    const vips::VImage header = vips::VImage::new_from_source(
        vips::VSource::new_from_file(path.c_str()), "",
        vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    return std::int64_t{header.width()} * header.height();
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

// The written picture must read back whole.
bool readsBack(const std::string& path) {
  try {
    vips::VImage image =
        vips::VImage::new_from_source(vips::VSource::new_from_file(path.c_str()), "",
                                      vips::VImage::option()
                                          ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                          ->set("fail_on", VIPS_FAIL_ON_WARNING));
    (void)image.avg();
    return true;
  } catch (const vips::VError&) {
    vips_error_clear();
    return false;
  }
}

// Whether libvips takes the bytes for one of the formats a photo editor
// exports; only those may ever be decoded.
bool isPhotoFormat(std::string_view bytes) {
  const char* loader = vips_foreign_find_load_buffer(bytes.data(), bytes.size());
  vips_error_clear();
  if (!loader) return false;
  const char* nickname = vips_nickname_find(g_type_from_name(loader));
  const std::string_view name = nickname ? nickname : "";
  for (std::string_view format :
       {"jpegload", "pngload", "tiffload", "webpload", "gifload"})
    if (name.starts_with(format)) return true;
  return false;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "image job: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // libvips' warnings about damaged files would fill the log.
  ::setenv("VIPS_WARNING", "0", 1);
  if (VIPS_INIT((*argv)[0])) return 1;
  // Every execution writes new bytes under the same name.
  vips_cache_set_max(0);
  // One thread per fuzzer: parallel runs share two cores.
  vips_concurrency_set(1);
  kadro::setFaceModelPath(KADRO_FUZZ_MODEL);
  kadro::fuzz::silenceDiagnostics();
  (void)argc;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kChoiceBytes) return -1;
  ByteReader choices(data, kChoiceBytes);
  (void)choices.byte();  // spare
  const std::uint8_t destination = choices.byte();
  const kadro::Action preset = presetFrom(choices);
  const std::vector<kadro::FaceObservation> faces = facesFrom(choices);
  const std::string_view file(reinterpret_cast<const char*>(data) + kChoiceBytes,
                              size - kChoiceBytes);

  const std::string& folder = kadro::fuzz::scratchFolder();
  const std::string from = folder + "/source.jpg";
  kadro::fuzz::writeFile(from, file);
  const std::optional<std::int64_t> pixels = declaredPixels(from);
  if (pixels && *pixels > kMaxFuzzPixels) return -1;

  // In place, to a new PNG or JPEG, and through a "file:" URL.
  std::string to, written;
  switch (destination % 4) {
    case 0:
      to = written = from;
      break;
    case 1:
      to = written = folder + "/out.png";
      break;
    case 2:
      to = written = folder + "/out.jpeg";
      break;
    default:
      to = "file://" + folder + "/out%20url.PNG";
      written = folder + "/out url.PNG";
      break;
  }
  std::remove(written == from ? "" : written.c_str());
  const std::string source = destination & 4 ? "file://" + from : from;
#ifdef KADRO_FUZZ_REAL_DETECTOR
  const bool done = kadro::processImage(source, to, preset);
#else
  const bool done =
      kadro::processImage(source, to, preset, [&](const kadro::Raster&, bool) { return faces; });
#endif
  if (done && !isPhotoFormat(file)) fail("a finished job decoded a format that is not a photo");
  if (done && !readsBack(written)) fail("a finished job wrote a picture that does not read back");
  if (!done && written == from && kadro::fuzz::readFile(from) != file)
    fail("a failed job changed its source");
  if (!done && written != from && ::access(written.c_str(), F_OK) == 0)
    fail("a failed job left a destination file");
  return 0;
}
