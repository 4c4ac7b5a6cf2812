#include "SmartCrop/smart_crop.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <optional>

#include "SmartCrop/border.h"
#include "SmartCrop/crop.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/image_io.h"
#include "SmartCrop/masks.h"
#include "SmartCrop/resize.h"

namespace kadro {
namespace {

// The detector sees a copy whose long side is at least this (when the
// picture has it): enough for its tiles, far less to decode.
constexpr int kDetectionSide = 1024;

// Pictures up to this size that cannot shrink on load are decoded once and
// kept for both detection and the cut; larger ones are streamed twice.
constexpr std::int64_t kInMemoryPixels = 40'000'000;

// A decoded copy of the source and how many of its pixels make one natural
// pixel across and down.
struct Decoded {
  Raster raster;
  double scaleX = 1;
  double scaleY = 1;
  bool decoderOutput = false;  // as the decoder made it, not resampled since
};

Decoded decoded(Raster raster, const ImageSource& source, bool decoderOutput) {
  const double sx = static_cast<double>(raster.width()) / source.width();
  const double sy = static_cast<double>(raster.height()) / source.height();
  return {std::move(raster), sx, sy, decoderOutput};
}

class Job {
 public:
  explicit Job(const ImageSource& source) : source_(source) {}

  // The picture at its natural size, decoded once.
  Raster fullSize() {
    if (!full_) full_ = source_.decode(1, /*streamed=*/true);
    return *full_;
  }

  // A reduced copy for the detector: JPEG decodes at 1/2, 1/4 or 1/8 on the
  // fly; other formats are decoded in full (kept when small enough to be
  // reused for the cut) and scaled down.
  Decoded detectionCopy() {
    const int longSide = std::max(source_.width(), source_.height());
    // Reduced by no more than the short side: a thin strip keeps one pixel
    // across rather than none.
    const int shortSide = std::min(source_.width(), source_.height());
    if (source_.shrinksOnLoad()) {
      int shrink = 1;
      for (int s : {8, 4, 2})
        if (longSide / s >= kDetectionSide && shortSide >= s) {
          shrink = s;
          break;
        }
      Raster copy = source_.decode(shrink, /*streamed=*/false);
      if (shrink == 1) full_ = copy;
      return decoded(copy, source_, true);
    }
    const std::int64_t pixels = static_cast<std::int64_t>(source_.width()) * source_.height();
    Raster base = pixels <= kInMemoryPixels ? *(full_ = source_.decode(1, /*streamed=*/false))
                                            : source_.decode(1, /*streamed=*/true);
    const int factor = std::min(longSide / kDetectionSide, shortSide);
    if (factor >= 2) base = Raster(base.image().shrink(factor, factor).copy_memory());
    return decoded(base, source_, false);
  }

  // The cut `natural` (whole natural pixels) at the lowest resolution that
  // still holds `side` pixels across its shorter side (the full resolution
  // when side is 0): from the detection copy when that suffices, else
  // decoded again at the matching JPEG reduction.
  std::optional<Raster> cut(const Rect& natural, int side, const Decoded& detection) {
    const double shorter = std::min(natural.width, natural.height);
    auto enough = [&](double scale) {
      return side > 0 && std::floor(shorter * scale + 1e-9) >= side;
    };
    std::optional<Decoded> from;
    if (detection.decoderOutput && enough(std::min(detection.scaleX, detection.scaleY))) {
      from = detection;
    } else {
      int shrink = 1;
      if (source_.shrinksOnLoad())
        for (int s : {8, 4, 2})
          if (enough(1.0 / s)) {
            shrink = s;
            break;
          }
      from = shrink == 1 ? decoded(fullSize(), source_, false)
                         : decoded(source_.decode(shrink, /*streamed=*/true), source_, true);
    }
    return from->raster.cut({natural.x * from->scaleX, natural.y * from->scaleY,
                             natural.width * from->scaleX, natural.height * from->scaleY});
  }

