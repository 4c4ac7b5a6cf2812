#include "SmartCrop/blazeface_search.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace kadro {
namespace {

constexpr double kSide = BlazeFace::kInputSize;
constexpr double kFilterBelow = 0.75;  // scales under this shrink through reduce

// Three bands of 8-bit sRGB, transparency flattened onto white.
vips::VImage toRgb8(vips::VImage in) {
  if (in.interpretation() != VIPS_INTERPRETATION_sRGB || in.format() != VIPS_FORMAT_UCHAR)
    in = in.colourspace(VIPS_INTERPRETATION_sRGB);
  if (in.has_alpha())
    in = in.flatten(vips::VImage::option()->set("background", std::vector<double>{255, 255, 255}));
  if (in.format() != VIPS_FORMAT_UCHAR) in = in.cast(VIPS_FORMAT_UCHAR);
  if (in.bands() > 3) in = in.extract_band(0, vips::VImage::option()->set("n", 3));
  if (in.bands() < 3) {
    const vips::VImage first = in.extract_band(0);
    in = first.bandjoin({first, first});
  }
  return in;
}

// A square of the picture as the model sees it: centred on `centre`, `side`
// picture pixels wide, turned by `angle` (radians, clockwise on screen as y
// points down). Input pixel d lies at centre + R(angle) (d - 128) side / 256.
struct Square {
  Point centre;
  double side = 0;
  double angle = 0;

  Point toPicture(Point d) const {
    const double step = side / kSide;
    const double u = (d.x - kSide / 2) * step;
    const double v = (d.y - kSide / 2) * step;
    const double c = std::cos(angle), s = std::sin(angle);
    return {centre.x + c * u - s * v, centre.y + s * u + c * v};
  }
};

// The 256 x 256 model input for `square`; outside the picture is black.
vips::VImage sample(const vips::VImage& rgb, const Square& square) {
  const double c = std::cos(square.angle), s = std::sin(square.angle);
  const double step = square.side / kSide;
  // Source area under the turned square, with room for the interpolator.
  const double reach = 0.5 * square.side * (std::abs(c) + std::abs(s)) + 2 * step + 2;
  const int left = static_cast<int>(std::floor(square.centre.x - reach));
  const int top = static_cast<int>(std::floor(square.centre.y - reach));
  const int size = static_cast<int>(std::ceil(2 * reach)) + 1;
  vips::VImage region = rgb.embed(-left, -top, size, size);
  Point centre{square.centre.x - left, square.centre.y - top};
  double scale = 1 / step;  // region pixels to input pixels
  // Shrinking needs a proper filter first, against aliasing (reduce: far
  // faster than resize for large factors). Mild shrinking does without:
  // bilinear sampling barely aliases there, and each operation costs a
  // pipeline of its own per square.
  if (scale < kFilterBelow) {
    region = region.reduce(1 / scale, 1 / scale);
    centre = {centre.x * scale, centre.y * scale};
    scale = 1;
  }
  // Forward map: d = scale R(-angle) (q - centre) + 128.
  return region.affine(
      {scale * c, scale * s, -scale * s, scale * c},
      vips::VImage::option()
          ->set("oarea", std::vector<int>{0, 0, BlazeFace::kInputSize, BlazeFace::kInputSize})
          ->set("idx", -centre.x)
          ->set("idy", -centre.y)
          ->set("odx", kSide / 2)
          ->set("ody", kSide / 2)
          ->set("interpolate", vips::VInterpolate::new_from_name("bilinear")));
}

FaceCandidate toCandidate(const BlazeFaceDetection& d, const Square& square) {
  const double step = square.side / kSide;
  const Point centre = square.toPicture(d.centre);
  FaceCandidate f;
  f.box = {centre.x - 0.5 * d.size.width * step, centre.y - 0.5 * d.size.height * step,
           d.size.width * step, d.size.height * step};
  f.rightEye = square.toPicture(d.keypoints[kRightEye]);
  f.leftEye = square.toPicture(d.keypoints[kLeftEye]);
  f.score = d.score;
  return f;
}

// Detections of one tile, without those cut by an edge that other tiles
// cover (their neighbour sees them whole) and those too big for tiles (the
// whole-picture pass sees them).
std::vector<FaceCandidate> tileDetections(const BlazeFace& model, const vips::VImage& work,
                                          const Square& tile, double minScore) {
  const double margin = 0.02 * kSide;
  const double half = tile.side / 2;
  const bool innerLeft = tile.centre.x - half > 0.5;
  const bool innerTop = tile.centre.y - half > 0.5;
  const bool innerRight = tile.centre.x + half < work.width() - 0.5;
  const bool innerBottom = tile.centre.y + half < work.height() - 0.5;
  std::vector<FaceCandidate> kept;
  for (const BlazeFaceDetection& d : model.detect(sample(work, tile), minScore)) {
    if (d.size.width > 0.5 * kSide) continue;
    const double x0 = d.centre.x - d.size.width / 2, x1 = d.centre.x + d.size.width / 2;
    const double y0 = d.centre.y - d.size.height / 2, y1 = d.centre.y + d.size.height / 2;
    if ((innerLeft && x0 < margin) || (innerRight && x1 > kSide - margin) ||
        (innerTop && y0 < margin) || (innerBottom && y1 > kSide - margin))
      continue;
    kept.push_back(toCandidate(d, tile));
  }
  return kept;
}

FaceCandidate scaled(FaceCandidate f, double sx, double sy) {
  f.box = {f.box.x * sx, f.box.y * sy, f.box.width * sx, f.box.height * sy};
  f.rightEye = {f.rightEye.x * sx, f.rightEye.y * sy};
  f.leftEye = {f.leftEye.x * sx, f.leftEye.y * sy};
  return f;
}

Point boxCentre(const Rect& r) { return {r.x + r.width / 2, r.y + r.height / 2}; }

// A closer look at one face on a square around it, turned so the eyes are
// level: the model is trained on upright faces. Nothing when it finds no
// face near the middle.
std::optional<FaceCandidate> refine(const BlazeFace& model, const vips::VImage& full,
                                    const vips::VImage& work, double workScale,
                                    const FaceCandidate& face, const SearchOptions& options) {
  Square square;
  square.centre = boxCentre(face.box);
  square.side = options.refineSpan * std::max(face.box.width, face.box.height);
  square.angle = std::atan2(face.leftEye.y - face.rightEye.y, face.leftEye.x - face.rightEye.x);
  // The reduced copy is sharp enough when the square shrinks even there.
  const bool fromWork = square.side * workScale >= kSide;
  Square source = square;
  if (fromWork)
    source = {{square.centre.x * workScale, square.centre.y * workScale},
              square.side * workScale,
              square.angle};
  std::vector<FaceCandidate> found;
  for (const BlazeFaceDetection& d :
       model.detect(sample(fromWork ? work : full, source), options.refineMinScore)) {
    FaceCandidate f = toCandidate(d, source);
    found.push_back(fromWork ? scaled(f, 1 / workScale, 1 / workScale) : f);
  }
  // The face searched for is the merged detection nearest the middle.
  std::optional<FaceCandidate> best;
  double bestDistance = 0.25 * square.side;
  for (const FaceCandidate& f : mergeCandidates(std::move(found), options.mergeOverlap)) {
    const Point c = boxCentre(f.box);
    const double distance = std::hypot(c.x - square.centre.x, c.y - square.centre.y);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = f;
    }
  }
  return best;
}

}  // namespace

