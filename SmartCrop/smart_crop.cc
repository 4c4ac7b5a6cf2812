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

// A decoded copy of the source. Each of its pixels stands for `shrink` x
// `shrink` natural pixels from the top-left corner on (the last row and
// column for what is left), both for the decoder's reductions and for
// libvips' box shrink.
struct Decoded {
  Raster raster;
  int shrink = 1;
  bool decoderOutput = false;  // as the decoder made it, not resampled since
};

// `rect` (whole natural pixels) widened outward to multiples of `grid`,
// within the picture: what a decode reduced by `grid` cuts exactly.
Rect onGrid(const Rect& rect, int grid, int width, int height) {
  const double g = grid;
  const double left = std::floor(rect.x / g) * g;
  const double top = std::floor(rect.y / g) * g;
  const double right = std::min<double>(width, std::ceil((rect.x + rect.width) / g) * g);
  const double bottom = std::min<double>(height, std::ceil((rect.y + rect.height) / g) * g);
  return {left, top, right - left, bottom - top};
}

// The natural pixels a job cuts, and from which decode.
struct CutPlan {
  Rect natural;
  int shrink = 1;
  bool fromDetection = false;
};

// The side the cut is resized to: min(width, height, maxSize), or 0 (no
// resize) when maxSize is not positive.
int resizedSide(const Rect& natural, std::int64_t maxSize) {
  if (maxSize <= 0) return 0;
  return static_cast<int>(std::min<std::int64_t>({maxSize, static_cast<std::int64_t>(natural.width),
                                                  static_cast<std::int64_t>(natural.height)}));
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
  // reused for the cut) and box-shrunk.
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
      return {copy, shrink, true};
    }
    const std::int64_t pixels = static_cast<std::int64_t>(source_.width()) * source_.height();
    Raster base = pixels <= kInMemoryPixels ? *(full_ = source_.decode(1, /*streamed=*/false))
                                            : source_.decode(1, /*streamed=*/true);
    const int factor = std::min(longSide / kDetectionSide, shortSide);
    if (factor < 2) return {base, 1, false};
    return {Raster(base.image().shrink(factor, factor).copy_memory()), factor, false};
  }

  // The faces found on `copy`, in normalised image space of the natural
  // picture.
  std::vector<FaceObservation> naturalFaces(std::vector<FaceObservation> faces,
                                            const Decoded& copy) const {
    for (FaceObservation& f : faces) {
      Rect box = pixelRect(f.boundingBox, copy.raster.width(), copy.raster.height());
      box = {box.x * copy.shrink, box.y * copy.shrink, box.width * copy.shrink,
             box.height * copy.shrink};
      // Eye points are relative to the box, which scales with the picture.
      f.boundingBox = normalisedImageRect(box, source_.width(), source_.height());
    }
    return faces;
  }

  // The crop rectangle around `face` in whole natural pixels; nothing when
  // the cut would be empty.
  std::optional<Rect> cropRect(const FaceObservation& face) const {
    return wholePixelRect(
        cropRectangle(source_.width(), source_.height(), face.boundingBox, averageEyeHeight(face)),
        source_.width(), source_.height());
  }

  // Where the cut of `natural` comes from: the lowest resolution that still
  // holds `side` pixels across its shorter side (the full resolution when
  // side is 0), the detection copy when that suffices. A reduced decode
  // holds whole blocks of natural pixels only, so the cut is `natural`
  // widened to that reduction's grid: the pixels the job really takes.
  CutPlan planCut(const Rect& natural, int side, const Decoded& detection) const {
    const double shorter = std::min(natural.width, natural.height);
    auto enough = [&](int shrink) { return side > 0 && std::floor(shorter / shrink) >= side; };
    int shrink = 1;
    bool fromDetection = false;
    if (detection.decoderOutput && enough(detection.shrink)) {
      shrink = detection.shrink;
      fromDetection = true;
    } else if (source_.shrinksOnLoad()) {
      for (int s : {8, 4, 2})
        if (enough(s)) {
          shrink = s;
          break;
        }
    }
    return {onGrid(natural, shrink, source_.width(), source_.height()), shrink, fromDetection};
  }

  std::optional<Raster> cut(const CutPlan& plan, const Decoded& detection) {
    const Raster from = plan.fromDetection ? detection.raster
                        : plan.shrink == 1 ? fullSize()
                                           : source_.decode(plan.shrink, /*streamed=*/true);
    const double s = plan.shrink;
    const Rect& r = plan.natural;
    return from.cut({r.x / s, r.y / s, r.width / s, r.height / s});
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
    const std::vector<FaceObservation> faces =
        job.naturalFaces(detect(detection.raster, /*skipGroups=*/true), detection);
    if (faces.size() == 1) {
      if (const std::optional<Rect> natural = job.cropRect(faces.front())) {
        const int resized = resizedSide(*natural, side);
        const CutPlan plan = job.planCut(*natural, resized, detection);
        if (side > 0) side = resized;
        picture = job.cut(plan, detection);
        cropped = picture.has_value();
        if (cropped) naturalWidth = plan.natural.width;
      }
    }
    if (!cropped) picture = job.fullSize();
  }

  // A cut from an opaque picture is resized once, straight to its place
  // inside the border, and its shape drawn at that size; pictures with
  // alpha and uncropped ones take the steps below one by one.
  if (cropped && preset.type != "none" && !picture->hasAlpha()) {
    const int width = side > 0 ? static_cast<int>(side) : picture->width();
    const int height = side > 0 ? static_cast<int>(side) : picture->height();
    return shapeOpaqueCut(*picture, preset, width, height, naturalWidth);
  }

  // Made and applied even to an uncropped picture, at its full size. A cut
  // taken from a reduced decode gets the mask its natural size would have.
  const double scale = static_cast<double>(picture->width()) / naturalWidth;
  // Cuts reaching these steps carry alpha of their own (opaque ones took the
  // one-pass finish above), so colour and alpha resample premultiplied.
  if (auto mask = createMask(
          {static_cast<double>(picture->width()), static_cast<double>(picture->height())}, preset,
          scale)) {
    picture = applyMask(*picture, *mask);
    if (!picture) return std::nullopt;
  }
  if (cropped && preset.type != "none")
    picture = resizeSquareImage(*picture, side, AlphaKind::kPremultiplied);
  if (cropped && preset.borderEnabled)
    picture = applyBorder(*picture, preset, AlphaKind::kPremultiplied);
  return picture;
}

}  // namespace

std::optional<PictureFaces> inspectImage(const std::string& path, std::int64_t maxSize,
                                         const FaceDetector& detect, std::string* error) {
  const std::optional<ImageSource> source = ImageSource::open(path, error);
  if (!source) return std::nullopt;
  try {
    Job job(*source);
    const Decoded copy = job.detectionCopy();
    PictureFaces result{source->width(), source->height(), {}, std::nullopt};
    // Every face, groups too: the caller decides about groups itself.
    result.faces = job.naturalFaces(detect(copy.raster, /*skipGroups=*/false), copy);
    if (result.faces.size() == 1)
      if (const std::optional<Rect> natural = job.cropRect(result.faces.front()))
        result.crop = job.planCut(*natural, resizedSide(*natural, maxSize), copy).natural;
    return result;
  } catch (const vips::VError& e) {
    std::string message = e.what();
    vips_error_clear();
    if (error)
      *error = path + ": cannot read image (" + message.substr(0, message.find('\n')) + ")";
    return std::nullopt;
  }
}

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