 private:
  const ImageSource& source_;
  std::optional<Raster> full_;
};

// The steps of one job up to the final raster, in the order crop, mask,
// resize, border.
std::optional<Raster> render(const ImageSource& source, const Action& preset,
                             const FaceDetector& detect) {
  Job job(source);
  std::optional<Raster> picture;
  bool cropped = false;
  std::int64_t side = preset.maxSize;
  double naturalWidth = source.width();  // of the picture being worked on
  if (preset.type == "none") {
    // Taken whole, which counts as cropped; no detection runs.
    picture = job.fullSize();
    cropped = true;
  } else {
    const Decoded detection = job.detectionCopy();
    const std::vector<FaceObservation> faces = detect(detection.raster, /*skipGroups=*/true);
    if (faces.size() == 1) {
      const FaceObservation& face = faces.front();
      const std::optional<Rect> natural = wholePixelRect(
          cropRectangle(source.width(), source.height(), face.boundingBox, averageEyeHeight(face)),
          source.width(), source.height());
      if (natural) {
        if (side > 0)
          side = std::min<std::int64_t>({side, static_cast<std::int64_t>(natural->width),
                                         static_cast<std::int64_t>(natural->height)});
        picture = job.cut(*natural, side > 0 ? static_cast<int>(side) : 0, detection);
        cropped = picture.has_value();
        if (cropped) naturalWidth = natural->width;
      }
    }
    if (!cropped) picture = job.fullSize();
  }

  // Made and applied even to an uncropped picture, at its full size. A cut
  // taken from a reduced decode gets the mask its natural size would have.
  const double scale = static_cast<double>(picture->width()) / naturalWidth;
  // A shape cut from an opaque picture keeps the picture's colour under
  // every pixel, which lets the later steps resample colour and alpha apart.
  AlphaKind alpha = AlphaKind::kPremultiplied;
  if (auto mask = createMask(
          {static_cast<double>(picture->width()), static_cast<double>(picture->height())}, preset,
          scale)) {
    if (!picture->hasAlpha()) alpha = AlphaKind::kShapeOfOpaque;
    picture = applyMask(*picture, *mask);
    if (!picture) return std::nullopt;
  }
  if (cropped && preset.type != "none") picture = resizeSquareImage(*picture, side, alpha);
  if (cropped && preset.borderEnabled) picture = applyBorder(*picture, preset, alpha);
  return picture;
}

}  // namespace

bool processImage(const std::string& from, const std::string& to, const Action& preset) {
  return processImage(from, to, preset, detectFace);
}

bool processImage(const std::string& from, const std::string& to, const Action& preset,
                  const FaceDetector& detect) {
  return processImage(from, to, preset, detect, {}).has_value();
}

std::optional<std::string> processImage(const std::string& from, const std::string& to,
                                        const Action& preset, const FaceDetector& detect,
                                        const AlternativeName& alternative) {
  const std::optional<std::string> sourcePath = localPath(from);
  if (!sourcePath) {
    diagnosticLine(from + ": not a file");
    return std::nullopt;
  }
  std::string error;
  const std::optional<ImageSource> source = ImageSource::open(*sourcePath, &error);
  if (!source) {
    diagnosticLine(error);
    return std::nullopt;
  }
  const std::optional<std::string> destination = localPath(to);
  if (!destination) {
    diagnosticLine("writing image failed!");
    diagnosticLine(to + ": not a local file");
    return std::nullopt;
  }
  // Decided now, right after the source was opened: an in-place job
  // replaces the file it read and nothing else.
  WritePlan plan;
  plan.alternative = alternative;
  std::string target = *destination;
  struct stat info {};
  const bool sameName = *destination == *sourcePath;
  if (sameName || (::stat(destination->c_str(), &info) == 0 && source->identity().sameFile(info))) {
    plan.replaces = source->identity();
    plan.alternative = nullptr;
    // The name given, with links resolved now (another name of the same
    // file is still that name).
    if (sameName) {
      target = source->realPath();
    } else if (char* resolved = ::realpath(destination->c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }

  std::optional<Raster> result;
  try {
    result = render(*source, preset, detect);
  } catch (const vips::VError& e) {
    diagnosticLine(readFailureLine(*sourcePath, e));
    return std::nullopt;
  } catch (const std::exception& e) {
    diagnosticLine(*sourcePath + ": " + e.what());
    return std::nullopt;
  }
  if (!result) return std::nullopt;
  // The resolution read with the header, before the destination is touched:
  // an in-place job keeps the old file's. Pixels are decoded as they are
  // written, so a damaged source can fail only now.
  WriteFailure failure;
  std::optional<std::string> written =
      writeImageFile(*result, target, source->dpi(), plan, &failure);
  if (!written) {
    if (failure.reading) {
      diagnosticLine(*sourcePath + ": cannot read image (" + failure.line + ")");
    } else {
      diagnosticLine("writing image failed!");
      diagnosticLine(failure.line);
    }
  }
  return written;
}

}  // namespace kadro