double overlapRatio(const Rect& a, const Rect& b) {
  const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  if (w <= 0 || h <= 0) return 0;
  const double common = w * h;
  const double all = a.width * a.height + b.width * b.height - common;
  return all > 0 ? common / all : 0;
}

std::vector<FaceCandidate> mergeCandidates(std::vector<FaceCandidate> candidates, double overlap) {
  std::stable_sort(
      candidates.begin(), candidates.end(),
      [](const FaceCandidate& a, const FaceCandidate& b) { return a.score > b.score; });
  std::vector<FaceCandidate> merged;
  std::vector<bool> used(candidates.size(), false);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (used[i]) continue;
    const Rect lead = candidates[i].box;
    FaceCandidate sum{{0, 0, 0, 0}, {0, 0}, {0, 0}, candidates[i].score};
    double weight = 0;
    for (std::size_t j = i; j < candidates.size(); ++j) {
      if (used[j] || (j != i && overlapRatio(lead, candidates[j].box) <= overlap)) continue;
      used[j] = true;
      const FaceCandidate& c = candidates[j];
      const double w = c.score;
      weight += w;
      sum.box = {sum.box.x + w * c.box.x, sum.box.y + w * c.box.y, sum.box.width + w * c.box.width,
                 sum.box.height + w * c.box.height};
      sum.rightEye = {sum.rightEye.x + w * c.rightEye.x, sum.rightEye.y + w * c.rightEye.y};
      sum.leftEye = {sum.leftEye.x + w * c.leftEye.x, sum.leftEye.y + w * c.leftEye.y};
    }
    if (weight > 0) sum = scaled(sum, 1 / weight, 1 / weight);
    merged.push_back(sum);
  }
  return merged;
}

std::vector<FaceCandidate> searchFaces(const BlazeFace& model, const vips::VImage& picture,
                                       const SearchOptions& options) {
  const double longSide = std::max(picture.width(), picture.height());
  const double workScale = std::min(1.0, options.workSize / longSide);
  const vips::VImage full = toRgb8(picture);
  // A strip of a picture keeps at least one pixel across.
  const double hshrink = std::min<double>(1 / workScale, picture.width());
  const double vshrink = std::min<double>(1 / workScale, picture.height());
  const vips::VImage work =
      workScale < 1
          ? toRgb8(picture.reduce(hshrink, vshrink,
                                  vips::VImage::option()->set("kernel", VIPS_KERNEL_LINEAR)))
                .copy_memory()
          : full.copy_memory();
  // The reduced copy's own scale per axis, after rounding to whole pixels.
  const double sx = static_cast<double>(picture.width()) / work.width();
  const double sy = static_cast<double>(picture.height()) / work.height();
  const double workLong = std::max(work.width(), work.height());

  // Scored (first pass + close look) / 2; faces whose close look fails or
  // scores low are dropped.
  auto confirmed = [&](std::vector<FaceCandidate> first) {
    std::vector<FaceCandidate> kept;
    for (FaceCandidate& f : first) {
      f = scaled(f, sx, sy);
      if (!options.refine) {
        kept.push_back(f);
        continue;
      }
      auto r = refine(model, full, work, 1 / sx, f, options);
      if (!r) continue;
      r->score = (f.score + r->score) / 2;
      if (r->score >= options.minConfidence) kept.push_back(*r);
    }
    return kept;
  };

  const Square whole{{work.width() / 2.0, work.height() / 2.0}, workLong, 0};
  std::vector<FaceCandidate> first;
  for (const BlazeFaceDetection& d : model.detect(sample(work, whole), options.wholeMinScore))
    first.push_back(toCandidate(d, whole));
  std::vector<FaceCandidate> faces =
      confirmed(mergeCandidates(std::move(first), options.mergeOverlap));

  // Tiles only pay when they can find a face that counts: one smaller than
  // the whole pass sees, yet not so small beside the widest face that it is
  // dropped anyway.
  double widest = 0;
  for (const FaceCandidate& f : faces) widest = std::max(widest, f.box.width / sx);
  const bool tilesCount = options.minRelativeWidth * widest < options.wholeReach * workLong;
  if (options.tileGrid > 0 && tilesCount) {
    const double side = options.tileFraction * workLong;
    // As few tiles along each side as give the overlap asked for.
    auto centres = [&](double length) {
      const double stride = side * (1 - options.tileOverlap);
      const int n = std::clamp(static_cast<int>(std::ceil((length - side) / stride)) + 1, 1,
                               options.tileGrid);
      if (n == 1) return std::vector<double>{length / 2};
      std::vector<double> at;
      for (int i = 0; i < n; ++i) at.push_back(side / 2 + i * (length - side) / (n - 1));
      return at;
    };
    std::vector<FaceCandidate> more;
    for (double y : centres(work.height()))
      for (double x : centres(work.width())) {
        auto found = tileDetections(model, work, {{x, y}, side, 0}, options.tileMinScore);
        more.insert(more.end(), found.begin(), found.end());
      }
    // Faces the whole pass confirmed need no second look.
    std::erase_if(more, [&](const FaceCandidate& t) {
      const FaceCandidate inFull = scaled(t, sx, sy);
      return std::any_of(faces.begin(), faces.end(), [&](const FaceCandidate& f) {
        return overlapRatio(f.box, inFull.box) > options.mergeOverlap;
      });
    });
    for (FaceCandidate& f : confirmed(mergeCandidates(std::move(more), options.mergeOverlap)))
      faces.push_back(f);
  }
  // Two first-pass faces may have settled on the same face.
  faces = mergeCandidates(std::move(faces), options.mergeOverlap);

  if (options.minRelativeWidth > 0 && !faces.empty()) {
    widest = 0;
    for (const FaceCandidate& f : faces) widest = std::max(widest, f.box.width);
    std::erase_if(faces, [&](const FaceCandidate& f) {
      return f.box.width < options.minRelativeWidth * widest;
    });
  }
  return faces;
}

}  // namespace kadro
